#!/usr/bin/env bash
# Builds the extension into a private build directory and stages an importable
# copy of the package there, without touching the installed one:
#   devtools/dev_build.sh BUILD_DIR [extra cmake -D options...]
#   PYTHONPATH=BUILD_DIR/stage python -P -m pytest
# The last line printed is the stage dir.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
log_tag=dev_build.sh
# shellcheck source=devtools/lib.sh
source "$root/devtools/lib.sh"
(($#)) || die "usage: dev_build.sh BUILD_DIR [cmake options...]"
build=$1
shift
python=${PYTHON:-python3}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
  -DPython_EXECUTABLE="$(command -v "$python")" "$@" >/dev/null
cmake --build "$build"
extension=("$build"/api_logic*.so)
[[ ${#extension[@]} -eq 1 && -f ${extension[0]} ]] || die "no single extension in $build: ${extension[*]}"
stage_package "$build/stage" "${extension[0]}"
echo "$build/stage"
