"""Bytes per constraint node and per outline, from the resident size of a large batch.

Each figure comes from a fresh interpreter: its inputs are built first (a
list holding the same object N times costs N pointers), then the resident
size (/proc/self/statm) is read before and after building the batch, and
the difference is divided by the count. The C++ allocations of norbe are
invisible to tracemalloc, the resident size sees everything.

A stored node costs its 16-byte constraint value (a tag and a pointer) in
its parent, and its own allocation (its count of owners and payload, plus
the allocator's bookkeeping) once for every tree and object that share it;
texts longer than 23 bytes have a block of their own.

    python bench/memory.py
    python bench/memory.py --count 500000
"""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# (label, nodes per entry, statement building `batch` from `n`)
NODE_CASES = [
    ("Depends leaf, short name", 1, 'batch = NumOf([Depends("libc6")] * n)'),
    # Each leaf from an object of its own (made and dropped as a walk does):
    # its node is not shared.
    ("Depends leaf, short name, one object each", 1,
     'batch = NumOf([Depends("libc6") for _ in range(n)])'),
    ("Depends leaf, 24-byte name", 1, 'batch = NumOf([Depends("libboost-filesystem1.74")] * n)'),
    ("Value leaf (Int)", 1, "batch = NumOf([7] * n)"),
    ("Value leaf (Version 1.2.3-4)", 1, 'batch = NumOf([Version("1.2.3-4")] * n)'),
    ("Cmp(Depends, Value) subtree", 3, 'batch = NumOf([Depends("libc6") == True] * n)'),
    (
        "IfThen(Cmp(Depends, Value), Cmp(SpecOption, Value(Version))) subtree",
        7,
        'batch = NumOf([(Depends("libc6") == True).if_then('
        'Cmp(SpecOption("libc6", "version"), Version("2.36"), CmpType.GreaterOrEqual))] * n)',
    ),
]
# The outline of the micro benchmarks: 10 constraints, 5 options, 5 defaults.
OUTLINE_CASE = (
    "PackageOutline(10 constraints, 5 options, 5 defaults)",
    'batch = [PackageOutline("pkg", outline_constraints, outline_options, outline_defaults) for _ in range(n)]',
)

_IMPORTS = {
    "norbe": """
from norbe.package.constraint import Cmp, CmpType, Depends, IfThen, NumOf, SpecOption
from norbe.package.outline import PackageOutline
from norbe.package.version import Version
""",
    "baseline": """
import sys
sys.path.insert(0, %r)
from baseline import Cmp, CmpType, Depends, IfThen, NumOf, SpecOption, PackageOutline, Version
"""
    % HERE,
}

_CHILD = """
import gc, os, sys
sys.path.insert(0, %r)
from micro import _COMMON_SETUP
exec(_COMMON_SETUP)
n = int(sys.argv[1])
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
gc.collect()
gc.disable()
before = resident()
%s
after = resident()
print((after - before) / n)
"""


def measure(variant, statement, count):
    """Resident bytes per entry of `statement` in a fresh interpreter."""
    code = _IMPORTS[variant] + _CHILD % (HERE, statement)
    out = subprocess.run([sys.executable, "-c", code, str(count)], capture_output=True, text=True, check=True)
    return float(out.stdout)


def run(count):
    rows = []
    for label, nodes, statement in NODE_CASES:
        norbe = measure("norbe", statement, count)
        base = measure("baseline", statement, count)
        rows.append({"what": label, "nodes": nodes, "norbe": norbe / nodes, "baseline": base / nodes})
    label, statement = OUTLINE_CASE
    outlines = max(1000, count // 20)
    rows.append(
        {
            "what": label,
            "nodes": None,
            "norbe": measure("norbe", statement, outlines),
            "baseline": measure("baseline", statement, outlines),
        }
    )
    return rows


def table(rows):
    lines = [
        "| structure | norbe bytes | baseline bytes | baseline/norbe |",
        "|---|---:|---:|---:|",
    ]
    for row in rows:
        unit = "per node" if row["nodes"] else "per outline"
        what = row["what"] + (f" ({row['nodes']} nodes)" if row["nodes"] and row["nodes"] > 1 else "")
        lines.append(
            f"| {what}, {unit} | {row['norbe']:.0f} | {row['baseline']:.0f} | {row['baseline'] / row['norbe']:.1f}x |"
        )
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--count", type=int, default=200000, help="entries per node batch")
    parser.add_argument("--json", help="also write the rows to this file")
    args = parser.parse_args(argv)
    rows = run(args.count)
    print(table(rows))
    if args.json:
        with open(args.json, "w") as out:
            json.dump(rows, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
