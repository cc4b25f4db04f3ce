#!/usr/bin/env bash
# CI stage for 32-bit ARM hard-float (armhf): cross-builds the extension,
# proves what it is with readelf, checks that both it and an x86_64 build need
# only libc, and runs the whole test suite on the armhf build under qemu.
# Standalone too: `bash .ci/armhf.sh` from the repository root.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnvel-armhf.XXXXXX")
trap 'rm -rf "$work"' EXIT
export DEBIAN_FRONTEND=noninteractive
start=$SECONDS

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

# ---------------------------------------------------------------------------
step "cross build"
devtools/build_armhf.sh --wheel "$work/dist" "$work/build-armhf" -DTARNVEL_WERROR=ON | tee "$work/build-armhf.log"
build_stage=$(tail -n 1 "$work/build-armhf.log")
rootfs=$(readlink -f "$work/build-armhf/rootfs")
name=api_logic.cpython-311-arm-linux-gnueabihf.so
[[ -f $build_stage/tarnvel/_internal/$name ]] || die "no $name in $build_stage"
wheels=("$work"/dist/tarnvel-*-cp311-cp311-linux_armv7l.whl)
[[ ${#wheels[@]} -eq 1 && -f ${wheels[0]} ]] || die "no single armhf wheel in $work/dist: $(ls "$work/dist")"
say "wheel: ${wheels[0]##*/}"
# The tests run on what the wheel installs.
stage=$work/wheel-stage
mkdir "$stage"
(cd "$stage" && python3 -m zipfile -e "${wheels[0]}" .)
[[ -f $stage/tarnvel/_internal/$name ]] || die "the wheel holds no tarnvel/_internal/$name"

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

for so in "$build_stage/tarnvel/_internal/$name" "$stage/tarnvel/_internal/$name"; do
  step "readelf: ${so#"$work"/}"
  expect_line -h "$so" '^ +Class: +ELF32$'
  expect_line -h "$so" '^ +Machine: +ARM$'
  expect_line -h "$so" '^ +Flags: .*Version5 EABI.*hard-float ABI'
  expect_line -A "$so" '^ +Tag_ABI_VFP_args: VFP registers$'
  expect_only_libc "$so"
done

# ---------------------------------------------------------------------------
step "x86_64 build: runtime libraries"
BUILD_TYPE=Release devtools/dev_build.sh "$work/build-x86_64" -DTARNVEL_WERROR=ON | tee "$work/build-x86_64.log"
host_so=$(echo "$(tail -n 1 "$work/build-x86_64.log")"/tarnvel/_internal/api_logic.cpython-311-x86_64-linux-gnu.so)
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
while IFS='=' read -r name _; do
  [[ $name == PYTHON* ]] && unset_python+=("$name")
done < <(env)
# An early ARMv7-A core: no hardware divide, so code that assumes more than
# armhf's baseline fails here rather than on a device.
launcher=(qemu-arm-static -cpu cortex-a8 -L "$rootfs")
target_python=("${launcher[@]}" "$rootfs/usr/bin/python3.11")
settings=(PYTHONPATH="$stage" TARNVEL_TEST_LAUNCHER="${launcher[*]}")
emulated=(env "${unset_python[@]/#/--unset=}" "${settings[@]}" "${target_python[@]}")

step "emulated interpreter: platform and module"
where=$("${emulated[@]}" -P -c '
import platform, sysconfig, tarnvel._internal.api_logic as m
print(platform.machine(), sysconfig.get_config_var("MULTIARCH"), m.__file__)')
say "  $where"
[[ $where == "armv7l arm-linux-gnueabihf $stage/"* ]] || die "the emulated interpreter does not import the armhf build"

# qemu -L takes any file missing from the root file system from the host
# without a word: trace one start that touches every package the tests use
# and fail on any host file it opened.
step "emulated interpreter: nothing borrowed from the host"
# strace starts qemu itself (-E sets the environment), so every process
# traced is the target's.
strace_env=()
for name in "${unset_python[@]}"; do strace_env+=(-E "$name"); done
for setting in "${settings[@]}"; do strace_env+=(-E "$setting"); done
# One file per process, so that no call is split across lines.
mkdir "$work/strace"
strace -ff -qq -s 4096 -o "$work/strace/trace" -e trace=open,openat,execve -e signal=none "${strace_env[@]}" \
  "${target_python[@]}" -P -c '
import socket, ssl, time, json, _testcapi, hypothesis, pytest, requests, responses, trustme, OpenSSL
import tarnvel._internal.api_logic
ssl.create_default_context().load_verify_locations(requests.certs.where())
trustme.CA().issue_cert("127.0.0.1")
socket.getaddrinfo("localhost", 443)
time.localtime()
' || die "the import smoke test failed under emulation"
qemu=$(readlink -f "$(command -v qemu-arm-static)")
cat "$work"/strace/trace.* | grep -v ' = -1 ' \
  | sed -nE 's/^(open|openat|execve)\((AT_FDCWD, )?"([^"]*)".*/\3/p' | sort -u \
  | grep -v -E -e "^($rootfs|$stage|$root)(/|\$)" -e '^/(proc|dev)/' -e "^($qemu|$(command -v qemu-arm-static))\$" \
  > "$work/borrowed" || true
if [[ -s $work/borrowed ]]; then
  cat "$work/borrowed" >&2
  die "the emulated interpreter opened the host files above; add them to the root file system"
fi
say "  none"

# ---------------------------------------------------------------------------
step "test suite under qemu"
timeout -k 30 "${TARNVEL_ARMHF_TEST_TIMEOUT:-900}" \
  "${emulated[@]}" -W error -P -m pytest -p no:cacheprovider \
  | tee "$work/pytest.log"
say "$(grep -E '^=+ .* in [0-9.]+s' "$work/pytest.log" | tail -n 1)"
step "done"
