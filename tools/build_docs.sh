#!/usr/bin/env bash
# Builds the documentation site into OUTDIR with warnings as errors, then runs
# every example of it (Sphinx's doctest builder, outputs compared):
#   bash tools/build_docs.sh OUTDIR
# Run inside a virtual environment in which norbe and the docs dependencies
# (`python -m pip install --group docs`, or docs/requirements.txt) are installed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
out=$(realpath -m "$1")

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The site's sources: docs/, the changelog and the contributing guide, and the
# performance charts drawn from the committed bench output.
cp -r docs "$tmp/src"
cp CHANGELOG.md "$tmp/src/changelog.md"
cp CONTRIBUTING.md "$tmp/src/contributing.md"
python docs/performance/charts.py docs/performance "$tmp/src/performance"

export NORBE_ROOT=$root
echo "--- html (warnings as errors)"
python -m sphinx -W --keep-going -q -b html -d "$tmp/doctrees" "$tmp/src" "$out"
echo "--- examples (doctest)"
echo "(one internal-failure report on standard error is expected: the threads page uses an IfThen on another thread)"
python -m sphinx -W --keep-going -q -b doctest -d "$tmp/doctrees" "$tmp/src" "$tmp/doctest"
tail -n 4 "$tmp/doctest/output.txt"
echo "site: $out/index.html"
