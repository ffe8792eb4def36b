"""The real workload: every package of a Debian ``Packages`` index as a PackageOutline.

Each package becomes ``PackageOutline(name, constraints, set_options)`` with

- ``Depends(d)`` for a plain dependency (``Depends`` and ``Pre-Depends``);
- ``(Depends(d) == True).if_then(Cmp(SpecOption(d, "version"), Version(v), op))``
  for a versioned one, the version as a plain string where it does not parse;
  the walk is written as a user writes it: ``Version(v)`` is tried inside the
  timed loop and the string kept on ``ValueError`` (about 17 % of Debian's
  version texts fail: epochs "1:2.3-4", tildes "1.0~rc1");
- ``NumOf([...]) >= 1`` over the alternatives of ``a | b``, each alternative
  built as above;
- ``Depends(c) == False`` for every name in ``Conflicts``;
- ``set_options`` with the package's own version, architecture, priority and size.

The same walk runs three ways in one run, the variants taking turns round by
round:

- floor: built-in ``slice`` (same number of arguments) in place of every call
  and comparison of norbe's, so only the interpreter's own work remains; a
  version text that does not parse goes to ``int``, which fails with the
  same ``ValueError`` and is caught the same way;
- norbe;
- baseline: the pure-Python classes of bench/baseline.py.

Reported: packages per second, total time (best round; median beside it), each
variant's own share (its time minus the floor's), and peak and retained
memory, measured from the resident size of a fresh process per variant (the
C++ allocations are invisible to tracemalloc).

Times are the process's CPU time (time.process_time): on a shared machine the
time spent waiting for a core is not the code's. The timed rounds run with
the cyclic garbage collector paused, so that the
figures are the work of building the outlines: slices, lists and the
baseline's objects are tracked by the collector and norbe's objects are not,
and with the collector running its passes over millions of tracked objects
would dominate the floor and the baseline. One more round per variant with
the collector running is reported beside them.

    python bench/workload.py                  # the apt index, else a generated one
    python bench/workload.py --generated      # always the generated index
    python bench/workload.py --index FILE     # a given Packages file
"""

import argparse
import gc
import json
import marshal
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from packages_index import OPERATOR_NAMES, describe, find_index, parse_index, read_text  # noqa: E402

VARIANTS = ("floor", "norbe", "baseline")
SHARE_VS_BASELINE = 1 / 20  # norbe's own share at most this part of the baseline's own share
SHARE_VS_FLOOR = 1 / 4  # ... and at most this part of the floor's time


def outlines(records, lib):
    """The walk with norbe's classes or the baseline's (lib: a namespace of them)."""
    Depends, NumOf, Cmp, SpecOption = lib.Depends, lib.NumOf, lib.Cmp, lib.SpecOption
    Version, PackageOutline = lib.Version, lib.PackageOutline
    ops = tuple(getattr(lib.CmpType, name) for name in OPERATOR_NAMES)
    result = []
    for name, version, _, arch, priority, size, groups, conflicts in records:
        constraints = []
        for group in groups:
            items = []
            for dep, op, dep_version, _ in group:
                if op < 0:
                    items.append(Depends(dep))
                else:
                    try:
                        wanted = Version(dep_version)
                    except ValueError:
                        wanted = dep_version
                    items.append(
                        (Depends(dep) == True).if_then(  # noqa: E712
                            Cmp(SpecOption(dep, "version"), wanted, ops[op])
                        )
                    )
            if len(items) == 1:
                constraints.append(items[0])
            else:
                constraints.append(NumOf(items) >= 1)
        for conflict in conflicts:
            constraints.append(Depends(conflict) == False)  # noqa: E712
        try:
            own_version = Version(version)
        except ValueError:
            own_version = version
        result.append(
            PackageOutline(
                name,
                constraints,
                {
                    "version": own_version,
                    "architecture": arch,
                    "priority": priority,
                    "size": size,
                },
            )
        )
    return result


def outlines_floor(records, lib=None):
    """The same walk with slice() for each of norbe's calls and comparisons."""
    S = slice
    ops = tuple(range(len(OPERATOR_NAMES)))
    result = []
    for name, version, version_ok, arch, priority, size, groups, conflicts in records:
        constraints = []
        for group in groups:
            items = []
            for dep, op, dep_version, dep_version_ok in group:
                if op < 0:
                    items.append(S(dep))
                else:
                    try:
                        wanted = S(dep_version) if dep_version_ok else int(dep_version)
                    except ValueError:
                        wanted = dep_version
                    items.append(S(S(S(dep), True), S(S(dep, "version"), wanted, ops[op])))
            if len(items) == 1:
                constraints.append(items[0])
            else:
                constraints.append(S(S(items), 1))
        for conflict in conflicts:
            constraints.append(S(S(conflict), False))
        try:
            own_version = S(version) if version_ok else int(version)
        except ValueError:
            own_version = version
        result.append(
            S(
                name,
                constraints,
                {
                    "version": own_version,
                    "architecture": arch,
                    "priority": priority,
                    "size": size,
                },
            )
        )
    return result


class _Lib:
    def __init__(self, **names):
        self.__dict__.update(names)


def load_variant(variant):
    """(walk function, its namespace of classes) for a variant."""
    if variant == "floor":
        return outlines_floor, None
    if variant == "norbe":
        from norbe.package.constraint import Cmp, CmpType, Depends, NumOf, SpecOption
        from norbe.package.outline import PackageOutline
        from norbe.package.version import Version
    else:
        from baseline import Cmp, CmpType, Depends, NumOf, PackageOutline, SpecOption, Version
    lib = _Lib(
        Cmp=Cmp,
        CmpType=CmpType,
        Depends=Depends,
        NumOf=NumOf,
        SpecOption=SpecOption,
        PackageOutline=PackageOutline,
        Version=Version,
    )
    return outlines, lib


def add_index_arguments(parser, packages=63000):
    """The options that choose the index: --index FILE, --generated, --packages N."""
    parser.add_argument("--index", help="a Packages file (plain or compressed)")
    parser.add_argument("--generated", action="store_true", help="always a generated index")
    parser.add_argument("--packages", type=int, default=packages, help="size of a generated index")


def load_records(args):
    """(records, a description of their source)."""
    path = None if args.generated else (args.index or find_index())
    if path is None:
        from generate_packages import generate

        return parse_index(generate(args.packages)), f"generated index ({args.packages} packages)"
    return parse_index(read_text(path)), path


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_bytes():
    """The process's resident high-water mark. (ru_maxrss would do, but Linux
    carries it over from the parent across exec.)"""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def child(variant, records_path):
    """Run in a fresh process: build all outlines once and report memory."""
    with open(records_path, "rb") as f:
        records = marshal.load(f)
    walk, lib = load_variant(variant)
    walk(records[:100], lib)  # imports and first-call set-up outside the measurement
    gc.collect()
    gc.disable()
    before = resident_bytes()
    start = time.process_time()
    built = walk(records, lib)
    elapsed = time.process_time() - start
    after = resident_bytes()
    json.dump(
        {"retained": after - before, "peak": peak_bytes(), "seconds": elapsed, "count": len(built)},
        sys.stdout,
    )


def measure_memory(records):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "records.marshal")
        with open(path, "wb") as f:
            marshal.dump(records, f)
        results = {}
        for variant in VARIANTS:
            out = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--child", variant, "--records", path],
                capture_output=True,
                text=True,
                check=True,
            ).stdout
            results[variant] = json.loads(out)
    return results


def _timed(walk, lib, records, collector):
    """CPU seconds of one whole walk (what it builds is released after)."""
    gc.collect()
    if not collector:
        gc.disable()
    try:
        start = time.process_time()
        built = walk(records, lib)
        elapsed = time.process_time() - start
    finally:
        gc.enable()
    del built
    return elapsed


def measure_time(records, rounds, baseline_rounds, collector_rounds=1):
    """({variant: [seconds per round]} with the cyclic collector paused,
    {variant: [seconds per round]} with it running). The variants take turns
    round by round, in alternating order."""
    walks = {variant: load_variant(variant) for variant in VARIANTS}
    for walk, lib in walks.values():
        walk(records[:100], lib)
    times = {variant: [] for variant in VARIANTS}
    for round_ in range(rounds):
        variants = VARIANTS if round_ < baseline_rounds else ("floor", "norbe")
        for variant in variants if round_ % 2 == 0 else reversed(variants):
            times[variant].append(_timed(*walks[variant], records, collector=False))
    with_collector = {variant: [] for variant in VARIANTS}
    for _ in range(collector_rounds):
        for variant in VARIANTS:
            with_collector[variant].append(_timed(*walks[variant], records, collector=True))
    return times, with_collector


def summarise(records, measured, memory):
    times, with_collector = measured
    best = {v: min(times[v]) for v in VARIANTS}
    best_collector = {v: min(with_collector[v]) if with_collector[v] else None for v in VARIANTS}
    median = {v: statistics.median(times[v]) for v in VARIANTS}
    share = {v: best[v] - best["floor"] for v in VARIANTS}
    n = len(records)
    rows = {
        v: {
            "seconds": best[v],
            "seconds_median": median[v],
            "packages_per_second": n / best[v],
            "own_share_seconds": share[v],
            "own_share_median_seconds": median[v] - median["floor"],
            "seconds_with_collector": best_collector[v],
            "peak_bytes": memory[v]["peak"] if memory else None,
            "retained_bytes": memory[v]["retained"] if memory else None,
        }
        for v in VARIANTS
    }
    vs_baseline = share["norbe"] / share["baseline"]
    vs_floor = share["norbe"] / best["floor"]
    median_share = {v: median[v] - median["floor"] for v in VARIANTS}
    return {
        "workload": describe(records),
        "variants": rows,
        "norbe_share_vs_baseline_share": vs_baseline,
        "norbe_share_vs_baseline_share_ok": vs_baseline <= SHARE_VS_BASELINE,
        "norbe_share_vs_floor": vs_floor,
        "norbe_share_vs_floor_ok": vs_floor <= SHARE_VS_FLOOR,
        "median_norbe_share_vs_baseline_share": median_share["norbe"] / median_share["baseline"],
        "median_norbe_share_vs_floor": median_share["norbe"] / median["floor"],
    }


def table(summary):
    lines = [
        "| variant | packages/s | total s (median) | own share s | retained MiB | peak RSS MiB "
        "| total s, collector on |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for v, row in summary["variants"].items():
        retained = "" if row["retained_bytes"] is None else f"{row['retained_bytes'] / 2**20:.0f}"
        peak = "" if row["peak_bytes"] is None else f"{row['peak_bytes'] / 2**20:.0f}"
        own = "-" if v == "floor" else f"{row['own_share_seconds']:.3f}"
        collector = "" if row["seconds_with_collector"] is None else f"{row['seconds_with_collector']:.3f}"
        lines.append(
            f"| {v} | {row['packages_per_second']:,.0f} | {row['seconds']:.3f} ({row['seconds_median']:.3f}) "
            f"| {own} | {retained} | {peak} | {collector} |"
        )
    a, b = summary["norbe_share_vs_baseline_share"], summary["norbe_share_vs_floor"]
    lines.append("")
    lines.append(
        f"norbe's own share: 1/{1 / a:.1f} of the baseline's own share (target <= 1/20)"
        f"{' ok' if summary['norbe_share_vs_baseline_share_ok'] else ' MISS'}; "
        f"{b:.2f}x the floor's time (target <= 0.25){' ok' if summary['norbe_share_vs_floor_ok'] else ' MISS'}"
        f" (from the best rounds; from the medians: 1/{1 / summary['median_norbe_share_vs_baseline_share']:.1f}"
        f" and {summary['median_norbe_share_vs_floor']:.2f}x)"
    )
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    add_index_arguments(parser)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--baseline-rounds", type=int, default=3, help="the slow baseline runs fewer rounds")
    parser.add_argument("--collector-rounds", type=int, default=1, help="rounds with the cyclic collector on")
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--json", help="also write the summary to this file")
    parser.add_argument("--child", choices=VARIANTS, help=argparse.SUPPRESS)
    parser.add_argument("--records", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        child(args.child, args.records)
        return 0
    records, source = load_records(args)
    times = measure_time(records, args.rounds, min(args.rounds, args.baseline_rounds), args.collector_rounds)
    memory = None if args.no_memory else measure_memory(records)
    summary = summarise(records, times, memory)
    summary["source"] = source
    print(f"Workload: {source}: " + ", ".join(f"{k} {v:,}" for k, v in summary["workload"].items()))
    print(table(summary))
    if args.json:
        with open(args.json, "w") as out:
            json.dump(summary, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
