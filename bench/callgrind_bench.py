"""Instructions per call under callgrind: native module vs two pure-Python equivalents.

    PYTHONPATH=<stage> python bench/callgrind_bench.py [--loops N] [--warmup W]
        [--cases a,b,...] [--keep DIR] [--json FILE] [--markdown]

One valgrind process runs every case. Collection is off at start and toggled
on only inside `operator.call(run, N)`, a C function nothing else calls, so
interpreter start-up, imports and warm-up are excluded; each measured run is
dumped to its own file as it ends. Instruction counts are deterministic for a
given build and interpreter (the hash seed is fixed), so one run is enough.

Per case: instructions per call of the native client, of the exact Python
one (support/reference_client.py: the same errors for wrong calls) and of
the plain Python one (support/plain_client.py: no type tests), the stand-in's own instructions
(its calls made from Python with the same arguments), each client's own cost
(stand-in subtracted) and the native own cost over each Python one's.
Before measuring, the child calls every case once on each client and checks
that the outcomes agree (cases.check_case).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
# Collection is on only inside a C function that nothing else calls:
# operator.call's, or, where the interpreter's binary keeps no symbols for its
# static functions (Debian's), libffi's exported ffi_call, through which
# ctypes calls the runner (by PyEval_CallObjectWithKeywords, deprecated and
# called by nothing else).
TOGGLE = "_operator_call"
EXPORTED_TOGGLE = "ffi_call"
CLIENT_SIDES = ("native", "python", "plain")


# ---------------------------------------------------------------------------
# Child: runs inside valgrind


def measured_call(exported: bool) -> Callable[[Callable[[int], None], int], None]:
    """How the child calls a runner with the collection on."""
    if not exported:
        import operator

        return operator.call
    import ctypes

    call = ctypes.pythonapi.PyEval_CallObjectWithKeywords
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_void_p]
    return lambda runner, loops: call(runner, (loops,), None)


def child(loops: int, warmup: int, pairs: list[str], exported: bool) -> None:
    sys.path.insert(0, str(BENCH_DIR))
    import cases

    call = measured_call(exported)

    for name in dict.fromkeys(pair.split(":")[0] for pair in pairs):
        cases.check_case(cases.CASE_BY_NAME[name])
    runners = []
    for pair in pairs:
        name, side = pair.split(":")
        runner = cases.make_runner(cases.CASE_BY_NAME[name], side)
        runners.append(runner)
    for pair, runner in zip(pairs, runners, strict=True):
        name, side = pair.split(":")
        # Re-install this case's stand-in: make_runner of later cases replaced it.
        cases.install(cases.RESPONSES[cases.CASE_BY_NAME[name].response])
        runner(warmup)
        call(runner, loops)


# ---------------------------------------------------------------------------
# Reading callgrind's output


def read_total(path: Path) -> int:
    for line in path.read_text().splitlines():
        if line.startswith(("totals:", "summary:")):
            return int(line.split()[1])
    raise ValueError(f"no totals in {path}")


def read_calls(path: Path) -> dict[str, dict[str, int]]:
    """Caller name -> {callee name: calls}, from one callgrind output file."""
    names: dict[str, str] = {}

    def name_of(spec: str) -> str:
        match = re.match(r"\((\d+)\)(?: (.*))?", spec)
        if not match:
            return spec
        if match.group(2) is not None:
            names[match.group(1)] = match.group(2)
        return names[match.group(1)]

    graph: dict[str, dict[str, int]] = {}
    caller = callee = None
    for line in path.read_text().splitlines():
        if line.startswith("fn="):
            caller = name_of(line[3:])
        elif line.startswith("cfn="):
            callee = name_of(line[4:])
        elif line.startswith(("cfi=", "cfl=", "fl=", "fi=", "fe=", "ob=", "cob=")):
            continue
        elif line.startswith("calls=") and caller is not None and callee is not None:
            count = int(line[6:].split()[0])
            graph.setdefault(caller, {}).setdefault(callee, 0)
            graph[caller][callee] += count
    return graph


# ---------------------------------------------------------------------------
# Parent


def run_valgrind(loops: int, warmup: int, pairs: list[str], out_dir: Path, exported: bool = False) -> list[Path]:
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        sys.exit("valgrind is not installed (apt-get install valgrind)")
    out_file = out_dir / "cg.out"
    toggle = EXPORTED_TOGGLE if exported else TOGGLE
    command = [
        valgrind,
        "--tool=callgrind",
        "--collect-atstart=no",
        f"--toggle-collect={toggle}",
        f"--dump-after={toggle}",
        f"--callgrind-out-file={out_file}",
        sys.executable,
        "-P",
        str(Path(__file__).resolve()),
        "--child",
        "--loops",
        str(loops),
        "--warmup",
        str(warmup),
        *(["--exported-toggle"] if exported else []),
        *pairs,
    ]
    env = dict(os.environ, PYTHONHASHSEED="0")
    result = subprocess.run(command, env=env, capture_output=True, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        sys.exit(f"valgrind run failed with status {result.returncode}")
    dumps = sorted(out_dir.glob("cg.out.*"), key=lambda p: int(p.suffix[1:]) if p.suffix[1:].isdigit() else 0)
    dumps = [p for p in dumps if p.suffix[1:].isdigit()]
    if len(dumps) < len(pairs):
        sys.exit(f"expected {len(pairs)} dumps, found {len(dumps)} in {out_dir}")
    return dumps[: len(pairs)]


def measure(loops: int, warmup: int, names: list[str], keep: Path | None, exported: bool) -> dict:
    sys.path.insert(0, str(BENCH_DIR))
    import cases

    pairs = [f"{name}:{side}" for name in names for side in cases.SIDES]
    out_dir = Path(tempfile.mkdtemp(prefix="tarnvel-callgrind-")) if keep is None else keep
    out_dir.mkdir(parents=True, exist_ok=True)
    for old in out_dir.glob("cg.out*"):
        old.unlink()
    try:
        dumps = run_valgrind(loops, warmup, pairs, out_dir, exported)
        per_call = {pair: read_total(dump) / loops for pair, dump in zip(pairs, dumps, strict=True)}
        files = {pair: str(dump) for pair, dump in zip(pairs, dumps, strict=True)}
    finally:
        if keep is None:
            shutil.rmtree(out_dir, ignore_errors=True)
    rows = []
    for name in names:
        case = cases.CASE_BY_NAME[name]
        figures = {side: per_call[f"{name}:{side}"] for side in cases.SIDES}
        own = {side: figures[side] - figures["standin"] for side in CLIENT_SIDES}
        rows.append(
            {
                "case": name,
                "title": case.title,
                "success": case.success,
                **figures,
                **{f"own_{side}": value for side, value in own.items()},
                "ratio": ratio(own["native"], own["python"]),
                "ratio_plain": ratio(own["native"], own["plain"]),
                "files": {side: files[f"{name}:{side}"] for side in cases.SIDES} if keep is not None else {},
            }
        )
    return {"loops": loops, "warmup": warmup, "rows": rows}


def ratio(own_native: float, own_python: float) -> float:
    return own_native / own_python if own_python > 0 else float("nan")


# Column title, row key, format.
COLUMNS = [
    ("case", "case", "{}"),
    ("native", "native", "{:.0f}"),
    ("exact python", "python", "{:.0f}"),
    ("plain python", "plain", "{:.0f}"),
    ("stand-in", "standin", "{:.0f}"),
    ("own native", "own_native", "{:.0f}"),
    ("own exact", "own_python", "{:.0f}"),
    ("own plain", "own_plain", "{:.0f}"),
    ("native/exact", "ratio", "{:.2f}"),
    ("native/plain", "ratio_plain", "{:.2f}"),
]


def table(result: dict, markdown: bool) -> str:
    header = [title for title, _, _ in COLUMNS]
    lines = [[form.format(row[key]) for _, key, form in COLUMNS] for row in result["rows"]]
    if markdown:
        out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
        out += ["| " + " | ".join(line) + " |" for line in lines]
        return "\n".join(out)
    widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(header)]

    def fmt(cells: list[str]) -> str:
        return "  ".join(
            c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths, strict=True))
        )

    return "\n".join([fmt(header), fmt(["-" * w for w in widths])] + [fmt(line) for line in lines])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--loops", type=int, default=2000, help="measured calls per case and side")
    parser.add_argument("--warmup", type=int, default=200, help="unmeasured calls before each measure")
    parser.add_argument("--cases", default="", help="comma-separated case names (default: all)")
    parser.add_argument("--keep", type=Path, help="keep callgrind's files in this directory")
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    parser.add_argument("--markdown", action="store_true", help="print a markdown table")
    parser.add_argument(
        "--exported-toggle",
        action="store_true",
        help=f"collect inside {EXPORTED_TOGGLE} (for an interpreter without symbols of its static functions)",
    )
    parser.add_argument("pairs", nargs="*", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.loops, args.warmup, args.pairs, args.exported_toggle)
        return
    sys.path.insert(0, str(BENCH_DIR))
    import cases

    names = [n for n in args.cases.split(",") if n] or [case.name for case in cases.CASES]
    unknown = [n for n in names if n not in cases.CASE_BY_NAME]
    if unknown:
        sys.exit(f"unknown cases: {', '.join(unknown)}")
    result = measure(args.loops, args.warmup, names, args.keep, args.exported_toggle)
    print(f"instructions per call (callgrind, {args.loops} calls after {args.warmup} warm-up calls)")
    print(table(result, args.markdown))
    if args.json:
        args.json.write_text(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
