"""Instructions per operation under callgrind, each next to the interpreter's own call.

Every case is a row (label, norbe statement, floor statement, setup): the
floor is a call of the interpreter's own of the same shape and the same
outcome (a built-in that succeeds the same way, or fails with the same
exception type). Each statement runs in a loop of N and of 2N in two fresh
processes under ``valgrind --tool=callgrind``; the difference of their
instruction totals over N is the cost of one operation, start-up and set-up
cancel out. Prints one table with the ratio norbe/floor.

    python bench/instructions.py                  # every case
    python bench/instructions.py -k Version -n 500
    python bench/instructions.py --json out.json

Other benchmarks reuse the machinery: ``measure(rows)`` takes rows of the
same shape (``setup`` is one text run before both statements, or a pair of
texts (norbe setup, floor setup)) and returns the figures. Needs norbe
importable by the running interpreter and valgrind on the PATH.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import textwrap
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import micro  # noqa: E402

IMPORTS = micro._NORBE_SETUP


def _caught(statement, exception):
    return f"try:\n    {statement}\nexcept {exception}:\n    pass\n"


def _failure(label, statement, floor, exception, floor_exception=None, setup=""):
    """A row whose two statements fail and are caught."""
    caught_floor = _caught(floor, floor_exception or exception)
    return (f"{label} -> {exception}", _caught(statement, exception), caught_floor, IMPORTS + setup)


# Ordinary failures a user meets, each beside the interpreter's own call of
# the same shape failing with the same exception type.
FAILURES = [
    _failure("Version('1:2.3')", "Version('1:2.3')", "int('1:2.3')", "ValueError"),
    _failure("Version('1.0~rc1')", "Version('1.0~rc1')", "int('1.0~rc1')", "ValueError"),
    _failure("Cmp([], 3, CmpType.Less)", "Cmp([], 3, CmpType.Less)", "int([])", "TypeError"),
    ("Depends('a') == [1] (answers False)", "Depends('a') == [1]", "slice(1) == [1]", IMPORTS),
    _failure("PackageOutline('p', foo=1)", "PackageOutline('p', foo=1)", "int('p', foo=1)", "ValueError", "TypeError"),
    _failure("Cmp(1, 2): missing argument", "Cmp(1, 2)", "divmod(1)", "TypeError"),
    _failure("Version(ver='1', foo=2): unexpected keyword", "Version(ver='1', foo=2)", "int(x='1', foo=2)",
             "TypeError"),
    _failure("Depends(3)", "Depends(3)", "ord(3)", "TypeError"),
    _failure("NumOf([1, None])", "NumOf(items)", "bytes(items)", "TypeError", setup="items = [1, None]\n"),
    _failure("set_options={'a': None}", "PackageOutline('p', set_options=bad)", "int('p', base=bad)", "TypeError",
             setup="bad = {'a': None}\n"),
    _failure("set_options={1: True} (non-str key)", "PackageOutline('p', set_options=bad)", "int('p', base=bad)",
             "TypeError", setup="bad = {1: True}\n"),
    _failure("set Cmp.lhs = None", "cmp3.lhs = None", "err.__cause__ = 1", "TypeError",
             setup="cmp3 = Cmp(Depends('a'), 3, CmpType.Less)\nerr = ValueError('a')\n"),
]

# The success paths of bench/micro.py, with its floors.
SUCCESSES = [
    (label, stmt, floor, (micro._NORBE_SETUP + micro._COMMON_SETUP, micro._FLOOR_SETUP))
    for label, _, stmt, floor in micro.CASES
]

# The multi-node builders beside the cheapest call that allocates one object.
_ONE_ALLOCATION = "slice(deps, 1)"
BUILDERS = [
    (f"{label} (one-allocation floor)", stmt, _ONE_ALLOCATION,
     (micro._NORBE_SETUP + micro._COMMON_SETUP, micro._FLOOR_SETUP))
    for label, stmt in [
        ("NumOf([ten Depends]) >= 1", "NumOf(deps) >= 1"),
        ("PackageOutline(ten Depends, 5 options, 5 defaults)",
         'PackageOutline("pkg", deps, outline_options, outline_defaults)'),
    ]
]

CASES = SUCCESSES + BUILDERS + FAILURES

_PROGRAM = """\
import gc, sys
{setup}
gc.disable()
def _run(_n):
{body}
_run(10)  # warm caches and the specialising interpreter before counting
_run(int(sys.argv[1]))
"""


def _program(setup, statement):
    body = "    for _ in range(_n):\n" + textwrap.indent(statement.strip("\n"), "        ")
    return _PROGRAM.format(setup=setup, body=body)


def _instructions(program, loops, env):
    with tempfile.TemporaryDirectory() as tmp:
        script = os.path.join(tmp, "case.py")
        with open(script, "w") as f:
            f.write(program)
        out = os.path.join(tmp, "callgrind.out")
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, script, str(loops)],
            capture_output=True, text=True, env=env, cwd=tmp,
        )
        if proc.returncode != 0:
            raise RuntimeError(f"the program failed:\n{program}\n{proc.stderr[-3000:]}")
        with open(out) as f:
            for line in f:
                if line.startswith("summary:") or line.startswith("totals:"):
                    return int(line.split()[1])
        match = re.search(r"Collected : (\d+)", proc.stderr)
        if match:
            return int(match.group(1))
        raise RuntimeError("no instruction total in callgrind's output")


def _check(setup, statement):
    # Each statement must run as written before it is counted.
    space = {}
    exec(setup, space)
    exec(statement, space)


def per_operation(setup, statement, loops, env):
    """Instructions of one run of `statement`: (count(2N) - count(N)) / N."""
    program = _program(setup, statement)
    single = _instructions(program, loops, env)
    double = _instructions(program, 2 * loops, env)
    return (double - single) / loops


def measure(rows, loops=1000, jobs=1):
    """[{label, norbe, floor, ratio}] for rows (label, norbe, floor, setup)."""
    env = dict(os.environ, PYTHONHASHSEED="0")
    # The programs run in a temporary directory: a relative PYTHONPATH (such
    # as a build directory) is made absolute so that they find the same norbe.
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    tasks = []
    for label, stmt, floor_stmt, setup in rows:
        norbe_setup, floor_setup = (setup, setup) if isinstance(setup, str) else setup
        _check(norbe_setup, stmt)
        _check(floor_setup, floor_stmt)
        tasks.append((norbe_setup, stmt))
        tasks.append((floor_setup, floor_stmt))
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        counts = list(pool.map(lambda task: per_operation(task[0], task[1], loops, env), tasks))
    results = []
    for i, (label, *_rest) in enumerate(rows):
        norbe, floor = counts[2 * i], counts[2 * i + 1]
        results.append({"label": label, "norbe": norbe, "floor": floor, "ratio": norbe / floor if floor else None})
    return results


def table(results):
    lines = ["| operation | norbe instr | floor instr | norbe/floor |", "|---|---:|---:|---:|"]
    for r in results:
        lines.append(f"| `{r['label']}` | {r['norbe']:,.0f} | {r['floor']:,.0f} | {r['ratio']:.2f}× |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", "--loops", type=int, default=1000, help="N (default 1000)")
    parser.add_argument("-k", "--filter", default="", help="only the cases whose label contains this text")
    parser.add_argument("-j", "--jobs", type=int, default=1, help="valgrind processes at once (default 1)")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    rows = [row for row in CASES if args.filter in row[0]]
    results = measure(rows, args.loops, args.jobs)
    print(table(results))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
