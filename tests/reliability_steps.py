"""The steps that the allocation-failure sweeps run, with the outcome each
gives when memory does not run out.

Imported by the child interpreter, which runs them (reliability_sweep), and by
the test, which judges what the child printed. Every step is a C callable (a
functools.partial) or a Python function that first makes its own frame object
(see reliability_sweep.materialize_frames); the stand-ins answer with objects
built before the sweep starts, so that almost every allocation of a run is the
module's or the interpreter's, not the stand-in's.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from dataclasses import dataclass
from functools import partial
from types import SimpleNamespace
from typing import Any

from expect import refused_assignment
from source_map import FUNCTIONS, INIT, SEARCH, VALIDATE, lines
from support import decision_table
from support.decision_table import Raises
from support.doubles import Response

TABLE = decision_table.named(decision_table.cases())
CREDITS = TABLE["validate_token: credits"]
NO_CREDITS = TABLE["search_query: no credits"]
V_CREDITS, S_NO_CREDITS = CREDITS.outcome, NO_CREDITS.outcome


class Poster:
    def __init__(self, response: Response) -> None:
        self.response = response

    def post(self, url: str, headers: Any, json: Any) -> Response:
        return self.response


class CallableInstance:
    """A `post` without a vectorcall entry: called with an argument tuple and
    a keyword dict, which the module builds itself."""

    def __init__(self, response: Response) -> None:
        self.response = response

    def __call__(self, url: str, headers: Any, json: Any) -> Response:
        return self.response


class RefusingPoster:
    def post(self, url: str, headers: Any, json: Any) -> Response:
        raise ValueError("bad url")


def entries_of(function: SimpleNamespace | None) -> set[tuple[str, int]]:
    """Every traceback entry that `function` (of source_map) can add."""
    return set() if function is None else {(function.function, line) for line in lines(function)}


def error(
    kind: str, message: str, entries: list[tuple[SimpleNamespace, int]] = (), context: str | None = None
) -> dict[str, Any]:
    """The outcome of an exception; `entries` are (function, line) pairs."""
    return {
        "error": kind,
        "message": message,
        "entries": [[f.function, line] for f, line in entries],
        "context": context,
    }


def result(value: Any) -> dict[str, Any]:
    return {"result": value}


@dataclass(frozen=True)
class Step:
    build: Callable[[Any], Callable[[], Any]]  # module -> the step
    expected: dict[str, Any]
    function: SimpleNamespace | None = None  # whose traceback entries a MemoryError may carry
    cold: bool = False  # swept before any warm-up: the first failure at its line
    answer: Any = None  # what the stand-in's `post` returns (None: CREDITS's answer)
    requests: Any = None  # another stand-in instead, or False for none


class _Instance:
    """Stands for the one instance of InternalClass in an argument list."""


INSTANCE = _Instance()
_instances: list[Any] = []


def with_instance(m: Any, values: Any) -> Any:
    """`values` (a tuple or a dict) with INSTANCE replaced by the instance."""
    if not _instances:
        _instances.append(m.InternalClass())
    if isinstance(values, dict):
        return {k: _instances[0] if v is INSTANCE else v for k, v in values.items()}
    return [_instances[0] if v is INSTANCE else v for v in values]


def call(method: str, *args: Any, **kwargs: Any) -> Callable[[Any], Callable[[], Any]]:
    """The method read through the class, called in the fast form."""
    return lambda m: partial(getattr(m.InternalClass, method), *with_instance(m, args), **with_instance(m, kwargs))


def tuple_and_dict(
    method: str, *args: Any, keywords: dict[Any, Any] | None = None
) -> Callable[[Any], Callable[[], Any]]:
    """The method called through its type's tp_call, with an argument tuple
    and the keyword dict `keywords` (whose keys need not be str)."""

    def build(m: Any) -> Callable[[], Any]:
        function = getattr(m.InternalClass, method)
        return partial(type(function).__call__, function, *with_instance(m, args), **with_instance(m, keywords or {}))

    return build


def in_except(build: Callable[[Any], Callable[[], Any]]) -> Callable[[Any], Callable[[], Any]]:
    """Runs the step inside the caller's own `except` block; the step fails
    with a wrong result if the caller's handled exception has changed."""

    def make(m: Any) -> Callable[[], Any]:
        inner = build(m)
        caller = KeyError("caller's own")

        def step() -> Any:
            sys._getframe()
            caller.__traceback__ = None
            try:
                raise caller
            except KeyError:
                try:
                    outcome = inner()
                except BaseException as exc:  # noqa: BLE001
                    outcome = exc
                changed = sys.exc_info()[1] is not caller
            # Raised again out here, where re-raising cannot change its context.
            if changed:
                return "the caller's handled exception changed"
            if isinstance(outcome, BaseException):
                raise outcome
            return outcome

        return step

    return make


def without_spare_dicts(build: Callable[[Any], Callable[[], Any]]) -> Callable[[Any], Callable[[], Any]]:
    """Runs the step while the interpreter's spare dicts and key tables (at
    most 80 of each) are all taken, so that a small dict the call fills is
    allocated afresh and can fail."""

    def make(m: Any) -> Callable[[], Any]:
        inner = build(m)

        def step() -> Any:
            sys._getframe()
            taken = [{"key": None} for _ in range(100)]
            try:
                return inner()
            finally:
                del taken

        return step

    return make


def cleared_requests(build: Callable[[Any], Callable[[], Any]]) -> Callable[[Any], Callable[[], Any]]:
    def make(m: Any) -> Callable[[], Any]:
        m.__dict__.pop("requests", None)
        return build(m)

    return make


def count_error(name: str, n: int, given: int) -> str:
    return f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'} ({given} given)"


def answered(
    name: str,
    wrap: Callable[[Callable[[Any], Callable[[], Any]]], Callable[[Any], Callable[[], Any]]] | None = None,
    *,
    cold: bool = False,
    context: str | None = None,
) -> Step:
    """The decision table's case `name` ("method: id"), called positionally
    (through `wrap` when given) with its answer and its outcome; `context`
    names the expected context where the wrapping gives one."""
    case = TABLE[name]
    function = FUNCTIONS[case.method]
    build = call(case.method, I, "tok") if case.method == "validate_token" else call(case.method, I, "tok", "q")
    if isinstance(case.outcome, Raises):
        raised = case.outcome
        if context is None and raised.context is not None:
            context = raised.context.__name__
        expected = error(raised.error.__name__, raised.text, [(function, getattr(function, raised.step))], context)
    else:
        expected = result(case.outcome)
    return Step(wrap(build) if wrap else build, expected, function, cold=cold, answer=case.answer)


I = INSTANCE  # noqa: E741 - the short name keeps the tables below readable

STEPS: dict[str, Step] = {
    # The first failure at a line: its traceback code object is not cached yet.
    "cold: init count error": Step(
        call("__init__", I, 1), error("TypeError", count_error("__init__", 1, 2), [(INIT, INIT.def_)]), INIT, cold=True
    ),
    "cold: validate not JSON": answered("validate_token: not JSON", cold=True),
    "cold: search raw text": answered("search_query: raw text", cold=True),
    # Binding, every call form
    "init: class call": Step(lambda m: m.InternalClass, result("<InternalClass>"), INIT),
    "init: through the class": Step(call("__init__", I), result(None), INIT),
    "init: self keyword": Step(call("__init__", self=I), result(None), INIT),
    "init: tuple and dict": Step(tuple_and_dict("__init__", keywords={"self": I}), result(None), INIT),
    "init: attribute refused": Step(
        call("__init__", 5),
        error("AttributeError", refused_assignment(5, "_api_key"), [(INIT, INIT.assignment)]),
        INIT,
    ),
    "validate: positional": Step(call("validate_token", I, "tok"), result(V_CREDITS), VALIDATE),
    "validate: keyword": Step(call("validate_token", I, token="tok"), result(V_CREDITS), VALIDATE),
    "validate: keyword by value": Step(
        call("validate_token", I, **{"".join(["to", "ken"]): "tok"}), result(V_CREDITS), VALIDATE
    ),
    "validate: self and token keywords": Step(call("validate_token", self=I, token="tok"), result(V_CREDITS), VALIDATE),
    "validate: tuple and dict": Step(
        tuple_and_dict("validate_token", I, keywords={"token": "tok"}), result(V_CREDITS), VALIDATE
    ),
    "validate: tuple, empty dict": Step(tuple_and_dict("validate_token", I, "tok"), result(V_CREDITS), VALIDATE),
    "search: positional": Step(
        call("search_query", I, "tok", "q"), result(S_NO_CREDITS), SEARCH, answer=NO_CREDITS.answer
    ),
    "search: trailing keyword": Step(
        call("search_query", I, "tok", query="q"), result(S_NO_CREDITS), SEARCH, answer=NO_CREDITS.answer
    ),
    "search: all keywords": Step(
        call("search_query", self=I, token="tok", query="q"), result(S_NO_CREDITS), SEARCH, answer=NO_CREDITS.answer
    ),
    "search: tuple and dict": Step(
        tuple_and_dict("search_query", I, keywords={"query": "q", "token": "tok"}),
        result(S_NO_CREDITS),
        SEARCH,
        answer=NO_CREDITS.answer,
    ),
    # Binding errors and type tests
    "validate: count error": Step(
        call("validate_token", I),
        error("TypeError", count_error("validate_token", 2, 1), [(VALIDATE, VALIDATE.def_)]),
        VALIDATE,
    ),
    "validate: unexpected keyword": Step(
        call("validate_token", I, token="t", extra=1),
        error("TypeError", "validate_token() got an unexpected keyword argument 'extra'", [(VALIDATE, VALIDATE.def_)]),
        VALIDATE,
    ),
    "validate: multiple values": Step(
        call("validate_token", I, "t", token="t"),
        error(
            "TypeError",
            "validate_token() got multiple values for keyword argument 'token'",
            [(VALIDATE, VALIDATE.def_)],
        ),
        VALIDATE,
    ),
    "validate: tuple and dict, key not str": Step(
        tuple_and_dict("validate_token", I, keywords={1: "t"}), error("TypeError", "keywords must be strings"), VALIDATE
    ),
    "validate: token not str": Step(
        call("validate_token", I, 1),
        error("TypeError", "Argument 'token' has incorrect type (expected str, got int)"),
        VALIDATE,
    ),
    "search: missing query": Step(
        call("search_query", I, "t", token="t"),
        error("TypeError", count_error("search_query", 3, 2), [(SEARCH, SEARCH.def_)]),
        SEARCH,
    ),
    "search: query not str": Step(
        call("search_query", I, "t", b"q"),
        error("TypeError", "Argument 'query' has incorrect type (expected str, got bytes)"),
        SEARCH,
    ),
    # Token validation: every row of the decision table, and the failures
    **{
        f"validate: {name}": answered(f"validate_token: {name}")
        for name in (
            "status refused",
            "refusal",
            "refusal, no message",
            "credits 2.5",
            "credits default",
            "credits a dict",
            "no credits",
            "invalid",
            "other type",
            "status 200.0",
            "status an IntEnum",
            "not JSON",
            "body a list",
            "data null",
            "text breaks",
        )
    },
    "validate: no requests": Step(
        cleared_requests(call("validate_token", I, "tok")),
        error("NameError", "name 'requests' is not defined", [(VALIDATE, VALIDATE.post)]),
        VALIDATE,
        requests=False,
    ),
    # Search: every row of the decision table, and the failures
    **{
        f"search: {name}": answered(f"search_query: {name}")
        for name in (
            "status refused",
            "nothing found",
            "results",
            "results default",
            "refusal",
            "refusal default",
            "raw text",
            "raw text, ValueError from C",
            "raw text, ValueError of another metaclass",
            "raw text breaks",
            "body a list",
        )
    },
    "search: raw text, in except": answered("search_query: raw text", in_except),
    "search: results, in except": answered("search_query: results default", in_except),
    "search: raw text breaks, in except": answered("search_query: raw text breaks", in_except),
    "search: body a list, in except": answered("search_query: body a list", in_except, context="KeyError"),
    "validate: post without vectorcall": Step(
        without_spare_dicts(call("validate_token", I, "tok")),
        result(V_CREDITS),
        VALIDATE,
        requests=SimpleNamespace(post=CallableInstance(CREDITS.answer)),
    ),
    "search: post raises ValueError": Step(
        call("search_query", I, "tok", "q"),
        error("ValueError", "bad url", [(SEARCH, SEARCH.post)]),
        SEARCH,
        requests=RefusingPoster(),
    ),
    "search: no requests": Step(
        cleared_requests(call("search_query", I, "tok", "q")),
        error("NameError", "name 'requests' is not defined", [(SEARCH, SEARCH.post)]),
        SEARCH,
        requests=False,
    ),
}

# The interpreter alone, no module: what its own code gives under the same sweeps.
CONTROLS: dict[str, Step] = {
    "control: formatted TypeError": Step(
        lambda m: partial(len), error("TypeError", "len() takes exactly one argument (0 given)")
    ),
}

# A nested value rendered: the interpreter's own repr of nested containers
# misbehaves after one allocation failure (see the test), each in a fresh copy.
NESTED = {"a": [1]}
DISPLAY: dict[str, Step] = {
    "interpreter": Step(lambda m: partial(format, NESTED, ""), result("{'a': [1]}")),
    "module": Step(
        call("validate_token", I, "tok"),
        result("Token validated successfully. Credits available: {'a': [1]}"),
        VALIDATE,
        answer=Response(200, {"success": True, "type": "credits_data", "data": {"Credits": NESTED}}),
    ),
}


def prepare(name: str, step: Step, module: Any) -> Callable[[], Any]:
    """Installs the step's `requests` and returns the callable to sweep."""
    if step.requests is None:
        module.requests = Poster(CREDITS.answer if step.answer is None else step.answer)
    elif step.requests is not False:
        module.requests = step.requests
    return step.build(module)


# ---------------------------------------------------------------------------
# First reads of the attributes that a method object makes when first asked

V_DOC = (
    "\n        Validates the given API token.\n        \n        :param token: The API token to validate.\n"
    "        :return: Validation status message.\n        "
)
S_DOC = (
    "\n        Executes a search query using the provided token.\n\n"
    "        :param token: The API token to authenticate the search.\n        :param query: The search query.\n"
    "        :return: Search results or error message.\n        "
)


@dataclass(frozen=True)
class FirstRead:
    method: str
    attribute: str
    expected: Any  # the value as reliability_sweep.shown gives it
    assign: bool = False  # set an attribute of that name instead of reading one

    def steps(self, module: Any) -> tuple[Callable[[], Any], Callable[[], Any]]:
        """(the first access, what any later access must give)"""
        function = getattr(module.InternalClass, self.method)
        if self.assign:
            assign = partial(setattr, function, self.attribute, 1)
            return assign, lambda: (assign(), getattr(function, self.attribute))[1]
        read = partial(getattr, function, self.attribute)
        return read, read


FIRST_READS: dict[str, FirstRead] = {
    "validate_token.__name__": FirstRead("validate_token", "__name__", "validate_token"),
    "search_query.func_name": FirstRead("search_query", "func_name", "search_query"),
    "validate_token.__doc__": FirstRead("validate_token", "__doc__", V_DOC),
    "search_query.__doc__": FirstRead("search_query", "__doc__", S_DOC),
    "validate_token.__dict__": FirstRead("validate_token", "__dict__", "{}"),
    "validate_token, an attribute set": FirstRead("validate_token", "tag", 1, assign=True),
    "__init__.__annotations__": FirstRead("__init__", "__annotations__", "{}"),
    "search_query._is_coroutine": FirstRead("search_query", "_is_coroutine", False),
}

# What a working import gives: the validation of a token through a stand-in.
IMPORT_WORKS = result(V_CREDITS)


def use_imported(module: Any) -> str:
    module.requests = Poster(CREDITS.answer)
    return module.InternalClass().validate_token("tok")
