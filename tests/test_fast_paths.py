"""The call path's shortcuts give what the ordinary road gives: `post` of a
plain module read from its dictionary, `get` answered by an exact dict
directly, search's request dicts copied from templates, a plainly raised
ValueError taken over without normalising; and the rendering of every kind
of value. The pure-Python equivalent is the oracle."""

from __future__ import annotations

import enum
import sys
import types
from typing import Any

import pytest

from expect import module_entries
from source_map import VALIDATE
from support import reference_client
from support.doubles import Response, Text


@pytest.fixture
def both(api_logic, monkeypatch):
    """Installs one `requests` in front of both clients; returns a caller."""

    def install(requests_value: Any) -> None:
        monkeypatch.setattr(api_logic, "requests", requests_value)
        monkeypatch.setattr(reference_client, "requests", requests_value)

    def call(method: str, *args: Any) -> tuple[Any, Any]:
        results = []
        for cls in (api_logic.InternalClass, reference_client.InternalClass):
            try:
                results.append(getattr(cls(), method)(*args))
            except Exception as exc:  # compared by class and text
                results.append((type(exc), str(exc)))
        return results[0], results[1]

    call.install = install
    return call


def module_requests(respond, name: str = "requests") -> types.ModuleType:
    module = types.ModuleType(name)
    module.post = lambda url, data=None, json=None, **kwargs: respond
    return module


# --- `post` of a plain module --------------------------------------------------


def test_module_post_replaced_or_removed_between_calls(both, api_logic):
    module = module_requests(Response(200, {"success": False, "message": "first"}))
    both.install(module)
    assert both("validate_token", "t")[0] == "Token validation failed: first"
    module.post = lambda url, **kwargs: Response(200, {"success": False, "message": "second"})
    assert both("validate_token", "t")[0] == "Token validation failed: second"
    del module.post
    with pytest.raises(AttributeError, match="module 'requests' has no attribute 'post'") as info:
        api_logic.InternalClass().validate_token("t")
    assert module_entries(info.value) == [(VALIDATE.function, VALIDATE.post)]
    module.__getattr__ = lambda name: lambda url, **kwargs: Response(200, {"success": False, "message": name})
    assert both("validate_token", "t") == ("Token validation failed: post",) * 2


def test_module_subclass_with_a_post_property(both):
    class Requests(types.ModuleType):
        @property
        def post(self):
            return lambda url, **kwargs: Response(200, {"success": False, "message": "property"})

    module = Requests("requests")
    module.__dict__["post"] = lambda url, **kwargs: Response(500, text="dictionary")
    both.install(module)
    assert both("validate_token", "t") == ("Token validation failed: property",) * 2


# --- `get` of the decoded answer -------------------------------------------------

ANSWER = {"success": True, "type": "credits_data", "data": {"Credits": 7}}


def get_function(record: list, answer: dict):
    def get(*args):
        record.append(args)
        return answer.get(*args)

    return get


class DictWithGet(dict):
    def get(self, *args):
        self.record.append(args)
        return dict.get(self, *args)


class MethodGet:
    def __init__(self, record, answer):
        self.record, self.answer = record, answer

    def get(self, *args):
        self.record.append(args)
        return self.answer.get(*args)


class ShadowedGet(MethodGet):
    def __init__(self, record, answer):
        super().__init__(record, answer)
        self.get = get_function(record, answer)  # the instance's own wins over the class's method


class PropertyGet(MethodGet):
    @property
    def get(self):  # a data descriptor wins over the instance's dict
        return get_function(self.record, self.answer)


class StaticGet:
    def __init__(self, record, answer):
        self.get = staticmethod(get_function(record, answer)).__func__


class CallableGet:
    """`get` an instance of a class with __call__: no vectorcall entry."""

    class Getter:
        def __init__(self, record, answer):
            self.record, self.answer = record, answer

        def __call__(self, *args):
            self.record.append(args)
            return self.answer.get(*args)

    def __init__(self, record, answer):
        self.get = self.Getter(record, answer)


def make_dict_with_get(record, answer):
    made = DictWithGet({k: wrap(v, record) for k, v in answer.items()})
    made.record = record
    return made


def wrap(value, record):
    return make_dict_with_get(record, value) if isinstance(value, dict) else value


GETS = {
    "dict subclass": make_dict_with_get,
    "method": lambda r, a: MethodGet(r, {k: MethodGet(r, v) if isinstance(v, dict) else v for k, v in a.items()}),
    "instance attribute": lambda r, a: ShadowedGet(
        r, {k: ShadowedGet(r, v) if isinstance(v, dict) else v for k, v in a.items()}
    ),
    "property": lambda r, a: PropertyGet(r, {k: PropertyGet(r, v) if isinstance(v, dict) else v for k, v in a.items()}),
    "plain function": lambda r, a: StaticGet(
        r, {k: StaticGet(r, v) if isinstance(v, dict) else v for k, v in a.items()}
    ),
    "callable object": lambda r, a: CallableGet(
        r, {k: CallableGet(r, v) if isinstance(v, dict) else v for k, v in a.items()}
    ),
}


@pytest.mark.parametrize("kind", list(GETS))
@pytest.mark.parametrize(
    "method, args, answer",
    [
        ("validate_token", ("t",), ANSWER),
        ("search_query", ("t", "q"), {"success": True, "type": "results", "data": [1]}),
        ("search_query", ("t", "q"), {"success": True, "type": "results"}),
        ("search_query", ("t", "q"), {"success": False}),
    ],
)
def test_every_kind_of_get_is_called_alike(both, kind, method, args, answer):
    records = []
    for _ in range(2):
        record: list = []
        decoded = GETS[kind](record, answer)
        records.append(record)
        both.install(module_requests(Response(200, decoded)))
        native, python = both(method, *args)
        assert native == python and isinstance(native, str)
    # Each client ran once per loop; the native client's calls come first.
    first = records[0][: len(records[0]) // 2]
    assert first == records[0][len(records[0]) // 2 :] and first


# --- The message ------------------------------------------------------------


class Level(enum.IntEnum):
    HIGH = 3


VALUES = [
    0,
    7,
    -7,
    12,
    sys.maxsize,
    -sys.maxsize - 1,
    2**64,
    -(10**30),
    True,
    Level.HIGH,
    2.5,
    "",
    "x",
    "café",
    "ÿ",
    "日本",
    "😀",
    Text("sub"),
    None,
    [1, "a"],
]


@pytest.mark.parametrize("value", VALUES, ids=repr)
@pytest.mark.parametrize(
    "method, args, answer",
    [
        ("validate_token", ("t",), lambda v: {"success": True, "type": "credits_data", "data": {"Credits": v}}),
        ("validate_token", ("t",), lambda v: {"success": False, "message": v}),
        ("search_query", ("t", "q"), lambda v: {"success": True, "data": v}),
        ("search_query", ("t", "q"), lambda v: {"success": False, "message": v}),
    ],
)
def test_messages_match_the_python_client(both, value, method, args, answer):
    both.install(module_requests(Response(200, answer(value))))
    native, python = both(method, *args)
    assert native == python and type(native) is str


@pytest.mark.parametrize("text", ["", "plain", "é", "日本", "😀"])
@pytest.mark.parametrize(
    "method, args, status",
    [("validate_token", ("t",), 500), ("search_query", ("t", "q"), 404), ("search_query", ("t", "q"), 200)],
)
def test_raw_text_messages_match_the_python_client(both, text, method, args, status):
    both.install(module_requests(Response(status, text=text, json_error=ValueError("no JSON"))))
    native, python = both(method, *args)
    assert native == python and type(native) is str


# --- Search's request dicts -------------------------------------------------------


def test_search_dicts_are_new_and_alike_to_dicts_built_member_by_member(api_logic, monkeypatch):
    received = []

    def post(url, headers, json):
        received.append((headers, json, sys.getsizeof(headers), sys.getsizeof(json)))
        headers["authToken"] = json["s"] = "changed by the callee"
        headers["extra"] = json["extra"] = 1
        return Response(200, {"success": False})

    monkeypatch.setattr(api_logic, "requests", types.SimpleNamespace(post=post))
    obj = api_logic.InternalClass()
    token, query = "tk", "qq"
    obj.search_query(token, query)
    obj.search_query(token, query)
    (h1, j1, hs, js), (h2, j2, hs2, js2) = received
    assert h1 is not h2 and j1 is not j2
    assert list(h2.items()) == [
        ("Content-Type", "application/json"),
        ("authToken", "changed by the callee"),
        ("extra", 1),
    ]
    expected_headers, expected_json = {}, {}
    expected_headers["Content-Type"] = "application/json"
    expected_headers["authToken"] = token
    for key, value in (("s", query), ("l", "en"), ("o", "content")):
        expected_json[key] = value
    assert (hs, js) == (hs2, js2) == (sys.getsizeof(expected_headers), sys.getsizeof(expected_json))


# --- The ValueError handler ---------------------------------------------------------


class Meta(type):
    checks = 0

    def __subclasscheck__(cls, other):
        Meta.checks += 1
        return type.__subclasscheck__(cls, other)


class OddValueError(ValueError, metaclass=Meta):
    pass


@pytest.mark.parametrize("error", [ValueError("v"), OddValueError("odd"), KeyError("k")], ids=repr)
def test_handler_on_plainly_raised_errors(both, error):
    both.install(module_requests(Response(200, text="raw", json_error=error)))
    native, python = both("search_query", "t", "q")
    assert native == python
    assert native == ("Search results: raw" if isinstance(error, ValueError) else (KeyError, "'k'"))
