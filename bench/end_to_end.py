"""End to end over loopback TLS: the native module vs `requests.post` called directly.

    PYTHONPATH=<stage> python bench/end_to_end.py [--rounds N] [--batch M]

The sandbox service (devtools/sandbox.py) answers on 127.0.0.1 over real TLS.
Three callers make the same requests through the same stand-in for
`requests` (it swaps only the origin and trusts the sandbox's CA):

- direct: `requests.post(url, headers=..., json=...)`, nothing else;
- native: tarnvel._internal.api_logic.InternalClass;
- python: the exact pure-Python equivalent (reference_client.py), for reference;
- plain: the same client as usually written in Python (plain_client.py).

Batches of calls alternate between the callers, each taking each place in
the round equally often, so that drift and leftovers hit all alike;
the figure per caller is the median time per call over its batches, and the
overhead ratio is the median over rounds of native / direct within a round (a
ratio near 1.00 means the module's own work is lost in the exchange).
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "devtools"))
sys.path.insert(0, str(ROOT / "bench"))

import plain_client  # noqa: E402
import reference_client  # noqa: E402
import sandbox  # noqa: E402
import tarnvel._internal.api_logic as api_logic  # noqa: E402

TOKEN = "credits"
QUERY = "results"


def callers(stand_in):
    native, python, plain = api_logic.InternalClass(), reference_client.InternalClass(), plain_client.InternalClass()
    validate_url, search_url = reference_client.VALIDATION_URL, reference_client.SEARCH_URL

    def direct_validate():
        return stand_in.post(validate_url, headers={"Content-Type": "application/json"}, json={"token": TOKEN})

    def direct_search():
        return stand_in.post(
            search_url,
            headers={"Content-Type": "application/json", "authToken": TOKEN},
            json={"s": QUERY, "l": "en", "o": "content"},
        )

    return {
        "validate_token": {
            "direct": direct_validate,
            "native": lambda: native.validate_token(TOKEN),
            "python": lambda: python.validate_token(TOKEN),
            "plain": lambda: plain.validate_token(TOKEN),
        },
        "search_query": {
            "direct": direct_search,
            "native": lambda: native.search_query(TOKEN, QUERY),
            "python": lambda: python.search_query(TOKEN, QUERY),
            "plain": lambda: plain.search_query(TOKEN, QUERY),
        },
    }


def measure(rounds: int, batch: int) -> dict[str, dict[str, float]]:
    results: dict[str, dict[str, float]] = {}
    with sandbox.Sandbox() as service, service.installed(api_logic, reference_client, plain_client) as stand_in:
        for operation, by_caller in callers(stand_in).items():
            expected = by_caller["native"]()
            for name in ("python", "plain"):
                if by_caller[name]() != expected:
                    raise AssertionError(f"{operation}: {name} answers otherwise than native")
            for call in by_caller.values():  # connection pools, caches, specialisation
                for _ in range(batch):
                    call()
            samples: dict[str, list[float]] = {name: [] for name in by_caller}
            order = list(by_caller.items())
            for round_number in range(rounds):
                # Each caller takes each place in the round equally often: what
                # one batch leaves to the server lands on the next one.
                shift = round_number % len(order)
                for name, call in order[shift:] + order[:shift]:
                    start = time.perf_counter()
                    for _ in range(batch):
                        call()
                    samples[name].append((time.perf_counter() - start) / batch)
                service.clear()
            figures = {name: statistics.median(values) for name, values in samples.items()}
            # Ratios within a round compare calls made moments apart.
            for name in ("native", "python", "plain"):
                figures[f"{name}/direct"] = statistics.median(
                    a / b for a, b in zip(samples[name], samples["direct"], strict=True)
                )
            results[operation] = figures
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=60, help="batches per caller and operation")
    parser.add_argument("--batch", type=int, default=10, help="calls per batch")
    args = parser.parse_args()
    results = measure(args.rounds, args.batch)
    print(f"end to end over loopback TLS, {args.rounds} x {args.batch} calls per caller (median per call)")
    names = ("native", "python", "plain")
    print(
        f"{'operation':<16}{'direct':>12}"
        + "".join(f"{n:>12}" for n in names)
        + "".join(f"{n + '/direct':>15}" for n in names)
    )
    for operation, t in results.items():
        times = "".join(f"{t[n] * 1e6:>10.0f}us" for n in ("direct", *names))
        print(f"{operation:<16}{times}" + "".join(f"{t[n + '/direct']:>15.3f}" for n in names))


if __name__ == "__main__":
    main()
