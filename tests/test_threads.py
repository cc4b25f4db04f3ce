"""Calls from many threads at once: every call gets the message its own
arguments call for, and a thread's handled exception (what sys.exc_info()
reports) is the same after every call as before it."""

from __future__ import annotations

import asyncio
import sys
import threading
import time
import types
from collections.abc import Callable
from typing import Any

import pytest

from reliability_support import scaled
from support.doubles import Response

THREADS = 32
CALLS = scaled(400, minimum=10)  # per thread and method


class Echo:
    """A stand-in for `requests` whose `post` lets other threads run, then
    answers from the call's own arguments: the validation token comes back
    as "Credits", the search query picks a branch and comes back in it."""

    def post(self, url: str, headers: dict[str, Any], json: dict[str, Any]) -> Response:
        time.sleep(0)
        if "token" in json:
            return Response(200, {"success": True, "type": "credits_data", "data": {"Credits": json["token"]}})
        query = json["s"]
        assert headers["authToken"] == "tok:" + query
        branch = query.split(":", 1)[0]
        if branch == "results":
            return Response(200, {"success": True, "type": "results", "data": query})
        if branch == "refused":
            return Response(200, {"success": False, "message": query})
        if branch == "raw":
            return Response(200, None, text=query, json_error=ValueError("not JSON"))
        if branch == "status":
            return Response(503, None, text=query)
        return Response(200, [query])  # not an object: AttributeError leaves the method


SEARCH_BRANCHES: dict[str, Callable[[str], Any]] = {
    "results": lambda q: "Search results: " + q,
    "refused": lambda q: "Search failed: " + q,
    "raw": lambda q: "Search results: " + q,
    "status": lambda q: "Error during search: " + q,
    "list": lambda q: AttributeError("'list' object has no attribute 'get'"),
}


def outcome(call: Callable[[], str]) -> Any:
    try:
        return call()
    except Exception as exc:  # noqa: BLE001 - compared with the expected outcome
        return exc


def same(got: Any, expected: Any) -> bool:
    if isinstance(expected, BaseException):
        return type(got) is type(expected) and str(got) == str(expected)
    return type(got) is str and got == expected


def run_threads(work: Callable[[int], list[str]], count: int) -> list[str]:
    """Runs work(index) in `count` threads started together; their complaints."""
    barrier = threading.Barrier(count)
    complaints: list[str] = []
    lock = threading.Lock()

    def body(index: int) -> None:
        barrier.wait()
        try:
            found = work(index)
        except BaseException as exc:  # noqa: BLE001
            found = [f"thread {index} died: {exc!r}"]
        with lock:
            complaints.extend(found)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch often, also between the module's calls into Python code
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
    finally:
        sys.setswitchinterval(interval)
    assert not any(thread.is_alive() for thread in threads), "a thread did not finish"
    return complaints


def calls_of_thread(obj: Any, index: int) -> list[tuple[Callable[[], str], Any]]:
    calls = []
    branches = list(SEARCH_BRANCHES)
    for i in range(CALLS):
        token = f"t{index}-{i}-\u20ac"
        calls.append(
            (lambda t=token: obj.validate_token(t), "Token validated successfully. Credits available: " + token)
        )
        branch = branches[(index + i) % len(branches)]
        query = f"{branch}:{index}:{i}"
        calls.append((lambda q=query: obj.search_query("tok:" + q, q), SEARCH_BRANCHES[branch](query)))
    return calls


@pytest.mark.parametrize("handling", ["nothing", "own exception"], ids=["no handled exception", "inside except"])
def test_many_threads_each_get_their_own_messages(api_logic, monkeypatch, handling):
    monkeypatch.setattr(api_logic, "requests", Echo())
    obj = api_logic.InternalClass()

    def work(index: int) -> list[str]:
        complaints = []
        own = KeyError(f"thread {index}")

        def check_all() -> None:
            expected_handled = own if handling == "own exception" else None
            for call, expected in calls_of_thread(obj, index):
                got = outcome(call)
                if not same(got, expected):
                    complaints.append(f"thread {index}: expected {expected!r}, got {got!r}")
                if sys.exc_info()[1] is not expected_handled:
                    complaints.append(f"thread {index}: handled exception is {sys.exc_info()[1]!r} after {expected!r}")

        if handling == "own exception":
            try:
                raise own
            except KeyError:
                check_all()
        else:
            check_all()
        return complaints

    assert run_threads(work, THREADS) == []


def test_requests_and_its_post_replaced_while_threads_call(api_logic, monkeypatch):
    # `requests` as a real module object whose `post` is replaced (and the
    # old one dropped) over and over, and the module itself swapped, while
    # other threads call: every call uses a `post` that was in place during
    # it, never one already gone.
    modules = [types.ModuleType(f"requests_{k}") for k in range(2)]
    generation = [0]
    stop = threading.Event()

    def make_post(tag: str) -> Callable[..., Response]:
        def post(url: str, headers: Any, json: dict[str, Any]) -> Response:
            time.sleep(0)
            return Response(200, {"success": True, "type": "credits_data", "data": {"Credits": tag}})

        return post

    for k, module in enumerate(modules):
        module.post = make_post(f"m{k}g0")
    monkeypatch.setattr(api_logic, "requests", modules[0])
    obj = api_logic.InternalClass()

    def swapper() -> None:
        while not stop.is_set():
            generation[0] += 1
            k = generation[0] % 2
            modules[k].post = make_post(f"m{k}g{generation[0]}")
            if generation[0] % 3 == 0:
                del modules[k].post
                modules[k].__getattr__ = lambda name, tag=f"m{k}a{generation[0]}": make_post(tag)
            elif "__getattr__" in modules[k].__dict__:
                del modules[k].__getattr__
            api_logic.requests = modules[generation[0] % 5 % 2]
            time.sleep(0)

    def work(index: int) -> list[str]:
        complaints = []
        for _ in range(CALLS):
            message = obj.validate_token("t")
            seen = int(message.rsplit("g", 1)[-1].rsplit("a", 1)[-1])
            if not message.startswith("Token validated successfully. Credits available: m") or seen > generation[0]:
                complaints.append(message)
        return complaints

    thread = threading.Thread(target=swapper)
    thread.start()
    try:
        assert run_threads(work, 16) == []
    finally:
        stop.set()
        thread.join()
    assert generation[0] > 10


def test_generators_and_coroutines_keep_their_handled_exceptions(api_logic, monkeypatch):
    # Each suspended frame has a handled exception of its own; a search that
    # takes its ValueError path in one leaves every other one as it was.
    monkeypatch.setattr(api_logic, "requests", Echo())
    obj = api_logic.InternalClass()

    def raw() -> str:
        return obj.search_query("tok:raw:g", "raw:g")

    def generator() -> Any:
        try:
            raise TypeError("generator's own")
        except TypeError as mine:
            while True:
                yield raw(), sys.exc_info()[1] is mine

    async def coroutine() -> tuple[str, bool]:
        try:
            raise LookupError("coroutine's own")
        except LookupError as mine:
            await asyncio.sleep(0)
            return raw(), sys.exc_info()[1] is mine

    frames = generator()
    assert next(frames) == ("Search results: raw:g", True)
    assert sys.exc_info() == (None, None, None)
    try:
        raise KeyError("caller's own")
    except KeyError as own:
        assert next(frames) == ("Search results: raw:g", True)
        assert asyncio.run(coroutine()) == ("Search results: raw:g", True)
        assert sys.exc_info()[1] is own


# --- Over real TLS, against the sandbox service -----------------------------

SANDBOX_CALLS = [
    ("validate_token", ("credits",), "Token validated successfully. Credits available: 12"),
    ("validate_token", ("no-credits",), "Token is valid but no credits are available. Please buy credits to proceed."),
    ("validate_token", ("refused",), "Token validation failed: Token has been revoked"),
    ("validate_token", ("slow",), "Token validated successfully. Credits available: 3"),
    ("search_query", ("tok", "results"), "Search results: [{'title': 'Tarn lakes', 'score': 0.92}]"),
    ("search_query", ("tok", "nothing-found"), "Sorry, couldn't find the results. Try again with a different input."),
    ("search_query", ("tok", "not-json"), "Search results: <html><body>Service temporarily unavailable</body></html>"),
    ("search_query", ("tok", "slow"), "Search results: late but here"),
    ("search_query", ("tok", "status-500"), "Error during search: Internal Server Error"),
]
SANDBOX_THREADS = 8


def test_threads_over_tls_against_the_sandbox(api_logic):
    sandbox = pytest.importorskip("sandbox", reason="devtools/sandbox.py is not available")
    rounds = scaled(2)
    with sandbox.Sandbox() as service, service.installed(api_logic):
        obj = api_logic.InternalClass()

        def work(index: int) -> list[str]:
            complaints = []
            try:
                raise KeyError(index)
            except KeyError as own:
                for _ in range(rounds):
                    for k in range(len(SANDBOX_CALLS)):
                        method, args, expected = SANDBOX_CALLS[(index + k) % len(SANDBOX_CALLS)]
                        got = outcome(lambda method=method, args=args: getattr(obj, method)(*args))
                        if got != expected:
                            complaints.append(f"thread {index}: {method}{args}: {got!r}")
                        if sys.exc_info()[1] is not own:
                            complaints.append(f"thread {index}: handled exception changed by {method}{args}")
            return complaints

        assert run_threads(work, SANDBOX_THREADS) == []
        received = service.received
    assert len(received) == SANDBOX_THREADS * rounds * len(SANDBOX_CALLS)
    assert service.failed_connections == 0
