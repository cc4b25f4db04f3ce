"""The benchmark cases, shared by the instruction-count and the wall-time runs.

Each case is one statement run in a plain `for` loop, in four versions:

- native: against tarnvel._internal.api_logic.InternalClass;
- python: against reference_client.InternalClass, the pure-Python equivalent
  that is exact about wrong calls too (its type tests raise the same errors);
- plain: against plain_client.InternalClass, the same client as a Python
  developer would usually write it, with no type tests;
- stand-in: only what the stand-in for `requests` does on that path, called
  from Python with the same arguments (posting, and decoding where the path
  decodes). Subtracting it from the others leaves each client's own cost:
  binding, building the request, reading the answer, composing the message.

All clients see the same stand-in through their module attribute `requests`;
its `post` returns a response built once, so no network and no JSON parsing
take part.
"""

from __future__ import annotations

import sys
import types
from dataclasses import dataclass
from pathlib import Path

# The clients, the response doubles and the answers are the tests' support package.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import tarnvel._internal.api_logic as api_logic  # noqa: E402
from support import decision_table, plain_client, reference_client  # noqa: E402
from support.doubles import Response  # noqa: E402


def make_requests(response: Response) -> types.ModuleType:
    """A module standing in for `requests` whose `post` answers `response`."""
    module = types.ModuleType("requests")

    # The signature of requests.post, so that binding costs what it costs there.
    def post(url, data=None, json=None, **kwargs):
        return response

    module.post = post
    return module


def _answers(picked: dict[str, str]) -> dict[str, Response]:
    """The answers of the decision table's cases `picked` (by "method: id");
    the rest of the table is let go, so that the heap the runs see is as small
    as the cases need."""
    table = decision_table.named(decision_table.cases())
    return {name: table[case].answer for name, case in picked.items()}


# {"success": true, "type": "credits_data", "data": {"Credits": 12}}, a
# refusal ("Token expired"), results of a type of their own ("3 documents"),
# a body that does not decode (a new ValueError subclass on every call, as
# `requests` raises it) and an empty object.
RESPONSES = _answers(
    {
        "credits": "validate_token: credits",
        "refusal": "validate_token: refusal",
        "results": "search_query: other type",
        "not_json": "search_query: not JSON, as requests raises it",
        "none": "validate_token: refusal, no message",
    }
)

URLS = {
    "validate": reference_client.VALIDATION_URL,
    "search": reference_client.SEARCH_URL,
}


@dataclass(frozen=True)
class Case:
    name: str
    title: str
    response: str  # key of RESPONSES
    statement: str  # run with `obj`, `cls`, `tok`, `q` bound
    standin: str  # the stand-in's own calls on this path
    success: bool  # a successful call (the stricter target applies)
    call: str = ""  # the call alone, where the statement wraps it in try/except
    wrong_type: bool = False  # an argument of the wrong type: the plain client sends it as it is

    @property
    def expression(self) -> str:
        """The call whose outcome every client must share."""
        return self.call or self.statement


_POST_VALIDATE = "r = post(url_validate, headers=h_validate, json=p_validate)"
_POST_SEARCH = "r = post(url_search, headers=h_search, json=p_search)"

CASES = [
    Case(
        "validate_credits",
        "validate_token, credits",
        "credits",
        "obj.validate_token(tok)",
        _POST_VALIDATE + "; r.json()",
        True,
    ),
    Case(
        "validate_refusal",
        "validate_token, service refusal",
        "refusal",
        "obj.validate_token(tok)",
        _POST_VALIDATE + "; r.json()",
        True,
    ),
    Case(
        "search_results",
        "search_query, results",
        "results",
        "obj.search_query(tok, q)",
        _POST_SEARCH + "; r.json()",
        True,
    ),
    Case(
        "search_not_json",
        "search_query, body not JSON",
        "not_json",
        "obj.search_query(tok, q)",
        _POST_SEARCH + "\n        try:\n            r.json()\n        except ValueError:\n            pass",
        True,
    ),
    Case(
        "validate_keyword",
        "validate_token(token=...)",
        "credits",
        "obj.validate_token(token=tok)",
        _POST_VALIDATE + "; r.json()",
        True,
    ),
    Case(
        "validate_via_class",
        "InternalClass.validate_token(obj, tok)",
        "credits",
        "cls.validate_token(obj, tok)",
        _POST_VALIDATE + "; r.json()",
        True,
    ),
    Case(
        "binding_error",
        "validate_token() binding error",
        "none",
        "try:\n            obj.validate_token()\n        except TypeError:\n            pass",
        "try:\n            pass\n        except TypeError:\n            pass",
        False,
        call="obj.validate_token()",
    ),
    Case(
        "type_error",
        "validate_token(None) type error",
        "none",
        "try:\n            obj.validate_token(None)\n        except TypeError:\n            pass",
        "try:\n            pass\n        except TypeError:\n            pass",
        False,
        call="obj.validate_token(None)",
        wrong_type=True,
    ),
    Case("construct", "InternalClass()", "none", "cls()", "pass", True),
]

CASE_BY_NAME = {case.name: case for case in CASES}
SIDES = ("native", "python", "plain", "standin")
CLIENTS = {
    "native": api_logic.InternalClass,
    "python": reference_client.InternalClass,
    "plain": plain_client.InternalClass,
}

_LOOP = """\
def run(n):
    for _ in range(n):
        {statement}
"""


def install(response: Response) -> types.ModuleType:
    """Puts one stand-in in front of every client and returns it."""
    standin = make_requests(response)
    api_logic.requests = standin
    reference_client.requests = standin
    plain_client.requests = standin
    return standin


def _namespace(case: Case, side: str) -> dict:
    standin = install(RESPONSES[case.response])
    # The stand-in's statement uses no client; it gets one as before all the same.
    cls = CLIENTS.get(side, reference_client.InternalClass)
    return {
        "obj": cls(),
        "cls": cls,
        "tok": "tk_0123456789abcdef",
        "q": "red bicycles",
        "post": standin.post,
        "url_validate": URLS["validate"],
        "url_search": URLS["search"],
        # The dicts each client builds per call are the clients' cost; the
        # stand-in is handed equal ones built once.
        "h_validate": {"Content-Type": "application/json"},
        "p_validate": {"token": "tk_0123456789abcdef"},
        "h_search": {"Content-Type": "application/json", "authToken": "tk_0123456789abcdef"},
        "p_search": {"s": "red bicycles", "l": "en", "o": "content"},
    }


def make_runner(case: Case, side: str):
    """`run(n)`: the case's statement `n` times, all names local or global to it."""
    namespace = _namespace(case, side)
    statement = case.standin if side == "standin" else case.statement
    exec(compile(_LOOP.format(statement=statement), f"<bench {case.name} {side}>", "exec"), namespace)
    return namespace["run"]


def outcome(case: Case, side: str) -> tuple:
    """What one call of the case gives on a client's side: the message it
    returns (for a constructor, the class name of what it makes), or the
    class and text of what it raises."""
    namespace = _namespace(case, side)
    try:
        result = eval(case.expression, namespace)
    except Exception as error:
        return ("raises", type(error).__name__, str(error))
    return ("returns", result if isinstance(result, str) else type(result).__name__)


def check_case(case: Case) -> None:
    """Every client returns the native module's message on this case, or
    raises the same class of error where it raises (a broken bench measures
    nothing). An error's text may differ: a Python method's binding errors
    are the interpreter's. The plain client on a wrong type, which it does
    not test for, must answer as for any call."""
    native = outcome(case, "native")
    for side in ("python", "plain"):
        other = outcome(case, side)
        if side == "plain" and case.wrong_type:
            same = native[0] == "raises" and other[0] == "returns"
        else:
            same = other[:2] == native[:2]
        if not same:
            raise AssertionError(f"{case.name}: native {native!r}, {side} {other!r}")


def check_equal_answers() -> None:
    """All clients answer every case alike (see check_case)."""
    for case in CASES:
        check_case(case)
