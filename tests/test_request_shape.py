"""What both operations hand to `requests.post`, seen through a recording stand-in."""

from __future__ import annotations

import builtins
import functools
import re
import sys
from urllib.parse import urlsplit

import pytest

from expect import module_entries
from source_map import SEARCH, VALIDATE
from support.doubles import RecordingRequests, Response, answer

# method name, call, path, function, posting line
CALLS = [
    ("validate_token", lambda o, t, q: o.validate_token(t), "/api/v2/0EA1B4B0", VALIDATE.function, VALIDATE.post),
    ("search_query", lambda o, t, q: o.search_query(t, q), "/api/v2/F6DBDEC5", SEARCH.function, SEARCH.post),
]
by_method = pytest.mark.parametrize("method, call, path, qualified, post_line", CALLS, ids=[c[0] for c in CALLS])


def fresh(text: str) -> str:
    # A str object made at run time, so identity checks cannot pass by interning.
    return "".join(list(text))


def expected_headers(method, token):
    if method == "validate_token":
        return {"Content-Type": "application/json"}
    return {"Content-Type": "application/json", "authToken": token}


def expected_body(method, token, query):
    if method == "validate_token":
        return {"token": token}
    return {"s": query, "l": "en", "o": "content"}


def test_both_endpoints_share_one_https_origin(obj, fake_requests):
    obj.validate_token("t")
    obj.search_query("t", "q")
    urls = [call.args[0] for call in fake_requests.calls]
    assert [url[-len("/api/v2/0EA1B4B0") :] for url in urls] == ["/api/v2/0EA1B4B0", "/api/v2/F6DBDEC5"]
    origins = {url[: -len("/api/v2/0EA1B4B0")] for url in urls}
    assert len(origins) == 1
    origin = origins.pop()
    parts = urlsplit(origin)
    assert parts.scheme == "https" and parts.hostname and parts.port is None
    assert origin == f"https://{parts.netloc}" and not parts.netloc.endswith("/")
    # The URL is one constant: the same object on every call.
    obj.validate_token("t")
    assert fake_requests.calls[2].args[0] is fake_requests.calls[0].args[0]


@by_method
@pytest.mark.parametrize("token, query", [("tok-1", "cats"), ("", ""), (" spaced ", "q" * 10000), ("ünï", "😀")])
def test_post_receives_exactly_url_headers_then_json(
    obj, fake_requests, method, call, path, qualified, post_line, token, query
):
    token, query = fresh(token), fresh(query)
    call(obj, token, query)
    [recorded] = fake_requests.calls
    assert len(recorded.args) == 1 and recorded.args[0].endswith(path)
    assert list(recorded.kwargs) == ["headers", "json"]
    headers, body = recorded.kwargs["headers"], recorded.kwargs["json"]
    assert type(headers) is dict and type(body) is dict
    assert list(headers.items()) == list(expected_headers(method, token).items())
    assert list(body.items()) == list(expected_body(method, token, query).items())
    if method == "validate_token":
        assert body["token"] is token
    else:
        assert headers["authToken"] is token and body["s"] is query


@by_method
def test_every_call_posts_once_with_new_dicts(obj, fake_requests, method, call, path, qualified, post_line):
    call(obj, "t", "q")
    call(obj, "t", "q")
    first, second = fake_requests.calls
    assert first.kwargs["headers"] is not second.kwargs["headers"]
    assert first.kwargs["json"] is not second.kwargs["json"]


@by_method
def test_a_post_without_vectorcall_gets_the_same_call(
    obj, api_logic, monkeypatch, method, call, path, qualified, post_line
):
    calls = []

    class Poster:  # an instance with __call__ is called through the tuple-and-dict protocol
        def __call__(self, *args, **kwargs):
            calls.append((args, kwargs))
            return Response(404, text="no")

    class Requests:
        post = Poster()

    monkeypatch.setattr(api_logic, "requests", Requests())
    call(obj, "t", "q")
    [(args, kwargs)] = calls
    assert len(args) == 1 and args[0].endswith(path) and list(kwargs) == ["headers", "json"]


@by_method
def test_api_key_changes_nothing(api_logic, fake_requests, method, call, path, qualified, post_line):
    fake_requests.respond = answer(200, {"success": False, "message": "m"})
    plain, changed = api_logic.InternalClass(), api_logic.InternalClass()
    changed._api_key = "something else"
    results = [call(plain, "t", "q"), call(changed, "t", "q")]
    del changed._api_key
    results.append(call(changed, "t", "q"))
    assert len(set(results)) == 1
    shapes = [(c.args, list(c.kwargs["headers"].items()), list(c.kwargs["json"].items())) for c in fake_requests.calls]
    assert shapes[0] == shapes[1] == shapes[2]


@by_method
def test_requests_is_looked_up_at_every_call(obj, api_logic, monkeypatch, method, call, path, qualified, post_line):
    first, second = RecordingRequests(), RecordingRequests()
    monkeypatch.setattr(api_logic, "requests", first)
    call(obj, "t", "q")
    monkeypatch.setattr(api_logic, "requests", second)
    call(obj, "t", "q")
    assert (len(first.calls), len(second.calls)) == (1, 1)


@by_method
def test_builtins_requests_serves_when_the_module_has_none(
    obj, api_logic, monkeypatch, method, call, path, qualified, post_line
):
    stand_in = RecordingRequests()
    monkeypatch.delattr(api_logic, "requests")
    monkeypatch.setattr(builtins, "requests", stand_in, raising=False)
    call(obj, "t", "q")
    assert len(stand_in.calls) == 1


@by_method
def test_no_requests_anywhere_is_a_name_error_at_the_posting_line(
    obj, api_logic, monkeypatch, method, call, path, qualified, post_line
):
    monkeypatch.delattr(api_logic, "requests")
    monkeypatch.delattr(builtins, "requests", raising=False)
    with pytest.raises(NameError) as info:
        call(obj, "t", "q")
    assert str(info.value) == "name 'requests' is not defined"
    assert info.value.name == "requests"  # as the interpreter's own NameError, which its hints read
    assert module_entries(info.value) == [(qualified, post_line)]


class AttributesByHook:
    """A response whose attributes come from __getattr__, as a mock's do: the
    AttributeError it raises carries no name or object of its own."""

    def __init__(self, status_code):
        self.values = {"status_code": status_code}

    def __getattr__(self, name):
        try:
            return self.values[name]
        except KeyError:
            raise AttributeError(name) from None


@by_method
@pytest.mark.parametrize("status_code, missing", [(None, "status_code"), (404, "text")])
def test_a_missing_response_attribute_is_named_as_attribute_access_names_it(
    obj, fake_requests, method, call, path, qualified, post_line, status_code, missing
):
    response = AttributesByHook(status_code)
    if status_code is None:
        del response.values["status_code"]
    fake_requests.respond = lambda *a, **k: response
    with pytest.raises(AttributeError) as info:
        call(obj, "t", "q")
    assert info.value.name == missing and info.value.obj is response


@by_method
@pytest.mark.parametrize(
    "requests_value, error",
    [
        (object(), AttributeError),  # no `post`
        (type("R", (), {"post": 5})(), TypeError),  # `post` not callable
        (type("R", (), {"post": staticmethod(lambda *a, **k: (_ for _ in ()).throw(KeyError("down")))})(), KeyError),
    ],
)
def test_a_failing_post_propagates_from_the_posting_line(
    obj, api_logic, monkeypatch, method, call, path, qualified, post_line, requests_value, error
):
    monkeypatch.setattr(api_logic, "requests", requests_value)
    with pytest.raises(error) as info:
        call(obj, "t", "q")
    assert module_entries(info.value) == [(qualified, post_line)]


@by_method
def test_posting_is_guarded_against_runaway_recursion(
    obj, api_logic, monkeypatch, method, call, path, qualified, post_line
):
    class Recursing:
        def post(self, url, headers, json):
            return call(obj, "t", "q")

    monkeypatch.setattr(api_logic, "requests", Recursing())

    def message_at_depth(n):
        # Deeper by a call from C: what the guard counts, on every version.
        if n:
            return functools.partial(message_at_depth, n - 1)()
        try:
            call(obj, "t", "q")
        except RecursionError as error:
            return str(error)

    # Which call meets the limit first depends on the depth the recursion
    # starts at. From 3.12 the guard counts C calls against a limit of their
    # own, apart from the Python frames: with the Python limit out of the way,
    # that one is met first.
    limit = sys.getrecursionlimit()
    if sys.version_info >= (3, 12):
        sys.setrecursionlimit(1_000_000)
    try:
        messages = {message_at_depth(n) for n in range(6)}
    finally:
        sys.setrecursionlimit(limit)
    if sys.version_info >= (3, 14):
        # 3.14 guards C calls by the room left on the machine stack, and checks
        # it again on entering each Python frame. Which check meets the limit
        # first depends on where the stack starts (the environment shifts it),
        # so only the interpreter's form of the text is certain.
        assert all(
            re.fullmatch(r"Stack overflow \(used \d+ kB\)( while calling a Python object)?", m) for m in messages
        )
    else:
        assert "maximum recursion depth exceeded while calling a Python object" in messages
