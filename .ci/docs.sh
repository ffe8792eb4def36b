#!/usr/bin/env bash
# The documentation as a reader meets it: builds the site with warnings as
# errors and runs its examples (tools/build_docs.sh), checks every internal link
# and anchor, serves the site on 127.0.0.1 and opens the home and API pages in
# headless Chromium (console errors fail; screenshots kept in DOCS_SCREENSHOTS
# when set), and checks that README.md renders on the package index without
# literal table rows and that every classifier is a known one.
#   .ci/docs.sh [python]   (default: the pyenv CPython 3.12.1)
# Installs what it needs: Debian's chromium and chromedriver, and the Python
# packages in a virtual environment of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")/versions/3.12.1/bin/python}

work=$(mktemp -d)
server=
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
shots=${DOCS_SCREENSHOTS:-$work/screenshots}

if ! command -v chromium >/dev/null 2>&1 || ! command -v chromedriver >/dev/null 2>&1; then
  echo "--- installing chromium and chromium-driver"
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq chromium chromium-driver >/dev/null
fi

echo "--- environment: norbe and the documentation's packages ($("$python" --version))"
"$python" -m venv "$work/venv"
# shellcheck disable=SC1091
source "$work/venv/bin/activate"
python -m pip install --quiet . -r docs/requirements.txt 'readme_renderer[md]' trove-classifiers selenium pytest

bash tools/build_docs.sh "$work/site"

echo "--- README.md as the package index renders it; classifiers"
python tools/check_site.py readme README.md
python tools/check_site.py classifiers pyproject.toml
echo "--- internal links and anchors"
python tools/check_site.py links "$work/site"
echo "--- the checks' own tests"
python -m pytest -q -p no:cacheprovider tests/test_site_checks.py

echo "--- headless Chromium"
port=$(python -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python -m http.server --bind 127.0.0.1 --directory "$work/site" "$port" >"$work/server.log" 2>&1 &
server=$!
for _ in $(seq 50); do
  python -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/index.html')" 2>/dev/null && break
  sleep 0.2
done
python tools/check_site.py browser "http://127.0.0.1:$port" "$shots"
