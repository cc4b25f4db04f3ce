"""Both methods' decision tables as cases: an answer of the service (status,
decoded body, text) and the one line the method makes of it, or the
exception it raises, with the step whose traceback entry reports it.

`cases()` makes every case and answer anew: some answers can be read only
once (a Sequenced body), so every reader makes its own (the statuses, which
keep no state, are shared). A step is named as
in the module's source map (tests/source_map.py reads it), so the line is
`getattr(source_map.FUNCTIONS[case.method], outcome.step)`.
"""

from __future__ import annotations

from dataclasses import dataclass
from decimal import Decimal
from fractions import Fraction
from typing import Any

from .doubles import (
    Compares,
    ComparesStr,
    DecodeError,
    Falsy,
    FormatsAnInt,
    MetaValueError,
    OddFloat,
    OddInt,
    Response,
    Scripted,
    Sequenced,
    Shown,
    ShownStr,
    Status,
    TextFails,
    ValueErrorFromC,
    no_attribute,
)

VALIDATE = "validate_token"
SEARCH = "search_query"

# validate_token's messages
V_CREDITS = "Token validated successfully. Credits available: "
V_NO_CREDITS = "Token is valid but no credits are available. Please buy credits to proceed."
V_INVALID = "Invalid token. Please try again or exit."
V_UNEXPECTED = "Unexpected response type."
V_FAILED = "Token validation failed: "
V_ERROR = "Error validating token: "
# search_query's
S_RESULTS = "Search results: "
S_NO_CREDITS = "You have used all credits. Please purchase more."
S_NOTHING = "Sorry, couldn't find the results. Try again with a different input."
S_FAILED = "Search failed: "
S_ERROR = "Error during search: "

# The values of "type" that either table tells apart.
LITERALS = ("credits_data", "no_credits", "invalid", "error")


def near_misses(literal: str) -> list[str]:
    """Texts that differ from `literal` by case, spacing, a character or a look-alike."""
    variants = [
        literal.upper(),
        literal.capitalize(),
        literal + " ",
        " " + literal,
        literal[:-1],
        literal + "\0",
        literal.replace("_", "-"),
        _last_i(literal, "\u0131"),
        _last_i(literal, "\u00ed"),
    ]
    return [v for v in dict.fromkeys(variants) if v != literal]


def _last_i(text: str, look_alike: str) -> str:
    head, i, tail = text.rpartition("i")
    return head + look_alike + tail if i else text


@dataclass(frozen=True)
class Raises:
    error: type[BaseException]
    step: str  # the source map's name of the step that reports it
    text: str  # the interpreter's own where the text is not the module's
    context: type[BaseException] | None = None  # the handled exception it was raised in


@dataclass(frozen=True)
class Case:
    method: str
    id: str  # unique; a name that other tables pick the case by, or the group and a number
    answer: Any  # what `requests.post` returns
    outcome: str | Raises  # the message, or how the call fails

    def call(self, client: Any) -> Any:
        return getattr(client, self.method)(*(("tok",) if self.method == VALIDATE else ("tok", "q")))

    def __str__(self) -> str:
        return f"{self.method}: {self.id}"


def _rendered(prefix: str, value: Any, step: str) -> str | Raises:
    """`value` rendered behind `prefix`, or the interpreter's own failure to render it."""
    try:
        return prefix + format(value)
    except (TypeError, ValueError) as exc:
        return Raises(type(exc), step, str(exc))


# status_code -> True where it counts as 200, False where not, or the
# exception that comparing it with 200 (or the truth of that) raises.
STATUSES: list[tuple[Any, bool | type[BaseException]]] = [
    (200, True),
    (200.0, True),
    (Status.OK, True),
    (Decimal(200), True),
    (Fraction(400, 2), True),
    (200 + 0j, True),
    (Compares(error=None, result="yes"), True),
    (Compares(error=None, result=[0]), True),
    ("200", False),
    (b"200", False),
    (199, False),
    (201, False),
    (204, False),
    (404, False),
    (500, False),
    (199.99, False),
    (200.5, False),
    (2**64 + 200, False),
    (True, False),
    (None, False),
    (OddInt(200), False),
    (OddFloat(200.0), False),
    (Compares(error=None, result=NotImplemented), False),
    (Compares(error=None, result=None), False),
    (Compares(error=None, result=0), False),
    (Compares(error=None, result=""), False),
    (Compares(), RuntimeError),
    (Compares(error=ValueError), ValueError),
    (Compares(error=None, result=Falsy()), RuntimeError),
    (Compares(error=None, result=Falsy(ValueError)), ValueError),
]
# Picked by name: passing statuses of other types than int.
_STATUS_NAMES = {float: "status 200.0", Status: "status an IntEnum"}


def _statuses(failed: str, error: str) -> list[tuple[Any, ...]]:
    """The status test: a passing status reads the refusal, any other renders the text."""
    rows = []
    for status, passes in STATUSES:
        response = Response(status, {"success": False, "message": "read"}, text='{"success": true}')
        if isinstance(passes, bool):
            outcome: str | Raises = failed + "read" if passes else error + '{"success": true}'
        else:
            outcome = Raises(passes, "status", "no truth" if isinstance(status.result, Falsy) else "compared with 200")
        name = _STATUS_NAMES.get(type(status)) if passes is True else None
        rows.append((response, outcome, *([name] if name else [])))
    return rows


def _decoded(rows: list[tuple[Any, ...]]) -> list[tuple[Any, ...]]:
    """Rows of (decoded body, outcome[, name]) as rows of a 200 response."""
    return [(Response(200, body), *rest) for body, *rest in rows]


def _refused(status: int, rows: list[tuple[Any, ...]]) -> list[tuple[Any, ...]]:
    """Rows of (text, outcome[, name]) as rows of a refused status; decoding would raise."""
    return [(Response(status, text=text, json_error=AssertionError), *rest) for text, *rest in rows]


def _credits(value: Any) -> dict[str, Any]:
    return {"success": True, "type": "credits_data", "data": {"Credits": value}}


def _results(value: Any) -> dict[str, Any]:
    return {"success": True, "data": value}


def _no_get(kind: str) -> str:
    return f"'{kind}' object has no attribute 'get'"


def _validate() -> dict[str, list[tuple[Any, ...]]]:
    c, C, F = _credits, V_CREDITS, V_FAILED
    too_long = 10**5000
    return {
        "credits rendered": _decoded(
            [
                (c(12), C + "12", "credits"),
                (c(2.5), C + "2.5", "credits 2.5"),
                (c(-0.0), C + "-0.0"),
                (c(1e16), C + "1e+16"),
                (c("plenty "), C + "plenty "),
                (c(""), C),
                (c(None), C + "None"),
                (c(True), C + "True"),
                (c(False), C + "False"),
                (c({"n": 1, "s": "x"}), C + "{'n': 1, 's': 'x'}", "credits a dict"),
                (c([1, "a", None]), C + "[1, 'a', None]"),
                (c(10**100), C + "1" + "0" * 100),
                (c(ShownStr("7")), C + "<7>"),
                (c(Shown("rendered")), C + "rendered"),
                (c(OddInt(3)), C + "formatted"),
                (c(OddFloat(3.5)), C + "formatted"),
            ]
        ),
        "credits absent": _decoded(
            [
                ({"success": True, "type": "credits_data"}, C + "N/A", "credits default"),
                ({"success": True, "type": "credits_data", "data": {}}, C + "N/A"),
                ({"success": True, "type": "credits_data", "data": {"credits": 5}}, C + "N/A"),
                ({"success": True, "type": "credits_data", "data": Scripted({})}, C + "N/A"),
            ]
        ),
        "fixed messages": _decoded(
            [
                ({"success": True, "type": "no_credits"}, V_NO_CREDITS, "no credits"),
                ({"success": True, "type": "invalid"}, V_INVALID, "invalid"),
                ({"success": True, "type": ShownStr("invalid")}, V_INVALID),
                ({"success": True, "type": Compares(error=None, result=True)}, C + "N/A"),
            ]
        ),
        "other type": _decoded(
            [
                ({"success": True}, V_UNEXPECTED),
                ({"success": True, "type": None}, V_UNEXPECTED),
                ({"success": True, "type": 5}, V_UNEXPECTED, "other type"),
                ({"success": True, "type": ["invalid"]}, V_UNEXPECTED),
                ({"success": True, "type": {"invalid": 1}}, V_UNEXPECTED),
                ({"success": True, "type": ComparesStr("invalid", error=None)}, V_UNEXPECTED),
                ({"success": True, "type": Compares(error=None, result=NotImplemented)}, V_UNEXPECTED),
                *(({"success": True, "type": t}, V_UNEXPECTED) for lit in LITERALS for t in near_misses(lit)),
            ]
        ),
        "truth of success": _decoded(
            [
                *(({"success": v, "type": "invalid"}, V_INVALID) for v in ("false", 1, [0], {"a": 1}, -0.5)),
                *(({"success": v, "type": "invalid"}, F + "None") for v in (0, 0.0, "", [], {}, None)),
            ]
        ),
        "refusal": _decoded(
            [
                ({"success": False, "message": "Token expired"}, F + "Token expired", "refusal"),
                ({"success": False, "message": 42}, F + "42"),
                ({"success": False, "message": 4.25}, F + "4.25"),
                ({"success": False, "message": None}, F + "None"),
                ({"success": False, "message": ["a"]}, F + "['a']"),
                ({"success": False, "message": ShownStr("m")}, F + "<m>"),
                ({"success": False}, F + "None"),
                ({}, F + "None", "refusal, no message"),
                ({"success": False, "type": "credits_data", "message": "no"}, F + "no"),
            ]
        ),
        "status refused": _refused(
            500,
            [
                ("", V_ERROR),
                ("Not Found", V_ERROR + "Not Found", "status refused"),
                ('{"success": true, "type": "invalid"}', V_ERROR + '{"success": true, "type": "invalid"}'),
                (ShownStr("body"), V_ERROR + "<body>"),
            ],
        ),
        "status": _statuses(F, V_ERROR),
        "fails": [
            (
                no_attribute("status_code"),
                Raises(AttributeError, "status", "'Partial' object has no attribute 'status_code'"),
            ),
            (no_attribute("json"), Raises(AttributeError, "decode", "'Partial' object has no attribute 'json'")),
            (Response(200, text="raw", json_error=ValueError), Raises(ValueError, "decode", "not JSON"), "not JSON"),
            (Response(200, json_error=KeyError), Raises(KeyError, "decode", "'not JSON'")),
            (Response(200, ["success"]), Raises(AttributeError, "success", _no_get("list")), "body a list"),
            (Response(200, None), Raises(AttributeError, "success", _no_get("NoneType"))),
            (Response(200, "text"), Raises(AttributeError, "success", _no_get("str"))),
            (Response(200, 3), Raises(AttributeError, "success", _no_get("int"))),
            (Response(200, Scripted({"success": ValueError})), Raises(ValueError, "success", "success")),
            (Response(200, {"success": Falsy()}), Raises(RuntimeError, "success", "no truth")),
            (Response(200, Scripted({"success": True, "type": LookupError})), Raises(LookupError, "type", "type")),
            (
                Response(200, {"success": True, "type": Compares("credits_data")}),
                Raises(RuntimeError, "match_credits_data", "compared with 'credits_data'"),
            ),
            (
                Response(200, {"success": True, "type": Compares(error=None, result=Falsy())}),
                Raises(RuntimeError, "match_credits_data", "no truth"),
            ),
            (
                Response(200, {"success": True, "type": "credits_data", "data": None}),
                Raises(AttributeError, "lookup_credits", _no_get("NoneType")),
                "data null",
            ),
            *(
                (
                    Response(200, {"success": True, "type": "credits_data", "data": data}),
                    Raises(AttributeError, "lookup_credits", _no_get(type(data).__name__)),
                )
                for data in (["Credits"], "Credits", 1, True)
            ),
            (
                Response(200, Scripted({"success": True, "type": "credits_data", "data": KeyError})),
                Raises(KeyError, "lookup_credits", "'data'"),
            ),
            (
                Response(200, {"success": True, "type": "credits_data", "data": Scripted({"Credits": OSError})}),
                Raises(OSError, "lookup_credits", "Credits"),
            ),
            (
                Response(200, c(Shown(error=ZeroDivisionError))),
                Raises(ZeroDivisionError, "credits_message", "cannot render"),
            ),
            (Response(200, c(FormatsAnInt())), _rendered(C, FormatsAnInt(), "credits_message")),
            # Too long to render unless the interpreter's limit is lifted.
            (Response(200, c(too_long), text="raw"), _rendered(C, too_long, "credits_message")),
            (
                Response(200, {"success": True, "type": Compares("no_credits")}),
                Raises(RuntimeError, "match_no_credits", "compared with 'no_credits'"),
            ),
            (
                Response(200, {"success": True, "type": Compares("invalid")}),
                Raises(RuntimeError, "match_invalid", "compared with 'invalid'"),
            ),
            (
                Response(200, Scripted({"success": False, "message": IndexError})),
                Raises(IndexError, "failure_message", "message"),
            ),
            (
                Response(200, {"success": False, "message": Shown(error=ValueError)}),
                Raises(ValueError, "failure_message", "cannot render"),
            ),
            (TextFails(404), Raises(RuntimeError, "status_message", "connection broke"), "text breaks"),
            (TextFails(404, error=ValueError), Raises(ValueError, "status_message", "connection broke")),
        ],
    }


def _search() -> dict[str, list[tuple[Any, ...]]]:
    r, R, F = _results, S_RESULTS, S_FAILED
    default = F + "No error message provided"
    return {
        "fixed messages": _decoded(
            [
                ({"success": True, "type": "no_credits", "data": "d"}, S_NO_CREDITS, "no credits"),
                ({"success": True, "type": "error", "data": "d"}, S_NOTHING, "nothing found"),
                ({"success": True, "type": ShownStr("error")}, S_NOTHING),
            ]
        ),
        "results rendered": _decoded(
            [
                ({"success": True}, R + "No data available", "results default"),
                (r(None), R + "None"),
                (r("x"), R + "x"),
                (r(""), R),
                (r({"n": 1}), R + "{'n': 1}", "results"),
                (r(3), R + "3"),
                (r(2.5), R + "2.5"),
                (r(True), R + "True"),
                (r(["a", 1]), R + "['a', 1]"),
                (r(10**100), R + "1" + "0" * 100),
                (r(ShownStr("s")), R + "<s>"),
                (r(Shown("rendered")), R + "rendered"),
                (r(OddInt(3)), R + "formatted"),
                (r(OddFloat(3.5)), R + "formatted"),
            ]
        ),
        "other type": _decoded(
            [
                ({"success": True, "type": "results", "data": "3 documents"}, R + "3 documents", "other type"),
                *(
                    ({"success": True, "type": t, "data": "d"}, R + "d")
                    for t in (
                        None,
                        0,
                        ["error"],
                        "invalid",
                        ComparesStr("error", error=None),
                        ComparesStr("no_credits", error=None),
                        Compares(error=None, result=NotImplemented),
                        *(t for lit in LITERALS for t in near_misses(lit)),
                    )
                ),
            ]
        ),
        "truth of success": _decoded(
            [
                *(({"success": v, "type": "error"}, S_NOTHING) for v in ("false", 2, [0])),
                *(({"success": v, "type": "error"}, default) for v in (0, 0.0, "", [], {}, None)),
            ]
        ),
        "refusal": _decoded(
            [
                ({"success": False, "type": "no_credits"}, default),
                ({}, default, "refusal default"),
                ({"success": False, "message": "Bad query"}, F + "Bad query", "refusal"),
                ({"success": False, "message": None}, F + "None"),
                ({"success": False, "message": 7}, F + "7"),
                ({"success": False, "message": {"why": "x"}}, F + "{'why': 'x'}"),
                ({"success": False, "message": ShownStr("m")}, F + "<m>"),
            ]
        ),
        "status refused": _refused(
            404,
            [
                ("", S_ERROR),
                ("<html>Bad Gateway</html>", S_ERROR + "<html>Bad Gateway</html>", "status refused"),
                ('{"success": true, "data": "d"}', S_ERROR + '{"success": true, "data": "d"}'),
                (ShownStr("body"), S_ERROR + "<body>"),
            ],
        ),
        "status": _statuses(F, S_ERROR),
        # A body that does not decode gives the raw text as the results.
        "not JSON": [
            (Response(200, text="", json_error=ValueError), R),
            (Response(200, text="raw", json_error=ValueError), R + "raw", "raw text"),
            (
                Response(200, text="<html>busy</html>", json_error=DecodeError),
                R + "<html>busy</html>",
                "not JSON, as requests raises it",
            ),
            (ValueErrorFromC(200, text="raw"), R + "raw", "raw text, ValueError from C"),
            (
                Response(200, text="raw", json_error=MetaValueError),
                R + "raw",
                "raw text, ValueError of another metaclass",
            ),
        ],
        # None of these is a ValueError that the handler catches.
        "fails": [
            (
                no_attribute("status_code"),
                Raises(AttributeError, "status", "'Partial' object has no attribute 'status_code'"),
            ),
            (no_attribute("json"), Raises(AttributeError, "decode", "'Partial' object has no attribute 'json'")),
            (Response(200, json_error=KeyError), Raises(KeyError, "decode", "'not JSON'")),
            (Response(200, ["success"]), Raises(AttributeError, "success", _no_get("list")), "body a list"),
            *(
                (Response(200, body), Raises(AttributeError, "success", _no_get(type(body).__name__)))
                for body in (None, "success", 1.5, True)
            ),
            (Response(200, Scripted({"success": LookupError})), Raises(LookupError, "success", "success")),
            (Response(200, {"success": Falsy()}), Raises(RuntimeError, "success", "no truth")),
            (Response(200, Scripted({"success": True, "type": KeyError})), Raises(KeyError, "first_type", "'type'")),
            (
                Response(200, {"success": True, "type": Compares("no_credits")}),
                Raises(RuntimeError, "first_type", "compared with 'no_credits'"),
            ),
            (
                Response(200, {"success": True, "type": Compares(error=None, result=Falsy())}),
                Raises(RuntimeError, "first_type", "no truth"),
            ),
            (Response(200, Sequenced(True, "x", OSError)), Raises(OSError, "second_type", "type")),
            (
                Response(200, {"success": True, "type": Compares("error")}),
                Raises(RuntimeError, "second_type", "compared with 'error'"),
            ),
            (Response(200, Sequenced(True, "x", "y", IndexError)), Raises(IndexError, "results_message", "data")),
            (
                Response(200, r(Shown(error=ZeroDivisionError))),
                Raises(ZeroDivisionError, "results_message", "cannot render"),
            ),
            (Response(200, r(FormatsAnInt())), _rendered(R, FormatsAnInt(), "results_message")),
            (
                Response(200, Scripted({"success": False, "message": KeyError})),
                Raises(KeyError, "failure_message", "'message'"),
            ),
            (
                Response(200, {"success": False, "message": Shown(error=RuntimeError)}),
                Raises(RuntimeError, "failure_message", "cannot render"),
            ),
            (TextFails(500), Raises(RuntimeError, "status_message", "connection broke")),
            (TextFails(500, error=ValueError), Raises(ValueError, "status_message", "connection broke")),
            # The handler's own failure: the caught error is its context.
            (
                TextFails(200, json_error=ValueError),
                Raises(RuntimeError, "raw_text", "connection broke", context=ValueError),
                "raw text breaks",
            ),
        ],
    }


def cases() -> list[Case]:
    """Every case of both tables, made anew."""
    made = []
    for method, groups in ((VALIDATE, _validate()), (SEARCH, _search())):
        for group, rows in groups.items():
            for number, (answer, outcome, *name) in enumerate(rows):
                made.append(Case(method, name[0] if name else f"{group} {number}", answer, outcome))
    ids = [str(case) for case in made]
    assert len(set(ids)) == len(ids), "two cases share a name"
    return made


def named(table: list[Case]) -> dict[str, Case]:
    """The cases of `table` by "method: id"."""
    return {str(case): case for case in table}
