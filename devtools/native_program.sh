# shellcheck shell=bash
# Sourced by the build scripts; the caller defines die().
#
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
