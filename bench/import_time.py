"""Import time of the extension with `requests` already imported (`python -X importtime`).

    PYTHONPATH=<stage> python bench/import_time.py [--runs N]

Each run is a fresh interpreter that imports `requests` first and then
tarnvel._internal.api_logic. The figure is the module's own ("self") time:
loading the shared object, the create step and the exec step, without the
parent packages or anything imported for the first time on the way.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys

MODULE = "tarnvel._internal.api_logic"


def one_run() -> tuple[int, int]:
    done = subprocess.run(
        [sys.executable, "-P", "-X", "importtime", "-c", f"import requests; import {MODULE}"],
        capture_output=True,
        text=True,
        env=dict(os.environ),
        check=True,
    )
    for line in done.stderr.splitlines():
        if line.startswith("import time:") and line.rstrip().endswith(" " + MODULE):
            self_us, cumulative_us = (int(field) for field in line.split(":", 1)[1].split("|")[:2])
            return self_us, cumulative_us
    raise RuntimeError(f"no import time line for {MODULE}:\n{done.stderr[-2000:]}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=15)
    args = parser.parse_args()
    samples = [one_run() for _ in range(args.runs)]
    own = sorted(s for s, _ in samples)
    print(f"import of {MODULE} with requests already imported, {args.runs} fresh interpreters")
    print(f"  self time: median {statistics.median(own)} us, min {own[0]} us, max {own[-1]} us (target: <= 1000 us)")


if __name__ == "__main__":
    main()
