#!/usr/bin/env bash
# Quick run of every benchmark with few loops, so that CI notices when one
# breaks. No thresholds: the figures are printed, not judged (README.md
# says how to run them properly). Uses the `python` on PATH, which must
# import tarnvel (installed, or PYTHONPATH=<stage> from devtools/dev_build.sh);
# installs pyperf and valgrind when they are missing.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
log_tag="bench smoke"
# shellcheck source=devtools/lib.sh
source "$root/devtools/lib.sh"
export PIP_NO_INPUT=1 DEBIAN_FRONTEND=noninteractive
python=${PYTHON:-python}

if ! "$python" -c 'import pyperf' 2>/dev/null; then
  "$python" -m pip install --quiet 'pyperf>=2.6'
fi
install_packages valgrind:valgrind

step "instructions per call (callgrind)"
"$python" -P bench/callgrind_bench.py --loops 200 --warmup 50

step "wall time per call (pyperf, one value per case: not a measurement)"
"$python" -P bench/pyperf_bench.py --quiet --processes 1 --values 1 --warmups 1 --loops 200

step "import time"
"$python" -P bench/import_time.py --runs 3

step "allocations"
"$python" -P bench/allocations.py --calls 500

step "end to end over loopback TLS"
"$python" -P bench/end_to_end.py --rounds 3 --batch 2
