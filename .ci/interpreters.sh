# Sourced by the CI scripts (run from the repository root).
#
# cpython_interpreters
#   Prints one path per CPython 3.12 or later found on the machine (pyenv's
#   versions, then python3.1x and python3 on PATH), one per minor version.

cpython_interpreters() {
  local candidates=() python version seen=""
  if command -v pyenv >/dev/null 2>&1; then
    for python in "$(pyenv root)"/versions/*/bin/python; do candidates+=("$python"); done
  fi
  for python in python3.12 python3.13 python3.14 python3; do
    command -v "$python" >/dev/null 2>&1 && candidates+=("$(command -v "$python")")
  done
  for python in "${candidates[@]}"; do
    [ -x "$python" ] || continue
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2] if sys.implementation.name == "cpython" and sys.version_info >= (3, 12) else "")' 2>/dev/null) || continue
    [ -n "$version" ] || continue
    case " $seen " in *" $version "*) continue ;; esac
    seen="$seen $version"
    echo "$python"
  done
}

# select_interpreters NAME [python ...]
#   Sets the array `interpreters` to the given interpreters, or to every one
#   cpython_interpreters finds; exits with a message naming NAME if none.
select_interpreters() {
  local name=$1
  shift
  if [ "$#" -gt 0 ]; then
    interpreters=("$@")
  else
    mapfile -t interpreters < <(cpython_interpreters)
  fi
  if [ "${#interpreters[@]}" -eq 0 ]; then
    echo "$name: no CPython 3.12 or later found" >&2
    exit 1
  fi
}
