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
    python bench/instructions.py --no-floor --json gcc.json  # norbe's rows only
    python bench/instructions.py --no-floor --against gcc.json  # beside them

It measures whichever norbe the running interpreter imports (an installed
wheel, a build from the source tree, or a build directory on PYTHONPATH) and
says which before the table: the module's path, how it came there, the
compilers its ELF ``.comment`` section names and the C++ library it holds.

Other benchmarks reuse the machinery: ``measure(rows)`` takes rows of the
same shape (``setup`` is one text run before both statements, or a pair of
texts (norbe setup, floor setup)) and returns the figures. Needs norbe
importable by the running interpreter and valgrind on the PATH.
"""

import argparse
import json
import os
import re
import struct
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


def measure(rows, loops=1000, jobs=1, floors=True):
    """[{label, norbe, floor, ratio}] for rows (label, norbe, floor, setup).

    Without floors only the norbe statements are counted (floor and ratio
    are None): enough to set two builds of norbe side by side.
    """
    env = dict(os.environ, PYTHONHASHSEED="0")
    # The programs run in a temporary directory: a relative PYTHONPATH (such
    # as a build directory) is made absolute so that they find the same norbe.
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    tasks = []
    for label, stmt, floor_stmt, setup in rows:
        norbe_setup, floor_setup = (setup, setup) if isinstance(setup, str) else setup
        _check(norbe_setup, stmt)
        tasks.append((norbe_setup, stmt))
        if floors:
            _check(floor_setup, floor_stmt)
            tasks.append((floor_setup, floor_stmt))
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        counts = list(pool.map(lambda task: per_operation(task[0], task[1], loops, env), tasks))
    per_row = 2 if floors else 1
    results = []
    for i, (label, *_rest) in enumerate(rows):
        norbe = counts[per_row * i]
        floor = counts[per_row * i + 1] if floors else None
        results.append({"label": label, "norbe": norbe, "floor": floor, "ratio": norbe / floor if floor else None})
    return results


def _elf_sections(data):
    """{name: bytes} of an ELF file's sections (SHT_NOBITS ones are empty)."""
    if data[:4] != b"\x7fELF":
        raise ValueError("not an ELF file")
    wide, order = data[4] == 2, "<" if data[5] == 1 else ">"
    if wide:
        shoff, = struct.unpack_from(order + "Q", data, 0x28)
        shentsize, shnum, shstrndx = struct.unpack_from(order + "HHH", data, 0x3A)
        entry = order + "IIQQQQIIQQ"
    else:
        shoff, = struct.unpack_from(order + "I", data, 0x20)
        shentsize, shnum, shstrndx = struct.unpack_from(order + "HHH", data, 0x2E)
        entry = order + "IIIIIIIIII"
    headers = [struct.unpack_from(entry, data, shoff + i * shentsize) for i in range(shnum)]

    def body(header):
        kind, offset, size = header[1], header[4], header[5]
        return b"" if kind == 8 else data[offset:offset + size]  # 8: SHT_NOBITS

    names = body(headers[shstrndx]) if shnum else b""
    sections = {}
    for header in headers:
        start = header[0]
        name = names[start:names.index(b"\0", start)].decode("ascii", "replace") if start < len(names) else ""
        sections[name] = body(header)
    return sections


def _cxx_library(data, sections):
    """Which C++ standard library the module uses, and how it is linked."""
    if re.search(rb"libstdc\+\+\.so", sections.get(".dynstr", b"")):
        return "libstdc++ (shared)"
    if re.search(rb"libc\+\+\.so", sections.get(".dynstr", b"")):
        return "libc++ (shared)"
    # The library's own mangled names (std::__1:: for libc++, the
    # std::__cxx11:: ABI tag for libstdc++) in the symbol tables or the
    # type names kept for exceptions and RTTI.
    if b"St3__1" in data:
        return "libc++ (static)"
    if b"__cxx11" in data or b"St9exception" in data:
        return "libstdc++ (static)"
    return "no C++ library recognised"


def module_build(path):
    """{path, compilers, cxx_library} of a compiled module file."""
    with open(path, "rb") as f:
        data = f.read()
    sections = _elf_sections(data)
    comments = []
    for text in sections.get(".comment", b"").split(b"\0"):
        text = text.decode("utf-8", "replace").strip()
        if text and text not in comments:
            comments.append(text)
    return {"path": path, "compilers": comments, "cxx_library": _cxx_library(data, sections)}


def _origin(path):
    """How the module came to its place: a wheel file, a source tree, or neither."""
    from importlib import metadata

    try:
        dist = metadata.distribution("norbe")
    except metadata.PackageNotFoundError:
        return "not installed (found on the module path)"
    files = [os.path.realpath(dist.locate_file(f)) for f in dist.files or ()]
    if os.path.realpath(path) not in files:
        return "not the installed distribution's file (found earlier on the module path)"
    direct = dist.read_text("direct_url.json")
    if direct:
        url = json.loads(direct)
        if "dir_info" in url:
            return f"built by pip from the source tree {url.get('url', '')}"
        if "archive_info" in url:
            return f"installed from the wheel {url.get('url', '').rsplit('/', 1)[-1]}"
    return "installed from a wheel (a package index)"


def describe_build():
    """Names the norbe module this interpreter imports and how it was built."""
    import norbe

    info = module_build(norbe.__file__)
    info["origin"] = _origin(norbe.__file__)
    info["python"] = sys.version.split()[0]
    return info


def _build_lines(info):
    return [
        f"norbe: {info['path']}",
        f"  {info['origin']}; Python {info['python']}",
        f"  compiled by: {'; '.join(info['compilers']) or 'no .comment section'}; {info['cxx_library']}",
    ]


def compare(results, other, names=("this build", "other build")):
    """One table of two builds' norbe figures, row by row, with their ratio."""
    theirs = {r["label"]: r["norbe"] for r in other}
    lines = [f"| operation | {names[1]} | {names[0]} | {names[0]} / {names[1]} |", "|---|---:|---:|---:|"]
    for r in results:
        if r["label"] not in theirs:
            continue
        base = theirs[r["label"]]
        ratio = f"{r['norbe'] / base:.3f}" if base else "-"
        lines.append(f"| `{r['label']}` | {base:,.0f} | {r['norbe']:,.0f} | {ratio} |")
    return "\n".join(lines)


def table(results):
    if any(r["floor"] is None for r in results):
        lines = ["| operation | norbe instr |", "|---|---:|"]
        lines += [f"| `{r['label']}` | {r['norbe']:,.0f} |" for r in results]
        return "\n".join(lines)
    lines = ["| operation | norbe instr | floor instr | norbe/floor |", "|---|---:|---:|---:|"]
    for r in results:
        lines.append(f"| `{r['label']}` | {r['norbe']:,.0f} | {r['floor']:,.0f} | {r['ratio']:.2f}× |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", "--loops", type=int, default=1000, help="N (default 1000)")
    parser.add_argument("-k", "--filter", default="", help="only the cases whose label contains this text")
    parser.add_argument("-j", "--jobs", type=int, default=1, help="valgrind processes at once (default 1)")
    parser.add_argument("--no-floor", action="store_true",
                        help="count the norbe statements only (to set builds side by side)")
    parser.add_argument("--json", help="also write the figures (and the build) to this file")
    parser.add_argument("--against", help="a --json file of another build: print both columns and their ratio")
    parser.add_argument("--names", default="this build,other build",
                        help="the column names of --against, this build first (default: %(default)s)")
    args = parser.parse_args()
    info = describe_build()
    print("\n".join(_build_lines(info)))
    rows = [row for row in CASES if args.filter in row[0]]
    results = measure(rows, args.loops, args.jobs, floors=not args.no_floor)
    print(table(results))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"build": info, "results": results}, f, indent=1)
    if args.against:
        with open(args.against) as f:
            other = json.load(f)
        if isinstance(other, dict):
            print("\nagainst:")
            print("\n".join(_build_lines(other["build"])))
            other = other["results"]
        print()
        print(compare(results, other, tuple(args.names.split(",", 1))))


if __name__ == "__main__":
    main()
