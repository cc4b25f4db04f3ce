#!/usr/bin/env bash
# Runs bench/callgrind_bench.py on an interpreter that this x86_64 machine
# lacks (3.14, 3.15), inside the Debian root file system that
# devtools/build_target.sh makes for it, against a build like dev_build.sh's:
#   bash bench/rootfs_bench.sh 3.14 [callgrind_bench.py options, e.g. --markdown]
# valgrind needs /proc, which is mounted in a mount namespace of the run's own,
# so that nothing stays mounted after it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
version=${1:?usage: rootfs_bench.sh 3.X [callgrind_bench.py options...]}
shift
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnvel-rootfs-bench.XXXXXX")
rootfs=
inside=/tmp/tarnvel-bench-$$
cleanup() {
  [[ -z $rootfs ]] || rm -rf "${rootfs:?}$inside"
  rm -rf "$work"
}
trap cleanup EXIT

BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$root/devtools/build_target.sh" --arch amd64 --python "$version" \
  "$work/build" | tee "$work/build.log" >&2
stage=$(tail -n 1 "$work/build.log")
rootfs=$(readlink -f "$work/build/rootfs")
mkdir -p "$rootfs$inside" "$rootfs/proc"
cp -a "$root/bench" "$rootfs$inside/bench"
mkdir -p "$rootfs$inside/tests"
cp -a "$root/tests/support" "$rootfs$inside/tests/support"
cp -a "$stage" "$rootfs$inside/stage"
# shellcheck disable=SC2016  # expanded by the inner sh
unshare --mount --fork -- sh -c 'mount -t proc proc "$1/proc" && exec chroot "$@"' sh "$rootfs" \
  /usr/bin/env -i --chdir="$inside" PATH=/usr/bin:/bin HOME=/root PYTHONPATH="$inside/stage" \
  "/usr/bin/python$version" -P bench/callgrind_bench.py --exported-toggle "$@"
