#!/usr/bin/env bash
# Builds norbe with gcov instrumentation (-O0 --coverage) into a fresh virtual
# environment, runs the whole suite (subprocesses included: each one writes its
# counts when it exits), replays the fuzzers' seed corpora over the core (the
# core's own tests: they reach the parts of src/core that only the fuzzers
# check, such as the copy assignments) and prints the line
# and branch coverage of src/. Fails below the floors (NORBE_MIN_LINES /
# NORBE_MIN_BRANCHES, percent).
#
# Figures are per source line: a line (a branch) of a template or of an inline
# function counts as covered when any of its instances covers it, as gcov
# itself shows it (gcovr --merge-lines). The figures per instance, where each
# template instantiation and each translation unit's copy of an inline
# function counts on its own, follow for information.
#
# The build with NORBE_FAULT_INJECTION=ON is not part of the run: the lines
# its memory tests reach are reached without it, and the failure edges they
# add are the exception edges left out below.
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
start=$SECONDS
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet scikit-build-core pytest hypothesis numpy gcovr
"$work/venv/bin/python" -m pip install --quiet --no-build-isolation -Cbuild-dir="$work/build" \
  -Ccmake.build-type=Debug -Ccmake.define.CMAKE_CXX_FLAGS="--coverage -O0" \
  -Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=--coverage .
echo "coverage: built in $((SECONDS - start)) s"
# From outside the tree, so that the tests import the instrumented build.
(cd "$work" && "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests")

# The fuzz targets, built with the same compiler and a driver that feeds them
# each file of their seed corpus once (no fuzzing: the same inputs every run).
replay="$work/replay"
mkdir -p "$replay/include/fuzzer"
provider=$(clang++ -print-resource-dir 2>/dev/null || true)/include/fuzzer/FuzzedDataProvider.h
if [ -f "$provider" ]; then
  cp "$provider" "$replay/include/fuzzer/"
  cat >"$replay/replay.cpp" <<'EOF'
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
}
EOF
  core="src/core/version.cpp src/core/escape.cpp src/core/unicode_tables.cpp"
  declare -A sources=(
    [version_fuzzer]="$core"
    [constraint_fuzzer]="$core src/core/constraint.cpp src/core/option_value.cpp src/core/float_text.cpp src/process/fault_injection.cpp"
  )
  for target in version_fuzzer constraint_fuzzer; do
    files=("$root/fuzz/$target.cpp")
    for source in ${sources[$target]}; do files+=("$root/$source"); done
    (cd "$replay" && "${CXX:-c++}" -std=c++20 -O0 --coverage -fsized-deallocation -I"$root/src" -Iinclude \
      replay.cpp "${files[@]}" -lpthread -o "$target")
    "$replay/$target" "fuzz/corpus/$target"/*
  done
else
  echo "coverage: clang's FuzzedDataProvider.h not found: the fuzz corpora are not replayed" >&2
fi

# Left out of the figures:
# - the API-record data file and the generated Unicode tables: their counts
#   say nothing about behaviour;
# - the allocation-failure hook, test machinery linked into the replay only;
# - the object of CMake's compiler check (CMakeFiles/<version>/), no source of ours;
# - branches the compiler invents: edges into code it proved unreachable, and
#   the exception edges of calls that may throw (std::bad_alloc and the like).
"$work/venv/bin/gcovr" --root "$root" "$work/build" "$replay" --filter "$root/src/" \
  --exclude "$root/src/api_records.cpp" --exclude "$root/src/core/unicode_tables.cpp" \
  --exclude "$root/src/process/fault_injection.cpp" --gcov-exclude-directories '.*/CMakeFiles/[0-9][0-9.]*/.*' \
  --exclude-unreachable-branches --exclude-throw-branches --merge-lines \
  --txt "$work/coverage.txt" --json "$work/coverage.json" --json-summary "$work/summary.json"
sed -n '/^-/,$p' "$work/coverage.txt" | grep -v '^-' | awk '$4 != "100%" || NR == 1' || true
"$work/venv/bin/python" - "$work/summary.json" "$work/coverage.json" "$min_lines" "$min_branches" <<'EOF'
import json, sys
summary = json.load(open(sys.argv[1]))
lines, branches = summary["line_percent"], summary["branch_percent"]
print(f"coverage of src/: lines {lines:.1f}% ({summary['line_covered']}/{summary['line_total']}), "
      f"branches {branches:.1f}% ({summary['branch_covered']}/{summary['branch_total']})")
# The raw tracefile keeps one entry per line and function instance.
counts = [0, 0, 0, 0]
for entry in json.load(open(sys.argv[2]))["files"]:
    for line in entry["lines"]:
        if line.get("gcovr/noncode") or line.get("gcovr/excluded"):
            continue
        counts[0] += 1
        counts[1] += line["count"] > 0
        for branch in line.get("branches", []):
            if not branch.get("gcovr/excluded"):
                counts[2] += 1
                counts[3] += branch["count"] > 0
print(f"per instance (for information): lines {100 * counts[1] / counts[0]:.1f}% ({counts[1]}/{counts[0]}), "
      f"branches {100 * counts[3] / counts[2]:.1f}% ({counts[3]}/{counts[2]})")
if lines < float(sys.argv[3]) or branches < float(sys.argv[4]):
    sys.exit(f"coverage below {sys.argv[3]}% of lines or {sys.argv[4]}% of branches")
EOF
echo "coverage: $((SECONDS - start)) s in all"
