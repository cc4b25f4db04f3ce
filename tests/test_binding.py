"""Binding and type tests of every call of InternalClass's methods, in every
call form: the fast form as C callers make it, on an instance, and the
tuple-and-dict forms (functools.partial, the type's __call__, f(*a, **kw))."""

from __future__ import annotations

import ast
import ctypes
import functools

import pytest

from conftest import run_python
from support.doubles import ComparesStr, Falsy, Text

SELF = object()  # stands for the instance in a row's arguments
T, Q = "tok-1", "some query"
OFFSET_FLAG = 1 << (8 * ctypes.sizeof(ctypes.c_size_t) - 1)  # PY_VECTORCALL_ARGUMENTS_OFFSET

_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]


def vectorcall(function, positional, keyword_values=(), kwnames=None, offset=False):
    """Calls `function` as C code does: one argument array, then a tuple of
    keyword names (which C code may fill with anything) for its last values."""
    values = [*positional, *keyword_values]
    # One spare slot in front, which the offset flag lets the callee borrow.
    array = (ctypes.py_object * (len(values) + 1))(None, *values)
    nargsf = len(positional) | (OFFSET_FLAG if offset else 0)
    start = ctypes.addressof(array) + ctypes.sizeof(ctypes.py_object)
    return _vectorcall(function, start, nargsf, None if kwnames is None else id(kwnames))


FORMS = ["syntax", "fast", "bound", "partial", "type_call", "star"]


def call(form, function, obj, args, kwargs):
    args = tuple(obj if a is SELF else a for a in args)
    kwargs = {k: obj if v is SELF else v for k, v in kwargs.items()}
    if form == "syntax":
        # Written out as source, so that the interpreter's own call paths run:
        # a method call on the instance, keyword names compiled into the call.
        head = f"o.{function.__code__.co_name}" if args and args[0] is obj else f"C.{function.__code__.co_name}"
        skip = 1 if head.startswith("o.") else 0
        values = {f"a{i}": a for i, a in enumerate(args)} | {f"k{i}": v for i, v in enumerate(kwargs.values())}
        source = ", ".join([f"a{i}" for i in range(skip, len(args))] + [f"{k}=k{i}" for i, k in enumerate(kwargs)])
        return eval(f"{head}({source})", {"o": obj, "C": type(obj), **values})
    if form == "fast":
        return vectorcall(function, args, tuple(kwargs.values()), tuple(kwargs) if kwargs else None)
    if form == "bound":
        return function.__get__(obj, type(obj))(*args[1:], **kwargs)
    if form == "partial":
        return functools.partial(function, *args)(**kwargs)
    if form == "type_call":
        return type(function).__call__(function, *args, **kwargs)
    return function(*args, **kwargs)


def applies(form, args, kwargs):
    if form == "bound":
        return bool(args) and args[0] is SELF
    if form == "syntax":
        return all(type(k) is str and k.isidentifier() for k in kwargs)
    return True


def with_forms(rows):
    """Every row in every form that can express it."""
    return [
        pytest.param(form, *row, id=f"{form}-{i}")
        for i, row in enumerate(rows)
        for form in FORMS
        if applies(form, row[1], row[2])
    ]


# ---------------------------------------------------------------------------
# Accepted calls

ACCEPTED = [
    ("validate_token", (SELF, T), {}),
    ("validate_token", (SELF,), {"token": T}),
    ("validate_token", (), {"self": SELF, "token": T}),
    ("validate_token", (42, T), {}),
    ("validate_token", (), {"token": T, "self": 42}),
    ("validate_token", (SELF,), {"".join(["tok", "en"]): T}),  # equal but not the interned name
    ("search_query", (SELF, T, Q), {}),
    ("search_query", (SELF, T), {"query": Q}),
    ("search_query", (SELF,), {"token": T, "query": Q}),
    ("search_query", (SELF,), {"query": Q, "token": T}),
    ("search_query", (), {"self": SELF, "token": T, "query": Q}),
    ("search_query", (None,), {"query": Q, "token": T}),
    ("__init__", (SELF,), {}),
    ("__init__", (), {"self": SELF}),
]


def check_accepted(method, result, obj, fake_requests):
    if method == "__init__":
        assert result is None and vars(obj) == {"_api_key": "zefrun"}
        return
    assert type(result) is str
    [sent] = fake_requests.calls
    if method == "validate_token":
        assert sent.kwargs["json"] == {"token": T}
    else:
        assert sent.kwargs["headers"]["authToken"] == T and sent.kwargs["json"]["s"] == Q


@pytest.mark.parametrize("form, method, args, kwargs", with_forms(ACCEPTED))
def test_accepted_calls(api_logic, fake_requests, form, method, args, kwargs):
    obj = object.__new__(api_logic.InternalClass)  # no _api_key yet
    result = call(form, api_logic.InternalClass.__dict__[method], obj, args, kwargs)
    check_accepted(method, result, obj, fake_requests)


# ---------------------------------------------------------------------------
# Refused calls: the first fault in checking order decides the message


def count(name, n, given):
    return f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'} ({given} given)"


def multiple(name, keyword):
    return f"{name}() got multiple values for keyword argument '{keyword}'"


def unexpected(name, keyword):
    return f"{name}() got an unexpected keyword argument '{keyword}'"


def wrong_type(parameter, got):
    return f"Argument '{parameter}' has incorrect type (expected str, got {got})"


REFUSED = [
    ("validate_token", (SELF,), {}, count("validate_token", 2, 1)),
    ("validate_token", (SELF, T, T), {}, count("validate_token", 2, 3)),
    ("validate_token", (SELF, T, T), {"extra": 1}, count("validate_token", 2, 3)),
    ("validate_token", (), {}, count("validate_token", 2, 0)),
    ("validate_token", (), {"token": T}, count("validate_token", 2, 0)),
    ("validate_token", (SELF,), {"self": SELF, "token": T}, multiple("validate_token", "self")),
    ("validate_token", (SELF, T), {"token": T}, multiple("validate_token", "token")),
    ("validate_token", (SELF,), {"token": T, "extra": 1}, unexpected("validate_token", "extra")),
    ("validate_token", (SELF,), {"extra": 1}, count("validate_token", 2, 1)),
    ("validate_token", (SELF,), {"token": 1, "extra": 1}, unexpected("validate_token", "extra")),
    ("validate_token", (SELF, None), {}, wrong_type("token", "NoneType")),
    ("validate_token", (SELF,), {"token": None}, wrong_type("token", "NoneType")),
    ("validate_token", (SELF, Text(T)), {}, wrong_type("token", "Text")),
    ("validate_token", (SELF, b"t"), {}, wrong_type("token", "bytes")),
    ("validate_token", (), {"self": SELF, "token": 7}, wrong_type("token", "int")),
    ("search_query", (SELF,), {}, count("search_query", 3, 1)),
    ("search_query", (SELF, T), {}, count("search_query", 3, 2)),
    ("search_query", (SELF, T, Q, Q), {}, count("search_query", 3, 4)),
    ("search_query", (SELF, T), {"token": T}, count("search_query", 3, 2)),
    ("search_query", (SELF,), {"query": Q}, count("search_query", 3, 1)),
    ("search_query", (), {"token": T, "query": Q}, count("search_query", 3, 0)),
    ("search_query", (SELF, T, Q), {"token": T}, multiple("search_query", "token")),
    ("search_query", (SELF, T), {"query": Q, "zzz": 1, "token": T}, unexpected("search_query", "zzz")),
    ("search_query", (SELF, T), {"query": Q, "token": T, "zzz": 1}, multiple("search_query", "token")),
    ("search_query", (SELF, 1, 2), {}, wrong_type("token", "int")),
    ("search_query", (SELF, None, None), {}, wrong_type("token", "NoneType")),
    ("search_query", (SELF, T, b"q"), {}, wrong_type("query", "bytes")),
    ("search_query", (SELF,), {"query": Text(Q), "token": T}, wrong_type("query", "Text")),
    ("__init__", (), {}, count("__init__", 1, 0)),
    ("__init__", (SELF, 1), {}, count("__init__", 1, 2)),
    ("__init__", (SELF,), {"self": SELF}, multiple("__init__", "self")),
    ("__init__", (SELF,), {"x": 1}, unexpected("__init__", "x")),
]


@pytest.mark.parametrize("form, method, args, kwargs, message", with_forms(REFUSED))
def test_refused_calls(api_logic, fake_requests, form, method, args, kwargs, message):
    obj = object.__new__(api_logic.InternalClass)
    with pytest.raises(TypeError) as raised:
        call(form, api_logic.InternalClass.__dict__[method], obj, args, kwargs)
    assert str(raised.value) == message
    assert fake_requests.calls == [] and vars(obj) == {}


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, count("__init__", 1, 2)),
        ((1, 2), {}, count("__init__", 1, 3)),
        ((), {"x": 1}, unexpected("__init__", "x")),
        ((), {"self": 1}, multiple("__init__", "self")),
    ],
)
def test_refused_construction(api_logic, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        api_logic.InternalClass(*args, **kwargs)
    assert str(raised.value) == message


# ---------------------------------------------------------------------------
# Construction of the class as it stands at the call

# Each change is made in a fresh interpreter: a class that once had a __new__
# of its own keeps calling __new__ through the lookup after it is deleted.
CONSTRUCTION = """
import tarnvel._internal.api_logic as m

C = m.InternalClass
own_init = C.__dict__["__init__"]

def made(cls):
    try:
        instance = cls()
    except Exception as error:
        return type(error).__name__, str(error)
    return type(instance).__name__, vars(instance)

def marking_new(cls):
    instance = object.__new__(cls)
    instance.__dict__["by_new"] = True
    return instance

{change}
# type.__call__ itself always goes the generic way.
print(repr((made(C), made(lambda: type.__call__(C)))))
{undo}
print(repr(made(m.InternalClass)))
"""


@pytest.mark.parametrize(
    "change, undo, expected",
    [
        (
            "C.__init__ = lambda self: setattr(self, 'other', 1)",
            "C.__init__ = own_init",
            ("InternalClass", {"other": 1}),
        ),
        ("del C.__init__", "C.__init__ = own_init", ("InternalClass", {})),
        (
            "C.__new__ = staticmethod(marking_new)",
            "del C.__new__",
            ("InternalClass", {"by_new": True, "_api_key": "zefrun"}),
        ),
        ("C.__abstractmethods__ = frozenset({'missing'})", "del C.__abstractmethods__", "TypeError"),
        ("class C(C):\n    def __init__(self): self.own = True", "", ("C", {"own": True})),
    ],
    ids=["init replaced", "init deleted", "new added", "abstract", "subclass init"],
)
def test_construction_follows_the_class(change, undo, expected):
    result = run_python(CONSTRUCTION.format(change=change, undo=undo))
    assert result.returncode == 0, result.stderr
    changed, restored = map(ast.literal_eval, result.stdout.splitlines())
    outcome, generic = changed
    assert outcome == generic
    assert outcome[0] == expected if isinstance(expected, str) else outcome == expected
    assert restored == ("InternalClass", {"_api_key": "zefrun"})


# ---------------------------------------------------------------------------
# Keyword names that are str subclasses with their own __eq__ / __hash__


def equal(text, result):
    """The keyword name `text`, whose == answers `result`."""
    return ComparesStr(text, error=None, result=result)


OddHash = type("OddHash", (str,), {"__hash__": lambda self: 7})


OK = None
ODD_KEYWORDS = [
    # The parameter search compares by ==, the parameter's name on the left.
    ("validate_token", (SELF,), {equal("nope", True): T}, OK),
    ("validate_token", (SELF,), {equal("other", 1): T}, OK),
    ("validate_token", (SELF,), {equal("token", NotImplemented): T}, OK),
    ("validate_token", (SELF,), {OddHash("token"): T}, OK),
    ("validate_token", (SELF,), {Text("token"): T}, OK),
    ("search_query", (SELF,), {"token": T, equal("q", True): Q}, OK),
    ("validate_token", (SELF,), {equal("token", False): T}, TypeError(count("validate_token", 2, 1))),
    ("validate_token", (SELF,), {equal("token", None): T}, TypeError(count("validate_token", 2, 1))),
    ("validate_token", (SELF,), {ComparesStr("token", "token", LookupError): T}, LookupError("compared with 'token'")),
    ("validate_token", (SELF,), {equal("token", Falsy(ZeroDivisionError)): T}, ZeroDivisionError("no truth")),
    # The keyword scan compares code points and ignores __eq__.
    ("validate_token", (SELF, T), {equal("token", False): T}, TypeError(multiple("validate_token", "token"))),
    ("validate_token", (SELF, T), {equal("zzz", True): T}, TypeError(unexpected("validate_token", "zzz"))),
    ("validate_token", (SELF,), {equal("nope", True): T, "extra": 1}, TypeError(unexpected("validate_token", "nope"))),
]


@pytest.mark.parametrize("form, method, args, kwargs, outcome", with_forms(ODD_KEYWORDS))
def test_str_subclass_keyword_names(api_logic, fake_requests, form, method, args, kwargs, outcome):
    obj = object.__new__(api_logic.InternalClass)
    function = api_logic.InternalClass.__dict__[method]
    if outcome is OK:
        check_accepted(method, call(form, function, obj, args, kwargs), obj, fake_requests)
        return
    with pytest.raises(type(outcome)) as raised:
        call(form, function, obj, args, kwargs)
    assert str(raised.value) == str(outcome) and fake_requests.calls == []


# ---------------------------------------------------------------------------
# What only the fast form or only the dict form can carry


@pytest.mark.parametrize(
    "args, kwnames, outcome",
    [
        ((SELF, T, 1), (1,), TypeError("validate_token() keywords must be strings")),
        ((SELF, 1), (1,), TypeError(count("validate_token", 2, 1))),  # 'token' == 1 is False
        ((SELF, T, None), (None,), TypeError("validate_token() keywords must be strings")),
        ((SELF, T), (), OK),
        ((SELF,), (), TypeError(count("validate_token", 2, 1))),
    ],
)
@pytest.mark.parametrize("offset", [False, True])
def test_fast_form_keyword_names(api_logic, fake_requests, args, kwnames, outcome, offset):
    obj = object.__new__(api_logic.InternalClass)
    args = tuple(obj if a is SELF else a for a in args)
    nargs = len(args) - len(kwnames)
    function = api_logic.InternalClass.validate_token
    if outcome is OK:
        result = vectorcall(function, args[:nargs], args[nargs:], kwnames, offset)
        check_accepted("validate_token", result, obj, fake_requests)
        return
    with pytest.raises(type(outcome)) as raised:
        vectorcall(function, args[:nargs], args[nargs:], kwnames, offset)
    assert str(raised.value) == str(outcome)


@pytest.mark.parametrize("form", ["partial", "type_call", "star"])
@pytest.mark.parametrize("key", [1, None, b"token", ("token",)])
def test_dict_form_refuses_keys_that_are_not_str(api_logic, fake_requests, obj, form, key):
    with pytest.raises(TypeError) as raised:
        call(form, api_logic.InternalClass.validate_token, obj, (SELF,), {key: T, "token": T})
    assert str(raised.value) == "keywords must be strings" and fake_requests.calls == []


@pytest.mark.parametrize("kwargs", [None, {}])
def test_type_call_without_keywords(api_logic, fake_requests, obj, kwargs):
    function = api_logic.InternalClass.validate_token
    args = (function, obj, T)
    result = type(function).__call__(*args) if kwargs is None else type(function).__call__(*args, **kwargs)
    check_accepted("validate_token", result, obj, fake_requests)


# ---------------------------------------------------------------------------
# Reading the methods


@pytest.mark.parametrize("method", ["__init__", "validate_token", "search_query"])
def test_reads_through_class_and_instance(api_logic, obj, method):
    stored = api_logic.InternalClass.__dict__[method]
    assert getattr(api_logic.InternalClass, method) is stored
    assert stored.__get__(None, api_logic.InternalClass) is stored
    bound = getattr(obj, method)
    assert bound.__func__ is stored and bound.__self__ is obj
    assert getattr(obj, method) is not bound


def test_subclass_instances_bind_like_the_class(api_logic, fake_requests):
    class Sub(api_logic.InternalClass):
        pass

    sub = Sub()
    assert vars(sub) == {"_api_key": "zefrun"}
    check_accepted("validate_token", sub.validate_token(T), sub, fake_requests)


def test_constructor_assigns_through_the_instance_type(api_logic):
    seen = []

    class Recording(api_logic.InternalClass):
        def __setattr__(self, name, value):
            seen.append((name, value))

    instance = Recording()
    assert seen == [("_api_key", "zefrun")] and vars(instance) == {}


@pytest.mark.parametrize("target", [5, object(), "text"])
def test_constructor_on_objects_that_refuse_the_attribute(api_logic, target):
    with pytest.raises(AttributeError):
        api_logic.InternalClass.__init__(target)
