#!/usr/bin/env bash
# CI stage for what a package index would serve: the wheels and the sdist.
#   1. wheels: devtools/build_wheels.sh builds the x86_64 wheels for CPython
#      3.11, 3.12 and 3.13 (warnings are errors) and repairs them to
#      manylinux_2_17 (manylinux2014); each one's tags are checked, it is
#      installed with its test extras into a fresh venv of its own
#      interpreter, and the whole test suite runs there against it
#   2. sdist: made from a copy of the tree that also holds build trees (an
#      armhf one with its root file system link), caches and built files;
#      it must hold exactly the tracked sources, docs, tests and build files,
#      stay under 200 KB, and build and import in a fresh venv of each
#      interpreter
# Standalone too: `bash .ci/wheels.sh` from the repository root.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
log_tag=wheels
# shellcheck source=devtools/lib.sh
source "$root/devtools/lib.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnvel-wheels-ci.XXXXXX")
trap 'rm -rf "$work"' EXIT
export DEBIAN_FRONTEND=noninteractive PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1
minors=(3.11 3.12 3.13)
sdist_limit=200000
# A hung test run must not eat the CI budget: a whole run takes about a
# minute, and three at this limit still leave the stage under 25 minutes.
test_timeout=${TARNVEL_WHEELS_TEST_TIMEOUT:-360}

# ---------------------------------------------------------------------------
step "tools"
mapfile -t need < <(build_packages)
install_packages "${need[@]}"
declare -A python
for minor in "${minors[@]}"; do
  python[$minor]=$(devtools/build_wheels.sh --find-python "$minor") \
    || die "CPython $minor is missing: the wheels are built and tested for ${minors[*]}"
  say "CPython $minor: ${python[$minor]}"
done
version=$("${python[3.11]}" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')

# ---------------------------------------------------------------------------
step "build and repair the wheels"
build_args=(--out "$work/wheelhouse")
for minor in "${minors[@]}"; do
  build_args+=(--python "${python[$minor]}")
done
devtools/build_wheels.sh "${build_args[@]}" >"$work/wheels.txt"
# One wheel per interpreter, with exactly these tags (build_wheels.sh checked
# the tags that each declares inside too).
mapfile -t built < <(cd "$work/wheelhouse" && ls)
expected=()
for minor in "${minors[@]}"; do
  tag=cp${minor/./}
  expected+=("tarnvel-$version-$tag-$tag-manylinux2014_x86_64.manylinux_2_17_x86_64.whl")
done
[[ "${built[*]}" == "${expected[*]}" ]] \
  || die "the wheelhouse holds: ${built[*]}
expected: ${expected[*]}"
for wheel in "${built[@]}"; do
  say "  $wheel: $(stat -c %s "$work/wheelhouse/$wheel") bytes"
done

# ---------------------------------------------------------------------------
# Each wheel installed as pip would from an index, and the whole suite run
# against it. All three run; the stage fails at the end if any failed.
failed=()
results=()
for minor in "${minors[@]}"; do
  tag=cp${minor/./}
  wheel="$work/wheelhouse/tarnvel-$version-$tag-$tag-manylinux2014_x86_64.manylinux_2_17_x86_64.whl"
  step "CPython $minor: install the wheel and run the tests"
  venv="$work/venv-$minor"
  "${python[$minor]}" -m venv "$venv"
  "$venv/bin/python" -m pip install -q "${wheel}[test]"
  check_import_from "$venv" "$venv/bin/python"
  # -P: the tests import the installed package, not the source tree.
  run_pytest "$work/pytest-$minor.log" env PYTHONWARNINGS=error \
    "$venv/bin/python" -P -m pytest -p no:cacheprovider --strict-markers || failed+=("$minor")
  results+=("CPython $minor: $counts")
done

# ---------------------------------------------------------------------------
step "sdist from a tree with build trees in it"
tree="$work/tree"
mkdir "$tree"
# The files a checkout holds that git does not ignore.
git ls-files -z --cached --others --exclude-standard | sort -z -u \
  | while IFS= read -r -d '' file; do [[ ! -e $file ]] || printf '%s\0' "$file"; done >"$work/sources"
(cd "$root" && xargs -0 cp --parents -t "$tree") <"$work/sources"
# What a working tree collects: an armhf build whose rootfs links to a root
# file system (with the absolute links of a real one, into /proc), pip's and
# dev_build.sh's build trees, wheels, an in-place extension, caches.
fake_rootfs="$work/fake-rootfs"
mkdir -p "$fake_rootfs"/{dev,usr/lib/python3.11,usr/include/python3.11}
head -c 300000 /dev/urandom >"$fake_rootfs/usr/lib/libpython3.11.so.1.0"
echo '# the rootfs interpreter' >"$fake_rootfs/usr/lib/python3.11/os.py"
echo '/* a header */' >"$fake_rootfs/usr/include/python3.11/Python.h"
ln -s /proc/self/fd "$fake_rootfs/dev/fd"
mkdir -p "$tree"/build-armhf/{stage/tarnvel/_internal,CMakeFiles}
ln -s "$fake_rootfs" "$tree/build-armhf/rootfs"
for file in build-armhf/build.ninja build-armhf/CMakeCache.txt build-armhf/CMakeFiles/rules.ninja \
  build-armhf/api_logic.cpython-311-arm-linux-gnueabihf.so \
  build-armhf/stage/tarnvel/_internal/api_logic.cpython-311-arm-linux-gnueabihf.so \
  build/cp311-cp311-linux_x86_64/build.ninja build/wheels/cp313-cp313-linux_x86_64/CMakeCache.txt \
  build/tools/wheel-tools/bin/auditwheel build-sanitize/api_logic.cpython-311-x86_64-linux-gnu.so \
  _skbuild/linux-x86_64-3.11/cmake-build/build.ninja \
  dist/tarnvel-0.1.0-cp311-cp311-linux_x86_64.whl dist/tarnvel-0.1.0.tar.gz \
  wheelhouse/tarnvel-0.1.0-cp311-cp311-manylinux2014_x86_64.manylinux_2_17_x86_64.whl \
  tarnvel.egg-info/PKG-INFO tarnvel/_internal/api_logic.cpython-311-x86_64-linux-gnu.so \
  tarnvel/__pycache__/__init__.cpython-311.pyc tests/__pycache__/conftest.cpython-311-pytest-8.0.pyc \
  devtools/__pycache__/sandbox.cpython-312.pyc .pytest_cache/v/cache/lastfailed .mypy_cache/3.11/cache.db \
  .hypothesis/examples/0/1 .ruff_cache/0.17.5/123 .benchmarks/Linux-CPython-3.11-64bit/0001.json; do
  mkdir -p "$tree/$(dirname "$file")"
  head -c 4096 /dev/urandom >"$tree/$file"
done
# The one interpreter that builds the sdist, with the ordinary front end.
build_tool=$(PYTHON=${python[3.11]} tool_venv build)
sdist_start=$SECONDS
"$build_tool/python" -m build --sdist --outdir "$work/sdist" "$tree" >"$work/sdist.log" 2>&1 \
  || { cat "$work/sdist.log" >&2; die "the sdist build failed"; }
say "  made in $((SECONDS - sdist_start)) s"
sdist="$work/sdist/tarnvel-$version.tar.gz"
[[ -f $sdist ]] || die "no $sdist: $(ls "$work/sdist")"

# Exactly the files git knows, less CI's own scripts, plus PKG-INFO: nothing
# from a build tree or cache, no built file, no link.
"${python[3.11]}" devtools/check_sdist.py --sources "$work/sources" --limit "$sdist_limit" "$sdist"

for minor in "${minors[@]}"; do
  step "CPython $minor: install the sdist"
  venv="$work/sdist-venv-$minor"
  "${python[$minor]}" -m venv "$venv"
  # pip builds the wheel from the sdist, as for a platform without one.
  "$venv/bin/python" -m pip install -q "$sdist"
  check_import_from "$venv" "$venv/bin/python"
done
step_done

say "=== summary"
show_timings
printf '[wheels] %s\n' "${results[@]}"
((${#failed[@]} == 0)) || die "the test suite failed on the installed wheel for CPython ${failed[*]}"
