#!/usr/bin/env bash
# Builds the extension into a private build directory and stages an importable
# copy of the package there, without touching the installed one:
#   devtools/dev_build.sh BUILD_DIR [extra cmake -D options...]
#   PYTHONPATH=BUILD_DIR/stage python -P -m pytest
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: dev_build.sh BUILD_DIR [cmake options...]}
shift
python=${PYTHON:-python3}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
  -DPython_EXECUTABLE="$(command -v "$python")" "$@" >/dev/null
cmake --build "$build"
stage="$build/stage"
"$root/devtools/stage_package.sh" "$stage" "$build"/api_logic*.so
echo "$stage"
