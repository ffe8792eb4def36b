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
for python in "${interpreters[@]}"; do
  work=$(mktemp -d)
  echo "=== sanitizers: $("$python" --version) ($python) in $work"
  make_sanitized_venv "$python" "$work"
  if run_sanitized "$work" "$work/venv/bin/python" -m pytest -q -p no:cacheprovider tests; then
    rm -rf "$work"  # the build tree alone takes a few hundred megabytes
  else
    status=1
  fi
done
exit $status
