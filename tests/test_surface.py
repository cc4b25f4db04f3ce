"""The module's namespace, the class InternalClass and the method object type."""

from __future__ import annotations

import builtins
import ctypes
import importlib
import types
import typing

import pytest

MODULE = "tarnvel._internal.api_logic"
METHODS = ("__init__", "validate_token", "search_query")

# Py_TPFLAGS_* bits the method object type must carry.
BASETYPE, HAVE_VECTORCALL, HAVE_GC, METHOD_DESCRIPTOR = 1 << 10, 1 << 11, 1 << 14, 1 << 17


def test_namespace_holds_exactly_the_module_names(api_logic):
    assert set(vars(api_logic)) == {
        "__name__",
        "__doc__",
        "__package__",
        "__loader__",
        "__file__",
        "__spec__",
        "__builtins__",
        "requests",
        "Optional",
        "InternalClass",
        "__test__",
    }


@pytest.mark.parametrize(
    "name, expected",
    [
        ("__name__", lambda m: MODULE),
        ("__doc__", lambda m: None),
        ("__package__", lambda m: "tarnvel._internal"),
        ("__file__", lambda m: m.__spec__.origin),
        ("__loader__", lambda m: m.__spec__.loader),
        ("__builtins__", lambda m: builtins),
        ("Optional", lambda m: typing.Optional),
        ("requests", lambda m: importlib.import_module("requests")),
    ],
)
def test_namespace_values(api_logic, name, expected):
    value, want = getattr(api_logic, name), expected(api_logic)
    assert value is want or (isinstance(want, str) and value == want)


def test_test_marker_is_an_empty_dict(api_logic):
    assert type(api_logic.__test__) is dict and api_logic.__test__ == {}


@pytest.mark.parametrize(
    "attribute, expected",
    [
        ("__module__", MODULE),
        ("__qualname__", "InternalClass"),
        ("__name__", "InternalClass"),
        ("__doc__", None),
        ("__bases__", (object,)),
    ],
)
def test_class_attributes(api_logic, attribute, expected):
    assert getattr(api_logic.InternalClass, attribute) == expected
    assert type(api_logic.InternalClass) is type


def test_class_dict_order(api_logic):
    assert list(api_logic.InternalClass.__dict__) == ["__module__", *METHODS, "__dict__", "__weakref__", "__doc__"]


@pytest.mark.parametrize("method, qualname", [(m, f"InternalClass.{m}") for m in METHODS])
def test_method_identity_attributes(api_logic, method, qualname):
    function = api_logic.InternalClass.__dict__[method]
    assert (function.__name__, function.__qualname__, function.__module__) == (method, qualname, MODULE)
    assert function.__closure__ is None
    assert function.__globals__ is vars(api_logic)
    assert type(function) is type(api_logic.InternalClass.__init__)
    assert not isinstance(function, (types.FunctionType, types.BuiltinFunctionType))


def test_method_object_type_flags_and_subclassing(api_logic):
    method_type = type(api_logic.InternalClass.validate_token)
    # The name that errors and reprs of the type show.
    assert (method_type.__name__, method_type.__qualname__) == ("method_object", "method_object")
    for flag in (BASETYPE, HAVE_VECTORCALL, HAVE_GC, METHOD_DESCRIPTOR):
        assert method_type.__flags__ & flag
    # Usable as a base: a Python subclass can be declared.
    assert issubclass(type("Sub", (method_type,), {}), method_type)


def test_instances_share_the_constructor_constant(api_logic):
    first, second = api_logic.InternalClass(), api_logic.InternalClass()
    assert vars(first) == {"_api_key": "zefrun"}
    assert first._api_key is second._api_key


@pytest.mark.parametrize(
    "symbol, kind",
    [
        ("PyInit_api_logic", None),
        ("tarnvel_api_logic_embedded_as_main", ctypes.c_int32),
    ],
)
def test_exported_symbols(api_logic, symbol, kind):
    library = ctypes.CDLL(api_logic.__file__)
    if kind is None:
        assert getattr(library, symbol)
    else:
        # A host may set the flag; nothing in the module writes it.
        assert kind.in_dll(library, symbol).value == 0
