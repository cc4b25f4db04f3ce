"""Reuses connections to the search service: binds the module attribute
`requests` of tarnvel._internal.api_logic to an object whose `post` is a
`requests.Session`'s, first for one thread, then with a session per thread
for a pool of threads, against the local sandbox service (HTTPS on 127.0.0.1
with its own CA), and prints how many connections each way opened.

    python -m pip install . && python examples/connection_reuse.py

Against the real service the sessions are plain `requests.Session()`; here
they come from `service.session()`, the same with the sandbox's origin and CA.
"""

from __future__ import annotations

import sys
import threading
import types
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import requests

# The sandbox lives in the source tree, not in the installed package.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "devtools"))

import sandbox  # noqa: E402

try:
    from tarnvel._internal import api_logic
except ImportError as error:
    sys.exit(f"tarnvel is not installed ({error}); run: python -m pip install .")

CALLS = 50
THREADS = 8
TOKEN = "credits"
QUERY = "results"


class SessionPerThread:
    """Takes the place of `requests` in the module: each thread posts through
    a `requests.Session` of its own, made at its first call, since a Session is
    not documented as safe to share between threads. close() closes them all."""

    def __init__(self, new_session: Callable[[], requests.Session] = requests.Session) -> None:
        self._new_session = new_session
        self._local = threading.local()
        self._sessions: list[requests.Session] = []
        self._lock = threading.Lock()

    def post(self, url: str, **kwargs: Any) -> requests.Response:
        session = getattr(self._local, "session", None)
        if session is None:
            session = self._local.session = self._new_session()
            with self._lock:
                self._sessions.append(session)
        return session.post(url, **kwargs)

    def close(self) -> None:
        with self._lock:
            sessions, self._sessions = self._sessions, []
        for session in sessions:
            session.close()


def main() -> None:
    client = api_logic.InternalClass()
    saved = api_logic.requests
    with sandbox.Sandbox() as service:
        print(f"sandbox service at {service.origin}")
        try:
            with service.installed(api_logic):
                expected = client.search_query(TOKEN, QUERY)
                service.clear()
                fresh = {client.validate_token(TOKEN) for _ in range(CALLS)}
            print(f"a new connection per call: {CALLS} calls, {service.connections_accepted} opened, messages {fresh}")

            service.clear()
            with service.session() as session:
                api_logic.requests = types.SimpleNamespace(post=session.post)
                shared = {client.validate_token(TOKEN) for _ in range(CALLS)}
            print(f"one session:               {CALLS} calls, {service.connections_accepted} opened, messages {shared}")

            service.clear()
            per_thread = SessionPerThread(service.session)
            api_logic.requests = types.SimpleNamespace(post=per_thread.post)
            try:
                with ThreadPoolExecutor(THREADS) as pool:
                    answers = list(pool.map(lambda _: client.search_query(TOKEN, QUERY), range(THREADS * CALLS)))
            finally:
                per_thread.close()
            wrong = sum(answer != expected for answer in answers)
            print(
                f"a session per thread:      {len(answers)} calls from {THREADS} threads, "
                f"{service.connections_accepted} opened, {wrong} wrong answers"
            )
        finally:
            api_logic.requests = saved


if __name__ == "__main__":
    main()
