"""Drives the installed tarnvel._internal.api_logic end to end against the
local sandbox service (HTTPS on 127.0.0.1 with its own CA) and prints the
message of every outcome of token validation and search.

    python -m pip install . && python examples/demo.py
"""

from __future__ import annotations

import sys
from pathlib import Path

# The sandbox lives in the source tree, not in the installed package.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "devtools"))

import sandbox  # noqa: E402

try:
    from tarnvel._internal import api_logic
except ImportError as error:
    sys.exit(f"tarnvel is not installed ({error}); run: python -m pip install .")

UNKNOWN_TOKEN = "someone-else"
UNKNOWN_QUERY = "lakes of the north"
SEARCH_TOKEN = "demo-token"


def outcome(call, *args: str) -> str:
    try:
        return call(*args)
    except Exception as error:  # the demo shows failures as they reach a caller
        return f"raised {type(error).__name__}: {error}"


def main() -> None:
    with sandbox.Sandbox() as service, service.installed(api_logic):
        print(f"sandbox service at {service.origin} (certificates made with {service.certificates.maker})")
        client = api_logic.InternalClass()
        for token in [*sandbox.VALIDATION_ANSWERS, UNKNOWN_TOKEN]:
            print(f"validate_token  {token:<20} -> {outcome(client.validate_token, token)}")
        for query in [*sandbox.SEARCH_ANSWERS, UNKNOWN_QUERY]:
            print(f"search_query    {query:<20} -> {outcome(client.search_query, SEARCH_TOKEN, query)}")
        print(f"{len(service.received)} requests reached the sandbox")


if __name__ == "__main__":
    main()
