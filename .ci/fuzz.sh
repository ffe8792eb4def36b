#!/usr/bin/env bash
# Runs every fuzzer for a bounded time and fails on the first crash,
# sanitizer report or broken invariant:
#   - fuzz/version_fuzzer.cpp and fuzz/constraint_fuzzer.cpp (libFuzzer, built
#     with clang and ASan + UBSan), each from its seed corpus in fuzz/corpus/;
#   - the Python-level fuzzer tests/test_stateful.py (random sequences of
#     constructors, property writes, comparisons and outlines, hostile
#     arguments included), against norbe built with ASan + UBSan.
#
# Usage: .ci/fuzz.sh [python]   (default: the pyenv CPython 3.12.1)
# Environment: FUZZ_SECONDS per fuzzer (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=.ci/sanitizer_env.sh
source .ci/sanitizer_env.sh

seconds=${FUZZ_SECONDS:-60}
python=${1:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")/versions/3.12.1/bin/python}
work=$(mktemp -d)
san=$(sanitized_dir "$python")
trap 'rm -rf "$work"; [ -n "${NORBE_SANITIZED_ROOT:-}" ] || rm -rf "$san"' EXIT
echo "fuzz: working in $work"
status=0

# --- libFuzzer targets over the pure core
if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ is required (apt-get install clang)" >&2
  exit 1
fi
core="src/core/version.cpp src/core/escape.cpp src/core/unicode_tables.cpp"
declare -A sources=(
  [version_fuzzer]="$core"
  [constraint_fuzzer]="$core src/core/constraint.cpp src/core/option_value.cpp src/core/float_text.cpp src/process/fault_injection.cpp"
)
for target in version_fuzzer constraint_fuzzer; do
  # shellcheck disable=SC2086
  clang++ -std=c++20 -fsized-deallocation -g -O1 -Wall -Wextra -Isrc \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    "fuzz/$target.cpp" ${sources[$target]} -lpthread -o "$work/$target"
done
# The two targets fuzz side by side, one core each; their reports follow in turn.
run_target() {
  local target=$1 corpus="$work/corpus-$1"
  mkdir -p "$corpus" "$work/artifacts-$target"
  cp "fuzz/corpus/$target"/* "$corpus"/
  "$work/$target" "$corpus" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts-$target/" >"$work/$target.log" 2>&1
}
declare -A fuzzing=()
for target in version_fuzzer constraint_fuzzer; do
  run_target "$target" &
  fuzzing[$target]=$!
done
for target in version_fuzzer constraint_fuzzer; do
  echo "=== $target: $seconds s"
  if wait "${fuzzing[$target]}"; then
    grep -E '^stat::(number_of_executed_units|new_units_added)' "$work/$target.log" || true
  else
    status=1
    tail -n 60 "$work/$target.log" >&2
    for artifact in "$work/artifacts-$target"/*; do
      [ -e "$artifact" ] && echo "fuzz: $target failed on $artifact (base64 $(base64 -w0 "$artifact"))" >&2
    done
  fi
done

# --- the Python-level fuzzer against a sanitized build
echo "=== tests/test_stateful.py: $seconds s ($("$python" --version))"
make_sanitized_venv "$python" "$san"
deadline=$((SECONDS + seconds))
runs=0
examples=0
while [ "$SECONDS" -lt "$deadline" ]; do
  seed=$RANDOM$RANDOM
  if ! NORBE_STATEFUL_EXAMPLES=200 run_sanitized "$san" "$san/venv/bin/python" -m pytest -q \
    -p no:cacheprovider --hypothesis-seed="$seed" tests/test_stateful.py >"$work/stateful.log" 2>&1; then
    status=1
    tail -n 80 "$work/stateful.log" >&2
    echo "fuzz: tests/test_stateful.py failed with --hypothesis-seed=$seed" >&2
    break
  fi
  runs=$((runs + 1))
  examples=$((examples + 200))
done
echo "stateful: $runs runs, about $examples programs"

exit $status
