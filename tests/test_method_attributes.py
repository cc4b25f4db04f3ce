"""Attributes of the method objects: reads, accepted and refused assignments,
the warning on defaults, and the object protocol (dict, weakref, repr, hash)."""

from __future__ import annotations

import gc
import pickle
import sys
import traceback
import warnings
import weakref

import pytest

from conftest import run_python
from source_map import VALIDATE
from support.doubles import Text

METHODS = ("__init__", "validate_token", "search_query")
DELETE = object()  # marks a deletion instead of an assignment

# Attributes whose assignment is checked; their first name is the one restored.
ALIASES = {
    "__name__": ("__name__", "func_name"),
    "__qualname__": ("__qualname__",),
    "__module__": ("__module__",),
    "__doc__": ("__doc__", "func_doc"),
    "__dict__": ("__dict__", "func_dict"),
    "__defaults__": ("__defaults__", "func_defaults"),
    "__kwdefaults__": ("__kwdefaults__",),
    "__annotations__": ("__annotations__",),
}


class DictSub(dict):
    pass


class TupleSub(tuple):
    pass


@pytest.fixture
def methods(api_logic):
    """The three method objects; every assignable attribute is put back afterwards."""
    functions = {name: api_logic.InternalClass.__dict__[name] for name in METHODS}
    saved = {name: {a: getattr(f, a) for a in ALIASES} for name, f in functions.items()}
    yield functions
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for name, function in functions.items():
            for attribute, value in saved[name].items():
                setattr(function, attribute, value)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    "attribute, value",
    [
        ("__name__", "renamed"),
        ("func_name", Text("renamed")),
        ("__qualname__", Text("Other.renamed")),
        ("__module__", 42),
        ("__doc__", b"not text"),
        ("func_doc", None),
        ("__dict__", {"a": 1}),
        ("func_dict", DictSub(b=2)),
        ("__annotations__", DictSub(token=int)),
    ],
)
def test_accepted_assignment_is_read_back_under_every_name(methods, method, attribute, value):
    function = methods[method]
    setattr(function, attribute, value)
    aliases = next(names for names in ALIASES.values() if attribute in names)
    for alias in aliases:
        assert getattr(function, alias) is value


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    "attribute, value, message",
    [
        ("__name__", 1, "__name__ must be set to a string object"),
        ("func_name", b"x", "__name__ must be set to a string object"),
        ("__name__", DELETE, "__name__ must be set to a string object"),
        ("__qualname__", None, "__qualname__ must be set to a string object"),
        ("__qualname__", DELETE, "__qualname__ must be set to a string object"),
        ("__dict__", [], "setting function's dictionary to a non-dict"),
        ("func_dict", None, "setting function's dictionary to a non-dict"),
        ("__dict__", DELETE, "function's dictionary may not be deleted"),
        ("func_dict", DELETE, "function's dictionary may not be deleted"),
        ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
        ("func_defaults", {}, "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", [], "__annotations__ must be set to a dict object"),
        ("__annotations__", "x", "__annotations__ must be set to a dict object"),
    ],
)
def test_refused_assignment_leaves_the_value(methods, method, attribute, value, message):
    function = methods[method]
    before = getattr(function, attribute)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a refusal must not warn first
        with pytest.raises(TypeError) as raised:
            if value is DELETE:
                delattr(function, attribute)
            else:
                setattr(function, attribute, value)
    assert str(raised.value) == message
    assert getattr(function, attribute) is before


@pytest.mark.parametrize(
    "attribute",
    [
        "__globals__",
        "func_globals",
        "__closure__",
        "func_closure",
        "__code__",
        "func_code",
        "_is_coroutine",
    ],
)
@pytest.mark.parametrize("delete", [False, True])
def test_read_only_attributes(methods, attribute, delete):
    function = methods["validate_token"]
    before = getattr(function, attribute)
    with pytest.raises(AttributeError):
        if delete:
            delattr(function, attribute)
        else:
            setattr(function, attribute, None)
    assert getattr(function, attribute) is before


@pytest.mark.parametrize("attribute, cleared", [("__module__", None), ("__doc__", None)])
def test_deletion_leaves_none(methods, attribute, cleared):
    function = methods["search_query"]
    delattr(function, attribute)
    assert getattr(function, attribute) is cleared


@pytest.mark.parametrize(
    "clear", [lambda f: setattr(f, "__annotations__", None), lambda f: delattr(f, "__annotations__")]
)
@pytest.mark.parametrize("method", METHODS)
def test_cleared_annotations_come_back_as_a_new_empty_dict(methods, method, clear):
    function = methods[method]
    before = function.__annotations__
    clear(function)
    after = function.__annotations__
    assert after == {} and after is not before and function.__annotations__ is after


def test_lazily_made_attributes_are_kept(methods):
    init = methods["__init__"]
    assert init.__annotations__ == {} and init.__annotations__ is init.__annotations__
    assert init.__dict__ is init.__dict__
    assert init._is_coroutine is False
    for name, function in methods.items():
        assert function.__name__ is sys.intern("".join(name))
        assert function.__doc__ is function.__doc__


@pytest.mark.parametrize(
    "attribute, value",
    [
        ("__defaults__", ("default token",)),
        ("func_defaults", TupleSub()),
        ("__defaults__", None),
        ("__defaults__", DELETE),
        ("__kwdefaults__", {"token": "default token"}),
        ("__kwdefaults__", DictSub()),
        ("__kwdefaults__", None),
        ("__kwdefaults__", DELETE),
    ],
)
def test_defaults_assignment_warns_and_changes_no_call(methods, fake_requests, obj, attribute, value):
    function = methods["validate_token"]
    name = "__kwdefaults__" if "kw" in attribute else "__defaults__"
    with pytest.warns(RuntimeWarning, match=name) as record:
        if value is DELETE:
            delattr(function, attribute)
        else:
            setattr(function, attribute, value)
    assert len(record) == 1 and record[0].filename == __file__  # stack level 1: the assigning line
    assert getattr(function, attribute) is (None if value is DELETE else value)
    with pytest.raises(TypeError, match=r"validate_token\(\) takes exactly 2 positional arguments \(1 given\)"):
        obj.validate_token()
    assert fake_requests.calls == []


@pytest.mark.parametrize("attribute, value", [("__defaults__", (1,)), ("__kwdefaults__", {})])
def test_defaults_warning_as_error_fails_the_assignment(methods, attribute, value):
    function = methods["search_query"]
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        # A setter reporting success with the warning pending surfaces as SystemError.
        with pytest.raises(RuntimeWarning):
            setattr(function, attribute, value)
    assert getattr(function, attribute) in (None, value)


def test_renaming_changes_repr_and_reduce_but_not_messages(methods, obj, api_logic):
    function = methods["validate_token"]
    function.__name__ = "renamed"
    function.__qualname__ = "Elsewhere.renamed"
    assert repr(function) == f"<function Elsewhere.renamed at {hex(id(function))}>"
    assert function.__reduce__() == "Elsewhere.renamed"
    with pytest.raises(TypeError) as raised:
        obj.validate_token()
    assert str(raised.value) == "validate_token() takes exactly 2 positional arguments (1 given)"
    names = [f.name for f in traceback.extract_tb(raised.value.__traceback__)]
    assert names[-1] == VALIDATE.function


@pytest.mark.parametrize("method", METHODS)
def test_repr_names_qualname_and_address(methods, method):
    function = methods[method]
    assert repr(function) == f"<function InternalClass.{method} at {hex(id(function))}>"


@pytest.mark.parametrize("method", METHODS)
def test_reduce_ignores_arguments(methods, method):
    assert methods[method].__reduce__(1, "two", None) == f"InternalClass.{method}"
    assert pickle.loads(pickle.dumps(methods[method])) is methods[method]


def test_free_attributes_land_in_the_dict(methods):
    function = methods["search_query"]
    function.note = "kept"
    assert function.__dict__ == {"note": "kept"} and function.func_dict["note"] == "kept"
    del function.note
    with pytest.raises(AttributeError):
        function.note


def test_weak_references(methods):
    function = methods["validate_token"]
    called = []
    reference = weakref.ref(function, called.append)
    gc.collect()
    assert reference() is function and called == []
    assert weakref.getweakrefcount(function) >= 1


def test_collector_sees_every_reference(methods):
    function = methods["validate_token"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        function.__defaults__, function.__kwdefaults__ = (object(),), {}
    function.__doc__ = "replaced"
    held = [
        "__module__",
        "__dict__",
        "__name__",
        "__qualname__",
        "__doc__",
        "__globals__",
        "__code__",
        "__defaults__",
        "__kwdefaults__",
        "__annotations__",
        "_is_coroutine",
    ]
    values = {a: getattr(function, a) for a in held}  # the lazily made ones made now
    referents = gc.get_referents(function)
    assert gc.is_tracked(function)
    assert [a for a in held if not any(r is values[a] for r in referents)] == []


def test_hash_and_equality_are_identity(methods):
    first, second = methods["validate_token"], methods["search_query"]
    assert hash(first) == object.__hash__(first)
    assert first == first and first != second
    assert {first: 1, second: 2}[first] == 1


# A finalizer that gets hold of the method object while the collector clears
# it: a weak reference made during finalization, read when the clear drops
# the last reference to the finalizer's owner. Readers of the cleared object
# must still work, as they do on a cleared Python function.
CLEARED_BY_THE_COLLECTOR = """
import gc, weakref
import tarnvel._internal.api_logic as api_logic

class LateFinalizer:
    __slots__ = ("ref",)
    def __del__(self):
        global method
        method = self.ref()

class Cycle(tuple):
    __slots__ = ()
    def __del__(self):
        self[1].ref = weakref.ref(self[0])
        global late
        del late

late = LateFinalizer()
method = api_logic.InternalClass.__dict__[{name!r}]
delattr(api_logic.InternalClass, {name!r})
method.__qualname__ = {qualname}
cycle = tuple.__new__(Cycle, (method, late))
method.__module__ = cycle
del cycle, method
gc.collect()
if method is None:
    print("not reached")
else:
    print(repr(method).startswith("<function "), method.__qualname__ == method.__reduce__())
    print(method.__code__.co_name, method.__name__, method.__module__, method.__globals__)
"""


@pytest.mark.parametrize("qualname", ["'InternalClass.search_query'", "type('Held', (str,), {})('Held.name')"])
def test_readers_of_an_object_the_collector_cleared(qualname):
    done = run_python(CLEARED_BY_THE_COLLECTOR.format(name="search_query", qualname=qualname))
    assert done.returncode == 0, done.stderr
    # From 3.14 the collector also clears weak references made by finalizers,
    # so the cleared object never reaches Python code.
    reached = ["True True", "search_query search_query None None"]
    assert done.stdout.splitlines() == (reached if sys.version_info < (3, 14) else ["not reached"])
