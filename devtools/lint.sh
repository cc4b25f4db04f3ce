#!/usr/bin/env bash
# Layout and lint gates for the whole tree:
#   devtools/lint.sh          check only: exits non-zero and shows the diff
#                             or the findings if anything is off
#   devtools/lint.sh --fix    rewrites the files: clang-format on the C++,
#                             ruff format and ruff check --fix on the Python
# C++: tarnvel/_internal/*.cpp, *.hpp with .clang-format, for Debian 12's
# clang-format 14 (CLANG_FORMAT=... names another program). Python: every file
# ruff finds, with the settings and the pinned version in pyproject.toml
# (RUFF=... names another program). What --fix cannot repair, ruff check
# still reports. The module's files must include one another one way only
# (devtools/include_graph.py). Shell: every tracked *.sh and .ci/run, with
# Debian's shellcheck (SHELLCHECK=...), which must find nothing; a directive
# that silences a warning says why on the same line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
log_tag=lint
# shellcheck source=devtools/lib.sh
source "$root/devtools/lib.sh"
usage="usage: lint.sh [--fix]"
fix=0
case ${1:-} in
  --fix) fix=1 ;;
  "") ;;
  *) die "$usage" ;;
esac
clang_format=${CLANG_FORMAT:-clang-format}
ruff=${RUFF:-ruff}
shellcheck=${SHELLCHECK:-shellcheck}

command -v "$clang_format" >/dev/null || die "$clang_format not found (apt-get install clang-format)"
command -v "$ruff" >/dev/null || die "$ruff not found (pip install ruff at the version pyproject.toml requires)"
command -v "$shellcheck" >/dev/null || die "$shellcheck not found (apt-get install shellcheck)"
version=$("$clang_format" --version)
[[ $version =~ version\ 14\. ]] || die "$clang_format is not clang-format 14: $version"

mapfile -t cxx < <(find tarnvel/_internal -maxdepth 1 -type f \( -name '*.cpp' -o -name '*.hpp' \) | sort)
((${#cxx[@]})) || die "no C++ files under tarnvel/_internal"
# .ci/run has no extension: named here, or nothing would check it.
mapfile -t shell < <({ git ls-files --cached --others --exclude-standard '*.sh'; echo .ci/run; } | sort -u)

if ((fix)); then
  "$clang_format" -i "${cxx[@]}"
  "$ruff" format .
  "$ruff" check --fix .
  say "formatted; ruff check passes"
  exit 0
fi

# Every check runs, so that one run reports everything that is off.
failed=()
say "clang-format: ${#cxx[@]} files"
# The differences as a diff, since --dry-run only names lines.
for file in "${cxx[@]}"; do
  if ! "$clang_format" "$file" | diff -u --label "$file" --label "$file (clang-format)" "$file" -; then
    failed+=("clang-format: $file")
  fi
done
say "include graph: one way only"
python3 devtools/include_graph.py >/dev/null || failed+=("include graph")
say "ruff format --check"
"$ruff" format --check --diff . || failed+=("ruff format")
say "ruff check"
"$ruff" check . || failed+=("ruff check")
say "shellcheck: ${#shell[@]} files"
# -x follows the `source` lines, so that what a script takes from
# devtools/lib.sh is checked as it is used.
"$shellcheck" -x "${shell[@]}" || failed+=("shellcheck")
# A directive that turns a warning off says why, after a '#' on its line.
if grep -nE '#[[:space:]]*shellcheck[[:space:]]+disable=' "${shell[@]}" | grep -vE 'disable=[A-Z0-9,]+[[:space:]]+#[[:space:]]*[^[:space:]]'; then
  failed+=("shellcheck: a disable directive above says no reason")
fi
if ((${#failed[@]})); then
  say "not clean (devtools/lint.sh --fix rewrites what it can):"
  printf '[lint]   %s\n' "${failed[@]}"
  exit 1
fi
say "clean"
