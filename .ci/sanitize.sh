#!/usr/bin/env bash
# Builds norbe with AddressSanitizer and UndefinedBehaviorSanitizer (and the
# test-only allocation failure hook) into a fresh virtual environment, then
# runs the whole test suite in an ordinary interpreter with the sanitizer
# runtimes preloaded. Any sanitizer report, in pytest itself or in any
# interpreter a test starts, fails the run.
#
# Usage: .ci/sanitize.sh [python ...]
#   (default: every CPython 3.12+ on the machine)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=.ci/sanitizer_env.sh
source .ci/sanitizer_env.sh

# shellcheck source=.ci/interpreters.sh
source .ci/interpreters.sh
select_interpreters sanitize "$@"

status=0
work=""
# Temporary builds (not the shared ones) are removed: a build tree alone takes a few hundred megabytes.
trap '[ -n "${NORBE_SANITIZED_ROOT:-}" ] || [ -z "$work" ] || rm -rf "$work"' EXIT
for python in "${interpreters[@]}"; do
  work=$(sanitized_dir "$python")
  echo "=== sanitizers: $("$python" --version) ($python) in $work"
  make_sanitized_venv "$python" "$work"
  run_sanitized "$work" "$work/venv/bin/python" -m pytest -q -p no:cacheprovider tests || status=1
  [ -n "${NORBE_SANITIZED_ROOT:-}" ] || rm -rf "$work"
  work=""
done
exit $status
