"""Connections kept by `requests.Session`s bound as the module's `requests`
(README's "Reusing connections", examples/connection_reuse.py), over real TLS
against the sandbox: the same outcomes as a new connection per call, on one
connection per session."""

from __future__ import annotations

import dataclasses
import json
import re
import runpy
import threading
import types
from concurrent.futures import ThreadPoolExecutor

import pytest

import sandbox
import test_end_to_end
from conftest import ROOT, run_python
from expect import module_entries
from test_end_to_end import CREDITS, SEARCH_OUTCOMES, VALIDATION, calls

service = test_end_to_end.service  # the end-to-end tests' sandbox fixture, one per module

EXAMPLE = ROOT / "examples" / "connection_reuse.py"
# Every scripted outcome that comes back as a message, the slow ones left out.
OUTCOMES = [("validate_token", v, m) for v, m in VALIDATION if v != "slow"] + [
    ("search_query", v, m) for v, m in SEARCH_OUTCOMES if v != "slow"
]
CALLS = 50
THREADS = 8


def bind(monkeypatch, api_logic, post):
    monkeypatch.setattr(api_logic, "requests", types.SimpleNamespace(post=post))


def outcome(call):
    try:
        return call()
    except Exception as exc:  # noqa: BLE001 - compared between the two ways of connecting
        return type(exc), module_entries(exc)


def test_one_session_answers_as_fresh_connections_on_one(service, api_logic, obj, monkeypatch):
    service.clear()
    with service.installed(api_logic):
        fresh = [calls(obj, method, value)() for method, value, _ in OUTCOMES]
    assert service.connections_accepted == len(OUTCOMES)
    service.clear()
    with service.session() as session:
        bind(monkeypatch, api_logic, session.post)
        shared = [calls(obj, *OUTCOMES[k % len(OUTCOMES)][:2])() for k in range(CALLS)]
    assert shared == [fresh[k % len(OUTCOMES)] for k in range(CALLS)]
    assert (service.connections_accepted, len(service.received)) == (1, CALLS)
    # The session closed its connection: an ordinary end, not a failure.
    assert service.wait_until_closed()
    assert service.failed_connections == 0


@pytest.mark.parametrize("method", ["validate_token", "search_query"])
@pytest.mark.parametrize(
    "failure, connections",
    [("not-json", 1), ("empty-body", 1), ("json-array", 1), ("service down", 0), ("untrusted certificate", 2)],
)
def test_failures_reach_the_caller_as_with_fresh_connections(
    service, api_logic, obj, monkeypatch, tmp_path, method, failure, connections
):
    where, value = {}, failure
    if failure == "service down":
        where, value = {"origin": sandbox.closed_origin()}, "credits"
    elif failure == "untrusted certificate":
        where, value = {"ca_bundle": str(sandbox.issue_certificates(tmp_path).ca_bundle)}, "credits"
    with service.installed(api_logic, **where):
        fresh = outcome(calls(obj, method, value))
    service.clear()
    with service.session(**where) as session:
        bind(monkeypatch, api_logic, session.post)
        # The second call goes over the connection the first one left, if any.
        assert [outcome(calls(obj, method, value)) for _ in range(2)] == [fresh, fresh]
    assert service.connections_accepted == connections


@pytest.fixture(scope="module")
def example():
    """The example's globals, its main() not run."""
    return runpy.run_path(str(EXAMPLE))


def test_a_session_per_thread(service, api_logic, obj, monkeypatch, example):
    per_thread = example["SessionPerThread"](service.session)
    bind(monkeypatch, api_logic, per_thread.post)
    service.clear()
    everyone_started = threading.Barrier(THREADS, timeout=60)  # the pool runs each task on a thread of its own

    def work(index):
        everyone_started.wait()
        rows = [OUTCOMES[(index + k) % len(OUTCOMES)] for k in range(CALLS)]
        return threading.get_ident(), [(v, m) for method, v, m in rows if calls(obj, method, v)() != m]

    try:
        with ThreadPoolExecutor(THREADS) as pool:
            threads, wrong = zip(*pool.map(work, range(THREADS)), strict=True)
    finally:
        per_thread.close()
    assert wrong == ([],) * THREADS
    assert len(set(threads)) == service.connections_accepted == THREADS
    # Not failed_connections: under load a connection that idles past the
    # service's timeout, or is reset as the sessions close, counts there
    # without touching any answer.
    assert len(service.received) == THREADS * CALLS


@pytest.mark.parametrize("closing", ["announced by an answer", "dropped while idle"])
def test_a_connection_the_service_closes_is_reopened(service, api_logic, obj, monkeypatch, closing):
    closing_answer = dataclasses.replace(sandbox.VALIDATION_ANSWERS["credits"], close=True)
    monkeypatch.setitem(service.validation_answers, "closing", closing_answer)
    token = "closing" if closing.startswith("announced") else "credits"
    service.clear()
    with service.session() as session:
        bind(monkeypatch, api_logic, session.post)
        for _ in range(3):
            assert obj.validate_token(token) == CREDITS + "12"
            if token == "credits":
                assert service.drop_connections()
            assert obj.search_query("t", "results") == dict(SEARCH_OUTCOMES)["results"]
    assert (service.connections_accepted, service.failed_connections) == (4, 0)


@pytest.mark.parametrize(
    "token, sent, status, closes",
    [
        ("empty-body", "as JSON", 200, False),
        ("status-500", "as JSON", 500, False),
        ("credits", "as JSON, asking to close", 200, True),
        ("no-credits", "in chunks", 200, False),
    ],
)
def test_every_answer_is_delimited_and_says_whether_the_connection_stays(service, token, sent, status, closes):
    url = "https://sandbox.invalid" + sandbox.VALIDATION_PATH
    body = {"token": token}
    how = {
        "as JSON": {"json": body},
        "as JSON, asking to close": {"json": body, "headers": {"Connection": "close"}},
        "in chunks": {"data": iter(json.dumps(body).encode().partition(b":"))},
    }[sent]
    service.clear()
    with service.session() as session:
        answer = session.post(url, **how)
        assert (answer.status_code, answer.headers.get("Connection")) == (status, "close" if closes else None)
        assert answer.headers["Content-Length"] == str(len(answer.content))
        assert session.post(url, json={"token": "credits"}).status_code == 200
    assert [r.body for r in service.received] == [body, {"token": "credits"}]
    assert ("Transfer-Encoding" in service.received[0].headers) == (sent == "in chunks")
    assert service.connections_accepted == (2 if closes else 1)


def test_stop_closes_the_connections_kept_open(api_logic, obj, monkeypatch):
    with sandbox.Sandbox() as running, running.session() as session:
        bind(monkeypatch, api_logic, session.post)
        assert obj.validate_token("credits") == CREDITS + "12"
        assert running.open_connections == 1
        running.stop()
        assert running.open_connections == 0


def test_example_runs():
    done = run_python(f"import runpy\nrunpy.run_path({str(EXAMPLE)!r}, run_name='__main__')\n")
    assert done.returncode == 0, done.stderr
    lines = [re.sub(r" {2,}", " ", line) for line in done.stdout.splitlines()[1:]]
    assert lines[:2] == [
        f"a new connection per call: {CALLS} calls, {CALLS} opened, messages {{'{CREDITS}12'}}",
        f"one session: {CALLS} calls, 1 opened, messages {{'{CREDITS}12'}}",
    ]
    threaded = re.fullmatch(
        rf"a session per thread: {THREADS * CALLS} calls from {THREADS} threads, (\d) opened, 0 wrong answers", lines[2]
    )
    assert threaded and 1 <= int(threaded[1]) <= THREADS, lines[2]
