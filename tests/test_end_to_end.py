"""End to end over real TLS: the module, the real `requests` and the sandbox
service on 127.0.0.1, with only the origin of each URL swapped."""

from __future__ import annotations

import shutil

import pytest
import requests

import sandbox
from conftest import ROOT, run_python
from expect import module_entries
from source_map import SEARCH, VALIDATE
from support import reference_client

CREDITS = "Token validated successfully. Credits available: "
FAILED = "Token validation failed: "
ERROR = "Error validating token: "
RESULTS = "Search results: "
SEARCH_FAILED = "Search failed: "
SEARCH_ERROR = "Error during search: "

# Token sent -> message; the sandbox answers by the token.
VALIDATION = [
    ("credits", CREDITS + "12"),
    ("credits-unknown", CREDITS + "N/A"),
    ("no-credits", "Token is valid but no credits are available. Please buy credits to proceed."),
    ("invalid", "Invalid token. Please try again or exit."),
    ("unexpected-type", "Unexpected response type."),
    ("refused", FAILED + "Token has been revoked"),
    ("refused-silently", FAILED + "None"),
    ("someone-else", FAILED + "Unknown token"),
    ("slow", CREDITS + "3"),
    ("status-500", ERROR + "Internal Server Error"),
    ("status-404", ERROR + '{"success": true, "type": "credits_data"}'),
]
# Query sent -> message.
SEARCH_OUTCOMES = [
    ("results", RESULTS + "[{'title': 'Tarn lakes', 'score': 0.92}]"),
    ("results-missing", RESULTS + "No data available"),
    ("no-credits", "You have used all credits. Please purchase more."),
    ("nothing-found", "Sorry, couldn't find the results. Try again with a different input."),
    ("refused", SEARCH_FAILED + "Query too long"),
    ("refused-silently", SEARCH_FAILED + "No error message provided"),
    ("anything else", RESULTS + "[]"),
    ("slow", RESULTS + "late but here"),
    ("status-500", SEARCH_ERROR + "Internal Server Error"),
    ("status-404", SEARCH_ERROR + '{"success": true, "type": "credits_data"}'),
    ("not-json", RESULTS + "<html><body>Service temporarily unavailable</body></html>"),
    ("empty-body", RESULTS),
]


@pytest.fixture(scope="module")
def service():
    with sandbox.Sandbox() as running:
        yield running


@pytest.fixture
def wired(service, api_logic):
    """The sandbox, cleared, reached by both the native and the reference client."""
    service.clear()
    with service.installed(api_logic, reference_client):
        yield service


def calls(obj, method, value):
    """The call that sends `value` where the sandbox reads it."""
    return (
        (lambda: obj.validate_token(value))
        if method == "validate_token"
        else (lambda: obj.search_query("tok-e2e", value))
    )


@pytest.mark.parametrize(
    "method, value, message",
    [("validate_token", *row) for row in VALIDATION] + [("search_query", *row) for row in SEARCH_OUTCOMES],
)
def test_outcomes_over_tls(wired, obj, method, value, message):
    assert calls(obj, method, value)() == message
    assert calls(reference_client.InternalClass(), method, value)() == message
    assert len(wired.received) == 2


@pytest.mark.parametrize(
    "method, value, error, function, line",
    [
        ("validate_token", "not-json", requests.exceptions.JSONDecodeError, VALIDATE, VALIDATE.decode),
        ("validate_token", "empty-body", requests.exceptions.JSONDecodeError, VALIDATE, VALIDATE.decode),
        ("validate_token", "json-array", AttributeError, VALIDATE, VALIDATE.success),
        ("search_query", "json-array", AttributeError, SEARCH, SEARCH.success),
    ],
)
def test_unreadable_answers_raise(wired, obj, method, value, error, function, line):
    with pytest.raises(error) as caught:
        calls(obj, method, value)()
    assert module_entries(caught.value) == [(function.function, line)]
    with pytest.raises(error):
        calls(reference_client.InternalClass(), method, value)()


@pytest.mark.parametrize(
    "method, args, path, headers, body",
    [
        ("validate_token", ("credits",), sandbox.VALIDATION_PATH, {}, {"token": "credits"}),
        ("validate_token", ("",), sandbox.VALIDATION_PATH, {}, {"token": ""}),
        # In the body CR/LF and any code point travel safely, escaped by JSON.
        (
            "validate_token",
            ("a\r\nX-Injected: 1 \u20ac\U0001f600",),
            sandbox.VALIDATION_PATH,
            {},
            {"token": "a\r\nX-Injected: 1 \u20ac\U0001f600"},
        ),
        (
            "search_query",
            ("tok-1", "solar power"),
            sandbox.SEARCH_PATH,
            {"authToken": "tok-1"},
            {"s": "solar power", "l": "en", "o": "content"},
        ),
        (
            "search_query",
            ("caf\u00e9\ttab", ""),
            sandbox.SEARCH_PATH,
            {"authToken": "caf\u00e9\ttab"},
            {"s": "", "l": "en", "o": "content"},
        ),
        (
            "search_query",
            ("t", "x" * 20000 + "\n\u20ac"),
            sandbox.SEARCH_PATH,
            {"authToken": "t"},
            {"s": "x" * 20000 + "\n\u20ac", "l": "en", "o": "content"},
        ),
    ],
)
def test_request_as_it_arrives(wired, obj, method, args, path, headers, body):
    getattr(obj, method)(*args)
    [arrived] = wired.received
    assert (arrived.method, arrived.path, arrived.body) == ("POST", path, body)
    assert arrived.headers["Content-Type"] == "application/json"
    for name, value in headers.items():
        assert arrived.headers[name] == value
    if method == "validate_token":
        assert "authToken" not in arrived.headers
    # The instance's key is never sent.
    assert "zefrun" not in repr(arrived.headers) + repr(arrived.body)


@pytest.mark.parametrize(
    "method, args, function",
    [
        ("validate_token", ("credits",), VALIDATE),
        ("search_query", ("tok", "results"), SEARCH),
    ],
)
@pytest.mark.parametrize(
    "failure, error",
    [
        ("service down", requests.exceptions.ConnectionError),
        ("untrusted certificate", requests.exceptions.SSLError),
    ],
)
def test_transport_failures_raise_at_the_posting_line(
    service, api_logic, obj, tmp_path, method, args, function, failure, error
):
    service.clear()
    if failure == "service down":
        stand_in = service.installed(api_logic, origin=sandbox.closed_origin())
    else:
        other_ca = sandbox.issue_certificates(tmp_path)
        stand_in = service.installed(api_logic, ca_bundle=str(other_ca.ca_bundle))
    with stand_in, pytest.raises(error) as caught:
        getattr(obj, method)(*args)
    assert (function.function, function.post) in module_entries(caught.value)
    assert service.received == []


@pytest.mark.parametrize(
    "token, error",
    [
        ("a\r\nX-Injected: 1", requests.exceptions.InvalidHeader),
        ("a\nb", requests.exceptions.InvalidHeader),
        ("a\rb", requests.exceptions.InvalidHeader),
        (" leading", requests.exceptions.InvalidHeader),
        # A header travels as latin-1; anything beyond it cannot be sent.
        ("\u20acuro", UnicodeEncodeError),
    ],
)
def test_unsendable_search_token_is_refused_before_sending(wired, obj, token, error):
    # Both errors derive from ValueError, yet posting lies outside the handler.
    assert issubclass(error, ValueError)
    with pytest.raises(error) as caught:
        obj.search_query(token, "results")
    assert module_entries(caught.value) == [(SEARCH.function, SEARCH.post)]
    assert wired.received == []


@pytest.mark.parametrize("maker", sandbox.CERTIFICATE_MAKERS)
def test_each_certificate_maker_serves_verified_tls(api_logic, obj, maker):
    if maker == "openssl" and shutil.which("openssl") is None:
        pytest.skip("no openssl command")
    if maker == "trustme":
        pytest.importorskip("trustme")
    with sandbox.Sandbox(maker) as running, running.installed(api_logic):
        assert running.certificates.maker == maker
        assert obj.validate_token("credits") == CREDITS + "12"
        assert obj.search_query("t", "no-credits") == "You have used all credits. Please purchase more."


@pytest.mark.parametrize("trustme_importable", [True, False])
def test_demo_runs(trustme_importable):
    if trustme_importable:
        pytest.importorskip("trustme")
    elif shutil.which("openssl") is None:
        pytest.skip("no openssl command")
    block = "" if trustme_importable else "sys.modules['trustme'] = None\n"
    done = run_python(
        f"import runpy, sys\n{block}runpy.run_path({str(ROOT / 'examples' / 'demo.py')!r}, run_name='__main__')\n"
    )
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].endswith(f"(certificates made with {'trustme' if trustme_importable else 'openssl'})")
    assert "validate_token  credits              -> " + CREDITS + "12" in lines
    assert (
        "search_query    not-json             -> "
        + RESULTS
        + "<html><body>Service temporarily unavailable</body></html>"
        in lines
    )
    assert (
        "validate_token  json-array           -> raised AttributeError: 'list' object has no attribute 'get'" in lines
    )
    assert (
        lines[-1] == f"{len(sandbox.VALIDATION_ANSWERS) + len(sandbox.SEARCH_ANSWERS) + 2} requests reached the sandbox"
    )
