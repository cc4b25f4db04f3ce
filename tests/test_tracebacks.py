"""Traceback entries that InternalClass's methods add to exceptions leaving them."""
from __future__ import annotations

import functools
import inspect
import traceback

import pytest
from conftest import run_python

FILE = "tarnvel/_internal/api_logic"
PREFIX = "tarnvel._internal.api_logic.InternalClass."


class RaisingEqual(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError("compared")


def refusing_subclass(cls):
    class Refusing(cls):
        def __setattr__(self, name, value):
            raise PermissionError(name)

    return Refusing


def module_entries(exc):
    return [(f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__) if f.filename == FILE]


@pytest.mark.parametrize("failing_call, error, entries", [
    # binding: one entry at the def line
    (lambda C, o: o.validate_token(), TypeError, [(8, "validate_token")]),
    (lambda C, o: o.validate_token(token="t", extra=1), TypeError, [(8, "validate_token")]),
    (lambda C, o: C.validate_token(token="t"), TypeError, [(8, "validate_token")]),
    (lambda C, o: o.search_query("t"), TypeError, [(38, "search_query")]),
    (lambda C, o: o.search_query("t", "q", token="t"), TypeError, [(38, "search_query")]),
    (lambda C, o: C(1), TypeError, [(5, "__init__")]),
    (lambda C, o: C(x=1), TypeError, [(5, "__init__")]),
    (lambda C, o: type(C.search_query).__call__(C.search_query, o, **{"q": 1}), TypeError, [(38, "search_query")]),
    (lambda C, o: functools.partial(C.validate_token, o)(**{RaisingEqual("token"): "t"}),
     LookupError, [(8, "validate_token")]),
    # type tests: none
    (lambda C, o: o.validate_token(None), TypeError, []),
    (lambda C, o: o.search_query("t", 1), TypeError, []),
    (lambda C, o: C.search_query(token=1, query="q", self=o), TypeError, []),
    # the tuple-and-dict form refusing a key before any binding: none
    (lambda C, o: type(C.validate_token).__call__(C.validate_token, o, **{1: "t"}), TypeError, []),
    # the constructor's assignment: line 6
    (lambda C, o: C.__init__(5), AttributeError, [(6, "__init__")]),
    (lambda C, o: refusing_subclass(C)(), PermissionError, [(6, "__init__")]),
])
def test_entries_of_the_module(api_logic, obj, fake_requests, failing_call, error, entries):
    with pytest.raises(error) as raised:
        failing_call(api_logic.InternalClass, obj)
    assert module_entries(raised.value) == [(line, PREFIX + name) for line, name in entries]
    assert fake_requests.calls == []


@pytest.mark.parametrize("failing_call, callee", [
    (lambda C, o: functools.partial(C.validate_token, o)(**{RaisingEqual("token"): "t"}), "__eq__"),
    (lambda C, o: refusing_subclass(C)(), "__setattr__"),
])
def test_entry_stands_between_caller_and_callee(api_logic, obj, failing_call, callee):
    with pytest.raises(Exception) as raised:
        failing_call(api_logic.InternalClass, obj)
    names = [f.name for f in traceback.extract_tb(raised.value.__traceback__)]
    position = next(i for i, name in enumerate(names) if name.startswith(PREFIX))
    assert names[position + 1:] == [callee]
    assert "test_entry_stands_between_caller_and_callee" in names[:position]


def test_entry_frame_and_repeated_failures(api_logic, obj):
    lines = []
    for _ in range(3):
        with pytest.raises(TypeError) as raised:
            obj.search_query()
        tb = raised.value.__traceback__
        while tb.tb_next is not None:
            tb = tb.tb_next
        assert tb.tb_frame.f_globals is vars(api_logic)
        assert tb.tb_frame.f_code.co_filename == FILE and tb.tb_frame.f_lineno == tb.tb_lineno
        lines.append((tb.tb_lineno, tb.tb_frame.f_code.co_name))
    assert lines == [(38, PREFIX + "search_query")] * 3


@pytest.mark.parametrize("failing_call, line, name", [
    (lambda C: C().validate_token(), 8, "validate_token"),
    (lambda C: C.__init__(5), 6, "__init__"),
])
@pytest.mark.parametrize("capture_locals", [False, True])
def test_formatted_traceback(api_logic, failing_call, line, name, capture_locals):
    with pytest.raises(Exception) as raised:
        failing_call(api_logic.InternalClass)
    text = "".join(traceback.TracebackException.from_exception(
        raised.value, capture_locals=capture_locals).format())
    assert text == "".join(traceback.format_exception(raised.value)) or capture_locals
    assert f'  File "{FILE}", line {line}, in {PREFIX}{name}\n' in text
    assert inspect.getinnerframes(raised.value.__traceback__)[-1].lineno == line


def test_interpreter_prints_uncaught_failure():
    # The interpreter's own printer (not the traceback module) walks the entry.
    result = run_python(
        "import tarnvel._internal.api_logic as m\n"
        "m.InternalClass().validate_token(1, 2)\n")
    assert result.returncode == 1, result.stderr
    assert f'  File "{FILE}", line 8, in {PREFIX}validate_token\n' in result.stderr
    assert result.stderr.endswith(
        "TypeError: validate_token() takes exactly 2 positional arguments (3 given)\n")
