"""End to end over loopback TLS: the native module vs `requests.post` called directly.

    PYTHONPATH=<stage> python bench/end_to_end.py [--rounds N] [--batch M]

The sandbox service (devtools/sandbox.py) answers on 127.0.0.1 over real TLS.
These callers make the same requests through the same stand-in for
`requests` (it swaps only the origin and trusts the sandbox's CA):

- direct: `requests.post(url, headers=..., json=...)`, nothing else;
- native: tarnvel._internal.api_logic.InternalClass;
- python: the exact pure-Python equivalent (reference_client.py), for reference;
- plain: the same client as usually written in Python (plain_client.py).

One more keeps its connection: shared is the native class with the module's
`requests` bound, for each of its calls, to an object whose `post` is one
`requests.Session`'s (README's "Reusing connections"; the session is the
sandbox's, `Sandbox.session()`). The connections the sandbox accepts during
each caller's batches are counted too.

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
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "devtools"))
sys.path.insert(0, str(ROOT / "tests"))

import sandbox  # noqa: E402
import tarnvel._internal.api_logic as api_logic  # noqa: E402
from support import plain_client, reference_client  # noqa: E402

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


def shared_callers(shared, stand_in):
    """The native class posting through `shared` instead of the stand-in,
    for the length of each call."""
    native = api_logic.InternalClass()

    def through_shared(call):
        def shared_call():
            api_logic.requests = shared
            try:
                return call()
            finally:
                api_logic.requests = stand_in

        return shared_call

    return {
        "validate_token": through_shared(lambda: native.validate_token(TOKEN)),
        "search_query": through_shared(lambda: native.search_query(TOKEN, QUERY)),
    }


def measure(rounds: int, batch: int) -> dict[str, dict[str, float]]:
    results: dict[str, dict[str, float]] = {}
    with (
        sandbox.Sandbox() as service,
        service.installed(api_logic, reference_client, plain_client) as stand_in,
        service.session() as session,
    ):
        shared = shared_callers(types.SimpleNamespace(post=session.post), stand_in)
        for operation, by_caller in callers(stand_in).items():
            by_caller["shared"] = shared[operation]
            expected = by_caller["native"]()
            for name in ("python", "plain", "shared"):
                if by_caller[name]() != expected:
                    raise AssertionError(f"{operation}: {name} answers otherwise than native")
            for call in by_caller.values():  # connection pools, caches, specialisation
                for _ in range(batch):
                    call()
            samples: dict[str, list[float]] = {name: [] for name in by_caller}
            connections = dict.fromkeys(by_caller, 0)
            order = list(by_caller.items())
            for round_number in range(rounds):
                # Each caller takes each place in the round equally often: what
                # one batch leaves to the server lands on the next one.
                shift = round_number % len(order)
                for name, call in order[shift:] + order[:shift]:
                    accepted = service.connections_accepted
                    start = time.perf_counter()
                    for _ in range(batch):
                        call()
                    samples[name].append((time.perf_counter() - start) / batch)
                    connections[name] += service.connections_accepted - accepted
                service.clear()
            figures = {name: statistics.median(values) for name, values in samples.items()}
            # Ratios within a round compare calls made moments apart.
            for name in ("native", "python", "plain", "shared"):
                figures[f"{name}/direct"] = statistics.median(
                    a / b for a, b in zip(samples[name], samples["direct"], strict=True)
                )
            for name, count in connections.items():
                figures[f"{name} connections"] = 100 * count / (rounds * batch)
            results[operation] = figures
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=60, help="batches per caller and operation")
    parser.add_argument("--batch", type=int, default=10, help="calls per batch")
    args = parser.parse_args()
    results = measure(args.rounds, args.batch)
    print(f"end to end over loopback TLS, {args.rounds} x {args.batch} calls per caller (median per call)")
    names = ("native", "python", "plain", "shared")
    print(
        f"{'operation':<16}{'direct':>12}"
        + "".join(f"{n:>12}" for n in names)
        + "".join(f"{n + '/direct':>15}" for n in names)
    )
    for operation, t in results.items():
        times = "".join(f"{t[n] * 1e6:>10.0f}us" for n in ("direct", *names))
        print(f"{operation:<16}{times}" + "".join(f"{t[n + '/direct']:>15.3f}" for n in names))
    print("connections opened per 100 calls")
    print(f"{'operation':<16}" + "".join(f"{n:>12}" for n in ("direct", *names)))
    for operation, t in results.items():
        print(f"{operation:<16}" + "".join(f"{t[n + ' connections']:>12.1f}" for n in ("direct", *names)))


if __name__ == "__main__":
    main()
