"""The native class and its pure-Python equivalent (support.reference_client), fed the same
generated answers as real `requests` responses: the same message or the same
exception, and the same request sent."""

from __future__ import annotations

import json
import os
from collections.abc import Callable
from typing import Any
from urllib.parse import urlsplit

import requests
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from requests.structures import CaseInsensitiveDict

from support import decision_table, reference_client
from support.decision_table import LITERALS, STATUSES, near_misses
from support.doubles import Response, Text

settings.register_profile(
    "equivalence",
    max_examples=int(os.environ.get("TARNVEL_EQUIVALENCE_EXAMPLES", "300")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
EQUIVALENCE = settings.get_profile("equivalence")


MEMBERS = ["success", "type", "data", "message", "Credits"]


def near(literal: str) -> st.SearchStrategy[str]:
    return st.sampled_from([literal, *near_misses(literal)])


near_literals = st.sampled_from(LITERALS).flatmap(near)
scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats()
    | st.text(max_size=8)
    | near_literals
    | st.sampled_from(["false", "true", "0", "", "None"])
)
json_values = st.recursive(
    scalars,
    lambda children: (
        st.lists(children, max_size=3)
        | st.dictionaries(st.sampled_from(MEMBERS) | st.text(max_size=4), children, max_size=4)
    ),
    max_leaves=8,
)
successes = st.just(True) | st.booleans() | json_values
types = st.sampled_from(LITERALS) | near_literals | json_values
optional_members = {
    "data": st.dictionaries(st.sampled_from(["Credits", "credits"]), json_values, max_size=2) | json_values,
    "message": json_values,
    "Credits": json_values,
}
extra_members = st.dictionaries(st.text(max_size=6), json_values, max_size=2)
# Answers shaped as the service means them, with every member open to odd values ...
shaped_answers = st.fixed_dictionaries({"success": successes, "type": types}, optional=optional_members)
credits_answers = st.fixed_dictionaries(
    {
        "success": st.just(True),
        "type": st.just("credits_data"),
        "data": st.fixed_dictionaries({"Credits": json_values})
        | st.dictionaries(st.sampled_from(MEMBERS), json_values)
        | json_values,
    }
)
# ... and objects where any member may be missing, extra members included.
loose_answers = st.builds(
    lambda known, extra: {**extra, **known},
    st.fixed_dictionaries({}, optional={"success": successes, "type": types, **optional_members}),
    extra_members,
)


def as_json(value: Any) -> tuple[bytes, str]:
    return json.dumps(value).encode(), "application/json"


# Weighted towards decodable objects and passing status codes, where the
# decision tables branch most.
bodies = st.one_of(
    shaped_answers.map(as_json),
    credits_answers.map(as_json),
    loose_answers.map(as_json),
    json_values.map(as_json),
    st.text(max_size=30).map(lambda text: (text.encode(), "text/html; charset=utf-8")),
    st.binary(max_size=12).map(lambda raw: (raw, "application/octet-stream")),
    st.just((b"", "application/json")),
)
# The decision table's statuses: those that pass, and those that do not or
# whose comparison (or its truth) raises.
passing_statuses = st.sampled_from([status for status, passes in STATUSES if passes is True])
failing_statuses = st.sampled_from([status for status, passes in STATUSES if passes is not True]) | st.integers(
    100, 599
)
statuses = st.one_of(st.just(200), st.just(200), passing_statuses, failing_statuses)


def response(status: Any, body: bytes, content_type: str) -> requests.Response:
    made = requests.Response()
    made.status_code = status
    made._content = body
    made.headers = CaseInsensitiveDict({"Content-Type": content_type})
    made.encoding = "utf-8" if "charset=utf-8" in content_type else None
    made.url = "https://search.tarnvel.example/"
    return made


class Canned:
    """Takes the place of `requests`: records each post and answers with a new response."""

    def __init__(self, make: Callable[[], requests.Response]) -> None:
        self.make = make
        self.sent: list[tuple[tuple[Any, ...], dict[str, Any]]] = []

    def post(self, *args: Any, **kwargs: Any) -> requests.Response:
        self.sent.append((args, kwargs))
        return self.make()


def outcome(call: Callable[[], str]) -> tuple[Any, ...]:
    try:
        return ("message", call())
    except Exception as error:
        return ("raised", type(error), str(error))


def without_origin(sent: tuple[tuple[Any, ...], dict[str, Any]]) -> tuple[Any, ...]:
    # The native origin is a build option; the path and the rest must agree.
    (url, *rest), kwargs = sent
    parts = urlsplit(url)
    assert parts.scheme == "https" and parts.netloc and not parts.port
    return (parts.path, parts.query, *rest), kwargs


def run_both(api_logic, calls: Callable[[Any], str], make: Callable[[], requests.Response]):
    native, reference = Canned(make), Canned(make)
    saved = api_logic.requests, reference_client.requests
    api_logic.requests, reference_client.requests = native, reference
    try:
        results = (
            outcome(lambda: calls(api_logic.InternalClass())),
            outcome(lambda: calls(reference_client.InternalClass())),
        )
    finally:
        api_logic.requests, reference_client.requests = saved
    return results, native.sent, reference.sent


def table_examples(test: Callable[..., None]) -> Callable[..., None]:
    """Every answer of the decision table that JSON can carry, as an example."""
    seen = set()
    for case in decision_table.cases():
        answer = case.answer
        if type(answer) is not Response or answer.json_error is not None:
            continue
        try:
            body = as_json(answer.body)
        except (TypeError, ValueError):
            continue  # a value of its own making
        key = (type(answer.status_code), repr(answer.status_code), body)
        if key not in seen:
            seen.add(key)
            test = example(status=answer.status_code, body=body, token="t", query="q")(test)
    return test


@EQUIVALENCE
@given(status=statuses, body=bodies, token=st.text(max_size=10), query=st.text(max_size=10))
# Decoding fails with a plain ValueError, not the decoding error of requests.
@example(status=200, body=(b"1" * 5000, "application/json"), token="t", query="q")
@table_examples
def test_same_answer_same_outcome(api_logic, status, body, token, query):
    make = lambda: response(status, *body)  # noqa: E731
    for calls in (lambda client: client.validate_token(token), lambda client: client.search_query(token, query)):
        (native, reference), native_sent, reference_sent = run_both(api_logic, calls, make)
        assert native == reference
        assert list(map(without_origin, native_sent)) == list(map(without_origin, reference_sent))
        [(_, kwargs)] = native_sent
        assert list(kwargs) == ["headers", "json"]


arguments = st.one_of(
    st.text(max_size=5),
    st.none(),
    st.integers(),
    st.binary(max_size=3),
    st.text(max_size=3).map(Text),
    st.lists(st.text(max_size=2), max_size=2),
)


@EQUIVALENCE
@given(token=arguments, query=arguments)
def test_same_arguments_same_outcome(api_logic, token, query):
    make = lambda: response(200, *as_json({"success": True, "type": "no_credits"}))  # noqa: E731
    for calls in (lambda client: client.validate_token(token), lambda client: client.search_query(token, query)):
        (native, reference), native_sent, reference_sent = run_both(api_logic, calls, make)
        assert native == reference
        assert len(native_sent) == len(reference_sent)
