"""Search: the decision table over the answer, and where each uncaught failure is reported."""

from __future__ import annotations

import pytest

from expect import module_entries
from source_map import SEARCH
from support.decision_table import STATUS_CASES
from support.doubles import (
    Compares,
    ComparesStr,
    Falsy,
    FormatsAnInt,
    OddFloat,
    OddInt,
    Response,
    Scripted,
    Sequenced,
    Shown,
    ShownStr,
    TextFails,
    answer,
    no_attribute,
)

RESULTS = "Search results: "
FAILED = "Search failed: "
ERROR = "Error during search: "
NO_CREDITS = "You have used all credits. Please purchase more."
NOTHING = "Sorry, couldn't find the results. Try again with a different input."


def results(data):
    return {"success": True, "data": data}


@pytest.mark.parametrize(
    "decoded, message",
    [
        # the fixed messages
        ({"success": True, "type": "no_credits", "data": "d"}, NO_CREDITS),
        ({"success": True, "type": "error", "data": "d"}, NOTHING),
        ({"success": True, "type": ShownStr("error")}, NOTHING),
        # results, "data" rendered
        ({"success": True}, RESULTS + "No data available"),
        (results(None), RESULTS + "None"),
        (results("x"), RESULTS + "x"),
        (results(""), RESULTS),
        (results({"n": 1}), RESULTS + "{'n': 1}"),
        (results(3), RESULTS + "3"),
        (results(2.5), RESULTS + "2.5"),
        (results(True), RESULTS + "True"),
        (results(["a", 1]), RESULTS + "['a', 1]"),
        (results(10**100), RESULTS + "1" + "0" * 100),
        (results(ShownStr("s")), RESULTS + "<s>"),
        (results(Shown("rendered")), RESULTS + "rendered"),
        (results(OddInt(3)), RESULTS + "formatted"),
        (results(OddFloat(3.5)), RESULTS + "formatted"),
        # any other type gives the results
        ({"success": True, "type": "Error", "data": "d"}, RESULTS + "d"),
        ({"success": True, "type": "error ", "data": "d"}, RESULTS + "d"),
        ({"success": True, "type": " no_credits", "data": "d"}, RESULTS + "d"),
        ({"success": True, "type": "NO_CREDITS", "data": "d"}, RESULTS + "d"),
        ({"success": True, "type": None, "data": "d"}, RESULTS + "d"),
        ({"success": True, "type": 0, "data": "d"}, RESULTS + "d"),
        ({"success": True, "type": ["error"], "data": "d"}, RESULTS + "d"),
        ({"success": True, "type": "invalid", "data": "d"}, RESULTS + "d"),
        ({"success": True, "type": ComparesStr("error", error=None), "data": "d"}, RESULTS + "d"),
        ({"success": True, "type": ComparesStr("no_credits", error=None), "data": "d"}, RESULTS + "d"),
        ({"success": True, "type": Compares(error=None, result=NotImplemented), "data": "d"}, RESULTS + "d"),
        # truth of "success"
        ({"success": "false", "type": "error"}, NOTHING),
        ({"success": 2, "type": "error"}, NOTHING),
        ({"success": [0], "type": "error"}, NOTHING),
        ({"success": 0, "type": "error"}, FAILED + "No error message provided"),
        ({"success": 0.0, "type": "error"}, FAILED + "No error message provided"),
        ({"success": "", "type": "error"}, FAILED + "No error message provided"),
        ({"success": [], "type": "error"}, FAILED + "No error message provided"),
        ({"success": {}, "type": "error"}, FAILED + "No error message provided"),
        ({"success": None, "type": "error"}, FAILED + "No error message provided"),
        # refusal: "message" rendered, its default only when absent
        ({"success": False, "type": "no_credits"}, FAILED + "No error message provided"),
        ({}, FAILED + "No error message provided"),
        ({"success": False, "message": "Bad query"}, FAILED + "Bad query"),
        ({"success": False, "message": None}, FAILED + "None"),
        ({"success": False, "message": 7}, FAILED + "7"),
        ({"success": False, "message": {"why": "x"}}, FAILED + "{'why': 'x'}"),
        ({"success": False, "message": ShownStr("m")}, FAILED + "<m>"),
    ],
)
def test_decision_table(obj, fake_requests, decoded, message):
    fake_requests.respond = answer(200, decoded)
    assert obj.search_query("t", "q") == message


@pytest.mark.parametrize("kind", ["no_credits", "error"])
def test_fixed_messages_are_one_object(obj, fake_requests, kind):
    fake_requests.respond = answer(200, {"success": True, "type": kind})
    assert obj.search_query("a", "q") is obj.search_query("b", "q")


@pytest.mark.parametrize("status_code, passes", STATUS_CASES)
def test_status_test(obj, fake_requests, status_code, passes):
    fake_requests.respond = answer(status_code, {"success": False, "message": "read"}, text='{"success": true}')
    expected = FAILED + "read" if passes else ERROR + '{"success": true}'
    assert obj.search_query("t", "q") == expected


@pytest.mark.parametrize(
    "text, message",
    [
        ("", ERROR),
        ("<html>Bad Gateway</html>", ERROR + "<html>Bad Gateway</html>"),
        ('{"success": true, "data": "d"}', ERROR + '{"success": true, "data": "d"}'),
        (ShownStr("body"), ERROR + "<body>"),
    ],
)
def test_status_refused_renders_the_text_and_never_decodes(obj, fake_requests, text, message):
    fake_requests.respond = answer(404, text=text, json_error=AssertionError("decoded"))
    assert obj.search_query("t", "q") == message


@pytest.mark.parametrize(
    "decoded, received",
    [
        ({"success": True, "type": "no_credits"}, [("success",), ("type",)]),
        ({"success": True, "type": "error", "data": 1}, [("success",), ("type",), ("type",)]),
        ({"success": True, "type": "x"}, [("success",), ("type",), ("type",), ("data", "No data available")]),
        ({"success": False, "type": "x"}, [("success",), ("message", "No error message provided")]),
    ],
)
def test_lookups_and_their_arguments(obj, fake_requests, decoded, received):
    scripted = Scripted(decoded)
    fake_requests.respond = answer(200, scripted)
    obj.search_query("t", "q")
    assert scripted.calls == received


@pytest.mark.parametrize(
    "answers, message",
    [
        ((True, "x", "error"), NOTHING),
        ((True, "error", "no_credits", "shown"), RESULTS + "shown"),
        ((True, "no_credits"), NO_CREDITS),
    ],
)
def test_the_second_type_lookup_decides_the_match_with_error(obj, fake_requests, answers, message):
    sequenced = Sequenced(*answers)
    fake_requests.respond = answer(200, sequenced)
    assert obj.search_query("t", "q") == message
    assert sequenced.answers == []


def test_get_is_fetched_afresh_for_every_lookup(obj, fake_requests):
    class Rebinding:
        """Each lookup installs the `get` that answers the next one."""

        def __init__(self):
            self.get = self.success

        def success(self, key):
            self.get = self.first_type
            return True

        def first_type(self, key):
            self.get = self.second_type
            return "error"

        def second_type(self, key):
            self.get = self.data
            return "no_credits"

        def data(self, key, default):
            self.get = None
            return f"{key}/{default}"

    fake_requests.respond = answer(200, Rebinding())
    assert obj.search_query("t", "q") == RESULTS + "data/No data available"


class Overriding(dict):
    def get(self, key, default=None):
        return "overridden" if key == "data" else super().get(key, default)


class Delegating:
    """`get` found through `__getattr__`, not on the type."""

    def __init__(self, values):
        self.values = values

    def __getattr__(self, name):
        return getattr(self.values, name)


class Swapped:
    """Each lookup replaces the class's own `get`."""

    def get(self, key, default=None):
        type(self).get = lambda s, k, d=None: "second" if k == "type" else (f"{k}!" if k == "data" else True)
        return True


@pytest.mark.parametrize(
    "decoded, message",
    [
        (Overriding(success=True, data="plain"), RESULTS + "overridden"),
        (Delegating({"success": True, "type": "error"}), NOTHING),
        (Delegating({"success": False, "message": "m"}), FAILED + "m"),
        (Swapped(), RESULTS + "data!"),
    ],
)
def test_get_is_found_as_ordinary_attribute_lookup_finds_it(obj, fake_requests, decoded, message):
    fake_requests.respond = answer(200, decoded)
    assert obj.search_query("t", "q") == message


# how the step fails -> exception, line (none of these is a ValueError caught by the handler)
@pytest.mark.parametrize(
    "response, error, line",
    [
        (no_attribute("status_code"), AttributeError, SEARCH.status),
        (Response(Compares()), RuntimeError, SEARCH.status),
        (Response(Compares(error=ValueError)), ValueError, SEARCH.status),
        (Response(Compares(error=None, result=Falsy(ValueError))), ValueError, SEARCH.status),
        (no_attribute("json"), AttributeError, SEARCH.decode),
        (Response(200, json_error=KeyError("k")), KeyError, SEARCH.decode),
        (Response(200, ["success"]), AttributeError, SEARCH.success),
        (Response(200, None), AttributeError, SEARCH.success),
        (Response(200, "success"), AttributeError, SEARCH.success),
        (Response(200, 1.5), AttributeError, SEARCH.success),
        (Response(200, True), AttributeError, SEARCH.success),
        (Response(200, Scripted({"success": LookupError})), LookupError, SEARCH.success),
        (Response(200, {"success": Falsy()}), RuntimeError, SEARCH.success),
        (Response(200, Scripted({"success": True, "type": KeyError})), KeyError, SEARCH.first_type),
        (Response(200, {"success": True, "type": Compares("no_credits")}), RuntimeError, SEARCH.first_type),
        (Response(200, Sequenced(True, "x", OSError)), OSError, SEARCH.second_type),
        (Response(200, {"success": True, "type": Compares("error")}), RuntimeError, SEARCH.second_type),
        (
            Response(200, {"success": True, "type": Compares(error=None, result=Falsy())}),
            RuntimeError,
            SEARCH.first_type,
        ),
        (Response(200, Sequenced(True, "x", "y", IndexError)), IndexError, SEARCH.results_message),
        (Response(200, results(Shown(error=ZeroDivisionError))), ZeroDivisionError, SEARCH.results_message),
        (Response(200, results(FormatsAnInt())), TypeError, SEARCH.results_message),
        (Response(200, Scripted({"success": False, "message": KeyError})), KeyError, SEARCH.failure_message),
        (Response(200, {"success": False, "message": Shown(error=RuntimeError)}), RuntimeError, SEARCH.failure_message),
        (TextFails(500), RuntimeError, SEARCH.status_message),
        (TextFails(500, error=ValueError), ValueError, SEARCH.status_message),
    ],
)
def test_failures_propagate_with_their_line(obj, fake_requests, response, error, line):
    fake_requests.respond = lambda *a, **k: response
    with pytest.raises(error) as info:
        obj.search_query("t", "q")
    assert module_entries(info.value) == [(SEARCH.function, line)]
