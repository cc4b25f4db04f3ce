"""Wall time per call with pyperf: native module vs the pure-Python equivalent.

    PYTHONPATH=<stage> python bench/pyperf_bench.py [pyperf options] [--cases a,b] [--table-json FILE]

Same cases and stand-in as the callgrind run (bench/cases.py). pyperf runs
each case and side in its own worker processes; the parent prints, per case,
the mean time per call of each side, the stand-in's own time, each client's
own time (stand-in subtracted) and their ratio. Use pyperf's options to trade
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
        native, python, standin = (results[(name, side)] * 1e9 for side in cases.SIDES)
        own_native, own_python = native - standin, python - standin
        rows.append(
            {
                "case": name,
                "native": native,
                "python": python,
                "standin": standin,
                "own_native": own_native,
                "own_python": own_python,
                "ratio": own_native / own_python if own_python > 0 else float("nan"),
            }
        )
    header = f"{'case':<20}{'native':>9}{'python':>9}{'stand-in':>10}{'own native':>12}{'own python':>12}{'ratio':>7}"
    print()
    print("nanoseconds per call (pyperf means)")
    print(header)
    print("-" * len(header))
    for r in rows:
        print(
            f"{r['case']:<20}{r['native']:>9.0f}{r['python']:>9.0f}{r['standin']:>10.0f}"
            f"{r['own_native']:>12.0f}{r['own_python']:>12.0f}{r['ratio']:>7.2f}"
        )
    if args.table_json:
        args.table_json.write_text(json.dumps(rows, indent=2))


if __name__ == "__main__":
    main()
