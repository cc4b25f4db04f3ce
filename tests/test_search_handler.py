"""Search's ValueError handler: what it guards, what it catches, and the caller's
handled exception, which every way out of the call leaves as it was."""

from __future__ import annotations

import functools
import json
import operator
import sys
import threading
import types

import pytest

from conftest import run_python
from expect import module_entries
from source_map import SEARCH
from support import decision_table
from support.decision_table import S_RESULTS as RESULTS
from support.doubles import Compares, Falsy, Response, Scripted, Sequenced, Shown, TextFails

TABLE = decision_table.named(decision_table.cases())


class ValueSubclass(ValueError):
    pass


class Mixed(KeyError, ValueError):
    pass


class NamedValueError(Exception):
    """Called ValueError but unrelated to it: never caught."""


NamedValueError.__name__ = NamedValueError.__qualname__ = "ValueError"


class Answer(Response):
    """A 200 response: `json` raises `json_error` or gives `body`; reading `text`
    records the handled exception of that moment and gives "raw"."""

    def __init__(self, body=None, json_error=None, status_code=200):
        super().__init__(status_code, body, json_error=json_error)
        self.handled_while_reading_text = []

    @property
    def text(self):
        self.handled_while_reading_text.append(sys.exc_info()[1])
        return "raw"


def fail_with(error):
    """A value whose `get` raises `error` at once."""
    return Scripted({"success": error})


# how a protected step raises a ValueError (or a subclass) -> the line it is raised at
CAUGHT = [
    (Answer(json_error=ValueError("not json")), SEARCH.decode),
    (Answer(json_error=json.JSONDecodeError("Expecting value", "<html>", 0)), SEARCH.decode),
    (Answer(json_error=UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad")), SEARCH.decode),
    (Answer(json_error=Mixed("both")), SEARCH.decode),
    (Answer(fail_with(ValueError)), SEARCH.success),
    (Answer({"success": Falsy(ValueError)}), SEARCH.success),
    (Answer(Scripted({"success": True, "type": ValueSubclass})), SEARCH.first_type),
    (Answer({"success": True, "type": Compares("no_credits", error=ValueError)}), SEARCH.first_type),
    (Answer(Sequenced(True, "x", ValueError)), SEARCH.second_type),
    (Answer({"success": True, "type": Compares("error", error=ValueSubclass)}), SEARCH.second_type),
    (Answer(Scripted({"success": True, "data": ValueError})), SEARCH.results_message),
    (Answer({"success": True, "data": Shown(error=ValueError)}), SEARCH.results_message),
    (Answer({"success": True, "data": 10**5000}), SEARCH.results_message),
    (Answer(Scripted({"success": False, "message": ValueError})), SEARCH.failure_message),
    (Answer({"success": False, "message": Shown(error=ValueSubclass)}), SEARCH.failure_message),
]


@pytest.mark.parametrize("response, line", CAUGHT)
def test_a_value_error_in_the_protected_steps_gives_the_raw_text(obj, fake_requests, response, line):
    fake_requests.respond = lambda *a, **k: response
    error = response.json_error
    held = sys.getrefcount(response), sys.getrefcount(error)
    assert obj.search_query("t", "q") == RESULTS + "raw"
    # The call releases what it held: the response, and the caught error (whose
    # traceback holds the response when `json` raised it; the record holds one).
    now = sys.getrefcount(response), sys.getrefcount(error)
    if error is None:
        assert now[0] == held[0]
    else:
        assert now[1] == held[1] + 1
    # While `text` was read, the caught exception was the handled one, with its own entry.
    [caught] = response.handled_while_reading_text
    assert isinstance(caught, ValueError)
    if response.json_error is not None:
        assert caught is response.json_error
    assert module_entries(caught) == [(SEARCH.function, line)]
    assert sys.exc_info() == (None, None, None)


def undecodable(error=None, text="raw", status_code=200):
    """An answer that cannot be decoded and whose `text` raises `error` (or is `text`)."""
    decode_error = ValueError("not json")
    if error is None:
        return Response(status_code, text=text, json_error=decode_error)
    return TextFails(status_code, error=error, json_error=decode_error)


def raising(error):
    def respond(*args, **kwargs):
        raise error

    return respond


def giving(response):
    return lambda *args, **kwargs: response


class FailingSubclassCheck(type):
    def __subclasscheck__(cls, subclass):
        return 1 / 0


class CheckedValueError(ValueError, metaclass=FailingSubclassCheck):
    """Normalising it asks its metaclass, which raises: where depends on when the
    interpreter normalises, at the `except` clause (3.11) or at the `raise` (3.12+)."""


# how an exception outside the protected steps, or not a ValueError, arises -> exception, line
@pytest.mark.parametrize(
    "respond, error, line",
    [
        (
            giving(Answer(json_error=CheckedValueError("x"))),
            ZeroDivisionError,
            SEARCH.take_over if sys.version_info < (3, 12) else SEARCH.decode,
        ),
        (raising(ValueSubclass("refused")), ValueSubclass, SEARCH.post),
        (raising(ValueError("bad url")), ValueError, SEARCH.post),
        (giving(Answer(status_code=Compares(error=ValueError))), ValueError, SEARCH.status),
        (giving(undecodable(ValueError("text unreadable"), status_code=404)), ValueError, SEARCH.status_message),
        (giving(Answer([])), AttributeError, SEARCH.success),
        (giving(Answer(json_error=NamedValueError("look-alike"))), NamedValueError, SEARCH.decode),
    ],
)
def test_what_is_not_caught(obj, fake_requests, respond, error, line):
    fake_requests.respond = respond
    with pytest.raises(error) as info:
        obj.search_query("t", "q")
    assert module_entries(info.value) == [(SEARCH.function, line)]
    assert info.value.__context__ is None


@pytest.mark.parametrize(
    "response, error",
    [
        (undecodable(RuntimeError("gone")), RuntimeError),
        (undecodable(ValueError("again")), ValueError),
        (type("NoText", (), {"status_code": 200, "json": lambda s: int("not json")})(), AttributeError),
        (undecodable(text=Shown(error=ValueError)), ValueError),
        (undecodable(text=Shown(error=LookupError)), LookupError),
    ],
)
def test_a_failure_in_the_handler_leaves_with_the_caught_error_as_context(obj, fake_requests, response, error):
    fake_requests.respond = lambda *a, **k: response
    with pytest.raises(error) as info:
        obj.search_query("t", "q")
    assert module_entries(info.value) == [(SEARCH.function, SEARCH.raw_text)]
    context = info.value.__context__
    assert context is getattr(response, "json_error", context) and type(context) is ValueError
    assert module_entries(context) == [(SEARCH.function, SEARCH.decode)]
    assert sys.exc_info() == (None, None, None)


# Answers of the decision table that end the call in each of the six messages,
# or in an exception; or posting raises.
WAYS_OUT = {
    name: giving(TABLE[f"search_query: {name}"].answer)
    for name in (
        "status refused",
        "no credits",
        "nothing found",
        "results",
        "refusal default",
        "raw text",
        "body a list",
        "raw text breaks",
    )
}
WAYS_OUT["posting raises"] = lambda *a, **k: raising(ConnectionError("unreachable"))()
WAYS = list(WAYS_OUT)


def call_one_way(obj, fake_requests, way):
    fake_requests.respond = WAYS_OUT[way]
    try:
        return obj.search_query("t", "q")
    except Exception as error:
        return error


@pytest.mark.parametrize("way", WAYS)
def test_the_callers_handled_exception_is_left_as_it_was(obj, fake_requests, way):
    try:
        raise LookupError("the caller's")
    except LookupError:
        before = sys.exc_info()
        call_one_way(obj, fake_requests, way)
        assert sys.exc_info() == before
    assert sys.exc_info() == (None, None, None)
    call_one_way(obj, fake_requests, way)
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("way", WAYS)
def test_inside_a_generator_within_an_except_block(obj, fake_requests, way):
    def steps():
        yield sys.exc_info()
        yield call_one_way(obj, fake_requests, way)
        yield sys.exc_info()
        try:
            raise KeyError("the generator's own")
        except KeyError:
            inner = sys.exc_info()
            yield inner
            yield call_one_way(obj, fake_requests, way)
            yield sys.exc_info() == inner

    try:
        raise LookupError("the caller's")
    except LookupError:
        outer = sys.exc_info()
        seen = list(steps())
        assert seen[0] == outer and seen[2] == outer and seen[5] is True
        assert sys.exc_info() == outer


@pytest.mark.parametrize("way", WAYS)
def test_a_generator_resumed_after_the_except_block_sees_no_handled_exception(obj, fake_requests, way):
    def steps():
        yield call_one_way(obj, fake_requests, way)
        yield sys.exc_info()

    try:
        raise LookupError("the caller's")
    except LookupError:
        paused = steps()
        next(paused)
    assert next(paused) == (None, None, None)


# Exceptions raised from C code may be pending as a class and its arguments, and
# become an instance only when something normalises them, as an `except` clause
# does before it matches. The class can make an instance of another class.


def made_by(cls, base=ValueError):
    """A subclass of `base` whose instances come from `cls(*args)`; counts them."""

    class Lazy(base):
        made = []

        def __new__(klass, *args):
            instance = cls(*args)
            Lazy.made.append(instance)
            return instance

    return Lazy


class InitFails(ValueError):
    def __init__(self, *args):
        raise RuntimeError("cannot make the exception")


class NewMakesNoException(ValueError):
    def __new__(cls, *args):
        return 5


class LazilyRaised(Response):
    """A 200 answer whose `json` raises `cls` from C code, not yet normalised."""

    def __init__(self, cls, raise_exception):
        super().__init__(200, text="raw")
        self.cls, self.raise_exception = cls, raise_exception

    def json(self):
        self.raise_exception(self.cls, 1)


# class raised lazily -> message, or (exception type, lines of the module's entries)
@pytest.mark.parametrize(
    "cls, outcome",
    [
        (ValueSubclass, RESULTS + "raw"),
        (made_by(ValueError), RESULTS + "raw"),
        (made_by(ValueError, base=Exception), RESULTS + "raw"),
        (made_by(KeyError), (KeyError, [SEARCH.decode])),
        (made_by(ArithmeticError), (ArithmeticError, [SEARCH.decode])),
        # Made when the interpreter normalises it: at the take-over (3.11) or
        # at the raise inside `json()` (3.12+), which the decoding line reports.
        (InitFails, (RuntimeError, [SEARCH.take_over if sys.version_info < (3, 12) else SEARCH.decode])),
        # A class that makes no exception: a TypeError, which keeps the
        # traceback that the raised class had, as the interpreter's does.
        (
            NewMakesNoException,
            (TypeError, [SEARCH.take_over, SEARCH.decode] if sys.version_info < (3, 12) else [SEARCH.decode]),
        ),
    ],
)
def test_a_lazily_raised_exception_is_matched_as_an_except_clause_would(obj, fake_requests, cls, outcome):
    testcapi = pytest.importorskip("_testcapi")
    made = getattr(cls, "made", [])
    made.clear()
    fake_requests.respond = lambda *a, **k: LazilyRaised(cls, testcapi.raise_exception)
    if isinstance(outcome, str):
        assert obj.search_query("t", "q") == outcome
    else:
        error, lines = outcome
        with pytest.raises(error) as info:
            obj.search_query("t", "q")
        assert module_entries(info.value) == [(SEARCH.function, line) for line in lines]
        if made:  # made once, and the very object reaches the caller
            assert len(made) == 1 and made[0] is info.value
    assert len(made) <= 1


def test_overlapping_calls_on_two_threads_keep_their_own_handled_exceptions(obj, fake_requests):
    in_handler, other_done = threading.Event(), threading.Event()
    seen = {}

    class Paused(Response):
        """Reading `text` in the handler waits until the other thread's call is over."""

        @property
        def text(self):
            seen["while paused"] = sys.exc_info()[1]
            in_handler.set()
            other_done.wait(60)
            return "paused"

    def respond(*args, **kwargs):
        if threading.current_thread().name == "paused":
            return Paused(200, json_error=ValueError("not json"))
        return Response(200, text="other", json_error=ValueError("other"))

    fake_requests.respond = respond

    def run(name, handled):
        try:
            raise handled
        except type(handled):
            if name == "other":
                in_handler.wait(60)
            seen[name] = obj.search_query("t", "q"), sys.exc_info()[1] is handled
            if name == "other":
                other_done.set()

    threads = [
        threading.Thread(target=run, name=name, args=(name, error))
        for name, error in [("paused", LookupError("paused's")), ("other", KeyError("other's"))]
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert seen["paused"] == (RESULTS + "paused", True)
    assert seen["other"] == (RESULTS + "other", True)
    assert type(seen["while paused"]) is ValueError and str(seen["while paused"]) == "not json"


def test_an_error_raised_by_c_code_with_a_tuple_value_keeps_its_arguments(obj, fake_requests):
    # dict's KeyError from C: until it is normalised, 3.11 holds its value as
    # the tuple of its arguments.
    missing = functools.partial(operator.getitem, {}, "x")
    fake_requests.respond = giving(types.SimpleNamespace(status_code=200, text="raw", json=missing))
    with pytest.raises(KeyError) as info:
        obj.search_query("t", "q")
    assert info.value.args == ("x",)
    assert module_entries(info.value) == [(SEARCH.function, SEARCH.decode)]


# builtins.ValueError replaced before the import: the handler catches the
# class it found then, not the interpreter's own.
REPLACED_BEFORE_THE_IMPORT = """
import builtins, types
import requests
real, builtins.ValueError = builtins.ValueError, type("Replacement", (Exception,), {})
import tarnvel._internal.api_logic as api_logic
replacement, builtins.ValueError = builtins.ValueError, real

def raises(error):
    def json():
        raise error
    return json

for error in (replacement("x"), ValueError("x")):
    response = types.SimpleNamespace(status_code=200, text="raw", json=raises(error))
    api_logic.requests = types.SimpleNamespace(post=lambda *a, **k: response)
    try:
        print(api_logic.InternalClass().search_query("t", "q"))
    except Exception as exc:
        print(type(exc).__name__)
"""


def test_the_handler_matches_the_value_error_found_at_import():
    done = run_python(REPLACED_BEFORE_THE_IMPORT)
    assert (done.returncode, done.stdout.splitlines()) == (0, [RESULTS + "raw", "ValueError"]), done.stderr
