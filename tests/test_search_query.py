"""Search beyond its decision table (test_decision_table.py): the lookups it
makes and their arguments, how it finds `get`, and the messages it shares."""

from __future__ import annotations

import pytest

from support.decision_table import S_FAILED as FAILED
from support.decision_table import S_NO_CREDITS as NO_CREDITS
from support.decision_table import S_NOTHING as NOTHING
from support.decision_table import S_RESULTS as RESULTS
from support.doubles import Scripted, Sequenced, answer


@pytest.mark.parametrize("kind", ["no_credits", "error"])
def test_fixed_messages_are_one_object(obj, fake_requests, kind):
    fake_requests.respond = answer(200, {"success": True, "type": kind})
    assert obj.search_query("a", "q") is obj.search_query("b", "q")


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
