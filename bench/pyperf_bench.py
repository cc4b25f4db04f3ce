"""Wall time per call with pyperf: native module vs two pure-Python equivalents.

    PYTHONPATH=<stage> python bench/pyperf_bench.py [pyperf options] [--cases a,b] [--table-json FILE]

Same cases and stand-in as the callgrind run (bench/cases.py). pyperf runs
each case and side in its own worker processes; the parent prints, per case,
the mean time per call of each side (native, exact python, plain python,
stand-in), each client's own time (stand-in subtracted) and the native own
time over each Python one's. Use pyperf's options to trade
time for precision (`--fast`, `--rigorous`, `-p`, `-n`, `-l`); `python -m
pyperf system tune` steadies a dedicated machine.
"""

from __future__ import annotations

import json
import sys
import time
from pathlib import Path

import pyperf

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import cases  # noqa: E402


def timed(case: cases.Case, side: str):
    run = cases.make_runner(case, side)
    response = cases.RESPONSES[case.response]

    def bench(loops: int) -> float:
        cases.install(response)
        start = time.perf_counter()
        run(loops)
        return time.perf_counter() - start

    return bench


def ratio(own_native: float, own_python: float) -> float:
    return own_native / own_python if own_python > 0 else float("nan")


def add_arguments(cmd: list[str], args) -> None:
    if args.cases:
        cmd.extend(("--cases", args.cases))


def main() -> None:
    runner = pyperf.Runner(add_cmdline_args=add_arguments)
    runner.argparser.add_argument("--cases", default="", help="comma-separated case names (default: all)")
    runner.argparser.add_argument("--table-json", type=Path, help="write the per-case figures to this file")
    args = runner.parse_args()
    names = [n for n in args.cases.split(",") if n] or [case.name for case in cases.CASES]
    if not args.worker:
        cases.check_equal_answers()
    results: dict[tuple[str, str], float] = {}
    for name in names:
        case = cases.CASE_BY_NAME[name]
        for side in cases.SIDES:
            bench = runner.bench_time_func(f"{name}:{side}", timed(case, side))
            if bench is not None and not args.worker:
                results[(name, side)] = bench.mean()
    if args.worker or not results or len(results) < len(names) * len(cases.SIDES):
        return
    rows = []
    for name in names:
        figures = {side: results[(name, side)] * 1e9 for side in cases.SIDES}
        own = {side: figures[side] - figures["standin"] for side in ("native", "python", "plain")}
        rows.append(
            {
                "case": name,
                **figures,
                **{f"own_{side}": value for side, value in own.items()},
                "ratio": ratio(own["native"], own["python"]),
                "ratio_plain": ratio(own["native"], own["plain"]),
            }
        )
    columns = [
        ("native", "native", 8),
        ("exact", "python", 8),
        ("plain", "plain", 8),
        ("stand-in", "standin", 10),
        ("own native", "own_native", 12),
        ("own exact", "own_python", 11),
        ("own plain", "own_plain", 11),
    ]
    header = f"{'case':<20}" + "".join(f"{title:>{width}}" for title, _, width in columns)
    header += f"{'native/exact':>14}{'native/plain':>14}"
    print()
    print("nanoseconds per call (pyperf means)")
    print(header)
    print("-" * len(header))
    for r in rows:
        line = f"{r['case']:<20}" + "".join(f"{r[key]:>{width}.0f}" for _, key, width in columns)
        print(line + f"{r['ratio']:>14.2f}{r['ratio_plain']:>14.2f}")
    if args.table_json:
        args.table_json.write_text(json.dumps(rows, indent=2))


if __name__ == "__main__":
    main()
