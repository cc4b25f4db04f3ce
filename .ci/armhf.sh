#!/usr/bin/env bash
# CI stage for 32-bit ARM hard-float (armhf). For each target interpreter,
# Debian bookworm's CPython 3.11 and trixie's 3.13: cross-builds the extension
# and its wheel, repairs the wheel to manylinux_2_17_armv7l, proves what both
# builds are with readelf, and runs the whole test suite under qemu on what the
# repaired wheel installs, the version-warning tests with
# a copy built to believe it targets the next minor version. Checks once that
# an x86_64 build needs only libc too.
# The armv7l wheels, as built and as repaired, stay in TARNVEL_ARMHF_DIST
# (default dist/armhf), whose path the last line prints.
# Standalone too: `bash .ci/armhf.sh` from the repository root;
# TARNVEL_ARMHF_PYTHONS="3.13" runs only the interpreters named.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnvel-armhf.XXXXXX")
# Suites still running in the background when this stops are ended too.
declare -A suite_pid=()
finish() {
  if ((${#suite_pid[@]})); then
    kill "${suite_pid[@]}" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap finish EXIT
export DEBIAN_FRONTEND=noninteractive
start=$SECONDS
read -ra versions <<<"${TARNVEL_ARMHF_PYTHONS:-3.11 3.13}"
dist=${TARNVEL_ARMHF_DIST:-$root/dist/armhf}
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)

say() { printf '[armhf] %s\n' "$*"; }
die() { say "FAILED: $*" >&2; exit 1; }
step() { say "--- $* ($((SECONDS - start)) s)"; }

step "tools"
need=()
command -v arm-linux-gnueabihf-g++ >/dev/null || need+=(g++-arm-linux-gnueabihf)
command -v qemu-arm-static >/dev/null || need+=(qemu-user-static)
command -v mmdebstrap >/dev/null || need+=(mmdebstrap)
[[ -x /usr/bin/cmake ]] || need+=(cmake)  # a program, not a pip wrapper script: the wheel build needs one
[[ -x /usr/bin/ninja ]] || need+=(ninja-build)
command -v readelf >/dev/null || need+=(binutils)
command -v strace >/dev/null || need+=(strace)
command -v g++ >/dev/null || need+=(g++)
if ((${#need[@]})); then
  apt-get update -q
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

# Per target interpreter: its root file system, the stage the tests import
# (unpacked from the wheel) and the stage of the copy built for the next
# minor version.
declare -A rootfs_of wheel_stage_of fake_stage_of counts_of

# Runs build_armhf.sh for one interpreter; prints the stage dir.
build_armhf() {
  local log
  log=$(mktemp "$work/build.XXXXXX")
  devtools/build_armhf.sh "$@" | tee "$log" >&2
  tail -n 1 "$log"
}

cross_build() {
  local version=$1 tag=cp${1/./} build=$work/build-armhf-$1 stage wheels repaired so
  local name=api_logic.cpython-${tag#cp}-arm-linux-gnueabihf.so
  step "cross build for $version"
  stage=$(build_armhf --python "$version" --wheel "$dist" "$build" -DTARNVEL_WERROR=ON)
  rootfs_of[$version]=$(readlink -f "$build/rootfs")
  [[ -f $stage/tarnvel/_internal/$name ]] || die "no $name in $stage"
  wheels=("$dist"/tarnvel-*-"$tag-$tag"-linux_armv7l.whl)
  [[ ${#wheels[@]} -eq 1 && -f ${wheels[0]} ]] || die "no single $tag armhf wheel in $dist: $(ls "$dist")"
  say "wheel: ${wheels[0]}"
  # Repaired to the manylinux tag a package index accepts; the tests run on
  # what the repaired wheel installs.
  devtools/build_wheels.sh --no-build --out "$work/wheelhouse-$version" "${wheels[0]}" >&2
  repaired=("$work/wheelhouse-$version"/tarnvel-*-"$tag-$tag"-*manylinux_2_17_armv7l*.whl)
  [[ ${#repaired[@]} -eq 1 && -f ${repaired[0]} ]] \
    || die "no single manylinux_2_17_armv7l $tag wheel in $work/wheelhouse-$version: $(ls "$work/wheelhouse-$version")"
  say "repaired: ${repaired[0]##*/}"
  cp "${repaired[0]}" "$dist/"
  wheel_stage_of[$version]=$work/wheel-stage-$version
  mkdir "${wheel_stage_of[$version]}"
  (cd "${wheel_stage_of[$version]}" && python3 -m zipfile -e "${repaired[0]}" .)
  [[ -f ${wheel_stage_of[$version]}/tarnvel/_internal/$name ]] || die "the wheel holds no tarnvel/_internal/$name"

  for so in "$stage/tarnvel/_internal/$name" "${wheel_stage_of[$version]}/tarnvel/_internal/$name"; do
    step "readelf: ${so#"$work"/}"
    expect_line -h "$so" '^ +Class: +ELF32$'
    expect_line -h "$so" '^ +Machine: +ARM$'
    expect_line -h "$so" '^ +Flags: .*Version5 EABI.*hard-float ABI'
    expect_line -A "$so" '^ +Tag_ABI_VFP_args: VFP registers$'
    expect_only_libc "$so"
  done

  local fake_minor=$((${version#3.} + 1))
  step "cross build for $version, believing it targets 3.$fake_minor"
  fake_stage_of[$version]=$(build_armhf --python "$version" "$build-fake-minor" \
    -DTARNVEL_WERROR=ON -DTARNVEL_FAKE_BUILD_MINOR="$fake_minor")
  [[ -f ${fake_stage_of[$version]}/tarnvel/_internal/$name ]] || die "no $name in ${fake_stage_of[$version]}"
}

# ---------------------------------------------------------------------------
for version in "${versions[@]}"; do
  cross_build "$version"
done

# ---------------------------------------------------------------------------
step "x86_64 build: runtime libraries"
BUILD_TYPE=Release devtools/dev_build.sh "$work/build-x86_64" -DTARNVEL_WERROR=ON | tee "$work/build-x86_64.log"
host_so=$(tail -n 1 "$work/build-x86_64.log")/tarnvel/_internal/api_logic.cpython-311-x86_64-linux-gnu.so
[[ -f $host_so ]] || die "no x86_64 extension at $host_so"
say "${host_so##*/}"
expect_line -h "$host_so" '^ +Machine: +Advanced Micro Devices X86-64$'
expect_only_libc "$host_so"
# The copy the release stage installed, when this runs inside .ci/run.
installed=$(cd "$work" && python -P -c 'import tarnvel._internal.api_logic as m; print(m.__file__)' 2>/dev/null) || installed=
if [[ -n $installed ]]; then
  say "installed: $installed"
  expect_only_libc "$installed"
fi

# ---------------------------------------------------------------------------
# The emulated interpreter sees none of the host's Python settings.
unset_python=()
while IFS='=' read -r variable _; do
  [[ $variable == PYTHON* ]] && unset_python+=("$variable")
done < <(env)
qemu=$(readlink -f "$(command -v qemu-arm-static)")

# Sets `launcher`, `target_python` and `settings` for one target interpreter.
launcher=() target_python=() settings=()
target_settings() {
  local version=$1 rootfs=${rootfs_of[$1]}
  # An early ARMv7-A core: no hardware divide, so code that assumes more than
  # armhf's baseline fails here rather than on a device.
  launcher=(qemu-arm-static -cpu cortex-a8 -L "$rootfs")
  target_python=("${launcher[@]}" "$rootfs/usr/bin/python$version")
  # The version-warning tests import the copy built for the next minor
  # version instead of building one with the host's tools.
  settings=(PYTHONPATH="${wheel_stage_of[$version]}" TARNVEL_TEST_LAUNCHER="${launcher[*]}"
    TARNVEL_FAKE_MINOR_STAGE="${fake_stage_of[$version]}")
}

emulated_checks() {
  local version=$1 rootfs=${rootfs_of[$1]} stage=${wheel_stage_of[$1]} setting variable where
  target_settings "$version"

  step "emulated $version interpreter: platform and module"
  where=$(env "${unset_python[@]/#/--unset=}" "${settings[@]}" "${target_python[@]}" -P -c '
import platform, sysconfig, tarnvel._internal.api_logic as m
print(platform.machine(), sysconfig.get_config_var("MULTIARCH"), m.__file__)')
  say "  $where"
  [[ $where == "armv7l arm-linux-gnueabihf $stage/"* ]] || die "the emulated interpreter does not import the armhf build"

  # qemu -L takes any file missing from the root file system from the host
  # without a word: trace one start that touches every package the tests use
  # and fail on any host file it opened.
  step "emulated $version interpreter: nothing borrowed from the host"
  # strace starts qemu itself (-E sets the environment), so every process
  # traced is the target's.
  local strace_env=() traces=$work/strace-$version
  for variable in "${unset_python[@]}"; do strace_env+=(-E "$variable"); done
  for setting in "${settings[@]}"; do strace_env+=(-E "$setting"); done
  # One file per process, so that no call is split across lines.
  mkdir "$traces"
  strace -ff -qq -s 4096 -o "$traces/trace" -e trace=open,openat,execve -e signal=none "${strace_env[@]}" \
    "${target_python[@]}" -P -c '
import socket, ssl, time, json, _testcapi, hypothesis, pytest, requests, responses, trustme, OpenSSL
import tarnvel._internal.api_logic
ssl.create_default_context().load_verify_locations(requests.certs.where())
trustme.CA().issue_cert("127.0.0.1")
socket.getaddrinfo("localhost", 443)
time.localtime()
' || die "the import smoke test failed under emulation"
  cat "$traces"/trace.* | grep -v ' = -1 ' \
    | sed -nE 's/^(open|openat|execve)\((AT_FDCWD, )?"([^"]*)".*/\3/p' | sort -u \
    | grep -v -E -e "^($rootfs|$stage|$root)(/|\$)" -e '^/(proc|dev)/' -e "^($qemu|$(command -v qemu-arm-static))\$" \
      >"$work/borrowed-$version" || true
  if [[ -s $work/borrowed-$version ]]; then
    cat "$work/borrowed-$version" >&2
    die "the emulated interpreter opened the host files above; add them to the root file system"
  fi
  say "  none"
}

for version in "${versions[@]}"; do
  emulated_checks "$version"
done

# ---------------------------------------------------------------------------
# One emulated interpreter keeps one core busy: the suites run side by side,
# each into its own log, shown whole when both are done. Each runs in a
# directory of its own, so that each has its own hypothesis example database
# (.hypothesis in the working directory): two writers of one lose examples.
step "test suites under qemu: Python ${versions[*]}, side by side"
for version in "${versions[@]}"; do
  target_settings "$version"
  mkdir "$work/run-$version"
  timeout -k 30 "${TARNVEL_ARMHF_TEST_TIMEOUT:-900}" \
    env --chdir="$work/run-$version" "${unset_python[@]/#/--unset=}" "${settings[@]}" "${target_python[@]}" \
    -W error -P -m pytest -p no:cacheprovider "$root/tests" >"$work/pytest-$version.log" 2>&1 &
  suite_pid[$version]=$!
done
failed=()
for version in "${versions[@]}"; do
  status=0
  wait "${suite_pid[$version]}" || status=$?
  unset "suite_pid[$version]"
  step "test suite under qemu, Python $version: exit status $status"
  cat "$work/pytest-$version.log"
  counts_of[$version]=$(grep -E '^=+ .* in [0-9.]+s' "$work/pytest-$version.log" | tail -n 1 \
    | sed -E 's/^=+ //; s/ =+$//') || counts_of[$version]="no closing line"
  ((status == 0)) || failed+=("$version")
done

step "done"
for version in "${versions[@]}"; do
  say "Python $version under qemu: ${counts_of[$version]}"
done
say "armv7l wheels: $dist"
((${#failed[@]} == 0)) || die "the test suite failed under qemu for Python ${failed[*]}"
