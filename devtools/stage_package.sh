#!/usr/bin/env bash
# Stages an importable copy of the package: the Python files of tarnvel/ from
# the source tree plus one built extension file.
#   devtools/stage_package.sh STAGE_DIR EXTENSION_FILE
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
stage=${1:?usage: stage_package.sh STAGE_DIR EXTENSION_FILE}
extension=${2:?usage: stage_package.sh STAGE_DIR EXTENSION_FILE}
rm -rf "$stage"
mkdir -p "$stage"
(cd "$root" && find tarnvel -name '*.py' -o -name '*.pyi' -o -name 'py.typed') | while read -r f; do
  mkdir -p "$stage/$(dirname "$f")"
  cp "$root/$f" "$stage/$f"
done
cp "$extension" "$stage/tarnvel/_internal/"
