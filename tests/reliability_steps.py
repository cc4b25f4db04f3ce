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

import enum
import sys
from dataclasses import dataclass
from functools import partial
from typing import Any, Callable

VALIDATE = "tarnvel._internal.api_logic.InternalClass.validate_token"
SEARCH = "tarnvel._internal.api_logic.InternalClass.search_query"
INIT = "tarnvel._internal.api_logic.InternalClass.__init__"

# Lines of each function's traceback entries.
LINES = {
    INIT: {5, 6},
    VALIDATE: {8, 16, 17, 19, 20, 21, 22, 23, 24, 25, 26, 27, 29, 34, 36},
    SEARCH: {38, 47, 49, 53, 54, 56, 57, 58, 60, 63, 65, 66, 67, 69},
}

V_CREDITS = "Token validated successfully. Credits available: 12"
S_NO_CREDITS = "You have used all credits. Please purchase more."


class Answer:
    """A response of `requests`, reduced to what the module reads."""

    def __init__(self, status_code: Any = 200, body: Any = None, text: str = "",
                 json_error: type[BaseException] | None = None) -> None:
        self.status_code = status_code
        self.body = body
        self.text = text
        self.json_error = json_error

    def json(self) -> Any:
        if self.json_error is not None:
            raise self.json_error
        return self.body


class TextBreaks(Answer):
    @property
    def text(self) -> str:  # type: ignore[override]
        raise RuntimeError("connection broke")

    @text.setter
    def text(self, value: str) -> None:
        pass


class ValueErrorFromC(Answer):
    def json(self) -> Any:
        return int("x")  # raised by C code: not yet an instance when the module sees it


class Meta(type):
    pass


class MetaValueError(ValueError, metaclass=Meta):
    pass


class Poster:
    def __init__(self, response: Answer) -> None:
        self.response = response

    def post(self, url: str, headers: Any, json: Any) -> Answer:
        return self.response


class RefusingPoster:
    def post(self, url: str, headers: Any, json: Any) -> Answer:
        raise ValueError("bad url")


class Status(enum.IntEnum):
    OK = 200


def error(kind: str, message: str, entries: list[tuple[str, int]] = (), context: str | None = None) -> dict[str, Any]:
    return {"error": kind, "message": message, "entries": [list(e) for e in entries], "context": context}


def result(value: Any) -> dict[str, Any]:
    return {"result": value}


@dataclass(frozen=True)
class Step:
    build: Callable[[Any], Callable[[], Any]]  # module -> the step
    expected: dict[str, Any]
    function: str | None = None  # whose traceback entries a MemoryError may carry
    cold: bool = False  # swept before any warm-up: the first failure at its line
    requests: Any = None  # the Answer its stand-in gives, another stand-in, or False for none (None: CREDITS)


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


def tuple_and_dict(method: str, *args: Any, keywords: dict[Any, Any] | None = None) -> Callable[[Any], Callable[[], Any]]:
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


def cleared_requests(build: Callable[[Any], Callable[[], Any]]) -> Callable[[Any], Callable[[], Any]]:
    def make(m: Any) -> Callable[[], Any]:
        m.__dict__.pop("requests", None)
        return build(m)
    return make


def count_error(name: str, n: int, given: int) -> str:
    return f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'} ({given} given)"


I = INSTANCE
CREDITS = Answer(200, {"success": True, "type": "credits_data", "data": {"Credits": 12}})
NO_CREDITS = Answer(200, {"success": True, "type": "no_credits"})
NOT_JSON = dict(json_error=ValueError, text="raw")

STEPS: dict[str, Step] = {
    # The first failure at a line: its traceback code object is not cached yet.
    "cold: init count error": Step(call("__init__", I, 1), error("TypeError", count_error("__init__", 1, 2), [(INIT, 5)]), INIT, cold=True),
    "cold: validate not JSON": Step(call("validate_token", I, "tok"), error("ValueError", "", [(VALIDATE, 21)]), VALIDATE, cold=True,
                                    requests=Answer(200, **NOT_JSON)),
    "cold: search raw text": Step(call("search_query", I, "tok", "q"), result("Search results: raw"), SEARCH, cold=True,
                                  requests=Answer(200, **NOT_JSON)),
    # Binding, every call form
    "init: class call": Step(lambda m: m.InternalClass, result("<InternalClass>"), INIT),
    "init: through the class": Step(call("__init__", I), result(None), INIT),
    "init: self keyword": Step(call("__init__", self=I), result(None), INIT),
    "init: tuple and dict": Step(tuple_and_dict("__init__", keywords={"self": I}), result(None), INIT),
    "init: attribute refused": Step(call("__init__", 5), error("AttributeError", "'int' object has no attribute '_api_key'", [(INIT, 6)]), INIT),
    "validate: positional": Step(call("validate_token", I, "tok"), result(V_CREDITS), VALIDATE, requests=CREDITS),
    "validate: keyword": Step(call("validate_token", I, token="tok"), result(V_CREDITS), VALIDATE, requests=CREDITS),
    "validate: keyword by value": Step(call("validate_token", I, **{"".join(["to", "ken"]): "tok"}), result(V_CREDITS), VALIDATE, requests=CREDITS),
    "validate: self and token keywords": Step(call("validate_token", self=I, token="tok"), result(V_CREDITS), VALIDATE, requests=CREDITS),
    "validate: tuple and dict": Step(tuple_and_dict("validate_token", I, keywords={"token": "tok"}), result(V_CREDITS), VALIDATE, requests=CREDITS),
    "validate: tuple, empty dict": Step(tuple_and_dict("validate_token", I, "tok"), result(V_CREDITS), VALIDATE, requests=CREDITS),
    "search: positional": Step(call("search_query", I, "tok", "q"), result(S_NO_CREDITS), SEARCH, requests=NO_CREDITS),
    "search: trailing keyword": Step(call("search_query", I, "tok", query="q"), result(S_NO_CREDITS), SEARCH, requests=NO_CREDITS),
    "search: all keywords": Step(call("search_query", self=I, token="tok", query="q"), result(S_NO_CREDITS), SEARCH, requests=NO_CREDITS),
    "search: tuple and dict": Step(tuple_and_dict("search_query", I, keywords={"query": "q", "token": "tok"}), result(S_NO_CREDITS), SEARCH, requests=NO_CREDITS),
    # Binding errors and type tests
    "validate: count error": Step(call("validate_token", I), error("TypeError", count_error("validate_token", 2, 1), [(VALIDATE, 8)]), VALIDATE),
    "validate: unexpected keyword": Step(call("validate_token", I, token="t", extra=1),
                                         error("TypeError", "validate_token() got an unexpected keyword argument 'extra'", [(VALIDATE, 8)]), VALIDATE),
    "validate: multiple values": Step(call("validate_token", I, "t", token="t"),
                                      error("TypeError", "validate_token() got multiple values for keyword argument 'token'", [(VALIDATE, 8)]), VALIDATE),
    "validate: tuple and dict, key not str": Step(tuple_and_dict("validate_token", I, keywords={1: "t"}), error("TypeError", "keywords must be strings"), VALIDATE),
    "validate: token not str": Step(call("validate_token", I, 1),
                                    error("TypeError", "Argument 'token' has incorrect type (expected str, got int)"), VALIDATE),
    "search: missing query": Step(call("search_query", I, "t", token="t"), error("TypeError", count_error("search_query", 3, 2), [(SEARCH, 38)]), SEARCH),
    "search: query not str": Step(call("search_query", I, "t", b"q"),
                                  error("TypeError", "Argument 'query' has incorrect type (expected str, got bytes)"), SEARCH),
    # Token validation: every row of the decision table, and the failures
    "validate: status refused": Step(call("validate_token", I, "tok"), result("Error validating token: not found"), VALIDATE,
                                     requests=Answer(404, text="not found")),
    "validate: service refusal": Step(call("validate_token", I, "tok"), result("Token validation failed: Bad token"), VALIDATE,
                                      requests=Answer(200, {"success": False, "message": "Bad token"})),
    "validate: refusal, no message": Step(call("validate_token", I, "tok"), result("Token validation failed: None"), VALIDATE,
                                          requests=Answer(200, {})),
    "validate: credits 2.5": Step(call("validate_token", I, "tok"), result("Token validated successfully. Credits available: 2.5"), VALIDATE,
                                  requests=Answer(200, {"success": True, "type": "credits_data", "data": {"Credits": 2.5}})),
    "validate: credits default": Step(call("validate_token", I, "tok"), result("Token validated successfully. Credits available: N/A"), VALIDATE,
                                      requests=Answer(200, {"success": True, "type": "credits_data"})),
    "validate: credits a dict": Step(call("validate_token", I, "tok"), result("Token validated successfully. Credits available: {'a': 1}"),
                                     VALIDATE, requests=Answer(200, {"success": True, "type": "credits_data", "data": {"Credits": {"a": 1}}})),
    "validate: no credits": Step(call("validate_token", I, "tok"),
                                 result("Token is valid but no credits are available. Please buy credits to proceed."), VALIDATE,
                                 requests=Answer(200, {"success": True, "type": "no_credits"})),
    "validate: invalid": Step(call("validate_token", I, "tok"), result("Invalid token. Please try again or exit."), VALIDATE,
                              requests=Answer(200, {"success": True, "type": "invalid"})),
    "validate: other type": Step(call("validate_token", I, "tok"), result("Unexpected response type."), VALIDATE,
                                 requests=Answer(200, {"success": True, "type": 3})),
    "validate: status 200.0": Step(call("validate_token", I, "tok"), result(V_CREDITS), VALIDATE,
                                   requests=Answer(200.0, CREDITS.body)),
    "validate: status an IntEnum": Step(call("validate_token", I, "tok"), result(V_CREDITS), VALIDATE,
                                        requests=Answer(Status.OK, CREDITS.body)),
    "validate: not JSON": Step(call("validate_token", I, "tok"), error("ValueError", "", [(VALIDATE, 21)]), VALIDATE,
                               requests=Answer(200, **NOT_JSON)),
    "validate: body a list": Step(call("validate_token", I, "tok"), error("AttributeError", "'list' object has no attribute 'get'", [(VALIDATE, 22)]),
                                  VALIDATE, requests=Answer(200, [1])),
    "validate: data null": Step(call("validate_token", I, "tok"), error("AttributeError", "'NoneType' object has no attribute 'get'", [(VALIDATE, 25)]),
                                VALIDATE, requests=Answer(200, {"success": True, "type": "credits_data", "data": None})),
    "validate: text breaks": Step(call("validate_token", I, "tok"), error("RuntimeError", "connection broke", [(VALIDATE, 36)]), VALIDATE,
                                  requests=TextBreaks(500)),
    "validate: no requests": Step(cleared_requests(call("validate_token", I, "tok")),
                                  error("NameError", "name 'requests' is not defined", [(VALIDATE, 19)]), VALIDATE, requests=False),
    # Search: every row of the decision table, and the failures
    "search: status refused": Step(call("search_query", I, "tok", "q"), result("Error during search: oops"), SEARCH,
                                   requests=Answer(500, text="oops")),
    "search: nothing found": Step(call("search_query", I, "tok", "q"),
                                  result("Sorry, couldn't find the results. Try again with a different input."), SEARCH,
                                  requests=Answer(200, {"success": True, "type": "error"})),
    "search: results": Step(call("search_query", I, "tok", "q"), result("Search results: {'n': 1}"), SEARCH,
                            requests=Answer(200, {"success": True, "data": {"n": 1}})),
    "search: results default": Step(call("search_query", I, "tok", "q"), result("Search results: No data available"), SEARCH,
                                    requests=Answer(200, {"success": True})),
    "search: service refusal": Step(call("search_query", I, "tok", "q"), result("Search failed: Bad query"), SEARCH,
                                    requests=Answer(200, {"success": False, "message": "Bad query"})),
    "search: refusal default": Step(call("search_query", I, "tok", "q"), result("Search failed: No error message provided"), SEARCH,
                                    requests=Answer(200, {})),
    "search: raw text": Step(call("search_query", I, "tok", "q"), result("Search results: raw"), SEARCH,
                             requests=Answer(200, **NOT_JSON)),
    "search: raw text, ValueError from C": Step(call("search_query", I, "tok", "q"), result("Search results: raw"), SEARCH,
                                                requests=ValueErrorFromC(200, text="raw")),
    "search: raw text, ValueError of another metaclass": Step(call("search_query", I, "tok", "q"), result("Search results: raw"), SEARCH,
                                                              requests=Answer(200, json_error=MetaValueError, text="raw")),
    "search: raw text, in except": Step(in_except(call("search_query", I, "tok", "q")), result("Search results: raw"), SEARCH,
                                        requests=Answer(200, **NOT_JSON)),
    "search: results, in except": Step(in_except(call("search_query", I, "tok", "q")), result("Search results: No data available"), SEARCH,
                                       requests=Answer(200, {"success": True})),
    "search: raw text breaks": Step(call("search_query", I, "tok", "q"), error("RuntimeError", "connection broke", [(SEARCH, 67)], "ValueError"),
                                    SEARCH, requests=TextBreaks(200, json_error=ValueError)),
    "search: raw text breaks, in except": Step(in_except(call("search_query", I, "tok", "q")),
                                               error("RuntimeError", "connection broke", [(SEARCH, 67)], "ValueError"),
                                               SEARCH, requests=TextBreaks(200, json_error=ValueError)),
    "search: body a list": Step(call("search_query", I, "tok", "q"), error("AttributeError", "'list' object has no attribute 'get'", [(SEARCH, 57)]),
                                SEARCH, requests=Answer(200, [1])),
    "search: body a list, in except": Step(in_except(call("search_query", I, "tok", "q")),
                                           error("AttributeError", "'list' object has no attribute 'get'", [(SEARCH, 57)], "KeyError"),
                                           SEARCH, requests=Answer(200, [1])),
    "search: post raises ValueError": Step(call("search_query", I, "tok", "q"), error("ValueError", "bad url", [(SEARCH, 53)]), SEARCH,
                                           requests=RefusingPoster()),
    "search: no requests": Step(cleared_requests(call("search_query", I, "tok", "q")),
                                error("NameError", "name 'requests' is not defined", [(SEARCH, 53)]), SEARCH, requests=False),
}

# The interpreter alone, no module: what its own code gives under the same sweeps.
CONTROLS: dict[str, Step] = {
    "control: formatted TypeError": Step(lambda m: partial(len), error("TypeError", "len() takes exactly one argument (0 given)")),
}

# A nested value rendered: the interpreter's own repr of nested containers
# misbehaves after one allocation failure (see the test), each in a fresh copy.
NESTED = {"a": [1]}
DISPLAY: dict[str, Step] = {
    "interpreter": Step(lambda m: partial(format, NESTED, ""), result("{'a': [1]}")),
    "module": Step(call("validate_token", I, "tok"), result("Token validated successfully. Credits available: {'a': [1]}"), VALIDATE,
                   requests=Answer(200, {"success": True, "type": "credits_data", "data": {"Credits": NESTED}})),
}


def prepare(name: str, step: Step, module: Any) -> Callable[[], Any]:
    """Installs the step's `requests` and returns the callable to sweep."""
    if step.requests is None:
        module.requests = Poster(CREDITS)
    elif isinstance(step.requests, Answer):
        module.requests = Poster(step.requests)
    elif step.requests is not False:
        module.requests = step.requests
    return step.build(module)


# ---------------------------------------------------------------------------
# First reads of the attributes that a method object makes when first asked

V_DOC = ("\n        Validates the given API token.\n        \n        :param token: The API token to validate.\n"
         "        :return: Validation status message.\n        ")
S_DOC = ("\n        Executes a search query using the provided token.\n\n"
         "        :param token: The API token to authenticate the search.\n        :param query: The search query.\n"
         "        :return: Search results or error message.\n        ")


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
    module.requests = Poster(CREDITS)
    return module.InternalClass().validate_token("tok")
