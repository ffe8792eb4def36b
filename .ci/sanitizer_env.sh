# Sourced by .ci/sanitize.sh and .ci/fuzz.sh (run from the repository root).
#
# sanitized_dir PYTHON
#   Prints the directory for PYTHON's sanitized build: a per-version one under
#   $NORBE_SANITIZED_ROOT when that is set (so that .ci/sanitize.sh and
#   .ci/fuzz.sh share one build; its owner removes it), else a new temporary one.
# make_sanitized_venv PYTHON DIR
#   Creates DIR/venv (unless DIR already holds a checked sanitized build) with the test dependencies and norbe built with
#   AddressSanitizer, UndefinedBehaviorSanitizer and the allocation failure
#   hook (build tree in DIR/build).
# run_sanitized DIR COMMAND...
#   Runs COMMAND with the sanitizer runtimes preloaded into the interpreter.
#   Every report, also one raised in a subprocess, is written to
#   DIR/reports; a run that leaves a report there fails.

sanitizer_runtimes() {
  local runtime runtimes=""
  for runtime in libasan.so libubsan.so; do
    runtime=$(g++ -print-file-name="$runtime")
    [ -e "$runtime" ] || { echo "missing sanitizer runtime $runtime" >&2; return 1; }
    runtimes="$runtimes $runtime"
  done
  echo "${runtimes# }"
}

sanitized_dir() {
  if [ -n "${NORBE_SANITIZED_ROOT:-}" ]; then
    local dir
    dir=$NORBE_SANITIZED_ROOT/$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    mkdir -p "$dir"
    echo "$dir"
  else
    mktemp -d
  fi
}

check_sanitized_venv() {
  local dir=$1 module symbols
  module=$("$dir/venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("norbe").origin)') || return 1
  symbols=$(nm -D "$module")
  [[ $symbols == *__asan_init* && $symbols == *norbe_fault_injection_arm* ]]
}

make_sanitized_venv() {
  local python=$1 dir=$2
  if [ -x "$dir/venv/bin/python" ] && check_sanitized_venv "$dir" 2>/dev/null; then
    echo "sanitized build: reusing $dir"
    return 0
  fi
  rm -rf "$dir/venv" "$dir/build"
  "$python" -m venv "$dir/venv"
  "$dir/venv/bin/python" -m pip install --quiet scikit-build-core pytest hypothesis numpy
  # No -Werror here: the sanitizers make GCC's flow warnings unreliable; the
  # ordinary CI build checks warnings. -O1 keeps the build quick and the
  # reports' stacks readable.
  NORBE_SANITIZE=ON NORBE_FAULT_INJECTION=ON \
    "$dir/venv/bin/python" -m pip install --quiet --no-build-isolation \
    -Ccmake.build-type=RelWithDebInfo -Ccmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -Cbuild-dir="$dir/build" .
  if ! check_sanitized_venv "$dir"; then
    echo "$dir/venv: norbe is not a sanitized fault-injection build" >&2
    return 1
  fi
}

run_sanitized() {
  local dir=$1 runtimes status=0 report
  shift
  runtimes=$(sanitizer_runtimes) || return 1
  mkdir -p "$dir/reports"
  # Interpreter-owned memory is not ours to judge here (detect_leaks=0; the
  # leak check is .ci/leaks.sh). allocator_may_return_null lets a refused
  # allocation reach the code as a null result, as it would without ASan.
  env LD_PRELOAD="$runtimes" \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1:log_path=$dir/reports/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$dir/reports/ubsan" \
    "$@" || status=1
  for report in "$dir"/reports/*; do
    [ -e "$report" ] || continue
    echo "--- sanitizer report $report" >&2
    cat "$report" >&2
    status=1
  done
  return $status
}
