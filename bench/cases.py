"""The benchmark cases, shared by the instruction-count and the wall-time runs.

Each case is one statement run in a plain `for` loop, in three versions:

- native: against tarnvel._internal.api_logic.InternalClass;
- python: against reference_client.InternalClass, the pure-Python equivalent;
- stand-in: only what the stand-in for `requests` does on that path, called
  from Python with the same arguments (posting, and decoding where the path
  decodes). Subtracting it from the other two leaves each client's own cost:
  binding, building the request, reading the answer, composing the message.

Both clients see the same stand-in through their module attribute `requests`;
its `post` returns a response built once, so no network and no JSON parsing
take part.
"""

from __future__ import annotations

import types
from dataclasses import dataclass

import reference_client
import tarnvel._internal.api_logic as api_logic
from response_doubles import Response


class DecodeError(ValueError):
    """What `requests` raises for a body that is not JSON: a ValueError subclass."""


def make_requests(response: Response) -> types.ModuleType:
    """A module standing in for `requests` whose `post` answers `response`."""
    module = types.ModuleType("requests")

    # The signature of requests.post, so that binding costs what it costs there.
    def post(url, data=None, json=None, **kwargs):
        return response

    module.post = post
    return module


RESPONSES = {
    "credits": Response(200, {"success": True, "type": "credits_data", "data": {"Credits": 12}}),
    "refusal": Response(200, {"success": False, "message": "Token expired"}),
    "results": Response(200, {"success": True, "type": "results", "data": "3 documents"}),
    # The body does not decode: a new DecodeError on every call, as `requests` raises it.
    "not_json": Response(200, text="<html>busy</html>", json_error=DecodeError),
    "none": Response(200, {}),
}

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
    ),
    Case(
        "type_error",
        "validate_token(None) type error",
        "none",
        "try:\n            obj.validate_token(None)\n        except TypeError:\n            pass",
        "try:\n            pass\n        except TypeError:\n            pass",
        False,
    ),
    Case("construct", "InternalClass()", "none", "cls()", "pass", True),
]

CASE_BY_NAME = {case.name: case for case in CASES}
SIDES = ("native", "python", "standin")

_LOOP = """\
def run(n):
    for _ in range(n):
        {statement}
"""


def install(response: Response) -> types.ModuleType:
    """Puts one stand-in in front of both clients and returns it."""
    standin = make_requests(response)
    api_logic.requests = standin
    reference_client.requests = standin
    return standin


def make_runner(case: Case, side: str):
    """`run(n)`: the case's statement `n` times, all names local or global to it."""
    standin = install(RESPONSES[case.response])
    if side == "native":
        cls = api_logic.InternalClass
    else:
        cls = reference_client.InternalClass
    namespace = {
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
    statement = case.standin if side == "standin" else case.statement
    exec(compile(_LOOP.format(statement=statement), f"<bench {case.name} {side}>", "exec"), namespace)
    return namespace["run"]


def check_equal_answers() -> None:
    """Both clients answer every successful case alike (a broken bench measures nothing)."""
    for case in CASES:
        if not case.success or case.name == "construct":
            continue
        install(RESPONSES[case.response])
        answers = []
        for cls in (api_logic.InternalClass, reference_client.InternalClass):
            obj = cls()
            if "search" in case.statement:
                answers.append(obj.search_query("tk", "q"))
            else:
                answers.append(obj.validate_token("tk"))
        if answers[0] != answers[1]:
            raise AssertionError(f"{case.name}: native {answers[0]!r} != python {answers[1]!r}")
