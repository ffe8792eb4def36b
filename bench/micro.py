"""Micro benchmarks: each norbe operation against its floor and the pure-Python baseline.

Every case is timed three ways in the same run, interleaved round by round so
that all three see the same machine state:

- norbe: the operation itself;
- floor: the same expression with a built-in C type in place of each of
  norbe's calls and comparisons, with the same number of arguments
  (``slice(a)``, ``slice(a, b)``, ``slice(a, b, c)``; ``property(a, b, c, d)``
  for the four of PackageOutline), ``complex.real`` for a property read, an
  attribute write of a built-in for a property write, and the interpreter's
  own refused comparison for a refused comparison;
- baseline: the same expression on the classes of bench/baseline.py.

Reported per case: ns per operation (the best round; the medians are in the
JSON output), the ratio norbe/floor and the ratio baseline/norbe, each
against its target, and a bound: the highest baseline/norbe that any native
implementation could reach, if each of its native calls cost no more than
the cheapest native call that allocates its result (``id(token)``, timed in
the same run). Times are the process's CPU time: on a shared machine the
time spent waiting for a core is not the code's.

    python bench/micro.py                 # timeit, interleaved rounds (default)
    python bench/micro.py --pyperf        # pyperf worker processes, if installed
"""

import argparse
import json
import os
import statistics
import sys
import time
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# The target each case is held to.
CTOR = "ctor"  # constructors of 1-3 arguments: <= 1.3x floor
CMP = "cmp"  # comparisons building a Cmp, property reads: <= 2x floor
OTHER = "other"  # only the baseline target applies
FLOOR_TARGET = {CTOR: 1.3, CMP: 2.0, OTHER: None}
BASELINE_TARGET = 10.0  # every operation converts or copies: >= 10x faster than baseline

_NORBE_SETUP = """
from norbe.package.constraint import Cmp, CmpType, Depends, IfThen, NumOf, SpecOption
from norbe.package.outline import PackageOutline
from norbe.package.version import Version
"""
_BASELINE_SETUP = """
from baseline import Cmp, CmpType, Depends, IfThen, NumOf, SpecOption, PackageOutline, Version
"""
# Objects shared by several cases, built once per namespace (not timed).
_COMMON_SETUP = """
deps = [Depends("dep%d" % i) for i in range(10)]
cmp3 = Cmp(Depends("a"), 3, CmpType.Less)
value1000 = Cmp(Depends("a"), 1000, CmpType.Less).rhs
option = SpecOption("pkg", "opt")
outline_constraints = [
    Depends("libc6"), Depends("libssl3"), Depends("zlib1g"), Depends("libgcc-s1"),
    NumOf([Depends("mawk"), Depends("gawk")]) >= 1,
    Depends("x11-common") == False,
    (Depends("libfoo") == True).if_then(Cmp(SpecOption("libfoo", "version"), Version("1.2.3"), CmpType.GreaterOrEqual)),
    Cmp(SpecOption("pkg", "jobs"), 4, CmpType.LessOrEqual),
    SpecOption("pkg", "shared") == SpecOption("zlib1g", "shared"),
    Depends("perl"),
]
outline_options = {"version": Version("2.4.1-3"), "architecture": "amd64", "priority": "optional",
                   "size": 123456, "shared": True}
outline_defaults = {"threads": 4, "prefix": None, "debug": False, "opt_level": 2.5, "tag": "release"}
"""
_FLOOR_SETUP = """
class K:
    Less = 0
deps = [slice("dep%d" % i) for i in range(10)]
z = complex(1.0, 2.0)
err, cause = ValueError("a"), ValueError("b")
token = object()
refused = slice("pkg", "opt")
outline_constraints = [slice("x")] * 10
outline_options = {"version": slice("2.4.1-3"), "architecture": "amd64", "priority": "optional",
                   "size": 123456, "shared": True}
outline_defaults = {"threads": 4, "prefix": None, "debug": False, "opt_level": 2.5, "tag": "release"}
"""

_REFUSED = """
try:
    option == 3
except NotImplementedError:
    pass
"""
_REFUSED_FLOOR = """
try:
    refused < 3
except TypeError:
    pass
"""

# (label, target group, statement for norbe and baseline, floor statement)
CASES = [
    ('Depends("a")', CTOR, 'Depends("a")', 'slice("a")'),
    ('SpecOption("p", "o")', CTOR, 'SpecOption("p", "o")', 'slice("p", "o")'),
    ('Version("1.2.3-rc1+build5")', CTOR, 'Version("1.2.3-rc1+build5")', 'slice("1.2.3-rc1+build5")'),
    (
        'Cmp(Depends("a"), 3, CmpType.Less)',
        CTOR,
        'Cmp(Depends("a"), 3, CmpType.Less)',
        'slice(slice("a"), 3, K.Less)',
    ),
    (
        'SpecOption("p", "o") == SpecOption("q", "o")',
        CMP,
        'SpecOption("p", "o") == SpecOption("q", "o")',
        'slice(slice("p", "o"), slice("q", "o"))',
    ),
    ("NumOf([ten Depends]) >= 1", CMP, "NumOf(deps) >= 1", "slice(slice(deps), 1)"),
    ('Depends("a") == True', CMP, 'Depends("a") == True', 'slice(slice("a"), True)'),
    ("read Cmp.lhs", CMP, "cmp3.lhs", "z.real"),
    ("set Cmp.rhs = 5", OTHER, "cmp3.rhs = 5", "err.__cause__ = cause"),
    ("read Value.value", CMP, "value1000.value", "z.real"),
    (
        "PackageOutline(10 constraints, 5 options, 5 defaults)",
        OTHER,
        'PackageOutline("pkg", outline_constraints, outline_options, outline_defaults)',
        'property("pkg", outline_constraints, outline_options, outline_defaults)',
    ),
    ("refused comparison (message)", OTHER, _REFUSED, _REFUSED_FLOOR),
]
VARIANTS = ("floor", "norbe", "baseline")
# Native calls in each case (constructors, comparisons, descriptor calls),
# and the cheapest native call that allocates its result: no operation of
# n calls can cost less than n of these, which bounds the speed-up over the
# baseline that any native implementation can reach.
# The refused comparison's least cost is raising and catching an exception,
# which its floor (the interpreter's own refusal) measures: None.
CALLS = (1, 1, 1, 2, 3, 2, 2, 1, 1, 1, 1, None)
CALL_FLOOR = "id(token)"


def _namespaces():
    norbe, base, floor = {}, {}, {}
    exec(_NORBE_SETUP + _COMMON_SETUP, norbe)
    exec(_BASELINE_SETUP + _COMMON_SETUP, base)
    exec(_FLOOR_SETUP, floor)
    return {"floor": floor, "norbe": norbe, "baseline": base}


def _statement(case, variant):
    _, _, stmt, floor_stmt = case
    return floor_stmt if variant == "floor" else stmt


def _check_cases(spaces):
    # Every statement must run; the refused comparison must really be refused.
    for case in CASES:
        for variant in VARIANTS:
            exec(_statement(case, variant), spaces[variant])
    for variant in ("norbe", "baseline"):
        try:
            exec("option == 3", spaces[variant])
        except NotImplementedError:
            continue
        raise AssertionError(f"{variant}: option == 3 was not refused")


def _timers(spaces):
    # CPU time of the process: on a shared machine, time spent waiting for a
    # core is not the code's.
    timers = {
        (i, v): timeit.Timer(_statement(case, v), timer=time.process_time, globals=spaces[v])
        for i, case in enumerate(CASES)
        for v in VARIANTS
    }
    timers[("call", "floor")] = timeit.Timer(CALL_FLOOR, timer=time.process_time, globals=spaces["floor"])
    return timers


def measure_timeit(rounds, sample_seconds):
    """Interleaved rounds: per round every (case, variant) takes one sample of
    about `sample_seconds`. Returns {(case, variant): [ns per op per round]}."""
    spaces = _namespaces()
    _check_cases(spaces)
    timers = _timers(spaces)
    loops = {}
    for key, timer in timers.items():
        number, elapsed = timer.autorange()
        loops[key] = max(1, int(number * sample_seconds / max(elapsed, 1e-9)))
    samples = {key: [] for key in timers}
    for _ in range(rounds):
        for key, timer in timers.items():
            samples[key].append(timer.timeit(loops[key]) / loops[key] * 1e9)
    return samples


def _pyperf_time(loops, timer):
    return timer.timeit(loops)


def measure_pyperf(runner):
    """One pyperf benchmark per (case, variant); in the master process returns
    {(case, variant): [ns per op per value]}, in a worker None."""
    spaces = _namespaces()
    _check_cases(spaces)
    results = {}
    jobs = [
        ((i, v), f"{v}: {case[0]}", _statement(case, v), spaces[v])
        for i, case in enumerate(CASES)
        for v in VARIANTS
    ]
    jobs.append((("call", "floor"), f"call floor: {CALL_FLOOR}", CALL_FLOOR, spaces["floor"]))
    for key, name, statement, space in jobs:
        timer = timeit.Timer(statement, globals=space)
        bench = runner.bench_time_func(name, _pyperf_time, timer)
        if bench is not None:
            results[key] = [value * 1e9 for value in bench.get_values()]
    return None if runner.args.worker else results


def summarise(samples):
    call_ns = min(samples[("call", "floor")])
    rows = []
    for i, (label, group, _, _) in enumerate(CASES):
        best = {v: min(samples[(i, v)]) for v in VARIANTS}
        median = {v: statistics.median(samples[(i, v)]) for v in VARIANTS}
        floor_ratio = best["norbe"] / best["floor"]
        baseline_ratio = best["baseline"] / best["norbe"]
        # What an implementation costing exactly the floor would reach.
        ceiling = best["baseline"] / best["floor"]
        floor_target = FLOOR_TARGET[group]
        rows.append(
            {
                "operation": label,
                "ns": best,
                "ns_median": median,
                "vs_floor": floor_ratio,
                "vs_floor_median": median["norbe"] / median["floor"],
                "floor_target": floor_target,
                "floor_ok": None if floor_target is None else floor_ratio <= floor_target,
                "baseline_speedup": baseline_ratio,
                "baseline_speedup_median": median["baseline"] / median["norbe"],
                "baseline_target": BASELINE_TARGET,
                "baseline_ok": baseline_ratio >= BASELINE_TARGET,
                "baseline_vs_floor": ceiling,
                "native_calls": CALLS[i],
                "call_floor_ns": call_ns,
                # The most that n native calls costing `call_ns` each could reach.
                "baseline_bound": best["baseline"]
                / (best["floor"] if CALLS[i] is None else CALLS[i] * call_ns),
            }
        )
    return rows


def _mark(ok):
    return "" if ok is None else (" ok" if ok else " MISS")


def _ratio(value):
    return f"{value:.3g}x"


def _floor_text(floor):
    lines = floor.strip().splitlines()
    return lines[1].strip() + " (raises)" if lines[0] == "try:" else floor


def table(rows):
    """A markdown table of the rows."""
    lines = [
        "| operation | norbe ns | floor ns | baseline ns | norbe/floor (target) | baseline/norbe (target) "
        "| bound | floor |",
        "|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    for row, case in zip(rows, CASES):
        ns = row["ns"]
        target = row["floor_target"]
        floor_cell = _ratio(row["vs_floor"]) + (f" (<= {target}x){_mark(row['floor_ok'])}" if target else "")
        base_cell = (
            _ratio(row["baseline_speedup"])
            + f" (>= {row['baseline_target']:.0f}x){_mark(row['baseline_ok'])}"
        )
        lines.append(
            f"| `{row['operation']}` | {ns['norbe']:.0f} | {ns['floor']:.0f} | {ns['baseline']:.0f} "
            f"| {floor_cell} | {base_cell} | {_ratio(row['baseline_bound'])} | `{_floor_text(case[3])}` |"
        )
    call = rows[0]["call_floor_ns"]
    lines.append("")
    lines.append(
        f"bound: baseline ns / (native calls x {call:.0f} ns), where {call:.0f} ns "
        f"is `{CALL_FLOOR}`, the cheapest native call that allocates its result, measured in the same run "
        "(for the refused comparison: baseline ns / floor ns, raising and catching being the least it costs): "
        "the highest baseline/norbe that any native implementation of the operation could reach."
    )
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds (timeit engine)")
    parser.add_argument("--sample", type=float, default=0.01, help="seconds per sample (timeit engine)")
    parser.add_argument("--json", help="also write the rows to this file")
    parser.add_argument("--pyperf", action="store_true", help="use pyperf worker processes")
    args, rest = parser.parse_known_args(argv)
    if args.pyperf:
        import pyperf

        def worker_args(command, _args):
            command.append("--pyperf")

        runner = pyperf.Runner(add_cmdline_args=worker_args)
        runner.parse_args(rest)
        samples = measure_pyperf(runner)
        if samples is None:
            return 0
    else:
        samples = measure_timeit(args.rounds, args.sample)
    rows = summarise(samples)
    print(table(rows))
    if args.json:
        with open(args.json, "w") as out:
            json.dump(rows, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
