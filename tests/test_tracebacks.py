"""Traceback entries that InternalClass's methods add to exceptions leaving them."""

from __future__ import annotations

import functools
import inspect
import traceback

import pytest

from conftest import run_python
from expect import module_entries
from source_map import FILE, FUNCTIONS, INIT, SEARCH, VALIDATE
from support.doubles import ComparesStr

# The one place that says which line each step reports: every other test
# reads these from the header through source_map.
SOURCE_MAP = {
    "module_body": (
        "init tarnvel._internal.api_logic",
        {"import_requests": 1, "import_optional": 2, "class_statement": 4},
    ),
    "init": ("tarnvel._internal.api_logic.InternalClass.__init__", {"def_": 5, "assignment": 6}),
    "validate_token": (
        "tarnvel._internal.api_logic.InternalClass.validate_token",
        {
            "def_": 8,
            "payload": 16,
            "headers": 17,
            "post": 19,
            "status": 20,
            "decode": 21,
            "success": 22,
            "type": 23,
            "match_credits_data": 24,
            "lookup_credits": 25,
            "credits_message": 26,
            "match_no_credits": 27,
            "match_invalid": 29,
            "failure_message": 34,
            "status_message": 36,
        },
    ),
    "search_query": (
        "tarnvel._internal.api_logic.InternalClass.search_query",
        {
            "def_": 38,
            "payload": 47,
            "headers": 49,
            "post": 53,
            "status": 54,
            "decode": 56,
            "success": 57,
            "first_type": 58,
            "second_type": 60,
            "results_message": 63,
            "failure_message": 65,
            "take_over": 66,
            "raw_text": 67,
            "status_message": 69,
        },
    ),
}


@pytest.mark.parametrize("key", list(SOURCE_MAP))
def test_source_map_names_the_file_functions_and_lines(key):
    name, lines = SOURCE_MAP[key]
    assert FILE == "tarnvel/_internal/api_logic"
    assert list(FUNCTIONS) == list(SOURCE_MAP)
    assert vars(FUNCTIONS[key]) == {"function": name, **lines}


def refusing_subclass(cls):
    class Refusing(cls):
        def __setattr__(self, name, value):
            raise PermissionError(name)

    return Refusing


def raising_name():
    """The keyword name `token`, whose comparison with "token" raises LookupError."""
    return ComparesStr("token", "token", LookupError)


@pytest.mark.parametrize(
    "failing_call, error, entries",
    [
        # binding: one entry at the def line
        (lambda C, o: o.validate_token(), TypeError, [(VALIDATE, VALIDATE.def_)]),
        (lambda C, o: o.validate_token(token="t", extra=1), TypeError, [(VALIDATE, VALIDATE.def_)]),
        (lambda C, o: C.validate_token(token="t"), TypeError, [(VALIDATE, VALIDATE.def_)]),
        (lambda C, o: o.search_query("t"), TypeError, [(SEARCH, SEARCH.def_)]),
        (lambda C, o: o.search_query("t", "q", token="t"), TypeError, [(SEARCH, SEARCH.def_)]),
        (lambda C, o: C(1), TypeError, [(INIT, INIT.def_)]),
        (lambda C, o: C(x=1), TypeError, [(INIT, INIT.def_)]),
        (lambda C, o: type(C.search_query).__call__(C.search_query, o, **{"q": 1}), TypeError, [(SEARCH, SEARCH.def_)]),
        (
            lambda C, o: functools.partial(C.validate_token, o)(**{raising_name(): "t"}),
            LookupError,
            [(VALIDATE, VALIDATE.def_)],
        ),
        # type tests: none
        (lambda C, o: o.validate_token(None), TypeError, []),
        (lambda C, o: o.search_query("t", 1), TypeError, []),
        (lambda C, o: C.search_query(token=1, query="q", self=o), TypeError, []),
        # the tuple-and-dict form refusing a key before any binding: none
        (lambda C, o: type(C.validate_token).__call__(C.validate_token, o, **{1: "t"}), TypeError, []),
        # the constructor's assignment
        (lambda C, o: C.__init__(5), AttributeError, [(INIT, INIT.assignment)]),
        (lambda C, o: refusing_subclass(C)(), PermissionError, [(INIT, INIT.assignment)]),
    ],
)
def test_entries_of_the_module(api_logic, obj, fake_requests, failing_call, error, entries):
    with pytest.raises(error) as raised:
        failing_call(api_logic.InternalClass, obj)
    assert module_entries(raised.value) == [(function.function, line) for function, line in entries]
    assert fake_requests.calls == []


@pytest.mark.parametrize(
    "failing_call, callee",
    [
        (lambda C, o: functools.partial(C.validate_token, o)(**{raising_name(): "t"}), "__eq__"),
        (lambda C, o: refusing_subclass(C)(), "__setattr__"),
    ],
)
def test_entry_stands_between_caller_and_callee(api_logic, obj, failing_call, callee):
    with pytest.raises(Exception) as raised:
        failing_call(api_logic.InternalClass, obj)
    names = [f.name for f in traceback.extract_tb(raised.value.__traceback__)]
    position = next(i for i, name in enumerate(names) if name in (INIT.function, VALIDATE.function))
    assert names[position + 1 :] == [callee]
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
    assert lines == [(SEARCH.def_, SEARCH.function)] * 3


@pytest.mark.parametrize(
    "failing_call, line, name",
    [
        (lambda C: C().validate_token(), VALIDATE.def_, VALIDATE.function),
        (lambda C: C.__init__(5), INIT.assignment, INIT.function),
    ],
)
@pytest.mark.parametrize("capture_locals", [False, True])
def test_formatted_traceback(api_logic, failing_call, line, name, capture_locals):
    with pytest.raises(Exception) as raised:
        failing_call(api_logic.InternalClass)
    text = "".join(traceback.TracebackException.from_exception(raised.value, capture_locals=capture_locals).format())
    assert text == "".join(traceback.format_exception(raised.value)) or capture_locals
    assert f'  File "{FILE}", line {line}, in {name}\n' in text
    assert inspect.getinnerframes(raised.value.__traceback__)[-1].lineno == line


def test_interpreter_prints_uncaught_failure():
    # The interpreter's own printer (not the traceback module) walks the entry.
    result = run_python("import tarnvel._internal.api_logic as m\nm.InternalClass().validate_token(1, 2)\n")
    assert result.returncode == 1, result.stderr
    assert f'  File "{FILE}", line {VALIDATE.def_}, in {VALIDATE.function}\n' in result.stderr
    assert result.stderr.endswith("TypeError: validate_token() takes exactly 2 positional arguments (3 given)\n")
