#!/usr/bin/env bash
# Cross-builds the extension for 32-bit ARM Linux with hard float (armhf) and
# stages an importable copy of the package, like dev_build.sh:
#   devtools/build_armhf.sh [--python 3.11|3.13] [--wheel DIST_DIR] BUILD_DIR [extra cmake -D options...]
# --python names the target interpreter: 3.11 (Debian bookworm's, the
# default) or 3.13 (Debian trixie's). With --wheel, pip and scikit-build-core
# also make an armhf wheel (tarnvel-*-cp311-cp311-linux_armv7l.whl, or cp313)
# in DIST_DIR with the same settings, replacing an earlier one of that tag.
# The last line printed is the stage dir. BUILD_DIR/rootfs links to the armhf
# root file system that gave the Python headers; it also holds the
# interpreter and test packages to run the staged copy under qemu:
#   qemu-arm-static -L BUILD_DIR/rootfs BUILD_DIR/rootfs/usr/bin/python3.11 -P ...
# (.ci/armhf.sh runs the test suite that way).
#
# The host interpreter byte-compiles the target's library and runs pip, so it
# must be of the target's version: $PYTHON when it is, else python3.X or
# python3 on PATH, else pyenv's 3.X.
#
# Needs: apt-get install g++-arm-linux-gnueabihf qemu-user-static mmdebstrap
#        cmake ninja-build
# The root file system is made once per interpreter and package list, without
# emulation, and kept in /var/cache/tarnvel-armhf-rootfs (or ~/.cache when that
# is not writable); TARNVEL_ARMHF_ROOTFS=DIR makes or reuses one at DIR instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: build_armhf.sh [--python 3.11|3.13] [--wheel DIST_DIR] BUILD_DIR [cmake options...]"

die() { printf 'build_armhf.sh: %s\n' "$*" >&2; exit 1; }

version=3.11
dist=
while [[ ${1:-} == --* ]]; do
  case $1 in
    --python) version=${2:?$usage} ;;
    --wheel) dist=${2:?$usage} ;;
    *) die "$usage" ;;
  esac
  shift 2
done
build=${1:?$usage}
shift

# Debian releases whose armhf port ships the interpreter. Trixie has merged
# /usr: its packages put everything under /usr and expect /lib, /bin and /sbin
# to link there.
case $version in
  3.11) suite=bookworm merged_usr=false ;;
  3.13) suite=trixie merged_usr=true ;;
  *) die "no armhf root file system for Python $version: choose 3.11 (Debian bookworm) or 3.13 (Debian trixie)" ;;
esac
python=python$version
# What the test suite imports, as Debian packages (their own dependencies come
# along). libc-bin gives ldconfig; base-files and tzdata the /etc files that
# qemu would otherwise take from the host; lib$python-testsuite _testcapi.
packages=("$python" "lib$python-dev" "lib$python-testsuite" python3-requests python3-pytest
  python3-hypothesis python3-responses python3-trustme python3-openssl ca-certificates
  libc-bin base-files tzdata)
# Bump when the preparation below changes, so cached file systems are remade.
prep_revision=1

# The first candidate that runs and is CPython $version.
find_host_python() {
  local candidate pyenv_root
  pyenv_root=$(pyenv root 2>/dev/null) || pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
  for candidate in ${PYTHON:+"$PYTHON"} "$python" python3 "$pyenv_root/versions/$version".*/bin/"$python"; do
    if [[ $("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null) == "$version" ]]; then
      command -v "$candidate"
      return
    fi
  done
  die "no host interpreter of version $version (set PYTHON, or put $python on PATH)"
}
host_python=$(find_host_python)

mkdir -p "$build" ${dist:+"$dist"}
build=$(cd "$build" && pwd)
[[ -z $dist ]] || dist=$(cd "$dist" && pwd)

for tool in arm-linux-gnueabihf-g++ qemu-arm-static mmdebstrap cmake ninja readelf; do
  command -v "$tool" >/dev/null || die "$tool not found; install it with:
  apt-get install --no-install-recommends g++-arm-linux-gnueabihf qemu-user-static mmdebstrap cmake ninja-build binutils"
done

# Fixes what package maintainer scripts would have done, had they run, and
# what qemu -L would otherwise quietly take from the host.
prepare_rootfs() {
  local fs=$1
  "$host_python" "$root/devtools/prepare_armhf_rootfs.py" "$fs"
  # The target's own ldconfig (static), so that the dynamic loader finds a
  # cache of armhf libraries instead of reading the host's.
  qemu-arm-static "$fs/sbin/ldconfig" -r "$fs"
  [[ -s $fs/etc/ld.so.cache ]] || die "ldconfig made no cache in $fs"

  # Byte-compiled on the host: compiling under emulation costs seconds at
  # every start. Bytecode is portable between interpreters of one magic number.
  local target_magic host_magic
  target_magic=$(sed -n 's/^MAGIC_NUMBER = (\([0-9]*\)).*/\1/p' "$fs/usr/lib/$python/importlib/_bootstrap_external.py")
  host_magic=$("$host_python" -c 'import importlib.util; print(int.from_bytes(importlib.util.MAGIC_NUMBER[:2], "little"))')
  [[ $target_magic == "$host_magic" ]] \
    || die "bytecode magic differs: target $target_magic, host $host_python $host_magic"
  # The stdlib's own test package holds deliberately broken sources: skip it.
  "$host_python" -m compileall -q -j 0 -s "$fs" -p / \
    -x "/usr/lib/${python//./\\.}/(test|lib2to3/tests)/" \
    "$fs/usr/lib/$python" "$fs/usr/lib/python3/dist-packages" >/dev/null
}

# Prints the root file system's path, making it first when needed.
ensure_rootfs() {
  local fs key cache new
  if [[ -n ${TARNVEL_ARMHF_ROOTFS:-} ]]; then
    fs=$TARNVEL_ARMHF_ROOTFS
  else
    key=$(printf '%s\n' "$suite" "$prep_revision" "${packages[@]}" | sha256sum | cut -c1-16)
    cache=/var/cache/tarnvel-armhf-rootfs
    if ! mkdir -p "$cache" 2>/dev/null || [[ ! -w $cache ]]; then
      cache=${XDG_CACHE_HOME:-$HOME/.cache}/tarnvel-armhf-rootfs
      mkdir -p "$cache"
    fi
    fs=$cache/$suite-$key
  fi
  if [[ ! -f $fs/.tarnvel-ready ]]; then
    printf 'build_armhf.sh: making the armhf root file system %s\n' "$fs" >&2
    mkdir -p "$(dirname "$fs")"
    # Made beside its final place and renamed when complete, so that an
    # interrupted run leaves nothing that looks usable.
    new=$(mktemp -d "$fs.new.XXXXXX")
    local hooks=()
    if $merged_usr; then
      # --variant=extract runs no package script, so nothing else would make
      # the links; made before unpacking, files still shipped in /lib land in
      # /usr/lib too (mmdebstrap's tar keeps directory links).
      # shellcheck disable=SC2016  # expanded by mmdebstrap's sh, $1 the root
      hooks+=(--setup-hook='for d in bin sbin lib; do mkdir -p "$1/usr/$d" && ln -s "usr/$d" "$1/$d"; done')
    fi
    mmdebstrap --quiet --arch=armhf --variant=extract "${hooks[@]}" \
      --include="$(IFS=,; printf '%s' "${packages[*]}")" "$suite" "$new/fs" >&2
    prepare_rootfs "$new/fs"
    touch "$new/fs/.tarnvel-ready"
    if [[ -e $fs ]]; then
      [[ -f $fs/.tarnvel-ready ]] || rm -rf "$fs"  # an unusable leftover of an older run
    fi
    mv -T "$new/fs" "$fs" 2>/dev/null || true  # a concurrent run may have won
    rm -rf "$new"
    [[ -f $fs/.tarnvel-ready ]] || die "could not make $fs"
  fi
  printf '%s\n' "$fs"
}

# shellcheck source=devtools/native_program.sh
source "$root/devtools/native_program.sh"

rootfs=$(ensure_rootfs)
[[ -x $rootfs/usr/bin/$python ]] || die "$rootfs holds no /usr/bin/$python (TARNVEL_ARMHF_ROOTFS names another release's?)"
# The target interpreter's own file suffix, from its build-time configuration
# (the file's name varies between releases: _sysconfigdata__linux_arm-... in 3.13).
sysconfigdata=("$rootfs/usr/lib/$python"/_sysconfigdata_*arm-linux-gnueabihf.py)
[[ -f ${sysconfigdata[0]} ]] || die "no _sysconfigdata_*arm-linux-gnueabihf.py in $rootfs/usr/lib/$python"
suffix=$("$host_python" -c 'import runpy, sys; print(runpy.run_path(sys.argv[1])["build_time_vars"]["EXT_SUFFIX"])' \
  "${sysconfigdata[0]}")
[[ $suffix == ".cpython-${version/./}-arm-linux-gnueabihf.so" ]] || die "unexpected extension suffix $suffix"

cross=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-gnueabihf.cmake"
  -DTARNVEL_ARMHF_ROOTFS="$rootfs"
  -DTARNVEL_PYTHON_INCLUDE_DIR="$rootfs/usr/include/$python"
  -DTARNVEL_EXTENSION_SUFFIX="$suffix" "$@")
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" "${cross[@]}" >/dev/null
cmake --build "$build" >&2

if [[ -n $dist ]]; then
  # The wheel's platform tag comes from _PYTHON_HOST_PLATFORM; every CMake
  # setting above is handed through as a define. pip would read that platform
  # for the build environment too and build CMake and Ninja from source for
  # armhf: naming the host's own keeps them out of it.
  wheel_settings=(-C build-dir="$build/wheel")
  for define in "${cross[@]}"; do
    wheel_settings+=(-C cmake.define."${define#-D}")
  done
  cmake_program=$(native_program cmake)
  ninja_program=$(native_program ninja ninja-build)
  wheel_settings+=(-C cmake.define.CMAKE_MAKE_PROGRAM="$ninja_program")
  tag=cp${version/./}
  rm -f "$dist"/tarnvel-*-"$tag-$tag"-linux_armv7l.whl
  CMAKE_EXECUTABLE=$cmake_program CMAKE_MAKE_PROGRAM=$ninja_program \
    _PYTHON_HOST_PLATFORM=linux-armv7l "$host_python" -m pip wheel "$root" --no-deps -q \
    -w "$dist" "${wheel_settings[@]}" >&2
fi
ln -sfn "$rootfs" "$build/rootfs"

stage="$build/stage"
"$root/devtools/stage_package.sh" "$stage" "$build/api_logic$suffix"
echo "$stage"
