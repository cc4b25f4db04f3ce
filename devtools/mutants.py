"""A seeded sample of mutants of the C++ sources, each built and run against
the test suite; `.ci/run --mutants N [FILE...]` runs it:

    python devtools/mutants.py --mutate MUTATE --count N [--seed S] --work DIR FILE...

MUTATE is universalmutator's `mutate` command. Every mutant it makes of the
files is listed in a fixed order and shuffled with the seed, so that two
runs with the same seed, sources and tool version try the same mutants.
Mutants are taken in that order until N of them build: each one is put into
a scratch copy of the tree, built with devtools/dev_build.sh and the whole
suite is run on it with -x, by the interpreter running this; a test that
fails must fail again when run alone, or the whole suite runs once more to
judge. A mutant that does not build is passed over (the compiler, not the
suite, rejects it).
Prints a line per mutant, killed (with the first failing test) or survived,
the diff of each survivor, and the kill rate; the report is also written to
DIR/report.txt. Exits 1 when the suite fails on the unmutated sources.
"""

from __future__ import annotations

import argparse
import difflib
import os
import random
import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# pytest -v names each test as it starts; -ra (pyproject's addopts) lists the
# failures at the end.
FAILED = re.compile(r"^(?:FAILED|ERROR) (.+?)(?: - .*)?$", re.MULTILINE)
STARTED = re.compile(r"^(tests/\S+::\S+)", re.MULTILINE)


@dataclass
class Mutant:
    source: str  # the file's path in the tree
    path: Path  # the mutated copy


def make_mutants(mutate: str, sources: list[str], into: Path) -> list[Mutant]:
    mutants = []
    for source in sources:
        directory = into / source.replace("/", "_")
        directory.mkdir(parents=True)
        subprocess.run(
            [mutate, str(ROOT / source), "cpp", "--noCheck", "--mutantDir", str(directory)],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        found = sorted(directory.glob("*.mutant.*"), key=lambda p: int(p.name.split(".mutant.")[1].split(".")[0]))
        mutants += [Mutant(source, path) for path in found]
    return mutants


def copy_tree(into: Path) -> None:
    files = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=ROOT,
        check=True,
        capture_output=True,
    ).stdout
    for name in files.decode().split("\0"):
        if name and (ROOT / name).is_file():
            (into / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, into / name)


def build(tree: Path, build_dir: Path, log: Path) -> Path | None:
    """The stage of the build, or None when it does not build."""
    with log.open("w") as out:
        done = subprocess.run(
            [str(tree / "devtools" / "dev_build.sh"), str(build_dir)],
            stdout=subprocess.PIPE,
            stderr=out,
            text=True,
            env={**os.environ, "PYTHON": sys.executable},
        )
    out_lines = done.stdout.splitlines()
    return Path(out_lines[-1]) if done.returncode == 0 and out_lines else None


def run_suite(tree: Path, stage: Path, log: Path, timeout: float, tests: tuple[str, ...] = ()) -> str | None:
    """None when the suite (or the tests named) passes, else what killed the mutant."""
    command = [sys.executable, "-P", "-m", "pytest", "-x", "-v", "-p", "no:cacheprovider", *tests]
    env = {**os.environ, "PYTHONPATH": str(stage), "PYTHONWARNINGS": "error"}
    with log.open("w") as out:
        try:
            done = subprocess.run(command, cwd=tree, stdout=out, stderr=subprocess.STDOUT, env=env, timeout=timeout)
        except subprocess.TimeoutExpired:
            return f"timed out ({timeout:.0f} s) in {last_started(log)}"
    if done.returncode == 0:
        return None
    text = log.read_text(errors="replace")
    if failed := FAILED.search(text):
        return failed[1]
    return f"exit status {done.returncode} in {last_started(log)}"


def judge(tree: Path, stage: Path, logs: Path, name: str, timeout: float) -> tuple[str | None, str]:
    """What killed the mutant (None when it survived), and a note. A test that
    fails once must fail again alone: one that passes then is taken for a
    flake (a timing under load, say), and the whole suite runs once more to
    judge."""
    what = run_suite(tree, stage, logs / f"{name}.tests.log", timeout)
    if what is None or not what.startswith("tests/"):
        return what, ""
    if run_suite(tree, stage, logs / f"{name}.again.log", timeout, (what,)) is not None:
        return what, ""
    return run_suite(tree, stage, logs / f"{name}.second.log", timeout), f" ({what} failed once, passed alone)"


def last_started(log: Path) -> str:
    started = STARTED.findall(log.read_text(errors="replace"))
    return started[-1] if started else "(no test started)"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mutate", required=True, help="universalmutator's mutate command")
    parser.add_argument("--count", type=int, required=True, help="how many mutants that build to run")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--work", type=Path, required=True, help="a directory for the scratch tree, builds and logs")
    parser.add_argument("sources", nargs="+", help="the C++ files to mutate, relative to the source tree")
    args = parser.parse_args()
    sources = [str(Path(s).resolve().relative_to(ROOT)) for s in args.sources]
    work = args.work.resolve()
    if work.exists():
        shutil.rmtree(work)
    tree, build_dir, logs = work / "tree", work / "build", work / "logs"
    for directory in tree, logs:
        directory.mkdir(parents=True)
    copy_tree(tree)
    report_lines: list[str] = []

    def report(line: str = "") -> None:
        print(line, flush=True)
        report_lines.append(line)

    start = time.monotonic()
    stage = build(tree, build_dir, logs / "unmutated-build.log")
    if stage is None:
        print((logs / "unmutated-build.log").read_text(), file=sys.stderr)
        sys.exit("mutants: the unmutated sources do not build")
    what = run_suite(tree, stage, logs / "unmutated-tests.log", timeout=3600)
    if what is not None:
        print((logs / "unmutated-tests.log").read_text(), file=sys.stderr)
        sys.exit(f"mutants: the suite fails on the unmutated sources: {what}")
    # A mutant that loops forever is killed too, once it takes far longer than the suite.
    timeout = max(300.0, 5 * (time.monotonic() - start))

    mutants = make_mutants(args.mutate, sources, work / "mutants")
    random.Random(args.seed).shuffle(mutants)
    report(f"mutants: {len(mutants)} made of {' '.join(sources)}; seed {args.seed}; running {args.count} that build")
    killed, survivors, passed_over = 0, [], 0
    tried = 0
    for mutant in mutants:
        if tried == args.count:
            break
        original = (ROOT / mutant.source).read_text()
        mutated = mutant.path.read_text()
        diff = "".join(
            difflib.unified_diff(
                original.splitlines(True), mutated.splitlines(True), mutant.source, f"{mutant.source} (mutant)", n=1
            )
        )
        name = mutant.path.name
        (tree / mutant.source).write_text(mutated)
        try:
            stage = build(tree, build_dir, logs / f"{name}.build.log")
            if stage is None:
                passed_over += 1
                continue
            tried += 1
            what, note = judge(tree, stage, logs, name, timeout)
        finally:
            (tree / mutant.source).write_text(original)
        if what is None:
            survivors.append((name, diff))
            report(f"[{tried}/{args.count}] {name}: survived{note}")
        else:
            killed += 1
            report(f"[{tried}/{args.count}] {name}: killed by {what}{note}")
    report()
    for name, diff in survivors:
        report(f"survivor {name}:")
        report(diff.rstrip("\n"))
        report()
    rate = 100 * killed / tried if tried else 0.0
    report(
        f"mutants: {killed} of {tried} killed ({rate:.1f} %), {len(survivors)} survived; {passed_over} did not build"
    )
    (work / "report.txt").write_text("\n".join(report_lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
