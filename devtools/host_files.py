"""Names the host files that a traced run opened, from strace's output:

    python3 devtools/host_files.py --allow DIR_OR_FILE... TRACE...

Each TRACE is one process's file from `strace -ff -o ... -e trace=open,openat,execve`.
Calls that failed (returned -1) do not count: qemu -L looks in the root file
system first and takes a missing file from the host. Every file opened or
run that is not an allowed path, or under one, is printed, and the exit
status is 1 when there is any.
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

# open("/x", ...) = 3, openat(AT_FDCWD, "/x", ...) = 3, execve("/x", [...], ...) = 0
CALL = re.compile(r'^(?:open|openat|execve)\((?:AT_FDCWD, )?"([^"]*)".*\) = (\S+)')


def opened(trace: Path) -> set[str]:
    paths = set()
    for line in trace.read_text(errors="replace").splitlines():
        match = CALL.match(line)
        if match and match[2] != "-1":
            paths.add(match[1])
    return paths


def allowed(path: str, allow: list[str]) -> bool:
    return any(path == prefix or path.startswith(prefix.rstrip("/") + "/") for prefix in allow)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--allow", action="append", default=[], help="a path the run may open, or a directory")
    parser.add_argument("traces", nargs="+", type=Path)
    args = parser.parse_args()
    borrowed = sorted({path for trace in args.traces for path in opened(trace) if not allowed(path, args.allow)})
    for path in borrowed:
        print(path, file=sys.stderr)
    return 1 if borrowed else 0


if __name__ == "__main__":
    sys.exit(main())
