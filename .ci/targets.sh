#!/usr/bin/env bash
# CI stage for the targets that Debian's releases provide: the interpreters
# that the host lacks, on x86_64 (amd64) under chroot, and the ARM ones under
# qemu. For each target, ARCH:3.X: builds the extension and its wheel with
# devtools/build_target.sh, repairs the wheel to manylinux_2_17, proves what
# both builds are with readelf, and runs the whole test suite on what the
# repaired wheel installs, with the target's own interpreter; the
# version-warning tests with a copy built to believe it targets the next minor
# version. Under qemu it also checks that the interpreter takes nothing from
# the host.
#   bash .ci/targets.sh amd64:3.14 amd64:3.15
#   bash .ci/targets.sh armhf:3.11 armhf:3.13 armhf:3.14 armhf:3.15
# The wheels, as built and as repaired, stay in TARNVEL_TARGET_DIST (default
# dist/targets). With amd64 among the targets it checks once too that an
# x86_64 build for the host's interpreter needs only libc.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
(($#)) || set -- amd64:3.14 amd64:3.15 armhf:3.11 armhf:3.13 armhf:3.14 armhf:3.15
targets=("$@")
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnvel-targets.XXXXXX")
# Suites still running in the background when this stops are ended too, and
# what was copied into a root file system to run there is taken out again.
declare -A suite_pid=()
inside_dirs=()
finish() {
  if ((${#suite_pid[@]})); then
    kill "${suite_pid[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
  fi
  if ((${#inside_dirs[@]})); then
    rm -rf "${inside_dirs[@]}"
  fi
  rm -rf "$work"
}
trap finish EXIT
export DEBIAN_FRONTEND=noninteractive
start=$SECONDS
dist=${TARNVEL_TARGET_DIST:-$root/dist/targets}
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)

say() { printf '[targets] %s\n' "$*"; }
die() { say "FAILED: $*" >&2; exit 1; }
step() { say "--- $* ($((SECONDS - start)) s)"; }

arch_of() { echo "${1%%:*}"; }
version_of() { echo "${1#*:}"; }
for target in "${targets[@]}"; do
  [[ $target =~ ^(armhf|arm64|amd64):3\.[0-9]+$ ]] || die "not ARCH:3.X: $target"
done

step "tools"
need=()
for target in "${targets[@]}"; do
  case $(arch_of "$target") in
    armhf) command -v arm-linux-gnueabihf-g++ >/dev/null || need+=(g++-arm-linux-gnueabihf)
      command -v qemu-arm-static >/dev/null || need+=(qemu-user-static) ;;
    arm64) command -v aarch64-linux-gnu-g++ >/dev/null || need+=(g++-aarch64-linux-gnu)
      command -v qemu-aarch64-static >/dev/null || need+=(qemu-user-static) ;;
  esac
done
command -v mmdebstrap >/dev/null || need+=(mmdebstrap)
[[ -x /usr/bin/cmake ]] || need+=(cmake)  # a program, not a pip wrapper script: the wheel build needs one
[[ -x /usr/bin/ninja ]] || need+=(ninja-build)
command -v readelf >/dev/null || need+=(binutils)
command -v strace >/dev/null || need+=(strace)
command -v g++ >/dev/null || need+=(g++)
if ((${#need[@]})); then
  apt-get update -q
  mapfile -t need < <(printf '%s\n' "${need[@]}" | sort -u)
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# Fails unless `readelf OPTION FILE` has a line matching the pattern; shows it.
expect_line() {
  local option=$1 file=$2 pattern=$3 line
  line=$(readelf "$option" "$file" | grep -E "$pattern") \
    || die "readelf $option ${file##*/}: no line matching '$pattern'"
  say "  $(sed -E 's/^ +//' <<<"$line")"
}
# Fails unless libc.so.6 is the one library the shared object needs.
expect_only_libc() {
  local file=$1 needed
  needed=$(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  say "  NEEDED: $needed"
  [[ $needed == "libc.so.6 " ]] || die "${file##*/} needs '$needed'; only libc.so.6 is allowed"
}
# What readelf must show of a shared object for the architecture.
expect_architecture() {
  local arch=$1 so=$2
  case $arch in
    armhf)
      expect_line -h "$so" '^ +Class: +ELF32$'
      expect_line -h "$so" '^ +Machine: +ARM$'
      expect_line -h "$so" '^ +Flags: .*Version5 EABI.*hard-float ABI'
      expect_line -A "$so" '^ +Tag_ABI_VFP_args: VFP registers$'
      ;;
    arm64)
      expect_line -h "$so" '^ +Class: +ELF64$'
      expect_line -h "$so" '^ +Machine: +AArch64$'
      ;;
    amd64)
      expect_line -h "$so" '^ +Class: +ELF64$'
      expect_line -h "$so" '^ +Machine: +Advanced Micro Devices X86-64$'
      ;;
  esac
  expect_only_libc "$so"
}

# Per target: its root file system, the stage the tests import (unpacked from
# the repaired wheel) and the stage of the copy built for the next minor
# version.
declare -A rootfs_of wheel_stage_of fake_stage_of counts_of

# Runs build_target.sh; prints the stage dir.
build_target() {
  local log
  log=$(mktemp "$work/build.XXXXXX")
  devtools/build_target.sh "$@" | tee "$log" >&2
  tail -n 1 "$log"
}

build_for() {
  local target=$1 arch version tag key build stage built repaired so name suffix machine
  arch=$(arch_of "$target") version=$(version_of "$target")
  tag=cp${version/./} key=$arch-$version build=$work/build-$arch-$version
  case $arch in
    armhf) suffix=arm-linux-gnueabihf machine=armv7l ;;
    arm64) suffix=aarch64-linux-gnu machine=aarch64 ;;
    amd64) suffix=x86_64-linux-gnu machine=x86_64 ;;
  esac
  name=api_logic.cpython-${tag#cp}-$suffix.so
  step "build for $target"
  stage=$(build_target --arch "$arch" --python "$version" --wheel "$dist" "$build" -DTARNVEL_WERROR=ON)
  rootfs_of[$key]=$(readlink -f "$build/rootfs")
  [[ -f $stage/tarnvel/_internal/$name ]] || die "no $name in $stage"
  built=("$dist"/tarnvel-*-"$tag-$tag-linux_$machine".whl)
  [[ ${#built[@]} -eq 1 && -f ${built[0]} ]] || die "no single $tag linux_$machine wheel in $dist: $(ls "$dist")"
  say "wheel: ${built[0]##*/}"
  # Repaired to the manylinux tag a package index accepts; the tests run on
  # what the repaired wheel installs.
  devtools/build_wheels.sh --no-build --out "$work/wheelhouse-$key" "${built[0]}" >&2
  repaired=("$work/wheelhouse-$key"/tarnvel-*-"$tag-$tag"-*manylinux_2_17_"$machine"*.whl)
  [[ ${#repaired[@]} -eq 1 && -f ${repaired[0]} ]] \
    || die "no single manylinux_2_17_$machine $tag wheel in $work/wheelhouse-$key: $(ls "$work/wheelhouse-$key")"
  say "repaired: ${repaired[0]##*/}"
  cp "${repaired[0]}" "$dist/"
  wheel_stage_of[$key]=$work/wheel-stage-$key
  mkdir "${wheel_stage_of[$key]}"
  (cd "${wheel_stage_of[$key]}" && python3 -m zipfile -e "${repaired[0]}" .)
  [[ -f ${wheel_stage_of[$key]}/tarnvel/_internal/$name ]] || die "the wheel holds no tarnvel/_internal/$name"

  for so in "$stage/tarnvel/_internal/$name" "${wheel_stage_of[$key]}/tarnvel/_internal/$name"; do
    step "readelf: ${so#"$work"/}"
    expect_architecture "$arch" "$so"
  done

  local fake_minor=$((${version#3.} + 1))
  step "build for $target, believing it targets 3.$fake_minor"
  fake_stage_of[$key]=$(build_target --arch "$arch" --python "$version" "$build-fake-minor" \
    -DTARNVEL_WERROR=ON -DTARNVEL_FAKE_BUILD_MINOR="$fake_minor")
  [[ -f ${fake_stage_of[$key]}/tarnvel/_internal/$name ]] || die "no $name in ${fake_stage_of[$key]}"
}

# ---------------------------------------------------------------------------
for target in "${targets[@]}"; do
  build_for "$target"
done

# ---------------------------------------------------------------------------
if [[ " ${targets[*]}" == *" amd64:"* ]]; then
  step "x86_64 build for the host's interpreter: runtime libraries"
  BUILD_TYPE=Release devtools/dev_build.sh "$work/build-x86_64" -DTARNVEL_WERROR=ON | tee "$work/build-x86_64.log"
  host_so=$(compgen -G "$(tail -n 1 "$work/build-x86_64.log")/tarnvel/_internal/api_logic.cpython-*-x86_64-linux-gnu.so") \
    || die "no x86_64 extension in the host build"
  say "${host_so##*/}"
  expect_architecture amd64 "$host_so"
  # The copy the release stage installed, when this runs inside .ci/run.
  installed=$(cd "$work" && python -P -c 'import tarnvel._internal.api_logic as m; print(m.__file__)' 2>/dev/null) \
    || installed=
  if [[ -n $installed ]]; then
    say "installed: $installed"
    expect_only_libc "$installed"
  fi
fi

# ---------------------------------------------------------------------------
# The target interpreter sees none of the host's Python settings.
unset_python=()
while IFS='=' read -r variable _; do
  [[ $variable == PYTHON* ]] && unset_python+=("$variable")
done < <(env)

# Sets, for one target, the command that starts its interpreter with the
# environment settings in the middle: "${before[@]}" "${settings[@]}"
# "${launcher[@]}" "$interpreter"; and `tests`, the test directory as that
# interpreter sees it. Under qemu the interpreter sees the host's files
# through the root file system; under chroot the tests and the stages are
# copied into it first, with the tracked files the tests use (their support
# package, the sandbox service).
before=() settings=() launcher=() interpreter='' tests=''
target_settings() {
  local target=$1 arch version key rootfs stage fake inside
  arch=$(arch_of "$target") version=$(version_of "$target")
  key=$arch-$version rootfs=${rootfs_of[$key]} stage=${wheel_stage_of[$key]} fake=${fake_stage_of[$key]}
  case $arch in
    armhf | arm64)
      if [[ $arch == armhf ]]; then
        # An early ARMv7-A core: no hardware divide, so code that assumes
        # more than armhf's baseline fails here rather than on a device.
        launcher=(qemu-arm-static -cpu cortex-a8 -L "$rootfs")
      else
        # The first ARMv8-A core, for the same reason.
        launcher=(qemu-aarch64-static -cpu cortex-a53 -L "$rootfs")
      fi
      before=(env "${unset_python[@]/#/--unset=}")
      interpreter=$rootfs/usr/bin/python$version
      # The version-warning tests import the copy built for the next minor
      # version instead of building one with the host's tools.
      settings=(PYTHONPATH="$stage" TARNVEL_TEST_LAUNCHER="${launcher[*]}" TARNVEL_FAKE_MINOR_STAGE="$fake")
      tests=$root/tests
      ;;
    amd64)
      inside=/tmp/tarnvel-ci-$key-$$
      if [[ ! -d $rootfs$inside ]]; then
        inside_dirs+=("$rootfs$inside")
        mkdir -p "$rootfs$inside/run"
        git ls-files -z | tar --null -T - -cf - | tar -C "$rootfs$inside" -xf -
        cp -a "$stage" "$rootfs$inside/stage"
        cp -a "$fake" "$rootfs$inside/fake-minor-stage"
      fi
      before=(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 chroot "$rootfs" /usr/bin/env --chdir="$inside/run")
      launcher=()
      interpreter=/usr/bin/python$version
      settings=(PYTHONPATH="$inside/stage" TARNVEL_FAKE_MINOR_STAGE="$inside/fake-minor-stage"
        PYTEST_ADDOPTS="--basetemp=$inside/pytest")
      tests=$inside/tests
      ;;
  esac
}

target_checks() {
  local target=$1 arch version key stage where machine
  arch=$(arch_of "$target") version=$(version_of "$target") key=$arch-$version
  target_settings "$target"
  case $arch in
    armhf) machine="armv7l arm-linux-gnueabihf" ;;
    arm64) machine="aarch64 aarch64-linux-gnu" ;;
    amd64) machine="x86_64 x86_64-linux-gnu" ;;
  esac
  stage=${settings[0]#PYTHONPATH=}

  step "$target interpreter: platform and module"
  where=$("${before[@]}" "${settings[@]}" "${launcher[@]}" "$interpreter" -P -c '
import platform, sysconfig, tarnvel._internal.api_logic as m
print(platform.machine(), sysconfig.get_config_var("MULTIARCH"), m.__file__)' 2>&1) \
    || die "the $target interpreter cannot import the module: $where"
  say "  $where"
  [[ $where == "$machine $stage/"* ]] || die "the $target interpreter does not import the $arch build"
  ((${#launcher[@]})) || return 0

  # qemu -L takes any file missing from the root file system from the host
  # without a word: trace one start that touches every package the tests use
  # and fail on any host file it opened.
  step "$target interpreter: nothing borrowed from the host"
  local rootfs=${rootfs_of[$key]} qemu strace_env=() traces=$work/strace-$key variable setting
  qemu=$(readlink -f "$(command -v "${launcher[0]}")")
  # strace starts qemu itself (-E sets the environment), so every process
  # traced is the target's.
  for variable in "${unset_python[@]}"; do strace_env+=(-E "$variable"); done
  for setting in "${settings[@]}"; do strace_env+=(-E "$setting"); done
  # One file per process, so that no call is split across lines. trustme and
  # OpenSSL only where the release builds their compiled parts for this
  # interpreter (not forky for 3.15).
  mkdir "$traces"
  strace -ff -qq -s 4096 -o "$traces/trace" -e trace=open,openat,execve -e signal=none "${strace_env[@]}" \
    "${launcher[@]}" "$interpreter" -P -c '
import socket, ssl, time, json, _testcapi, hypothesis, pytest, requests, responses
import tarnvel._internal.api_logic
try:
    import trustme, OpenSSL
except ImportError:
    pass
else:
    trustme.CA().issue_cert("127.0.0.1")
ssl.create_default_context().load_verify_locations(requests.certs.where())
socket.getaddrinfo("localhost", 443)
time.localtime()
' || die "the import smoke test failed under emulation"
  cat "$traces"/trace.* | grep -v ' = -1 ' \
    | sed -nE 's/^(open|openat|execve)\((AT_FDCWD, )?"([^"]*)".*/\3/p' | sort -u \
    | grep -v -E -e "^($rootfs|$stage|$root)(/|\$)" -e '^/(proc|sys|dev)/' -e "^$qemu\$" \
      >"$work/borrowed-$key" || true
  if [[ -s $work/borrowed-$key ]]; then
    cat "$work/borrowed-$key" >&2
    die "the $target interpreter opened the host files above; add them to the root file system"
  fi
  say "  none"
}

for target in "${targets[@]}"; do
  target_checks "$target"
done

# ---------------------------------------------------------------------------
# One suite keeps one core busy: as many run side by side as there are cores,
# each into its own log, shown whole when it is done. Each runs in a
# directory of its own, so that each has its own hypothesis example database
# (.hypothesis in the working directory): two writers of one lose examples.
jobs=$(nproc)
step "test suites: ${targets[*]}, $jobs at a time"
failed=()
declare -A target_of_pid=()
collect() {
  local pid status=0 target key
  wait -n -p pid "${!suite_pid[@]}" || status=$?
  target=${target_of_pid[$pid]} key=$(arch_of "$target")-$(version_of "$target")
  unset "suite_pid[$pid]" "target_of_pid[$pid]"
  step "test suite, $target: exit status $status"
  cat "$work/pytest-$key.log"
  counts_of[$key]=$(grep -E '^=+ .* in [0-9.]+s' "$work/pytest-$key.log" | tail -n 1 \
    | sed -E 's/^=+ //; s/ =+$//') || counts_of[$key]="no closing line"
  ((status == 0)) || failed+=("$target")
}
for target in "${targets[@]}"; do
  key=$(arch_of "$target")-$(version_of "$target")
  while ((${#suite_pid[@]} >= jobs)); do collect; done
  target_settings "$target"
  run_dir=$work/run-$key
  mkdir "$run_dir"
  # Under chroot the run directory is the one inside the root file system.
  timeout -k 30 "${TARNVEL_TARGET_TEST_TIMEOUT:-1200}" \
    env --chdir="$run_dir" "${before[@]}" "${settings[@]}" "${launcher[@]}" "$interpreter" \
    -W error -P -m pytest -p no:cacheprovider "$tests" >"$work/pytest-$key.log" 2>&1 &
  suite_pid[$!]=$!
  target_of_pid[$!]=$target
done
while ((${#suite_pid[@]})); do collect; done

step "done"
for target in "${targets[@]}"; do
  say "$target: ${counts_of[$(arch_of "$target")-$(version_of "$target")]}"
done
say "wheels: $dist"
((${#failed[@]} == 0)) || die "the test suite failed for ${failed[*]}"
