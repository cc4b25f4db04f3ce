"""What introspection tools see of InternalClass's methods: signatures, help
text, pickling by reference, code objects and annotations."""

from __future__ import annotations

import asyncio
import copy
import ctypes
import dis
import inspect
import io
import pickle
import pydoc
import sys
import traceback
import types
import typing

import pytest

from source_map import FILE, INIT, SEARCH, VALIDATE

INDENT = " " * 8
DOCSTRINGS = {
    "__init__": None,
    "validate_token": "\n".join(
        [
            "",
            INDENT + "Validates the given API token.",
            INDENT,
            INDENT + ":param token: The API token to validate.",
            INDENT + ":return: Validation status message.",
            INDENT,
        ]
    ),
    "search_query": "\n".join(
        [
            "",
            INDENT + "Executes a search query using the provided token.",
            "",
            INDENT + ":param token: The API token to authenticate the search.",
            INDENT + ":param query: The search query.",
            INDENT + ":return: Search results or error message.",
            INDENT,
        ]
    ),
}

ANNOTATIONS = {
    "__init__": {},
    "validate_token": {"token": "str", "return": "str"},
    "search_query": {"token": "str", "query": "str", "return": "str"},
}


@pytest.mark.parametrize(
    "method, on_class, on_instance",
    [
        ("__init__", "(self)", "()"),
        ("validate_token", "(self, token: 'str') -> 'str'", "(token: 'str') -> 'str'"),
        ("search_query", "(self, token: 'str', query: 'str') -> 'str'", "(token: 'str', query: 'str') -> 'str'"),
    ],
)
def test_signature(api_logic, obj, method, on_class, on_instance):
    assert str(inspect.signature(getattr(api_logic.InternalClass, method))) == on_class
    assert str(inspect.signature(getattr(obj, method))) == on_instance
    kinds = {p.kind for p in inspect.signature(getattr(api_logic.InternalClass, method)).parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


@pytest.mark.parametrize(
    "method, length, third_line",
    [
        ("validate_token", 150, INDENT),
        ("search_query", 222, ""),
    ],
)
def test_docstrings_are_raw(api_logic, method, length, third_line):
    doc = getattr(api_logic.InternalClass, method).__doc__
    assert doc == DOCSTRINGS[method]
    assert len(doc) == length and doc.split("\n")[2] == third_line


def test_constructor_has_no_docstring(api_logic):
    assert api_logic.InternalClass.__init__.__doc__ is None


def help_text(target) -> str:
    out = io.StringIO()
    pydoc.Helper(output=out).help(target)
    return out.getvalue()


@pytest.mark.parametrize("render", [lambda c: pydoc.render_doc(c, renderer=pydoc.plaintext), help_text])
def test_help_shows_signatures_and_docstrings(api_logic, render):
    text = render(api_logic.InternalClass)
    # From 3.14 pydoc shows an annotation that is a text as the text itself.
    q = "'" if sys.version_info < (3, 14) else ""
    assert f"validate_token(self, token: {q}str{q}) -> {q}str{q}" in text
    assert f"search_query(self, token: {q}str{q}, query: {q}str{q}) -> {q}str{q}" in text
    assert "__init__(self)" in text
    for doc in filter(None, DOCSTRINGS.values()):
        for line in filter(str.strip, doc.split("\n")):
            assert line.strip() in text


@pytest.mark.parametrize("method", list(DOCSTRINGS))
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_gives_the_same_object(api_logic, method, protocol):
    function = getattr(api_logic.InternalClass, method)
    assert pickle.loads(pickle.dumps(function, protocol)) is function


@pytest.mark.parametrize("method", list(DOCSTRINGS))
def test_copies_are_the_same_object(api_logic, method):
    function = getattr(api_logic.InternalClass, method)
    assert copy.copy(function) is function and copy.deepcopy(function) is function


@pytest.mark.parametrize(
    "method, argcount, varnames, first_line",
    [
        ("__init__", 1, ("self",), INIT.def_),
        (
            "validate_token",
            2,
            ("self", "token", "url", "payload", "headers", "response", "data", "response_type", "credits"),
            VALIDATE.def_,
        ),
        ("search_query", 3, ("self", "token", "query", "url", "payload", "headers", "response", "data"), SEARCH.def_),
    ],
)
def test_code_object(api_logic, method, argcount, varnames, first_line):
    code = getattr(api_logic.InternalClass, method).__code__
    assert code is getattr(api_logic.InternalClass, method).func_code
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, 0)
    assert (code.co_nlocals, code.co_varnames) == (len(varnames), varnames)
    assert (code.co_firstlineno, code.co_filename) == (first_line, FILE)
    assert code.co_name == code.co_qualname == method
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert (code.co_consts, code.co_names, code.co_freevars, code.co_cellvars) == ((), (), (), ())
    # The body of the interpreter's own empty code objects: running it raises AssertionError.
    new_empty = ctypes.pythonapi.PyCode_NewEmpty
    new_empty.restype, new_empty.argtypes = ctypes.py_object, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
    empty = new_empty(b"", b"", first_line)
    assert (code.co_code, code.co_linetable) == (empty.co_code, empty.co_linetable)
    # Running the body never writes past the frame's stack.
    depth = peak = 0
    for instruction in dis.get_instructions(code):
        depth += dis.stack_effect(instruction.opcode, instruction.arg, jump=False)
        peak = max(peak, depth)
    assert code.co_stacksize == peak
    with pytest.raises(AssertionError) as info:
        types.FunctionType(code, {})(*range(argcount))
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.filename, last.lineno, last.name) == (FILE, first_line, method)
    if argcount == 1:
        with pytest.raises(TypeError, match="missing 1 required positional argument"):
            exec(code, {})


@pytest.mark.parametrize("method", list(ANNOTATIONS))
def test_annotations(api_logic, method):
    function = getattr(api_logic.InternalClass, method)
    annotations = function.__annotations__
    assert annotations == ANNOTATIONS[method] and list(annotations) == list(ANNOTATIONS[method])
    assert all(type(value) is str for value in annotations.values())
    assert function.__annotations__ is annotations
    # Text annotations resolve through the module's globals and builtins.
    assert typing.get_type_hints(function) == {k: str for k in ANNOTATIONS[method]}


@pytest.mark.parametrize("method", list(DOCSTRINGS))
def test_kind_of_callable(api_logic, method):
    function = getattr(api_logic.InternalClass, method)
    assert inspect.isroutine(function)
    assert not inspect.iscoroutinefunction(function)
    if sys.version_info < (3, 14):  # deprecated from 3.14
        assert not asyncio.iscoroutinefunction(function)
    assert not inspect.isgeneratorfunction(function)
