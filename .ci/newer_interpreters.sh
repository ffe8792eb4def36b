#!/usr/bin/env bash
# Runs the suite on the interpreters this machine lacks, each in its own Debian
# root so that the host stays as it is:
#   sid            python3.14 and python3.15 from the archive (with -dev, -venv)
#   free-threaded  CPython 3.13 built with --disable-gil from Debian's python3.13
#                  source package, in a trixie root; the suite runs with the GIL
#                  disabled, and `import norbe` must leave it disabled, silently.
#   arm64          a trixie root for arm64, run under qemu-user through
#                  binfmt_misc, with python3.13 and the suite's dependencies
#                  from the archive. It installs the cp313 aarch64 wheel named
#                  by NORBE_CI_ARM64_WHEEL and runs the whole suite from a copy
#                  of tests/ outside any source tree.
# In the sid and free-threaded roots norbe is built from a copy of this clone
# in a fresh virtual environment (warnings as errors); then the whole suite,
# the stub check and the example run.
#
# The roots live outside the clone (NORBE_CI_ROOTS, default /var/cache/norbe-ci)
# and are reused by later runs: a root counts as complete only once its marker
# file, written last, names the current recipe. A first run takes about 20
# minutes (the interpreter build); a run that reuses the roots, a few.
#
# The Debian mirror is the one this machine's apt configuration names (deb822
# .sources files, then sources.list); NORBE_CI_MIRROR overrides it.
#
# Usage: .ci/newer_interpreters.sh [sid] [free-threaded] [arm64]
#        (default: sid and free-threaded)
#        NORBE_CI_ROOTS_ONLY=1 only makes the roots.
set -euo pipefail
cd "$(dirname "$0")/.."
clone=$PWD

roots=${NORBE_CI_ROOTS:-/var/cache/norbe-ci}

# shellcheck source=.ci/debian_mirror.sh
source .ci/debian_mirror.sh
mirror=$(debian_mirror)
[ -n "$mirror" ] || { echo "no Debian mirror in the apt configuration; set NORBE_CI_MIRROR" >&2; exit 2; }
# The newest python3.13 whose sources the mirror serves (sid's index lists
# newer ones, and 3.14's, whose files it does not serve).
ft_version=${NORBE_CI_FT_VERSION:-3.13.15}
ft_prefix=/opt/python$ft_version-nogil
# Bump to rebuild the roots when what they hold changes.
sid_recipe="sid python3.14 python3.15 r1"
ft_recipe="trixie python3.13 $ft_version --disable-gil $ft_prefix r1"
arm64_packages="python3.13 python3.13-venv python3-pytest python3-hypothesis python3-numpy"
arm64_recipe="trixie arm64 $arm64_packages r1"

log() { printf '[%s] %s\n' "$(date +%T)" "$*"; }

# The certificate bundle the host's pip verifies with: pip inside a root uses a
# copy of it (without it the proxy's certificates fail verification).
host_ca_bundle() {
  local cert
  for cert in "${PIP_CERT:-}" \
    "$(python3 -m pip config get global.cert 2>/dev/null || true)" \
    "${REQUESTS_CA_BUNDLE:-}" "${SSL_CERT_FILE:-}" /etc/ssl/certs/ca-certificates.crt; do
    if [ -n "$cert" ] && [ -f "$cert" ]; then
      echo "$cert"
      return
    fi
  done
}

command -v debootstrap >/dev/null 2>&1 || {
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
}

# Mount points of the root in use, unmounted on exit whatever happens.
mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${mounted[$i]}" 2>/dev/null || umount -l "${mounted[$i]}" 2>/dev/null || true
  done
  mounted=()
}
trap unmount_all EXIT

enter() { # enter ROOT: mounts /proc and /dev and copies the host's DNS and certificates
  local root=$1
  mountpoint -q "$root/proc" || { mount -t proc proc "$root/proc" && mounted+=("$root/proc"); }
  if ! mountpoint -q "$root/dev"; then
    mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev" && mounted+=("$root/dev")
  fi
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  local ca
  ca=$(host_ca_bundle)
  [ -z "$ca" ] || cp -L "$ca" "$root/etc/norbe-ci-ca.crt"
}

in_root() { # in_root ROOT SCRIPT: runs SCRIPT with bash in the root, in a clean environment
  local root=$1
  shift
  local cert=()
  [ ! -f "$root/etc/norbe-ci-ca.crt" ] || cert=(PIP_CERT=/etc/norbe-ci-ca.crt)
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${cert[@]}" \
    /bin/bash -euo pipefail -c "$1"
}

# make_root NAME SUITE RECIPE SOURCES SETUP: debootstraps $roots/NAME (unless a
# complete one is there), writes its apt sources, then runs SETUP in it.
make_root() {
  local name=$1 suite=$2 recipe=$3 sources=$4 setup=$5
  local root=$roots/$name marker=$roots/$name/.norbe-ci-complete
  if [ -f "$marker" ] && [ "$(cat "$marker")" = "$recipe" ]; then
    log "$name: reusing $root"
    return
  fi
  local start=$SECONDS
  log "$name: making $root ($recipe)"
  unmount_all
  rm -rf --one-file-system "$root"
  mkdir -p "$roots"
  if [ -n "${debootstrap_arch:-}" ]; then
    # A foreign root: the first stage unpacks, the second runs under qemu-user.
    debootstrap --variant=minbase --foreign --arch="$debootstrap_arch" "$suite" "$root" "$mirror" \
      >"$roots/$name.debootstrap.log" 2>&1 &&
      chroot "$root" /debootstrap/debootstrap --second-stage >>"$roots/$name.debootstrap.log" 2>&1 || {
      tail -n 30 "$roots/$name.debootstrap.log"
      return 1
    }
  else
    debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$roots/$name.debootstrap.log" 2>&1 || {
      tail -n 30 "$roots/$name.debootstrap.log"
      return 1
    }
  fi
  log "$name: debootstrap done ($((SECONDS - start)) s)"
  printf '%s\n' "$sources" >"$root/etc/apt/sources.list"
  rm -f "$root"/etc/apt/sources.list.d/*
  printf 'Acquire::Check-Valid-Until "false";\nAPT::Install-Recommends "false";\n' \
    >"$root/etc/apt/apt.conf.d/90norbe-ci"
  enter "$root"
  in_root "$root" "$setup"
  unmount_all
  echo "$recipe" >"$marker"
  log "$name: ready ($((SECONDS - start)) s)"
}

make_sid() {
  make_root sid sid "$sid_recipe" "deb $mirror sid main" '
    apt-get update -qq
    apt-get install -y -qq build-essential git ca-certificates \
      python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv >/dev/null
    python3.14 --version; python3.15 --version'
}

make_free_threaded() {
  make_root free-threaded trixie "$ft_recipe" "deb $mirror trixie main
deb-src $mirror sid main" '
    apt-get update -qq
    apt-get install -y -qq build-essential git ca-certificates dpkg-dev xz-utils pkg-config \
      libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev \
      libncurses-dev libgdbm-dev uuid-dev libexpat1-dev >/dev/null
    mkdir -p /src && cd /src
    apt-get source -qq -o APT::Sandbox::User=root --download-only python3.13='"$ft_version"'-1
    tar -xf python3.13_'"$ft_version"'.orig.tar.*
    cd Python-'"$ft_version"'
    t=$SECONDS
    ./configure -q --prefix='"$ft_prefix"' --disable-gil --with-ensurepip=no >/src/configure.log 2>&1
    echo "configure: $((SECONDS - t)) s"; t=$SECONDS
    make -s -j2 >/src/make.log 2>&1
    echo "make: $((SECONDS - t)) s"; t=$SECONDS
    make -s install >/src/install.log 2>&1
    echo "install: $((SECONDS - t)) s"
    cd / && rm -rf /src/Python-'"$ft_version"'
    '"$ft_prefix"'/bin/python3.13t -c "import sys; assert not sys._is_gil_enabled(); print(sys.version)"'
}

# binfmt_arm64: lets this machine run aarch64 binaries through qemu-user
# (Debian's qemu-user-static); mounts binfmt_misc and registers qemu-aarch64
# where that is not done yet. The registration opens the emulator at once
# (flag F), so that it also serves inside chroots.
binfmt_arm64() {
  local misc=/proc/sys/fs/binfmt_misc
  [ -x /usr/libexec/qemu-binfmt/aarch64-binfmt-P ] || {
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static >/dev/null
  }
  mountpoint -q "$misc" || mount -t binfmt_misc binfmt_misc "$misc"
  if [ ! -e "$misc/qemu-aarch64" ]; then
    grep -v '^#' /usr/lib/binfmt.d/qemu-aarch64.conf | head -n 1 >"$misc/register"
  fi
  grep -q '^enabled' "$misc/qemu-aarch64" || echo 1 >"$misc/qemu-aarch64"
}

make_arm64() {
  binfmt_arm64
  debootstrap_arch=arm64 make_root arm64 trixie "$arm64_recipe" "deb $mirror trixie main" '
    apt-get update -qq
    apt-get install -y -qq '"$arm64_packages"' >/dev/null
    uname -m; python3.13 --version'
}

# Tests that fail under qemu-user only: address-space limits and allocation
# failures behave otherwise under the emulator, which maps the guest's memory
# itself.
arm64_deselect="--deselect tests/test_constraints.py::test_out_of_memory_while_copying_raises_memory_error
  --deselect tests/test_memory.py::test_a_failed_first_import_leaves_a_whole_module_for_the_next
  --deselect tests/test_memory.py::test_a_resumed_internal_failure_keeps_its_message_when_an_allocation_fails"
arm64_deselect=$(echo $arm64_deselect)

# test_arm64 WHEEL: installs WHEEL in a fresh virtual environment of the arm64
# root (beside the archive's pytest, hypothesis and numpy) and runs the suite
# from a copy of tests/ and tools/api_records.py, away from any source tree.
test_arm64() {
  local wheel=$1 root=$roots/arm64 work=/work/norbe-arm64
  [ -f "$wheel" ] || { echo "arm64: no wheel at '$wheel' (NORBE_CI_ARM64_WHEEL)" >&2; return 1; }
  rm -rf "${root:?}$work"
  mkdir -p "$root$work/tools"
  cp -r "$clone/tests" "$root$work/"
  cp "$clone/tools/api_records.py" "$root$work/tools/"
  cp "$wheel" "$root$work/"
  in_root "$root" "
    cd $work
    uname -m
    python3.13 -m venv --system-site-packages .venv
    .venv/bin/python -m pip install --quiet --no-index --no-deps ./$(basename "$wheel")
    .venv/bin/python -c 'import norbe, sys; assert \"site-packages\" in norbe.__file__, norbe.__file__; print(sys.version, norbe.__file__)'
    t=\$SECONDS
    status=0
    .venv/bin/python -m pytest -q -p no:cacheprovider tests $arm64_deselect || status=1
    echo \"arm64 suite under qemu: \$((SECONDS - t)) s\"
    exit \$status"
}

# test_in ROOT PYTHON [ENV...]: builds norbe from a copy of the clone in a fresh
# virtual environment of PYTHON inside ROOT and runs the suite, the stub check
# and the example there.
test_in() {
  local root=$1 python=$2
  shift 2
  local work=/work/norbe-$(basename "$python")
  rm -rf "${root:?}$work"
  mkdir -p "$root$work"
  git -C "$clone" ls-files -z --cached --others --exclude-standard |
    (cd "$clone" && xargs -0 cp --parents -t "$root$work" 2>/dev/null) || true
  in_root "$root" "
    export NORBE_WERROR=ON $*
    cd $work
    $python -m venv .venv
    . .venv/bin/activate
    echo \"=== \$(python -VV) ($python)\"
    python -m pip install --quiet --upgrade pip
    python -m pip install --quiet . && norbe
    python -m pip install --quiet --only-binary=hypothesis,numpy pytest hypothesis numpy
    status=0
    python -m pytest -q -p no:cacheprovider || status=1
    # mypy as wheels only: some of its dependencies have no free-threaded wheels.
    python -m pip install --quiet --only-binary=:all: mypy
    bash tools/check_stubs.sh || status=1
    exit \$status"
}

# Parsed whole before it runs, so that editing this file during a run is harmless.
main() {
  local targets=("$@") target start python status=0
  [ "${#targets[@]}" -gt 0 ] || targets=(sid free-threaded)
  for target in "${targets[@]}"; do
    start=$SECONDS
    case $target in
      sid)
        make_sid
        [ -n "${NORBE_CI_ROOTS_ONLY:-}" ] && continue
        enter "$roots/sid"
        for python in python3.14 python3.15; do
          test_in "$roots/sid" "$python" || status=1
        done
        ;;
      free-threaded)
        make_free_threaded
        [ -n "${NORBE_CI_ROOTS_ONLY:-}" ] && continue
        enter "$roots/free-threaded"
        # With the GIL disabled, norbe's import must keep it so and say nothing.
        in_root "$roots/free-threaded" "
          out=\$(PYTHON_GIL=0 PYTHONPATH= $ft_prefix/bin/python3.13t -W error -c 'import sys; print(sys._is_gil_enabled())' 2>&1)
          [ \"\$out\" = False ]" || { echo "free-threaded interpreter starts with the GIL enabled" >&2; status=1; }
        test_in "$roots/free-threaded" "$ft_prefix/bin/python3.13t" PYTHON_GIL=0 || status=1
        in_root "$roots/free-threaded" "
          cd /work/norbe-python3.13t && . .venv/bin/activate
          out=\$(python -c 'import norbe, sys; print(sys._is_gil_enabled())' 2>&1)
          echo \"import norbe, default mode: \$out\"
          [ \"\$out\" = False ]" || { echo "import norbe enabled the GIL or warned" >&2; status=1; }
        ;;
      arm64)
        make_arm64
        [ -n "${NORBE_CI_ROOTS_ONLY:-}" ] && continue
        enter "$roots/arm64"
        test_arm64 "${NORBE_CI_ARM64_WHEEL:-}" || status=1
        ;;
      *)
        echo "unknown target: $target" >&2
        exit 2
        ;;
    esac
    unmount_all
    log "$target: $((SECONDS - start)) s"
  done
  return $status
}
main "$@"; exit $?
