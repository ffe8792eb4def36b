#!/usr/bin/env bash
# Instructions per call of an installed wheel beside the local build of the
# same interpreter (pip install . with the machine's compiler): norbe's rows of
# bench/instructions.py under callgrind, both columns and their ratio, and the
# rows where the wheel is more than 5% behind. Each build is imported from a
# venv of its own, run outside the source tree.
#
# Usage: .ci/wheel_bench.sh PYTHON WHEEL   (NORBE_BENCH_LOOPS: N, default 200)
set -euo pipefail
cd "$(dirname "$0")/.."
clone=$PWD
python=$1 wheel=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
command -v valgrind >/dev/null 2>&1 || {
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
start=$SECONDS
"$python" -m venv "$work/local"
"$work/local/bin/python" -m pip install --quiet "$clone"
"$python" -m venv "$work/wheel"
"$work/wheel/bin/python" -m pip install --quiet "$wheel"
echo "wheel_bench: builds ready ($((SECONDS - start)) s)"
cd "$work"
loops=${NORBE_BENCH_LOOPS:-200}
"$work/local/bin/python" "$clone/bench/instructions.py" --no-floor -n "$loops" -j 2 --json "$work/local.json" >/dev/null
"$work/wheel/bin/python" "$clone/bench/instructions.py" --no-floor -n "$loops" -j 2 --json "$work/wheel.json" \
  --against "$work/local.json" --names "installed wheel,local build" | sed -n '/^against:/,$p'
"$work/wheel/bin/python" - "$work/wheel.json" "$work/local.json" <<'PY'
import json, sys
wheel, local = (json.load(open(p))["results"] for p in sys.argv[1:])
base = {r["label"]: r["norbe"] for r in local}
behind = [r["label"] for r in wheel if r["norbe"] > 1.05 * base[r["label"]]]
print(f"wheel_bench: {len(behind)} of {len(wheel)} rows more than 5% behind the local build"
      + (": " + "; ".join(behind) if behind else ""))
PY
echo "wheel_bench: $((SECONDS - start)) s"
