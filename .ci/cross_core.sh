#!/usr/bin/env bash
# Compiles the pure C++ (src/core and src/process, no Python.h) for the targets this machine
# cannot test: x86_64-windows-gnu and aarch64-macos, with zig's compiler from
# PyPI. Catches code that only builds on Linux (the platform layer's Windows
# branch included). Warnings are errors.
#
# Usage: .ci/cross_core.sh [python]   (default: the first CPython 3.12+)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=.ci/interpreters.sh
source .ci/interpreters.sh
select_interpreters cross_core "$@"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"${interpreters[0]}" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check ziglang
for target in x86_64-windows-gnu aarch64-macos; do
  echo "=== core for $target"
  for source in src/core/*.cpp src/process/*.cpp; do
    "$work/venv/bin/python" -m ziglang c++ -target "$target" -std=c++20 -Wall -Wextra -Werror -Isrc \
      -c "$source" -o "$work/$(basename "$source" .cpp)-$target.o"
  done
done
echo "cross_core: src/core and src/process compile for x86_64-windows-gnu and aarch64-macos"
