#!/usr/bin/env bash
# Builds the extension for a target that Debian's releases provide, against
# the headers of that target's own interpreter, and stages an importable copy
# of the package, like dev_build.sh:
#   devtools/build_target.sh --arch ARCH --python 3.X [--wheel DIST_DIR] BUILD_DIR [extra cmake -D options...]
# ARCH is Debian's name: armhf (32-bit ARM, hard float), arm64 (64-bit ARM)
# or amd64 (x86_64, for the interpreters the host does not have). 3.X picks
# the release (devtools/lib.sh's table of targets): 3.11 bookworm, 3.13
# trixie, 3.14 and 3.15 forky. With --wheel,
# pip and scikit-build-core (run by the host's python3, whatever its version)
# also make the wheel with the same settings, tagged for the target
# (tarnvel-*-cp314-cp314-linux_armv7l.whl, say) with `wheel tags`, into
# DIST_DIR, replacing an earlier one of that tag; build_wheels.sh repairs it.
# With --rootfs-only it only makes (or finds) the target's root file system,
# byte-compiled for the interpreter, and prints its path.
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
# that is not writable; TARNVEL_ROOTFS_CACHE=DIR names another cache);
# TARNVEL_TARGET_ROOTFS=DIR makes or reuses one at DIR instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: build_target.sh --arch armhf|arm64|amd64 --python 3.X [--wheel DIST_DIR] BUILD_DIR [cmake options...]
       build_target.sh --arch ARCH --python 3.X --rootfs-only"

log_tag=build_target.sh
# shellcheck source=devtools/lib.sh
source "$root/devtools/lib.sh"

arch=
version=
dist=
rootfs_only=0
while [[ ${1:-} == --* ]]; do
  case $1 in
    --arch) arch=${2:?$usage} ;;
    --python) version=${2:?$usage} ;;
    --wheel) dist=${2:?$usage} ;;
    --rootfs-only)
      rootfs_only=1
      shift
      continue
      ;;
    *) die "$usage" ;;
  esac
  shift 2
done
[[ -n $arch && -n $version ]] || die "$usage"
if ((rootfs_only)); then
  build=
else
  build=${1:?$usage}
  shift
fi

# What the target is (devtools/lib.sh's table): the compiler for its GNU
# triplet, the emulator that runs its programs (none: chroot, on an x86_64
# host), the dynamic loader's path in the root file system, the wheel's
# platform, and the Debian release that ships the interpreter.
target_row "$arch" "$version"
triplet=${cell[triplet]} emulator=${cell[qemu]:-} loader=${cell[loader]} platform=linux_${cell[machine]}
if [[ -z $emulator ]]; then
  [[ $(uname -m) == x86_64 ]] || die "--arch $arch runs its interpreter under chroot, so needs an x86_64 host"
  compiler=g++
else
  compiler=$triplet-g++
fi
# One root file system serves every interpreter its release ships. Trixie
# and later have merged /usr: their packages put everything under /usr and
# expect /lib, /bin and /sbin to link there. The registry's copy of the
# testing release, forky, is past its validity date.
suite=${cell[release]}
mapfile -t suite_versions < <(release_pythons "$arch" "$suite")
merged_usr=true
[[ $suite != bookworm ]] || merged_usr=false
apt_options=()
[[ $suite != forky ]] || apt_options=(--aptopt='Acquire::Check-Valid-Until "false"')
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
# root file system, and would compile again at every start. The stdlib's own
# test package holds deliberately broken sources: skip it. A .pyc depends on
# the bytecode (its magic number), not on the architecture: for an emulated
# target, an interpreter that runs natively and has the target's magic number
# compiles, in parallel and without emulation (the host's own CPython of that
# version, or else the one in the amd64 root file system of the release).
# Only when neither has it does the target's own interpreter compile under
# qemu, in one process: the worker processes of -j would start without the
# emulator.
magic_of='import _frozen_importlib_external as e; print(e.MAGIC_NUMBER.hex())'
byte_compile() {
  local fs=$1 marker=$1/.tarnvel-compiled-$version
  [[ ! -f $marker ]] || return 0
  local skip="/usr/lib/${python//./\\.}/(test|lib2to3/tests)/" dirs=("/usr/lib/$python" /usr/lib/python3/dist-packages)
  local magic host native inside
  if [[ -z $emulator ]]; then
    say "byte-compiling the library of $python in $fs"
    chroot "$fs" "/usr/bin/$python" -m compileall -q -j 0 -x "$skip" "${dirs[@]}" >/dev/null
  else
    magic=$("$emulator" -L "$fs" "$fs/usr/bin/$python" -I -S -c "$magic_of")
    if host=$(find_python "$version" 2>/dev/null) && [[ $("$host" -I -S -c "$magic_of") == "$magic" ]]; then
      say "byte-compiling the library of $python in $fs with $host, whose bytecode is the target's"
      "$host" -I -m compileall -q -j 0 -s "$fs" -p / -x "$skip" "${dirs[@]/#/$fs}" >/dev/null
    elif native=$("$root/devtools/build_target.sh" --arch amd64 --python "$version" --rootfs-only) \
      && [[ $(chroot "$native" "/usr/bin/$python" -I -S -c "$magic_of") == "$magic" ]]; then
      say "byte-compiling the library of $python in $fs with $native's, whose bytecode is the target's"
      # The target's root file system seen inside the native one, in a mount
      # namespace of this command's own: nothing stays mounted after it.
      inside=$(mktemp -d "$native/tmp/tarnvel-compile.XXXXXX")
      # shellcheck disable=SC2016  # expanded by the inner sh
      unshare --mount -- sh -c 'mount --bind "$1" "$2$3" && exec chroot "$2" "/usr/bin/$4" -I -m compileall -q -j 0 \
        -s "$3" -p / -x "$5" "$3/usr/lib/$4" "$3/usr/lib/python3/dist-packages"' \
        sh "$fs" "$native" "${inside#"$native"}" "$python" "$skip" >/dev/null || { rmdir "$inside"; return 1; }
      rmdir "$inside"
    else
      say "byte-compiling the library of $python in $fs under $emulator"
      "$emulator" -L "$fs" "$fs/usr/bin/$python" -m compileall -q -s "$fs" -p / -x "$skip" "${dirs[@]/#/$fs}" >/dev/null
    fi
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
    cache=${TARNVEL_ROOTFS_CACHE:-/var/cache/tarnvel-rootfs}
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

rootfs=$(ensure_rootfs)
[[ -x $rootfs/usr/bin/$python ]] || die "$rootfs holds no /usr/bin/$python (TARNVEL_TARGET_ROOTFS names another release's?)"
byte_compile "$rootfs"
if ((rootfs_only)); then
  echo "$rootfs"
  exit
fi
mkdir -p "$build" ${dist:+"$dist"}
build=$(cd "$build" && pwd)
[[ -z $dist ]] || dist=$(cd "$dist" && pwd)
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
  tools=$(tool_venv wheel-tools)
  tag=cp${version/./}
  "$tools/wheel" tags --python-tag "$tag" --abi-tag "$tag" --platform-tag "$platform" "${built[0]}" >/dev/null
  tagged=("$out"/tarnvel-*-"$tag-$tag-$platform".whl)
  [[ ${#tagged[@]} -eq 1 && -f ${tagged[0]} ]] || die "no $tag-$tag-$platform wheel in $out: $(ls "$out")"
  rm -f "$dist"/tarnvel-*-"$tag-$tag-$platform".whl
  mv "${tagged[0]}" "$dist/"
fi
ln -sfn "$rootfs" "$build/rootfs"

stage="$build/stage"
stage_package "$stage" "$build/api_logic$suffix"
echo "$stage"
