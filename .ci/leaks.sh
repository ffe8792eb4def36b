#!/usr/bin/env bash
# Builds norbe with the allocation failure hook (and nothing else: no
# sanitizer, whose allocator would hide the process's real growth) and runs
# tools/leak_check.py, which repeats every operation and failure path and
# fails when the interpreter's live blocks, the resident size or the
# reference counts of reused arguments grow after warm-up.
#
# Usage: .ci/leaks.sh [python ...]
#   (default: every CPython 3.12+ on the machine)
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=.ci/interpreters.sh
source .ci/interpreters.sh
select_interpreters leaks "$@"

status=0
work=""
trap '[ -z "$work" ] || rm -rf "$work"' EXIT
for python in "${interpreters[@]}"; do
  work=$(mktemp -d)
  echo "=== leak check: $("$python" --version) ($python)"
  "$python" -m venv "$work/venv"
  "$work/venv/bin/python" -m pip install --quiet scikit-build-core numpy
  NORBE_FAULT_INJECTION=ON "$work/venv/bin/python" -m pip install --quiet --no-build-isolation \
    -Cbuild-dir="$work/build" .
  "$work/venv/bin/python" tools/leak_check.py --rounds 1000 --phases 3 || status=1
  rm -rf "$work"
done
exit $status
