#!/usr/bin/env bash
# Builds the extension for a target that Debian's releases provide, against
# the headers of that target's own interpreter, and stages an importable copy
# of the package, like dev_build.sh:
#   devtools/build_target.sh --arch ARCH --python 3.X [--wheel DIST_DIR] BUILD_DIR [extra cmake -D options...]
# ARCH is Debian's name: armhf (32-bit ARM, hard float), arm64 (64-bit ARM)
# or amd64 (x86_64, for the interpreters the host does not have). 3.X picks
# the release: 3.11 bookworm, 3.13 trixie, 3.14 and 3.15 forky. With --wheel,
# pip and scikit-build-core (run by the host's python3, whatever its version)
# also make the wheel with the same settings, tagged for the target
# (tarnvel-*-cp314-cp314-linux_armv7l.whl, say) with `wheel tags`, into
# DIST_DIR, replacing an earlier one of that tag; build_wheels.sh repairs it.
# The last line printed is the stage dir. BUILD_DIR/rootfs links to the root
# file system that gave the Python headers; it also holds the interpreter and
# the test packages to run the staged copy: under qemu on ARM,
#   qemu-arm-static -L BUILD_DIR/rootfs BUILD_DIR/rootfs/usr/bin/python3.11 -P ...
# and under chroot on amd64, with the stage copied into the root file system
# (.ci/targets.sh runs the test suite both ways).
#
# Needs: apt-get install mmdebstrap cmake ninja-build binutils, and for ARM
# qemu-user-static and g++-arm-linux-gnueabihf or g++-aarch64-linux-gnu.
# A root file system is made once per architecture, release and package list,
# without emulation, and kept in /var/cache/tarnvel-rootfs (or ~/.cache when
# that is not writable); TARNVEL_TARGET_ROOTFS=DIR makes or reuses one at DIR
# instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: build_target.sh --arch armhf|arm64|amd64 --python 3.X [--wheel DIST_DIR] BUILD_DIR [cmake options...]"

say() { printf 'build_target.sh: %s\n' "$*" >&2; }
die() {
  say "$*"
  exit 1
}

arch=
version=
dist=
while [[ ${1:-} == --* ]]; do
  case $1 in
    --arch) arch=${2:?$usage} ;;
    --python) version=${2:?$usage} ;;
    --wheel) dist=${2:?$usage} ;;
    *) die "$usage" ;;
  esac
  shift 2
done
build=${1:?$usage}
shift
[[ -n $arch && -n $version ]] || die "$usage"

# The architectures: GNU triplet, compiler (and its Debian package), the
# emulator that runs the target's programs (none: chroot, on an x86_64 host),
# the dynamic loader's path in the root file system, and the wheel's platform.
case $arch in
  armhf) triplet=arm-linux-gnueabihf emulator=qemu-arm-static loader=lib/ld-linux-armhf.so.3 platform=linux_armv7l ;;
  arm64) triplet=aarch64-linux-gnu emulator=qemu-aarch64-static loader=lib/ld-linux-aarch64.so.1 platform=linux_aarch64 ;;
  amd64)
    triplet=x86_64-linux-gnu emulator='' loader=lib64/ld-linux-x86-64.so.2 platform=linux_x86_64
    [[ $(uname -m) == x86_64 ]] || die "--arch amd64 runs its interpreter under chroot, so needs an x86_64 host"
    ;;
  *) die "unknown architecture '$arch': choose armhf, arm64 or amd64" ;;
esac
compiler=$([[ $arch == amd64 ]] && echo g++ || echo "$triplet-g++")

# The Debian release that ships the interpreter, and every interpreter that
# release ships (one root file system serves them all). Trixie and later have
# merged /usr: their packages put everything under /usr and expect /lib, /bin
# and /sbin to link there. The registry's copy of the testing release, forky,
# is past its validity date.
apt_options=()
case $version in
  3.11) suite=bookworm suite_versions=(3.11) merged_usr=false ;;
  3.13) suite=trixie suite_versions=(3.13) merged_usr=true ;;
  3.14 | 3.15)
    suite=forky suite_versions=(3.14 3.15) merged_usr=true
    apt_options=(--aptopt='Acquire::Check-Valid-Until "false"')
    ;;
  *) die "no Debian release ships Python $version: choose 3.11 (bookworm), 3.13 (trixie), 3.14 or 3.15 (forky)" ;;
esac
python=python$version
# What the test suite imports, as Debian packages (their own dependencies come
# along). libc-bin gives ldconfig; base-files and tzdata the /etc files that
# qemu would otherwise take from the host; lib$python-testsuite _testcapi.
# On amd64 also coreutils, for the env that starts the suite in its
# directory, and valgrind with the sh its wrapper needs, for
# bench/rootfs_bench.sh.
packages=()
for suite_version in "${suite_versions[@]}"; do
  packages+=("python$suite_version" "libpython$suite_version-dev" "libpython$suite_version-testsuite")
done
packages+=(python3-requests python3-pytest python3-hypothesis python3-responses python3-trustme python3-openssl
  ca-certificates libc-bin base-files tzdata)
[[ $arch != amd64 ]] || packages+=(coreutils dash valgrind)
# Bump when the preparation below changes, so cached file systems are remade.
prep_revision=2

host_python=${PYTHON:-python3}
mkdir -p "$build" ${dist:+"$dist"}
build=$(cd "$build" && pwd)
[[ -z $dist ]] || dist=$(cd "$dist" && pwd)

for tool in "$compiler" ${emulator:+"$emulator"} mmdebstrap cmake ninja readelf; do
  command -v "$tool" >/dev/null || die "$tool not found; install it with:
  apt-get install --no-install-recommends g++${emulator:+-$triplet qemu-user-static} mmdebstrap cmake ninja-build binutils"
done

# Fixes what package maintainer scripts would have done, had they run, and
# what qemu -L would otherwise quietly take from the host.
prepare_rootfs() {
  local fs=$1
  "$host_python" "$root/devtools/prepare_rootfs.py" "$fs" "$loader"
  # The target's own ldconfig (static), so that the dynamic loader finds a
  # cache of the target's libraries instead of reading the host's.
  ${emulator:+"$emulator"} "$fs/sbin/ldconfig" -r "$fs"
  [[ -s $fs/etc/ld.so.cache ]] || die "ldconfig made no cache in $fs"
}

# Byte-compiles the interpreter's library and the packages, once per
# interpreter and root file system, the first time a build asks for that
# interpreter: under qemu -L an interpreter cannot write its caches into the
# root file system, and would compile again at every start. Done by the
# target interpreter itself. The stdlib's own test package holds
# deliberately broken sources: skip it. Under qemu one process: the worker
# processes of -j would start without the emulator.
byte_compile() {
  local fs=$1 marker=$1/.tarnvel-compiled-$version
  [[ ! -f $marker ]] || return 0
  say "byte-compiling the library of $python in $fs"
  local skip="/usr/lib/${python//./\\.}/(test|lib2to3/tests)/"
  if [[ -n $emulator ]]; then
    "$emulator" -L "$fs" "$fs/usr/bin/$python" -m compileall -q -s "$fs" -p / -x "$skip" \
      "$fs/usr/lib/$python" "$fs/usr/lib/python3/dist-packages" >/dev/null
  else
    chroot "$fs" "/usr/bin/$python" -m compileall -q -j 0 -x "$skip" \
      "/usr/lib/$python" /usr/lib/python3/dist-packages >/dev/null
  fi
  touch "$marker"
}

# Prints the root file system's path, making it first when needed.
ensure_rootfs() {
  local fs key cache new
  if [[ -n ${TARNVEL_TARGET_ROOTFS:-} ]]; then
    fs=$TARNVEL_TARGET_ROOTFS
  else
    key=$(printf '%s\n' "$arch" "$suite" "$prep_revision" "${packages[@]}" | sha256sum | cut -c1-16)
    cache=/var/cache/tarnvel-rootfs
    if ! mkdir -p "$cache" 2>/dev/null || [[ ! -w $cache ]]; then
      cache=${XDG_CACHE_HOME:-$HOME/.cache}/tarnvel-rootfs
      mkdir -p "$cache"
    fi
    fs=$cache/$arch-$suite-$key
  fi
  if [[ ! -f $fs/.tarnvel-ready ]]; then
    say "making the $arch $suite root file system $fs"
    mkdir -p "$(dirname "$fs")"
    # Made beside its final place and renamed when complete, so that an
    # interrupted run leaves nothing that looks usable.
    new=$(mktemp -d "$fs.new.XXXXXX")
    local hooks=()
    if $merged_usr; then
      # --variant=extract runs no package script, so nothing else would make
      # the links; made before unpacking, files still shipped in /lib land in
      # /usr/lib too (mmdebstrap's tar keeps directory links).
      local links="bin sbin lib"
      [[ $arch != amd64 ]] || links+=" lib64"
      # shellcheck disable=SC2016  # expanded by mmdebstrap's sh, $1 the root
      hooks+=(--setup-hook='for d in '"$links"'; do mkdir -p "$1/usr/$d" && ln -s "usr/$d" "$1/$d"; done')
    fi
    mmdebstrap --quiet --arch="$arch" --variant=extract "${apt_options[@]}" "${hooks[@]}" \
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
[[ -x $rootfs/usr/bin/$python ]] || die "$rootfs holds no /usr/bin/$python (TARNVEL_TARGET_ROOTFS names another release's?)"
byte_compile "$rootfs"
# The target interpreter's own file suffix, from its build-time configuration
# (the file's name varies between releases: _sysconfigdata__linux_arm-... in 3.13).
sysconfigdata=("$rootfs/usr/lib/$python"/_sysconfigdata_*"$triplet".py)
[[ -f ${sysconfigdata[0]} ]] || die "no _sysconfigdata_*$triplet.py in $rootfs/usr/lib/$python"
suffix=$("$host_python" -c 'import runpy, sys; print(runpy.run_path(sys.argv[1])["build_time_vars"]["EXT_SUFFIX"])' \
  "${sysconfigdata[0]}")
[[ $suffix == ".cpython-${version/./}-$triplet.so" ]] || die "unexpected extension suffix $suffix"

target=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/$triplet.cmake"
  -DTARNVEL_TARGET_ROOTFS="$rootfs"
  -DTARNVEL_PYTHON_INCLUDE_DIR="$rootfs/usr/include/$python"
  -DTARNVEL_EXTENSION_SUFFIX="$suffix" "$@")
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" "${target[@]}" >/dev/null
cmake --build "$build" >&2

if [[ -n $dist ]]; then
  # Every CMake setting above is handed through as a define. The wheel comes
  # out tagged for the host's interpreter and platform, and is then tagged
  # for the target's.
  wheel_settings=(-C build-dir="$build/wheel")
  for define in "${target[@]}"; do
    wheel_settings+=(-C cmake.define."${define#-D}")
  done
  cmake_program=$(native_program cmake)
  ninja_program=$(native_program ninja ninja-build)
  wheel_settings+=(-C cmake.define.CMAKE_MAKE_PROGRAM="$ninja_program")
  out=$build/wheel-out
  rm -rf "$out"
  CMAKE_EXECUTABLE=$cmake_program CMAKE_MAKE_PROGRAM=$ninja_program \
    "$host_python" -m pip wheel "$root" --no-deps -q -w "$out" "${wheel_settings[@]}" >&2
  built=("$out"/tarnvel-*.whl)
  [[ ${#built[@]} -eq 1 && -f ${built[0]} ]] || die "pip made no single wheel in $out"
  # shellcheck source=devtools/wheel_tools.sh
  source "$root/devtools/wheel_tools.sh"
  tools=$(wheel_tools)
  tag=cp${version/./}
  "$tools/wheel" tags --python-tag "$tag" --abi-tag "$tag" --platform-tag "$platform" "${built[0]}" >/dev/null
  tagged=("$out"/tarnvel-*-"$tag-$tag-$platform".whl)
  [[ ${#tagged[@]} -eq 1 && -f ${tagged[0]} ]] || die "no $tag-$tag-$platform wheel in $out: $(ls "$out")"
  rm -f "$dist"/tarnvel-*-"$tag-$tag-$platform".whl
  mv "${tagged[0]}" "$dist/"
fi
ln -sfn "$rootfs" "$build/rootfs"

stage="$build/stage"
"$root/devtools/stage_package.sh" "$stage" "$build/api_logic$suffix"
echo "$stage"
