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
#   bash .ci/targets.sh arm64:3.11 arm64:3.13 arm64:3.14 arm64:3.15
# Each target's suite starts as soon as that target is built and checked,
# while the next one builds, as many at a time as there are cores: give the
# targets whose suites take longest first. The wheels, as built and as
# repaired, stay in TARNVEL_TARGET_DIST (default dist/targets).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
log_tag=targets
# shellcheck source=devtools/lib.sh
source "$root/devtools/lib.sh"
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
trap 'exit 143' TERM
trap 'exit 130' INT
export DEBIAN_FRONTEND=noninteractive
test_timeout=${TARNVEL_TARGET_TEST_TIMEOUT:-1200}
dist=${TARNVEL_TARGET_DIST:-$root/dist/targets}
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)

arch_of() { echo "${1%%:*}"; }
version_of() { echo "${1#*:}"; }
key_of() { echo "${1/:/-}"; }
for target in "${targets[@]}"; do
  [[ $target == *:* ]] || die "not ARCH:3.X: $target"
  target_row "$(arch_of "$target")" "$(version_of "$target")"
done

step "tools"
mapfile -t need < <(build_packages; target_packages "${targets[@]}")
install_packages "${need[@]}"

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
  local target=$1 arch version tag key build stage built repaired so name machine
  arch=$(arch_of "$target") version=$(version_of "$target") key=$(key_of "$target")
  tag=cp${version/./} build=$work/build-$key
  target_row "$arch" "$version"
  machine=${cell[machine]}
  name=api_logic.cpython-${tag#cp}-${cell[triplet]}.so
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
    expect_architecture "$target" "$so"
  done

  local fake_minor=$((${version#3.} + 1))
  step "build for $target, believing it targets 3.$fake_minor"
  fake_stage_of[$key]=$(build_target --arch "$arch" --python "$version" "$build-fake-minor" \
    -DTARNVEL_WERROR=ON -DTARNVEL_FAKE_BUILD_MINOR="$fake_minor")
  [[ -f ${fake_stage_of[$key]}/tarnvel/_internal/$name ]] || die "no $name in ${fake_stage_of[$key]}"
}

# ---------------------------------------------------------------------------
# The target interpreter sees none of the host's Python settings.
unset_python=()
while IFS='=' read -r variable _; do
  [[ $variable == PYTHON* ]] && unset_python+=("$variable")
done < <(env)

# Sets, for one target, the command that starts its interpreter with the
# environment settings in the middle: "${before[@]}" "${settings[@]}"
# "${launcher[@]}" "$interpreter"; `stage_seen` and `tests`, the stage it
# imports and the test directory as that interpreter sees them. Under qemu
# the interpreter sees the host's files through the root file system; under
# chroot the tests and the stages are copied into it first, with the tracked
# files the tests use (their support package, the sandbox service).
before=() settings=() launcher=() interpreter='' stage_seen='' tests=''
target_settings() {
  local target=$1 key rootfs stage fake inside
  key=$(key_of "$target")
  rootfs=${rootfs_of[$key]} stage=${wheel_stage_of[$key]} fake=${fake_stage_of[$key]}
  target_row "$(arch_of "$target")" "$(version_of "$target")"
  if [[ -n ${cell[qemu]:-} ]]; then
    # The architecture's first core: code that assumes more than its
    # baseline (hardware divide on ARMv7-A) fails here rather than on a device.
    launcher=("${cell[qemu]}" -cpu "${cell[cpu]}" -L "$rootfs")
    before=(env "${unset_python[@]/#/--unset=}")
    interpreter=$rootfs/usr/bin/python${cell[python]}
    stage_seen=$stage
    # The version-warning tests import the copy built for the next minor
    # version instead of building one with the host's tools.
    settings=(PYTHONPATH="$stage" TARNVEL_TEST_LAUNCHER="${launcher[*]}" TARNVEL_FAKE_MINOR_STAGE="$fake")
    tests=$root/tests
  else
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
    interpreter=/usr/bin/python${cell[python]}
    stage_seen=$inside/stage
    settings=(PYTHONPATH="$stage_seen" TARNVEL_FAKE_MINOR_STAGE="$inside/fake-minor-stage"
      PYTEST_ADDOPTS="--basetemp=$inside/pytest")
    tests=$inside/tests
  fi
}

target_checks() {
  local target=$1 key where
  key=$(key_of "$target")
  target_settings "$target"

  step "$target interpreter: platform and module"
  where=$("${before[@]}" "${settings[@]}" "${launcher[@]}" "$interpreter" -P -c 'import platform, sysconfig
import tarnvel._internal.api_logic as m; print(platform.machine(), sysconfig.get_config_var("MULTIARCH"), m.__file__)' \
    2>&1) \
    || die "the $target interpreter cannot import the module: $where"
  say "  $where"
  [[ $where == "${cell[machine]} ${cell[triplet]} $stage_seen/"* ]] || die "the $target interpreter does not import the $target build"
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
  # One file per process, so that no call is split across lines.
  mkdir "$traces"
  strace -ff -qq -s 4096 -o "$traces/trace" -e trace=open,openat,execve -e signal=none "${strace_env[@]}" \
    "${launcher[@]}" "$interpreter" -P "$root/devtools/import_smoke.py" || die "the import smoke test failed under emulation"
  python3 devtools/host_files.py --allow "$rootfs" --allow "$stage_seen" --allow "$root" --allow /proc --allow /sys \
    --allow /dev --allow "$qemu" "$traces"/trace.* \
    || die "the $target interpreter opened the host files above; add them to the root file system"
  say "  none"
}

# ---------------------------------------------------------------------------
# One suite keeps one core busy: as many run side by side as there are cores,
# each into its own log, shown whole when it is done. Each runs in a
# directory of its own, so that each has its own hypothesis example database
# (.hypothesis in the working directory): two writers of one lose examples.
jobs=$(nproc)
failed=()
queued=()
declare -A target_of_pid=() suite_start=()
start_suite() {
  local target=$1 key run_dir
  key=$(key_of "$target") run_dir=$work/run-$key
  target_settings "$target"
  mkdir "$run_dir"
  step "test suite, $target: started"
  # Under chroot the run directory is the one inside the root file system.
  timeout -k 30 "$test_timeout" env --chdir="$run_dir" "${before[@]}" "${settings[@]}" "${launcher[@]}" \
    "$interpreter" -W error -P -m pytest -p no:cacheprovider "$tests" >"$work/pytest-$key.log" 2>&1 &
  suite_pid[$!]=$!
  target_of_pid[$!]=$target
  suite_start[$target]=$SECONDS
}
# collect PID [STATUS]: shows the finished suite's log and result.
collect() {
  local pid=$1 status=${2:-0} target key
  (($# > 1)) || wait "$pid" || status=$?
  target=${target_of_pid[$pid]} key=$(key_of "$target")
  unset "suite_pid[$pid]" "target_of_pid[$pid]"
  step "test suite, $target: exit status $status"
  cat "$work/pytest-$key.log"
  pytest_summary "$work/pytest-$key.log" "$status" || failed+=("$target")
  counts_of[$key]="$counts; $((SECONDS - suite_start[$target])) s"
}
# Collects the suites that have ended (all of them, and waiting, with
# `--wait`), then starts queued ones while there are free cores.
schedule() {
  local pid status=0 state
  if [[ ${1:-} == --wait ]] && ((${#suite_pid[@]})); then
    wait -n -p pid "${!suite_pid[@]}" || status=$?
    collect "$pid" "$status"
  fi
  for pid in "${!suite_pid[@]}"; do
    state=$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null) || state=gone
    [[ $state != gone && $state != Z ]] || collect "$pid"
  done
  while ((${#queued[@]} && ${#suite_pid[@]} < jobs)); do
    start_suite "${queued[0]}"
    queued=("${queued[@]:1}")
  done
}

for target in "${targets[@]}"; do
  build_for "$target"
  target_checks "$target"
  queued+=("$target")
  schedule
done
while ((${#suite_pid[@]} || ${#queued[@]})); do schedule --wait; done

step "done"
for target in "${targets[@]}"; do
  say "$target: ${counts_of[$(key_of "$target")]}"
done
say "wheels: $dist"
((${#failed[@]} == 0)) || die "the test suite failed for ${failed[*]}"
