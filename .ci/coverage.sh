#!/usr/bin/env bash
# Builds norbe with gcov instrumentation (-O0 --coverage) into a fresh virtual
# environment, runs the whole suite (subprocesses included: each one writes its
# counts when it exits) and prints the line and branch coverage of src/.
# Fails below the floors (NORBE_MIN_LINES / NORBE_MIN_BRANCHES, percent).
#
# Usage: .ci/coverage.sh [python]   (default: the first CPython 3.12+ found)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# shellcheck source=.ci/interpreters.sh
source .ci/interpreters.sh
select_interpreters coverage "$@"
python=${interpreters[0]}

min_lines=${NORBE_MIN_LINES:-95}
min_branches=${NORBE_MIN_BRANCHES:-75}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "=== coverage: $("$python" --version) ($python)"
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet scikit-build-core pytest hypothesis numpy gcovr
"$work/venv/bin/python" -m pip install --quiet --no-build-isolation -Cbuild-dir="$work/build" \
  -Ccmake.build-type=Debug -Ccmake.define.CMAKE_CXX_FLAGS="--coverage -O0" \
  -Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=--coverage .
# From outside the tree, so that the tests import the instrumented build.
(cd "$work" && "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests")

# Counts of the API-record data file and of the generated tables say nothing
# about behaviour: they are left out.
"$work/venv/bin/gcovr" --root "$root" --object-directory "$work/build" --filter "$root/src/" \
  --exclude "$root/src/api_records.cpp" --exclude "$root/src/core/unicode_tables.cpp" \
  --exclude-unreachable-branches --exclude-throw-branches \
  --txt-summary --txt "$work/coverage.txt" --json-summary "$work/summary.json" --print-summary >/dev/null
sed -n '/^-/,$p' "$work/coverage.txt" | grep -v '^-' | awk '$4 != "100%" || NR == 1' || true
"$work/venv/bin/python" - "$work/summary.json" "$min_lines" "$min_branches" <<'EOF'
import json, sys
summary = json.load(open(sys.argv[1]))
lines, branches = summary["line_percent"], summary["branch_percent"]
print(f"coverage of src/: lines {lines:.1f}% ({summary['line_covered']}/{summary['line_total']}), "
      f"branches {branches:.1f}% ({summary['branch_covered']}/{summary['branch_total']})")
if lines < float(sys.argv[2]) or branches < float(sys.argv[3]):
    sys.exit(f"coverage below {sys.argv[2]}% of lines or {sys.argv[3]}% of branches")
EOF
