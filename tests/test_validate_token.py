"""Token validation: the decision table over the answer, and where each failure is reported."""

from __future__ import annotations

import sys

import pytest

from expect import module_entries
from source_map import VALIDATE
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

CREDITS = "Token validated successfully. Credits available: "
NO_CREDITS = "Token is valid but no credits are available. Please buy credits to proceed."
INVALID = "Invalid token. Please try again or exit."
UNEXPECTED = "Unexpected response type."
FAILED = "Token validation failed: "
ERROR = "Error validating token: "


def credits_answer(credits):
    return {"success": True, "type": "credits_data", "data": {"Credits": credits}}


@pytest.mark.parametrize(
    "decoded, message",
    [
        # credits, rendered
        (credits_answer(12), CREDITS + "12"),
        (credits_answer(2.5), CREDITS + "2.5"),
        (credits_answer(-0.0), CREDITS + "-0.0"),
        (credits_answer(1e16), CREDITS + "1e+16"),
        (credits_answer("plenty "), CREDITS + "plenty "),
        (credits_answer(""), CREDITS),
        (credits_answer(None), CREDITS + "None"),
        (credits_answer(True), CREDITS + "True"),
        (credits_answer(False), CREDITS + "False"),
        (credits_answer({"n": 1, "s": "x"}), CREDITS + "{'n': 1, 's': 'x'}"),
        (credits_answer([1, "a", None]), CREDITS + "[1, 'a', None]"),
        (credits_answer(10**100), CREDITS + "1" + "0" * 100),
        (credits_answer(ShownStr("7")), CREDITS + "<7>"),
        (credits_answer(Shown("rendered")), CREDITS + "rendered"),
        (credits_answer(OddInt(3)), CREDITS + "formatted"),
        (credits_answer(OddFloat(3.5)), CREDITS + "formatted"),
        # credits absent, in every way
        ({"success": True, "type": "credits_data"}, CREDITS + "N/A"),
        ({"success": True, "type": "credits_data", "data": {}}, CREDITS + "N/A"),
        ({"success": True, "type": "credits_data", "data": {"credits": 5}}, CREDITS + "N/A"),
        ({"success": True, "type": "credits_data", "data": Scripted({})}, CREDITS + "N/A"),
        # the fixed messages
        ({"success": True, "type": "no_credits"}, NO_CREDITS),
        ({"success": True, "type": "invalid"}, INVALID),
        ({"success": True, "type": ShownStr("invalid")}, INVALID),
        ({"success": True, "type": Compares(error=None, result=True)}, CREDITS + "N/A"),
        # any other type
        ({"success": True}, UNEXPECTED),
        ({"success": True, "type": None}, UNEXPECTED),
        ({"success": True, "type": 5}, UNEXPECTED),
        ({"success": True, "type": ["invalid"]}, UNEXPECTED),
        ({"success": True, "type": {"invalid": 1}}, UNEXPECTED),
        ({"success": True, "type": "Credits_data"}, UNEXPECTED),
        ({"success": True, "type": "INVALID"}, UNEXPECTED),
        ({"success": True, "type": "invalid "}, UNEXPECTED),
        ({"success": True, "type": " no_credits"}, UNEXPECTED),
        ({"success": True, "type": "invalid\0"}, UNEXPECTED),
        ({"success": True, "type": ComparesStr("invalid", error=None)}, UNEXPECTED),
        ({"success": True, "type": "invalíd"}, UNEXPECTED),
        ({"success": True, "type": Compares(error=None, result=NotImplemented)}, UNEXPECTED),
        # truth of "success"
        ({"success": "false", "type": "invalid"}, INVALID),
        ({"success": 1, "type": "invalid"}, INVALID),
        ({"success": [0], "type": "invalid"}, INVALID),
        ({"success": {"a": 1}, "type": "invalid"}, INVALID),
        ({"success": -0.5, "type": "invalid"}, INVALID),
        ({"success": 0, "type": "invalid"}, FAILED + "None"),
        ({"success": 0.0, "type": "invalid"}, FAILED + "None"),
        ({"success": "", "type": "invalid"}, FAILED + "None"),
        ({"success": [], "type": "invalid"}, FAILED + "None"),
        ({"success": {}, "type": "invalid"}, FAILED + "None"),
        ({"success": None, "type": "invalid"}, FAILED + "None"),
        # refusal: message rendered, None when absent
        ({"success": False, "message": "Bad token"}, FAILED + "Bad token"),
        ({"success": False, "message": 42}, FAILED + "42"),
        ({"success": False, "message": 4.25}, FAILED + "4.25"),
        ({"success": False, "message": None}, FAILED + "None"),
        ({"success": False, "message": ["a"]}, FAILED + "['a']"),
        ({"success": False, "message": ShownStr("m")}, FAILED + "<m>"),
        ({"success": False}, FAILED + "None"),
        ({}, FAILED + "None"),
        ({"success": False, "type": "credits_data", "message": "no"}, FAILED + "no"),
    ],
)
def test_decision_table(obj, fake_requests, decoded, message):
    fake_requests.respond = answer(200, decoded)
    assert obj.validate_token("t") == message


@pytest.mark.parametrize("message", [NO_CREDITS, INVALID, UNEXPECTED])
def test_fixed_messages_are_one_object(obj, fake_requests, message):
    kind = {NO_CREDITS: "no_credits", INVALID: "invalid", UNEXPECTED: "other"}[message]
    fake_requests.respond = answer(200, {"success": True, "type": kind})
    assert obj.validate_token("a") is obj.validate_token("b")


@pytest.mark.parametrize("status_code, passes", STATUS_CASES)
def test_status_test(obj, fake_requests, status_code, passes):
    fake_requests.respond = answer(status_code, {"success": False, "message": "read"}, text='{"success": true}')
    expected = FAILED + "read" if passes else ERROR + '{"success": true}'
    assert obj.validate_token("t") == expected


@pytest.mark.parametrize(
    "text, message",
    [
        ("", ERROR),
        ("Not Found", ERROR + "Not Found"),
        ('{"success": true, "type": "invalid"}', ERROR + '{"success": true, "type": "invalid"}'),
        (ShownStr("body"), ERROR + "<body>"),
    ],
)
def test_status_refused_renders_the_text_and_never_decodes(obj, fake_requests, text, message):
    fake_requests.respond = answer(500, text=text, json_error=AssertionError("decoded"))
    assert obj.validate_token("t") == message


@pytest.mark.parametrize(
    "decoded, received",
    [
        ({"success": True, "type": "credits_data", "data": {"Credits": 1}}, [("success",), ("type",), ("data", {})]),
        ({"success": True, "type": "invalid"}, [("success",), ("type",)]),
        ({"success": False, "type": "invalid"}, [("success",), ("message",)]),
    ],
)
def test_lookups_and_their_arguments(obj, fake_requests, decoded, received):
    scripted = Scripted(decoded)
    fake_requests.respond = answer(200, scripted)
    obj.validate_token("t")
    assert scripted.calls == received


def test_credits_lookup_gets_its_default_positionally_and_a_new_empty_dict(obj, fake_requests):
    inner = Scripted({"Credits": 3})
    outer = Scripted({"success": True, "type": "credits_data", "data": inner})
    fake_requests.respond = answer(200, outer)
    assert obj.validate_token("t") == CREDITS + "3"
    assert inner.calls == [("Credits", "N/A")]
    first_default = outer.calls[-1][1]
    assert type(first_default) is dict and first_default == {}
    obj.validate_token("t")
    assert outer.calls[-1][1] is not first_default


def test_get_is_fetched_afresh_for_every_lookup(obj, fake_requests):
    class Rebinding:
        """Each lookup installs the `get` that answers the next one."""

        def __init__(self):
            self.get = self.success

        def success(self, key):
            self.get = self.type
            return key == "success"

        def type(self, key):
            self.get = self.data
            return "credits_data" if key == "type" else None

        def data(self, key, default):
            self.get = None
            return {"Credits": key}

    fake_requests.respond = answer(200, Rebinding())
    assert obj.validate_token("t") == CREDITS + "data"


def test_type_is_looked_up_once(obj, fake_requests):
    sequenced = Sequenced(True, "other", "invalid")
    fake_requests.respond = answer(200, sequenced)
    assert obj.validate_token("t") == UNEXPECTED
    assert len(sequenced.calls) == 2


def big_int():
    return 10**5000


# how the step fails -> exception, line
@pytest.mark.parametrize(
    "response, error, line",
    [
        (no_attribute("status_code"), AttributeError, VALIDATE.status),
        (Response(Compares()), RuntimeError, VALIDATE.status),
        (Response(Compares(error=None, result=Falsy())), RuntimeError, VALIDATE.status),
        (no_attribute("json"), AttributeError, VALIDATE.decode),
        (Response(200, json_error=ValueError("not json")), ValueError, VALIDATE.decode),
        (Response(200, json_error=KeyError("k")), KeyError, VALIDATE.decode),
        (Response(200, ["success"]), AttributeError, VALIDATE.success),
        (Response(200, None), AttributeError, VALIDATE.success),
        (Response(200, "text"), AttributeError, VALIDATE.success),
        (Response(200, 3), AttributeError, VALIDATE.success),
        (Response(200, Scripted({"success": ValueError})), ValueError, VALIDATE.success),
        (Response(200, {"success": Falsy()}), RuntimeError, VALIDATE.success),
        (Response(200, Scripted({"success": True, "type": LookupError})), LookupError, VALIDATE.type),
        (Response(200, {"success": True, "type": Compares("credits_data")}), RuntimeError, VALIDATE.match_credits_data),
        (
            Response(200, {"success": True, "type": Compares(error=None, result=Falsy())}),
            RuntimeError,
            VALIDATE.match_credits_data,
        ),
        (
            Response(200, {"success": True, "type": "credits_data", "data": None}),
            AttributeError,
            VALIDATE.lookup_credits,
        ),
        (
            Response(200, {"success": True, "type": "credits_data", "data": ["Credits"]}),
            AttributeError,
            VALIDATE.lookup_credits,
        ),
        (
            Response(200, {"success": True, "type": "credits_data", "data": "Credits"}),
            AttributeError,
            VALIDATE.lookup_credits,
        ),
        (Response(200, {"success": True, "type": "credits_data", "data": 1}), AttributeError, VALIDATE.lookup_credits),
        (
            Response(200, {"success": True, "type": "credits_data", "data": True}),
            AttributeError,
            VALIDATE.lookup_credits,
        ),
        (
            Response(200, Scripted({"success": True, "type": "credits_data", "data": KeyError})),
            KeyError,
            VALIDATE.lookup_credits,
        ),
        (
            Response(200, {"success": True, "type": "credits_data", "data": Scripted({"Credits": OSError})}),
            OSError,
            VALIDATE.lookup_credits,
        ),
        (Response(200, credits_answer(Shown(error=ZeroDivisionError))), ZeroDivisionError, VALIDATE.credits_message),
        (Response(200, credits_answer(FormatsAnInt())), TypeError, VALIDATE.credits_message),
        (Response(200, {"success": True, "type": Compares("no_credits")}), RuntimeError, VALIDATE.match_no_credits),
        (Response(200, {"success": True, "type": Compares("invalid")}), RuntimeError, VALIDATE.match_invalid),
        (Response(200, Scripted({"success": False, "message": IndexError})), IndexError, VALIDATE.failure_message),
        (Response(200, {"success": False, "message": Shown(error=ValueError)}), ValueError, VALIDATE.failure_message),
        (TextFails(404), RuntimeError, VALIDATE.status_message),
        (TextFails(404, error=ValueError), ValueError, VALIDATE.status_message),
    ],
)
def test_failures_propagate_with_their_line(obj, fake_requests, response, error, line):
    fake_requests.respond = lambda *a, **k: response
    with pytest.raises(error) as info:
        obj.validate_token("t")
    assert module_entries(info.value) == [(VALIDATE.function, line)]


def test_an_integer_too_long_to_render_fails_at_the_credits_line(obj, fake_requests):
    fake_requests.respond = answer(200, credits_answer(big_int()), text="raw")
    with pytest.raises(ValueError, match="integer string conversion") as info:
        obj.validate_token("t")
    assert module_entries(info.value) == [(VALIDATE.function, VALIDATE.credits_message)]


@pytest.mark.parametrize(
    "response",
    [
        Response(500, text="down"),
        Response(200, {"success": True, "type": "invalid"}),
        Response(200, {"success": False}),
        Response(200, json_error=ValueError("not json")),
    ],
)
def test_the_callers_handled_exception_is_untouched(obj, fake_requests, response):
    fake_requests.respond = lambda *a, **k: response
    try:
        raise LookupError("the caller's")
    except LookupError:
        before = sys.exc_info()
        try:
            obj.validate_token("t")
        except ValueError as error:
            assert error.__context__ is before[1]
        assert sys.exc_info() == before
