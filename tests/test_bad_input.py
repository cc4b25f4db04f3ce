"""Awkward input stays harmless: a query of tens of megabytes and tokens with
NUL, CR/LF, leading spaces or characters outside the BMP are sent unchanged
where `requests` accepts them, and where it refuses them the call fails with
its error and nothing reaches the service. Through the sandbox (real TLS and
the real wire format) and through `responses` (the transport replaced)."""

from __future__ import annotations

import json
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

import pytest
import requests

from expect import module_entries
from reliability_support import scaled
from source_map import SEARCH

VALIDATION_ANSWER = {"success": False, "message": "Unknown token"}
SEARCH_ANSWER = {"success": True, "type": "results", "data": []}
REFUSED = "Token validation failed: Unknown token"
RESULTS = "Search results: []"


def endpoint_urls(api_logic: Any) -> tuple[str, str]:
    """The module's two URLs, as it posts them."""
    urls = []

    class Recorder:
        def post(self, url: str, **kwargs: Any) -> Any:
            urls.append(url)
            raise LookupError

    saved, api_logic.requests = api_logic.requests, Recorder()
    try:
        for call in (lambda o: o.validate_token("t"), lambda o: o.search_query("t", "q")):
            with pytest.raises(LookupError):
                call(api_logic.InternalClass())
    finally:
        api_logic.requests = saved
    return urls[0], urls[1]


@pytest.fixture(scope="module")
def service() -> Iterator[Any]:
    """One sandbox for the whole file: certificates are slow to make under an emulator."""
    sandbox = pytest.importorskip("sandbox", reason="devtools/sandbox.py is not available")
    with sandbox.Sandbox() as running:
        yield running


@contextmanager
def through_sandbox(api_logic: Any, service: Any) -> Iterator[Callable[[], list[tuple[str, dict[str, str], Any]]]]:
    service.clear()
    with service.installed(api_logic):
        yield lambda: [(r.path, r.headers, r.body) for r in service.received]


@contextmanager
def through_responses(api_logic: Any, service: Any) -> Iterator[Callable[[], list[tuple[str, dict[str, str], Any]]]]:
    responses = pytest.importorskip("responses")
    received: list[tuple[str, dict[str, str], Any]] = []

    def answering(answer: dict[str, Any]) -> Callable[[Any], tuple[int, dict[str, str], str]]:
        def callback(request: Any) -> tuple[int, dict[str, str], str]:
            received.append((request.path_url, dict(request.headers), json.loads(request.body)))
            return 200, {"Content-Type": "application/json"}, json.dumps(answer)

        return callback

    validate_url, search_url = endpoint_urls(api_logic)
    saved, api_logic.requests = api_logic.requests, requests
    try:
        with responses.RequestsMock(assert_all_requests_are_fired=False) as mock:
            mock.add_callback(responses.POST, validate_url, callback=answering(VALIDATION_ANSWER))
            mock.add_callback(responses.POST, search_url, callback=answering(SEARCH_ANSWER))
            yield lambda: list(received)
    finally:
        api_logic.requests = saved


BACKENDS = {"sandbox": through_sandbox, "responses": through_responses}
# The start of the text only: its wording differs between versions of requests.
INVALID_HEADER = (requests.exceptions.InvalidHeader, "Invalid leading whitespace, reserved character(s), or return")
NOT_LATIN_1 = (UnicodeEncodeError, "'latin-1' codec can't encode character")

# (token, query or None for validate_token, outcome through the sandbox, outcome through responses);
# an outcome is the message, or (exception type, start of its text) when nothing may be sent.
CASES: dict[str, tuple[str, str | None, Any, Any]] = {
    "NUL in the token, body": ("a\x00b", None, REFUSED, REFUSED),
    "CR LF in the token, body": ("a\r\nX-Injected: 1", None, REFUSED, REFUSED),
    "emoji token, body": ("\U0001f600x", None, REFUSED, REFUSED),
    "lone surrogate token, body": ("\ud800", None, REFUSED, REFUSED),
    "NUL in the token, header": ("a\x00b", "q", RESULTS, RESULTS),
    "tab in the token, header": ("a\tb", "q", RESULTS, RESULTS),
    "Latin-1 token, header": ("caf\u00e9", "q", RESULTS, RESULTS),
    "CR LF in the token, header": ("a\r\nX-Injected: 1", "q", INVALID_HEADER, INVALID_HEADER),
    "LF in the token, header": ("a\nb", "q", INVALID_HEADER, INVALID_HEADER),
    "leading space in the token, header": (" tok", "q", INVALID_HEADER, INVALID_HEADER),
    # http.client writes header values as Latin-1; a mocked transport never encodes them.
    "emoji token, header": ("\U0001f600", "q", NOT_LATIN_1, RESULTS),
    "lone surrogate token, header": ("\ud800", "q", NOT_LATIN_1, RESULTS),
    "query with NUL, CR LF and an emoji": ("tok", 'q\x00\r\n\U0001f600"\\', RESULTS, RESULTS),
}


def sent_value(record: tuple[str, dict[str, str], Any], search: bool) -> tuple[str, str | None]:
    path, headers, body = record
    if search:
        return headers.get("authToken") or headers.get("Authtoken"), body["s"]
    return body["token"], None


@pytest.fixture(params=list(BACKENDS))
def backend(request: Any) -> tuple[str, Any]:
    name = request.param
    return name, request.getfixturevalue("service") if name == "sandbox" else None


@pytest.mark.parametrize("name", list(CASES))
def test_awkward_tokens_and_queries(api_logic, backend, name):
    token, query, *outcomes = CASES[name]
    expected = outcomes[list(BACKENDS).index(backend[0])]
    with BACKENDS[backend[0]](api_logic, backend[1]) as received:
        obj = api_logic.InternalClass()
        call = (lambda: obj.validate_token(token)) if query is None else (lambda: obj.search_query(token, query))
        if isinstance(expected, str):
            assert call() == expected
            (record,) = received()
            assert sent_value(record, query is not None) == (token, query)
        else:
            error_type, text = expected
            with pytest.raises(error_type) as info:
                call()
            assert str(info.value).startswith(text)
            assert module_entries(info.value) == [(SEARCH.function, SEARCH.post)]
            assert received() == []


@pytest.mark.parametrize("method", ["search_query", "validate_token"])
def test_tens_of_megabytes_arrive_whole(api_logic, backend, method):
    size = scaled(20 * 2**20, minimum=2**20)
    # One byte per character, with what JSON must escape at both ends and in the middle.
    tricky = '\x00\r\n"\\\t'
    half = (size - 3 * len(tricky)) // 2
    value = tricky + "a" * half + tricky + "b" * half + tricky
    with BACKENDS[backend[0]](api_logic, backend[1]) as received:
        obj = api_logic.InternalClass()
        if method == "search_query":
            assert obj.search_query("tok", value) == RESULTS
        else:
            assert obj.validate_token(value) == REFUSED
        (record,) = received()
    arrived = sent_value(record, method == "search_query")[1 if method == "search_query" else 0]
    assert len(arrived) == len(value) and arrived == value
