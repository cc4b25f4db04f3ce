"""Both operations through the real `requests`, its transport intercepted by `responses`:
real Response objects, real JSON decoding errors, real connection errors."""

from __future__ import annotations

import json

import pytest

from expect import module_entries
from source_map import SEARCH, VALIDATE
from support.doubles import RecordingRequests

requests = pytest.importorskip("requests")
responses = pytest.importorskip("responses")


@pytest.fixture(scope="module")
def urls(api_logic):
    """The two endpoint URLs, as the module posts them."""
    recorder = RecordingRequests()
    saved = api_logic.requests
    api_logic.requests = recorder
    try:
        obj = api_logic.InternalClass()
        obj.validate_token("t")
        obj.search_query("t", "q")
    finally:
        api_logic.requests = saved
    return {"validate": recorder.calls[0].args[0], "search": recorder.calls[1].args[0]}


@pytest.fixture
def service(api_logic, monkeypatch):
    monkeypatch.setattr(api_logic, "requests", requests)
    with responses.RequestsMock(assert_all_requests_are_fired=False) as mock:
        yield mock


def call(obj, method):
    return obj.validate_token("tok") if method == "validate" else obj.search_query("tok", "what")


# how the service answers -> (validation outcome, search outcome); an outcome is a
# message, or (exception type, line)
@pytest.mark.parametrize(
    "status, body, content_type, validated, searched",
    [
        (
            200,
            "<html><body>maintenance</body></html>",
            "text/html",
            (requests.exceptions.JSONDecodeError, VALIDATE.decode),
            "Search results: <html><body>maintenance</body></html>",
        ),
        (
            200,
            "plain words",
            "text/plain",
            (requests.exceptions.JSONDecodeError, VALIDATE.decode),
            "Search results: plain words",
        ),
        (200, "", "text/plain", (requests.exceptions.JSONDecodeError, VALIDATE.decode), "Search results: "),
        (
            200,
            '{"success": true',
            "application/json",
            (requests.exceptions.JSONDecodeError, VALIDATE.decode),
            'Search results: {"success": true',
        ),
        (200, "[1, 2]", "application/json", (AttributeError, VALIDATE.success), (AttributeError, SEARCH.success)),
        (200, "null", "application/json", (AttributeError, VALIDATE.success), (AttributeError, SEARCH.success)),
        (200, '"success"', "application/json", (AttributeError, VALIDATE.success), (AttributeError, SEARCH.success)),
        (
            500,
            '{"success": true, "data": "x"}',
            "application/json",
            'Error validating token: {"success": true, "data": "x"}',
            'Error during search: {"success": true, "data": "x"}',
        ),
        (404, "", "text/plain", "Error validating token: ", "Error during search: "),
        (
            503,
            "caf\u00e9".encode("latin-1"),
            "text/plain; charset=latin-1",
            "Error validating token: caf\u00e9",
            "Error during search: caf\u00e9",
        ),
        (
            201,
            '{"success": true}',
            "application/json",
            'Error validating token: {"success": true}',
            'Error during search: {"success": true}',
        ),
        (
            200,
            json.dumps({"success": True, "type": "credits_data", "data": {"Credits": 12}}),
            "application/json",
            "Token validated successfully. Credits available: 12",
            "Search results: {'Credits': 12}",
        ),
        (
            200,
            json.dumps({"success": True, "type": "invalid", "data": {"n": 1}}),
            "application/json",
            "Invalid token. Please try again or exit.",
            "Search results: {'n': 1}",
        ),
        (
            200,
            json.dumps({"success": False, "message": "Bad query"}),
            "application/json",
            "Token validation failed: Bad query",
            "Search failed: Bad query",
        ),
        (
            200,
            json.dumps({"success": True, "type": "no_credits"}),
            "application/json",
            "Token is valid but no credits are available. Please buy credits to proceed.",
            "You have used all credits. Please purchase more.",
        ),
        (
            200,
            json.dumps({"success": True, "type": "error", "data": 1e400}),
            "application/json",
            "Unexpected response type.",
            "Sorry, couldn't find the results. Try again with a different input.",
        ),
        (
            200,
            '{"success": true, "data": 1e400}',
            "application/json",
            "Unexpected response type.",
            "Search results: inf",
        ),
    ],
)
@pytest.mark.parametrize("method", ["validate", "search"])
def test_answers(obj, service, urls, method, status, body, content_type, validated, searched):
    service.add(responses.POST, urls[method], body=body, status=status, content_type=content_type)
    expected = validated if method == "validate" else searched
    if isinstance(expected, str):
        assert call(obj, method) == expected
        return
    error, line = expected
    with pytest.raises(error) as info:
        call(obj, method)
    assert module_entries(info.value) == [((VALIDATE if method == "validate" else SEARCH).function, line)]


@pytest.mark.parametrize("method, function", [("validate", VALIDATE), ("search", SEARCH)])
@pytest.mark.parametrize(
    "failure_type",
    [
        requests.exceptions.ConnectionError,
        requests.exceptions.SSLError,
        requests.exceptions.ChunkedEncodingError,
        requests.exceptions.InvalidJSONError,  # a ValueError: not caught outside the protected steps
    ],
)
def test_transport_failures_propagate_from_the_posting_line(obj, service, urls, method, function, failure_type):
    failure = failure_type("transport")
    service.add(responses.POST, urls[method], body=failure)
    with pytest.raises(type(failure)) as info:
        call(obj, method)
    assert info.value is failure
    assert module_entries(info.value) == [(function.function, function.post)]


@pytest.mark.parametrize("method, function", [("validate", VALIDATE), ("search", SEARCH)])
def test_an_unreachable_service_is_a_connection_error(obj, service, method, function):
    with pytest.raises(requests.exceptions.ConnectionError) as info:
        call(obj, method)
    assert module_entries(info.value) == [(function.function, function.post)]


@pytest.mark.parametrize(
    "method, headers, body",
    [
        ("validate", {"Content-Type": "application/json"}, {"token": "tok"}),
        ("search", {"Content-Type": "application/json", "authToken": "tok"}, {"s": "what", "l": "en", "o": "content"}),
    ],
)
def test_what_goes_over_the_wire(obj, service, urls, method, headers, body):
    service.add(responses.POST, urls[method], json={"success": False}, status=200)
    call(obj, method)
    [sent] = service.calls
    request = sent.request
    assert request.method == "POST" and request.url == urls[method]
    for name, value in headers.items():
        assert request.headers[name] == value
    assert "authToken" in request.headers if method == "search" else "authToken" not in request.headers
    assert json.loads(request.body) == body and list(json.loads(request.body)) == list(body)
    # Nothing beyond the defaults of `requests`: no time limit, certificates verified.
    kwargs = request.req_kwargs
    assert kwargs.get("timeout") is None and kwargs.get("verify") is not False and kwargs.get("cert") is None
