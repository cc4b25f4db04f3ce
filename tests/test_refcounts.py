"""Reference and memory balance of every call path, under a debug interpreter:
a path repeated a few hundred times must leave sys.gettotalrefcount() and
sys.getallocatedblocks() where they were, give or take a small fixed slack."""

from __future__ import annotations

import gc
import sys
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pytest

from expect import refused_assignment
from support.doubles import ComparesStr, TextFails, answer

pytestmark = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter (sys.gettotalrefcount)"
)

try:
    import _testcapi
except ImportError:  # pragma: no cover - shipped with Debian's debug interpreter
    _testcapi = None
needs_testcapi = pytest.mark.skipif(_testcapi is None, reason="needs _testcapi")

WARMUP = 50
ROUNDS = 300
# A leak of one reference or one block per call shows as ROUNDS; this covers
# the measuring code's own few objects.
SLACK = 10


@dataclass(frozen=True)
class Path:
    call: Callable[[Any, Any], Any]  # (instance, class) -> result
    outcome: Any  # the returned value, or an exception instance with the expected type and text
    respond: Callable[..., Any] | None = None  # what `requests.post` does
    without_requests: bool = False


def raising(exc_type: type[BaseException], text: str = "") -> Callable[..., Any]:
    # A new exception on each call: re-raising one instance would grow its traceback.
    def respond(*args: Any, **kwargs: Any) -> Any:
        raise exc_type(text)

    return respond


def inside_except(call: Callable[[Any, Any], Any]) -> Callable[[Any, Any], Any]:
    """Runs `call` while the caller handles an exception of its own."""

    def run(o: Any, c: Any) -> Any:
        try:
            raise KeyError("caller's own")
        except KeyError:
            return call(o, c)

    return run


def fresh_name(text: str) -> str:
    # Not interned, so keyword binding must compare by value.
    return "".join(list(text))


def validate(o: Any, c: Any) -> Any:
    return o.validate_token("tok")


def search(o: Any, c: Any) -> Any:
    return o.search_query("tok", "solar")


# ValueError as a class: the response raises a new instance on every json().
NOT_JSON = dict(json_error=ValueError, text="raw")

V_OK = "Token validated successfully. Credits available: 12"
CREDITS_12 = answer(200, {"success": True, "type": "credits_data", "data": {"Credits": 12}})

PATHS: dict[str, Path] = {
    # Construction
    "init": Path(lambda o, c: c()._api_key, "zefrun"),
    "init self keyword": Path(lambda o, c: c.__init__(self=o), None),
    "init attribute refused": Path(lambda o, c: c.__init__(5), AttributeError(refused_assignment(5, "_api_key"))),
    "init count": Path(lambda o, c: c(1), TypeError("__init__() takes exactly 1 positional argument (2 given)")),
    "init unexpected keyword": Path(
        lambda o, c: c(x=1), TypeError("__init__() got an unexpected keyword argument 'x'")
    ),
    "init multiple values": Path(
        lambda o, c: c(self=1), TypeError("__init__() got multiple values for keyword argument 'self'")
    ),
    # validate_token: binding and type tests
    "v too few": Path(
        lambda o, c: o.validate_token(), TypeError("validate_token() takes exactly 2 positional arguments (1 given)")
    ),
    "v too many": Path(
        lambda o, c: o.validate_token("a", "b"),
        TypeError("validate_token() takes exactly 2 positional arguments (3 given)"),
    ),
    "v missing with keyword": Path(
        lambda o, c: o.validate_token(extra=1),
        TypeError("validate_token() takes exactly 2 positional arguments (1 given)"),
    ),
    "v unexpected keyword": Path(
        lambda o, c: o.validate_token(token="t", extra=1),
        TypeError("validate_token() got an unexpected keyword argument 'extra'"),
    ),
    "v multiple values": Path(
        lambda o, c: o.validate_token("t", token="t"),
        TypeError("validate_token() got multiple values for keyword argument 'token'"),
    ),
    "v self multiple values": Path(
        lambda o, c: o.validate_token(self=o, token="t"),
        TypeError("validate_token() got multiple values for keyword argument 'self'"),
    ),
    "v keyword by value": Path(lambda o, c: o.validate_token(**{fresh_name("token"): "t"}), V_OK, CREDITS_12),
    "v keywords through class": Path(lambda o, c: c.validate_token(self=o, token="t"), V_OK, CREDITS_12),
    "v keyword compare raises": Path(
        lambda o, c: o.validate_token(**{ComparesStr("token", "token", LookupError): "t"}),
        LookupError("compared with 'token'"),
    ),
    "v tuple-and-dict call": Path(lambda o, c: c.validate_token.__call__(o, token="t"), V_OK, CREDITS_12),
    "v tuple-and-dict bad key": Path(
        lambda o, c: c.validate_token.__call__(o, **{1: "t"}), TypeError("keywords must be strings")
    ),
    "v fast-form bad key": pytest.param(
        Path(
            lambda o, c: _testcapi.pyobject_vectorcall(c.validate_token, (o, "t", "v"), (1,)),
            TypeError("validate_token() keywords must be strings"),
        ),
        marks=needs_testcapi,
    ),
    "v token int": Path(
        lambda o, c: o.validate_token(1), TypeError("Argument 'token' has incorrect type (expected str, got int)")
    ),
    "v token None": Path(
        lambda o, c: o.validate_token(None),
        TypeError("Argument 'token' has incorrect type (expected str, got NoneType)"),
    ),
    "v token str subclass": Path(
        lambda o, c: o.validate_token(ComparesStr("t")),
        TypeError("Argument 'token' has incorrect type (expected str, got ComparesStr)"),
    ),
    # validate_token: outcomes
    "v status refused": Path(validate, "Error validating token: not found", answer(404, None, text="not found")),
    "v service refusal": Path(
        validate, "Token validation failed: Bad token", answer(200, {"success": False, "message": "Bad token"})
    ),
    "v refusal without message": Path(validate, "Token validation failed: None", answer(200, {})),
    "v credits": Path(validate, V_OK, CREDITS_12),
    "v credits default": Path(
        validate,
        "Token validated successfully. Credits available: N/A",
        answer(200, {"success": True, "type": "credits_data"}),
    ),
    "v no credits": Path(
        validate,
        "Token is valid but no credits are available. Please buy credits to proceed.",
        answer(200, {"success": True, "type": "no_credits"}),
    ),
    "v invalid": Path(
        validate, "Invalid token. Please try again or exit.", answer(200, {"success": True, "type": "invalid"})
    ),
    "v other type": Path(validate, "Unexpected response type.", answer(200, {"success": True, "type": 3})),
    "v not json": Path(validate, ValueError("not JSON"), answer(200, **NOT_JSON)),
    "v data null": Path(
        validate,
        AttributeError("'NoneType' object has no attribute 'get'"),
        answer(200, {"success": True, "type": "credits_data", "data": None}),
    ),
    "v body a list": Path(validate, AttributeError("'list' object has no attribute 'get'"), answer(200, [1])),
    "v text fails": Path(validate, RuntimeError("connection broke"), lambda *a, **k: TextFails(500)),
    "v post raises": Path(validate, ConnectionError("unreachable"), raising(ConnectionError, "unreachable")),
    "v no requests": Path(validate, NameError("name 'requests' is not defined"), without_requests=True),
    # search_query: binding and type tests
    "s too few": Path(
        lambda o, c: o.search_query("t"), TypeError("search_query() takes exactly 3 positional arguments (2 given)")
    ),
    "s too many": Path(
        lambda o, c: o.search_query("t", "q", "x"),
        TypeError("search_query() takes exactly 3 positional arguments (4 given)"),
    ),
    "s missing with keyword": Path(
        lambda o, c: o.search_query("t", token="t"),
        TypeError("search_query() takes exactly 3 positional arguments (2 given)"),
    ),
    "s class keywords only": Path(
        lambda o, c: c.search_query(token="t", query="q"),
        TypeError("search_query() takes exactly 3 positional arguments (0 given)"),
    ),
    "s unexpected keyword": Path(
        lambda o, c: o.search_query("t", query="q", extra=1),
        TypeError("search_query() got an unexpected keyword argument 'extra'"),
    ),
    "s multiple values": Path(
        lambda o, c: o.search_query("t", "q", token="t"),
        TypeError("search_query() got multiple values for keyword argument 'token'"),
    ),
    "s keywords": Path(
        lambda o, c: o.search_query(token="t", query=fresh_name("q")),
        "You have used all credits. Please purchase more.",
        answer(200, {"success": True, "type": "no_credits"}),
    ),
    "s keyword compare raises": Path(
        lambda o, c: o.search_query("t", **{ComparesStr("query", "query", LookupError): "q"}),
        LookupError("compared with 'query'"),
    ),
    "s fast-form bad key": pytest.param(
        Path(
            lambda o, c: _testcapi.pyobject_vectorcall(c.search_query, (o, "t", "q", "v"), (2,)),
            TypeError("search_query() keywords must be strings"),
        ),
        marks=needs_testcapi,
    ),
    "s token int": Path(
        lambda o, c: o.search_query(1, 2), TypeError("Argument 'token' has incorrect type (expected str, got int)")
    ),
    "s query bytes": Path(
        lambda o, c: o.search_query("t", b"q"),
        TypeError("Argument 'query' has incorrect type (expected str, got bytes)"),
    ),
    # search_query: outcomes
    "s status refused": Path(search, "Error during search: oops", answer(500, None, text="oops")),
    "s no credits": Path(
        search, "You have used all credits. Please purchase more.", answer(200, {"success": True, "type": "no_credits"})
    ),
    "s nothing found": Path(
        search,
        "Sorry, couldn't find the results. Try again with a different input.",
        answer(200, {"success": True, "type": "error"}),
    ),
    "s results": Path(search, "Search results: {'n': 1}", answer(200, {"success": True, "data": {"n": 1}})),
    "s results default": Path(search, "Search results: No data available", answer(200, {"success": True})),
    "s service refusal": Path(
        search, "Search failed: Bad query", answer(200, {"success": False, "message": "Bad query"})
    ),
    "s refusal default": Path(search, "Search failed: No error message provided", answer(200, {})),
    "s raw text": Path(search, "Search results: raw", answer(200, **NOT_JSON)),
    "s raw text in except": Path(inside_except(search), "Search results: raw", answer(200, **NOT_JSON)),
    "s results in except": Path(
        inside_except(search), "Search results: No data available", answer(200, {"success": True})
    ),
    "s raw text fails": Path(
        search, RuntimeError("connection broke"), lambda *a, **k: TextFails(200, json_error=ValueError)
    ),
    "s raw text fails in except": Path(
        inside_except(search), RuntimeError("connection broke"), lambda *a, **k: TextFails(200, json_error=ValueError)
    ),
    "s status text fails": Path(search, RuntimeError("connection broke"), lambda *a, **k: TextFails(503)),
    "s body a list": Path(search, AttributeError("'list' object has no attribute 'get'"), answer(200, [1])),
    "s body a list in except": Path(
        inside_except(search), AttributeError("'list' object has no attribute 'get'"), answer(200, [1])
    ),
    "s post raises": Path(search, ConnectionError("unreachable"), raising(ConnectionError, "unreachable")),
    "s post raises ValueError": Path(search, ValueError("bad url"), raising(ValueError, "bad url")),
    "s no requests": Path(search, NameError("name 'requests' is not defined"), without_requests=True),
}


def run_once(path: Path, o: Any, c: Any, recorder: Any) -> None:
    recorder.calls.clear()
    expected = path.outcome
    if isinstance(expected, BaseException):
        with pytest.raises(type(expected)) as info:
            path.call(o, c)
        assert type(info.value) is type(expected) and str(info.value) == str(expected)
        del info
    else:
        assert path.call(o, c) == expected


def growth(repeat: Callable[[], None]) -> tuple[int, int]:
    for _ in range(WARMUP):
        repeat()
    gc.collect()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for _ in range(ROUNDS):
        repeat()
    gc.collect()
    return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks


@pytest.mark.parametrize("path", list(PATHS.values()), ids=list(PATHS))
def test_call_path_keeps_references_and_memory(path, api_logic, obj, fake_requests, monkeypatch):
    if path.respond is not None:
        fake_requests.respond = path.respond
    if path.without_requests:
        monkeypatch.delattr(api_logic, "requests")
    cls = api_logic.InternalClass
    refs, blocks = growth(lambda: run_once(path, obj, cls, fake_requests))
    assert refs <= SLACK, f"{refs} references gained over {ROUNDS} calls"
    assert blocks <= SLACK, f"{blocks} memory blocks gained over {ROUNDS} calls"
