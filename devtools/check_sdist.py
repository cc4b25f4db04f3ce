"""Checks that an sdist holds exactly the source files, and stays small:

    python3 devtools/check_sdist.py --sources FILE --limit BYTES SDIST

FILE lists the files a checkout holds that git does not ignore, NUL
separated. The sdist must hold exactly those, less CI's own scripts (.ci/),
plus PKG-INFO, all as regular files under one NAME-VERSION/ directory named
after the archive: nothing from a build tree or cache, no built file, no
link. Prints what it holds, grouped by top directory; exits 1 naming every
problem.
"""

from __future__ import annotations

import argparse
import collections
import os
import sys
import tarfile
from pathlib import Path


def problems_of(sdist: Path, expected: set[str], limit: int) -> tuple[set[str], list[str]]:
    prefix = sdist.name.removesuffix(".tar.gz")
    problems = []
    held = set()
    with tarfile.open(sdist) as tar:
        for member in tar.getmembers():
            name = member.name
            if member.isdir() and name == prefix:
                continue
            if not name.startswith(prefix + "/"):
                problems.append(f"outside {prefix}/: {name}")
                continue
            if member.isdir():
                continue
            if not member.isfile():
                problems.append(f"not a regular file: {name}")
            held.add(name[len(prefix) + 1 :])
    problems += [f"not a source file: {name}" for name in sorted(held - expected)]
    problems += [f"missing: {name}" for name in sorted(expected - held)]
    size = sdist.stat().st_size
    if size >= limit:
        problems.append(f"{size} bytes, not under {limit}")
    return held, problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sources", type=Path, required=True, help="the source files, NUL separated")
    parser.add_argument("--limit", type=int, required=True, help="the size the sdist must stay under, in bytes")
    parser.add_argument("sdist", type=Path)
    args = parser.parse_args()
    names = args.sources.read_bytes().split(b"\0")
    expected = {os.fsdecode(name) for name in names if name and not name.startswith(b".ci/")} | {"PKG-INFO"}
    held, problems = problems_of(args.sdist, expected, args.limit)

    groups = collections.defaultdict(list)
    for name in sorted(held):
        top, _, rest = name.partition("/")
        groups[top + "/" if rest else "(top)"].append(rest or top)
    print(f"  {args.sdist.name}: {args.sdist.stat().st_size} bytes, {len(held)} files")
    for group, members in sorted(groups.items()):
        print(f"    {group} {len(members)}: {' '.join(members)}")
    if problems:
        print("the sdist is not just the sources:", *problems, sep="\n  ", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
