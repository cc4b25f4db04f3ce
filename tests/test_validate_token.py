"""Token validation beyond its decision table (test_decision_table.py): the
lookups it makes and their arguments, the messages it shares, and the caller's
handled exception."""

from __future__ import annotations

import sys

import pytest

from support import decision_table
from support.decision_table import V_CREDITS as CREDITS
from support.decision_table import V_INVALID as INVALID
from support.decision_table import V_NO_CREDITS as NO_CREDITS
from support.decision_table import V_UNEXPECTED as UNEXPECTED
from support.doubles import Scripted, Sequenced, answer


@pytest.mark.parametrize("message", [NO_CREDITS, INVALID, UNEXPECTED])
def test_fixed_messages_are_one_object(obj, fake_requests, message):
    kind = {NO_CREDITS: "no_credits", INVALID: "invalid", UNEXPECTED: "other"}[message]
    fake_requests.respond = answer(200, {"success": True, "type": kind})
    assert obj.validate_token("a") is obj.validate_token("b")


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


@pytest.mark.parametrize("name", ["status refused", "invalid", "refusal, no message", "not JSON"])
def test_the_callers_handled_exception_is_untouched(obj, fake_requests, name):
    response = decision_table.named(decision_table.cases())[f"validate_token: {name}"].answer
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
