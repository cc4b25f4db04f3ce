"""Answers, values and keyword names that misbehave: raising, returning odd
objects, changing the answer while it is read, calling back into the module.
Each gets the outcome the rules of comparison, truth and rendering give, with
the module's traceback entry at the failing step; none crashes or leaks."""

from __future__ import annotations

import ctypes
import functools
import sys
import traceback
import types
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import pytest

from expect import module_entries
from reliability_support import reference_counts, totals, watched
from source_map import FILE
from source_map import SEARCH as S
from source_map import VALIDATE as V
from support.doubles import (
    Compares,
    ComparesStr,
    Falsy,
    FormatsAnInt,
    MetaError,
    MetaValueError,
    Response,
    Shown,
    TextFails,
    ValueErrorFromC,
)

V_OK = "Token validated successfully. Credits available: 12"
V_NA = "Token validated successfully. Credits available: N/A"


# --- Misbehaving values --------------------------------------------------------


class Boom(Exception):
    pass


class Getter:
    """A decoded answer: `get` answers from `values`, or runs `hook` first."""

    def __init__(self, values: dict[str, Any], hook: Callable[[Any, tuple[Any, ...]], Any] | None = None) -> None:
        self.values = values
        self.hook = hook

    def get(self, *args: Any) -> Any:
        if self.hook is not None:
            self.hook(self, args)
        return self.values.get(*args)


class StatusRaises(Response):
    @property
    def status_code(self) -> Any:  # type: ignore[override]
        raise Boom("status")

    @status_code.setter
    def status_code(self, value: Any) -> None:
        pass


class JsonNotCallable(Response):
    json = 5  # type: ignore[assignment]


class GivesNotImplemented:
    def get(self, *args: Any) -> Any:
        return NotImplemented


@dataclass
class Poster:
    respond: Callable[..., Any]
    calls: int = 0

    def post(self, url: str, headers: Any, json: Any) -> Any:
        self.calls += 1
        return self.respond(url, headers, json)


def credits(**members: Any) -> Getter:
    return Getter({"success": True, "type": "credits_data", "data": {"Credits": 12}, **members})


# --- The table -----------------------------------------------------------------


@dataclass
class Case:
    call: Callable[[Any, Any], Any]  # (instance, module) -> result
    respond: Callable[..., Any] | None
    expected: Any  # a message, or an exception instance (type and text compared)
    entries: list[tuple[str, int]] = field(default_factory=list)
    posts: int = 1  # how many times `post` runs


def validate(o: Any, m: Any) -> Any:
    return o.validate_token("tok")


def search(o: Any, m: Any) -> Any:
    return o.search_query("tok", "q")


def answer(response: Any) -> Callable[..., Any]:
    return lambda *a: response


def body(value: Any) -> Callable[..., Any]:
    return answer(Response(200, value, "raw"))


def raising(error: type[BaseException]) -> Callable[[Getter, tuple[Any, ...]], None]:
    def hook(getter: Getter, args: tuple[Any, ...]) -> None:
        raise error("get")

    return hook


def drop_type(getter: Getter, args: tuple[Any, ...]) -> None:
    if args[0] == "success":
        getter.values.pop("type", None)


def type_becomes_error(getter: Getter, args: tuple[Any, ...]) -> None:
    if args[0] == "success":
        getter.values["type"] = "error"


def not_implemented_truth(call: Callable[[Any, Any], Any], where: Any, before_3_14: str) -> Case:
    """`data.get` answers NotImplemented to every key: its truth was true with
    a DeprecationWarning, and from 3.14 is a TypeError at the success test."""
    if sys.version_info < (3, 14):
        return Case(call, body(GivesNotImplemented()), before_3_14)
    error = TypeError("NotImplemented should not be used in a boolean context")
    return Case(call, body(GivesNotImplemented()), error, [(where.function, where.success)])


CASES: dict[str, Case] = {
    # comparisons of "type"
    "type: == raises": Case(
        validate,
        body(credits(type=Compares(error=Boom))),
        Boom("compared with 'credits_data'"),
        [(V.function, V.match_credits_data)],
    ),
    "type: == raises, search": Case(
        search,
        body(credits(type=Compares(error=Boom))),
        Boom("compared with 'no_credits'"),
        [(S.function, S.first_type)],
    ),
    "type: == gives NotImplemented": Case(
        validate, body(credits(type=Compares(error=None, result=NotImplemented))), "Unexpected response type."
    ),
    "type: == gives a result whose truth raises": Case(
        validate,
        body(credits(type=Compares(error=None, result=Falsy(Boom)))),
        Boom("no truth"),
        [(V.function, V.match_credits_data)],
    ),
    "type: == gives an odd true object": Case(
        validate, body(Getter({"success": True, "type": Compares(error=None, result=[0])})), V_NA
    ),
    "type: == gives None": Case(
        search,
        body(Getter({"success": True, "type": Compares(error=None, result=None), "data": 1})),
        "Search results: 1",
    ),
    # truth of "success"
    "success: truth raises": Case(
        validate, body(credits(success=Falsy(Boom))), Boom("no truth"), [(V.function, V.success)]
    ),
    "success: truth raises, search": Case(
        search, body(credits(success=Falsy(Boom))), Boom("no truth"), [(S.function, S.success)]
    ),
    "success: truth raises ValueError, search": Case(
        search, body(credits(success=Falsy(ValueError))), "Search results: raw"
    ),
    # rendering
    "Credits: format raises": Case(
        validate,
        body(credits(data={"Credits": Shown(error=Boom)})),
        Boom("cannot render"),
        [(V.function, V.credits_message)],
    ),
    "Credits: format gives an int": Case(
        validate,
        body(credits(data={"Credits": FormatsAnInt()})),
        TypeError(
            # From 3.15 the interpreter names the method it called.
            "__format__ must return a str, not int"
            if sys.version_info < (3, 15)
            else f"{FormatsAnInt.__module__}.FormatsAnInt.__format__() must return a str, not int"
        ),
        [(V.function, V.credits_message)],
    ),
    "message: format raises": Case(
        validate,
        body(Getter({"success": False, "message": Shown(error=Boom)})),
        Boom("cannot render"),
        [(V.function, V.failure_message)],
    ),
    "data: format raises, search": Case(
        search,
        body(Getter({"success": True, "data": Shown(error=Boom)})),
        Boom("cannot render"),
        [(S.function, S.results_message)],
    ),
    "data: format raises ValueError, search": Case(
        search, body(Getter({"success": True, "data": Shown(error=ValueError)})), "Search results: raw"
    ),
    "text: format raises": Case(
        validate, answer(Response(404, text=Shown(error=Boom))), Boom("cannot render"), [(V.function, V.status_message)]
    ),
    # get, json, status_code, text
    "get raises": Case(validate, body(Getter({}, raising(Boom))), Boom("get"), [(V.function, V.success)]),
    "get raises ValueError, search": Case(search, body(Getter({}, raising(ValueError))), "Search results: raw"),
    "answer without get": Case(
        validate,
        body(Compares(error=None, result=None)),
        AttributeError("'Compares' object has no attribute 'get'"),
        [(V.function, V.success)],
    ),
    "get gives NotImplemented": not_implemented_truth(validate, V, "Unexpected response type."),
    "get gives NotImplemented, search": not_implemented_truth(search, S, "Search results: NotImplemented"),
    "json raises": Case(
        validate, answer(Response(200, text="raw", json_error=Boom)), Boom("not JSON"), [(V.function, V.decode)]
    ),
    "json raises, search": Case(
        search, answer(Response(200, text="raw", json_error=Boom)), Boom("not JSON"), [(S.function, S.decode)]
    ),
    "json raises a ValueError of another metaclass, search": Case(
        search, answer(Response(200, text="raw", json_error=MetaValueError)), "Search results: raw"
    ),
    "json raises an error of another metaclass, search": Case(
        search, answer(Response(200, text="raw", json_error=MetaError)), MetaError("not JSON"), [(S.function, S.decode)]
    ),
    "json raises ValueError from C, search": Case(
        search, answer(ValueErrorFromC(200, text="raw")), "Search results: raw"
    ),
    "json raises ValueError from C": Case(
        validate,
        answer(ValueErrorFromC(200, text="raw")),
        ValueError("invalid literal for int() with base 10: 'x'"),
        [(V.function, V.decode)],
    ),
    "json not callable": Case(
        validate,
        answer(JsonNotCallable(200, text="raw")),
        TypeError("'int' object is not callable"),
        [(V.function, V.decode)],
    ),
    "status_code raises": Case(validate, answer(StatusRaises(text="raw")), Boom("status"), [(V.function, V.status)]),
    "status_code raises, search": Case(
        search, answer(StatusRaises(text="raw")), Boom("status"), [(S.function, S.status)]
    ),
    "status_code == raises": Case(
        validate,
        answer(Response(Compares(error=Boom), credits(), "raw")),
        Boom("compared with 200"),
        [(V.function, V.status)],
    ),
    "status_code == gives NotImplemented": Case(
        validate,
        answer(Response(Compares(error=None, result=NotImplemented), credits(), "raw")),
        "Error validating token: raw",
    ),
    "status_code NotImplemented": Case(
        validate, answer(Response(NotImplemented, credits(), "raw")), "Error validating token: raw"
    ),
    "status_code == gives a result whose truth raises": Case(
        search,
        answer(Response(Compares(error=None, result=Falsy(Boom)), credits(), "raw")),
        Boom("no truth"),
        [(S.function, S.status)],
    ),
    "status_code == gives an odd true object": Case(
        search,
        answer(Response(Compares(error=None, result="yes"), Getter({"success": True, "data": 2}), "raw")),
        "Search results: 2",
    ),
    "text raises": Case(
        validate, answer(TextFails(500, error=Boom)), Boom("connection broke"), [(V.function, V.status_message)]
    ),
    "text gives NotImplemented": Case(
        validate, answer(Response(500, text=NotImplemented)), "Error validating token: NotImplemented"
    ),
    "json gives NotImplemented": Case(
        validate,
        body(NotImplemented),
        AttributeError("'NotImplementedType' object has no attribute 'get'"),
        [(V.function, V.success)],
    ),
    "text raises, search": Case(
        search, answer(TextFails(500, error=Boom)), Boom("connection broke"), [(S.function, S.status_message)]
    ),
    # the answer changes while it is read
    "get drops type on the first lookup": Case(
        validate, body(Getter({"success": True, "type": "invalid"}, drop_type)), "Unexpected response type."
    ),
    "get changes type on the first lookup, search": Case(
        search,
        body(Getter({"success": True, "type": "x"}, type_becomes_error)),
        "Sorry, couldn't find the results. Try again with a different input.",
    ),
}


def outcome_of(case: Case, o: Any, m: Any) -> Any:
    with warnings.catch_warnings():
        # bool(NotImplemented) is deprecated, and warns, but still true.
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            return case.call(o, m)
        except Exception as exc:  # noqa: BLE001
            return exc


def check(case: Case, got: Any) -> None:
    if isinstance(case.expected, BaseException):
        assert type(got) is type(case.expected) and str(got) == str(case.expected), repr(got)
        assert module_entries(got) == case.entries
    else:
        assert got == case.expected


def no_leak(run: Callable[[], Any], roots: list[Any], rounds: int = 40) -> None:
    """`rounds` more runs leave the totals and the references to `roots` alone."""
    for _ in range(3):
        run()
    objects = watched(roots)
    before, refs = totals(), reference_counts(objects)
    for _ in range(rounds):
        run()
    grown, refs_grown = totals() - before, reference_counts(objects) - refs
    assert grown < rounds // 2 and refs_grown < rounds // 2, (grown, refs_grown)


@pytest.mark.parametrize("name", list(CASES))
def test_hostile_answers(api_logic, monkeypatch, name):
    case = CASES[name]
    poster = Poster(case.respond)
    monkeypatch.setattr(api_logic, "requests", poster)
    o = api_logic.InternalClass()
    got = outcome_of(case, o, api_logic)
    check(case, got)
    assert poster.calls == case.posts
    del got
    no_leak(lambda: outcome_of(case, o, api_logic), [poster])


# --- Calling back into the module -------------------------------------------


def test_get_that_validates_another_token_meanwhile(api_logic, monkeypatch):
    inner: list[str] = []
    o = api_logic.InternalClass()

    def reenter(getter: Getter, args: tuple[Any, ...]) -> None:
        if args[0] == "success" and not inner:
            inner.append("running")
            inner.append(o.validate_token("inner"))

    answer_ = credits()
    answer_.hook = reenter
    monkeypatch.setattr(api_logic, "requests", Poster(body(answer_)))
    assert o.validate_token("outer") == V_OK
    assert inner == ["running", V_OK]


def test_post_that_searches_meanwhile(api_logic, monkeypatch):
    inner: list[str] = []
    o = api_logic.InternalClass()

    def respond(url: str, headers: Any, json: Any) -> Response:
        if json.get("s") == "outer":
            inner.append(o.search_query("tok", "inner"))
        return Response(200, Getter({"success": True, "data": json.get("s", json.get("token"))}))

    monkeypatch.setattr(api_logic, "requests", Poster(respond))
    assert o.search_query("tok", "outer") == "Search results: outer"
    assert inner == ["Search results: inner"]


def test_search_again_from_inside_the_handler(api_logic, monkeypatch):
    # Reading the raw text of an unreadable answer searches again: while the
    # handler runs, its ValueError is the handled exception, the inner search
    # gives it back as it found it, and the caller's own is back at the end.
    o = api_logic.InternalClass()
    seen: list[Any] = []

    class Reentering(Response):
        @property
        def text(self) -> str:  # type: ignore[override]
            handled = sys.exc_info()[1]
            seen.append(handled)
            if len(seen) == 1:
                seen.append(o.search_query("tok", "inner"))
                seen.append(sys.exc_info()[1] is handled)
            return "raw"

    monkeypatch.setattr(api_logic, "requests", Poster(answer(Reentering(200, json_error=ValueError))))
    try:
        raise KeyError("caller's own")
    except KeyError as own:
        caller = own
        assert o.search_query("tok", "outer") == "Search results: raw"
        assert sys.exc_info()[1] is own
    outer_error, inner_error, inner_result, restored = seen
    assert type(outer_error) is ValueError and outer_error.__context__ is caller
    assert (inner_result, restored) == ("Search results: raw", True)
    assert type(inner_error) is ValueError and inner_error is not outer_error


# --- Keyword names -------------------------------------------------------------


class NameHashRaises(str):
    def __hash__(self) -> int:
        raise Boom("hash")


def fast(function: Any, args: tuple[Any, ...], kwnames: tuple[Any, ...]) -> Any:
    """The fast form with any keyword names, as C code can pass them."""
    testcapi = pytest.importorskip("_testcapi")
    return testcapi.pyobject_vectorcall(function, args, kwnames)


def multiple(name: str) -> TypeError:
    return TypeError(f"validate_token() got multiple values for keyword argument '{name}'")


def through_type_call(m: Any, o: Any, keywords: dict[Any, Any]) -> Any:
    function = m.InternalClass.validate_token
    return type(function).__call__(function, o, **keywords)


# Where a binding error is reported: the def line.
AT_DEF = [(V.function, V.def_)]

KEYWORD_CASES: dict[str, tuple[Callable[[Any, Any], Any], Any, list[tuple[str, int]], int]] = {
    # (call, expected, entries, posts)
    "name whose == raises": (
        lambda o, m: o.validate_token(**{ComparesStr("token", "token", Boom): "t"}),
        Boom("compared with 'token'"),
        AT_DEF,
        0,
    ),
    "name equal to anything": (
        lambda o, m: o.validate_token(**{ComparesStr("zzz", error=None, result=True): "t"}),
        V_OK,
        [],
        1,
    ),
    "name whose == gives NotImplemented": (
        lambda o, m: o.validate_token(**{ComparesStr("token", error=None, result=NotImplemented): "t"}),
        V_OK,
        [],
        1,
    ),
    "name whose == gives an object whose truth raises": (
        lambda o, m: o.validate_token(**{ComparesStr("token", error=None, result=Falsy(Boom)): "t"}),
        Boom("no truth"),
        AT_DEF,
        0,
    ),
    "name that cannot be hashed, fast form": (
        lambda o, m: fast(m.InternalClass.validate_token, (o, "t"), (NameHashRaises("token"),)),
        V_OK,
        [],
        1,
    ),
    # The scan after all parameters are bound compares by code points only.
    "repeated name whose == raises": (
        lambda o, m: o.validate_token("t", **{ComparesStr("token", error=Boom): "u"}),
        multiple("token"),
        AT_DEF,
        0,
    ),
    "extra name whose == raises": (
        lambda o, m: o.validate_token("t", **{ComparesStr("extra", error=Boom): "u"}),
        TypeError("validate_token() got an unexpected keyword argument 'extra'"),
        AT_DEF,
        0,
    ),
    "key not a str, tuple and dict": (
        lambda o, m: through_type_call(m, o, {1: "t"}),
        TypeError("keywords must be strings"),
        [],
        0,
    ),
    "key not a str after a str one, tuple and dict": (
        lambda o, m: through_type_call(m, o, {"token": "t", 2: "u"}),
        TypeError("keywords must be strings"),
        [],
        0,
    ),
    "name not a str, fast form": (
        lambda o, m: fast(m.InternalClass.validate_token, (o, "t", "u"), (1,)),
        TypeError("validate_token() keywords must be strings"),
        AT_DEF,
        0,
    ),
    "name not a str while token is missing, fast form": (
        lambda o, m: fast(m.InternalClass.validate_token, (o, "t"), (1,)),
        TypeError("validate_token() takes exactly 2 positional arguments (1 given)"),
        AT_DEF,
        0,
    ),
    "name not a str whose == raises, fast form": (
        lambda o, m: fast(m.InternalClass.validate_token, (o, "t"), (Compares("token", Boom),)),
        Boom("compared with 'token'"),
        AT_DEF,
        0,
    ),
    "None as a name, fast form": (
        lambda o, m: fast(m.InternalClass.validate_token, (o, "t"), (None,)),
        TypeError("validate_token() takes exactly 2 positional arguments (1 given)"),
        AT_DEF,
        0,
    ),
}


@pytest.mark.parametrize("name", list(KEYWORD_CASES))
def test_hostile_keyword_names(api_logic, monkeypatch, name):
    call, expected, entries, posts = KEYWORD_CASES[name]
    case = Case(call, None, expected, entries, posts)
    poster = Poster(body(credits()))
    monkeypatch.setattr(api_logic, "requests", poster)
    o = api_logic.InternalClass()
    got = outcome_of(case, o, api_logic)
    check(case, got)
    assert poster.calls == posts
    del got
    no_leak(lambda: outcome_of(case, o, api_logic), [poster])


# --- Runaway recursion around the call of `post` ---------------------------------

# The limit that sys.setrecursionlimit sets, met at the call of `post`. 3.11
# counts C calls and Python frames against it alike, so the module's own guard
# of the call meets it first; from 3.12 C calls count against a limit of their
# own, and the interpreter meets this one as it enters the frame of `post`.
LIMIT_MET_AT_POST = (
    "maximum recursion depth exceeded while calling a Python object"
    if sys.version_info < (3, 12)
    else "maximum recursion depth exceeded"
)


class CallableInstance:
    def __call__(self, url: str, headers: Any, json: Any) -> Response:
        return Response(200, credits())


class ResponseClass(Response):
    """Called as `post`: a class, so a C callable without a vectorcall entry."""

    def __init__(self, url: str, headers: Any, json: Any) -> None:
        super().__init__(200, credits())


POSTS: dict[str, Callable[[], Any]] = {
    "bound Python method": lambda: Poster(body(credits())).post,
    "instance with __call__": CallableInstance,
    "class": lambda: ResponseClass,
    "functools.partial": lambda: functools.partial(Poster(body(credits())).post),
}


@pytest.mark.parametrize("kind", list(POSTS))
@pytest.mark.parametrize("method", ["validate_token", "search_query"])
def test_recursion_limit_met_at_the_call_of_post(api_logic, monkeypatch, kind, method):
    class Requests:
        post = staticmethod(POSTS[kind]())

    monkeypatch.setattr(api_logic, "requests", Requests())
    o = api_logic.InternalClass()
    call = functools.partial(getattr(o, method), *(("tok",) if method == "validate_token" else ("tok", "q")))
    function = V if method == "validate_token" else S

    def at_depth(n: int) -> Any:
        if n:
            return at_depth(n - 1)
        try:
            return call()
        except RecursionError as exc:
            return exc

    def met_at(n: int) -> Any:
        try:
            return at_depth(n)
        except RecursionError as exc:  # met before the module was called
            return exc

    depth, frame = 0, sys._getframe()
    while frame is not None:
        depth, frame = depth + 1, frame.f_back
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(depth + 60)
    try:
        outcomes = [met_at(n) for n in range(60)]
    finally:
        sys.setrecursionlimit(limit)
    guarded = [
        o
        for o in outcomes
        if isinstance(o, RecursionError)
        and str(o) == LIMIT_MET_AT_POST
        and module_entries(o) == [(function.function, function.post)]
        and traceback.extract_tb(o.__traceback__)[-1].filename == FILE
    ]
    assert guarded, {str(o) for o in outcomes}
    assert all(isinstance(o, (RecursionError, str)) for o in outcomes)
    assert "Token validated" in outcomes[0] or "Search results" in outcomes[0]


# A callable written in C whose call returns NULL and sets no exception: a
# type whose tp_call is PyErr_Occurred, which answers NULL while no error is
# pending (the extra arguments of a C call are ignored).
class _Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]


class _Spec(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("basicsize", ctypes.c_int),
        ("itemsize", ctypes.c_int),
        ("flags", ctypes.c_uint),
        ("slots", ctypes.POINTER(_Slot)),
    ]


_PY_TP_CALL, _PY_TP_NEW = 50, 65
_SLOTS = (_Slot * 3)(
    _Slot(_PY_TP_CALL, ctypes.cast(ctypes.pythonapi.PyErr_Occurred, ctypes.c_void_p).value),
    _Slot(_PY_TP_NEW, ctypes.cast(ctypes.pythonapi.PyType_GenericNew, ctypes.c_void_p).value),
    _Slot(0, None),
)
_SPEC = _Spec(b"tests.NullWithoutError", object.__basicsize__, 0, 0, _SLOTS)


@pytest.fixture(scope="module")
def null_without_error() -> Any:
    from_spec = ctypes.pythonapi.PyType_FromSpec
    from_spec.restype, from_spec.argtypes = ctypes.py_object, [ctypes.POINTER(_Spec)]
    return from_spec(ctypes.byref(_SPEC))()


@pytest.mark.parametrize("method", ["validate_token", "search_query"])
def test_post_returning_null_without_an_error(api_logic, monkeypatch, null_without_error, method):
    monkeypatch.setattr(api_logic, "requests", types.SimpleNamespace(post=null_without_error))
    function = V if method == "validate_token" else S
    with pytest.raises(SystemError, match=r"^NULL result without error in PyObject_Call$") as info:
        getattr(api_logic.InternalClass(), method)(*(("tok",) if method == "validate_token" else ("tok", "q")))
    assert module_entries(info.value) == [(function.function, function.post)]
