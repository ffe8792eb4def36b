#!/usr/bin/env bash
# Checks the type stubs against the built extension. Run inside an activated
# virtual environment in which norbe is installed:
#   1. every public name has a docstring in tools/stub_docs.py, the stubs
#      regenerated from the extension's API records with those docstrings
#      equal the committed norbe-stubs/, and the installed copy equals both;
#   2. mypy.stubtest finds no difference between the stubs and the runtime
#      module (all five modules; see tools/stubtest-allowlist.txt);
#   3. the example program type-checks with mypy --strict against the
#      installed stubs, and runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

python -c 'import mypy' 2>/dev/null || python -m pip install --quiet mypy

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

echo "--- docstrings of every public name (tools/stub_docs.py)"
python tools/api_records.py docs
echo "--- stubs regenerated from the API records"
python tools/api_records.py stubs "$tmp/norbe-stubs"
diff -ru norbe-stubs "$tmp/norbe-stubs"
installed=$(python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')/norbe-stubs
diff -ru --exclude=__pycache__ norbe-stubs "$installed"

# From a directory outside the work tree, so that mypy resolves norbe to the
# installed stub package and nothing else. stubtest takes the submodules of
# norbe from the stub package itself: naming them too would add them twice.
cd "$tmp"
echo "--- stubtest"
python -m mypy.stubtest --allowlist "$root/tools/stubtest-allowlist.txt" norbe
echo "--- mypy --strict examples/describe_packages.py"
python -m mypy --strict --cache-dir "$tmp/mypy-cache" "$root/examples/describe_packages.py"
echo "--- examples/describe_packages.py"
python "$root/examples/describe_packages.py"
