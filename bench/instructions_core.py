"""Instructions per call of the core-heavy operations, counted by callgrind.

Each statement runs in a loop of N and of 2N iterations in two fresh
interpreters under `valgrind --tool=callgrind`; the difference of the two
totals over N is the cost of one iteration, start-up and set-up cancelled out.
Every case is shown next to its floor, measured the same way in the same run:
the same expression with a built-in C type in place of each of norbe's calls
(the floors of bench/micro.py), and a one-allocation floor, `slice(deps, 1)`,
the cheapest native call that allocates its result.

    python bench/instructions_core.py                # every case, N = 2000
    python bench/instructions_core.py -k NumOf -n 5000
    python bench/instructions_core.py --json out.json
"""

import argparse
import json
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from micro import _COMMON_SETUP, _FLOOR_SETUP, _NORBE_SETUP, CASES  # noqa: E402

ONE_ALLOCATION = "slice(deps, 1)"
# The outline of the core issue: ten Depends leaves instead of the mixed list.
EXTRA_CASES = [
    (
        "PackageOutline(ten Depends, 5 options, 5 defaults)",
        None,
        'PackageOutline("pkg", deps, outline_options, outline_defaults)',
        'property("pkg", deps, outline_options, outline_defaults)',
    ),
]

_CHILD = """
import sys
sys.path.insert(0, %r)
%s
def run(n):
    for _ in range(n):
        %s
run(50)
run(int(sys.argv[1]))
"""

_COLLECTED = re.compile(r"Collected : (\d+)")


def count(setup, statement, n):
    """Total instructions of a fresh interpreter that runs `statement` n times."""
    code = _CHILD % (HERE, setup, statement.strip().replace("\n", "\n        "))
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c", code, str(n)],
        capture_output=True,
        text=True,
        check=True,
        env=dict(os.environ, PYTHONHASHSEED="0"),  # the same dict layouts in every run
    )
    return int(_COLLECTED.search(out.stderr).group(1))


def per_call(setup, statement, n):
    return (count(setup, statement, 2 * n) - count(setup, statement, n)) / n


def run(n, pattern):
    norbe_setup = _NORBE_SETUP + _COMMON_SETUP
    floor = per_call(_FLOOR_SETUP, ONE_ALLOCATION, n)
    rows = []
    for label, _, stmt, floor_stmt in CASES + EXTRA_CASES:
        if pattern and pattern not in label:
            continue
        rows.append(
            {
                "what": label,
                "norbe": per_call(norbe_setup, stmt, n),
                "floor": per_call(_FLOOR_SETUP, floor_stmt, n),
                "one_allocation": floor,
            }
        )
    return rows


def table(rows):
    lines = [
        "| operation | norbe | its floor | norbe/floor | one-allocation floor | norbe/one-allocation |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        lines.append(
            f"| {r['what']} | {r['norbe']:,.0f} | {r['floor']:,.0f} | {r['norbe'] / r['floor']:.2f}x"
            f" | {r['one_allocation']:,.0f} | {r['norbe'] / r['one_allocation']:.2f}x |"
        )
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-n", type=int, default=2000, help="iterations of the shorter loop")
    parser.add_argument("-k", default="", help="only the cases whose label contains this")
    parser.add_argument("--json", help="also write the rows to this file")
    args = parser.parse_args(argv)
    rows = run(args.n, args.k)
    print(table(rows))
    if args.json:
        with open(args.json, "w") as out:
            json.dump(rows, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
