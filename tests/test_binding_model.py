"""Generated calls of the three methods against a small model of how they
bind their arguments: the model predicts the error text (and whether the
method adds a traceback entry), or else the objects that reach the body, and
a recording stand-in shows what the body posted; after an error, nothing."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from hypothesis import event, given, settings
from hypothesis import strategies as st

from expect import module_entries, refused_assignment
from reliability_support import scaled
from source_map import INIT, SEARCH, VALIDATE
from support.doubles import Response, Text

PARAMETERS = {"__init__": ("self",), "validate_token": ("self", "token"), "search_query": ("self", "token", "query")}
FUNCTIONS = {"__init__": INIT, "validate_token": VALIDATE, "search_query": SEARCH}
ANSWER = {"success": True, "type": "credits_data", "data": {"Credits": 1}}
MESSAGE = {
    "validate_token": "Token validated successfully. Credits available: 1",
    "search_query": "Search results: {'Credits': 1}",
}


class Plain:
    pass


class Recorder:
    def __init__(self) -> None:
        self.posted: list[dict[str, Any]] = []

    def post(self, url: str, headers: dict[str, Any], json: dict[str, Any]) -> Response:
        self.posted.append({"token": json.get("token", headers.get("authToken")), "query": json.get("s")})
        return Response(200, ANSWER)


@dataclass(frozen=True)
class Call:
    method: str
    via: str  # "instance", "class", or "class call" (the class itself, for __init__)
    form: str  # "fast" or "tuple and dict"
    positional: tuple[Any, ...]
    keywords: tuple[tuple[str, Any], ...]
    interned: bool  # keyword names as written in source, or made at run time
    key_not_str: bool  # the keyword dict also holds the key 1


values = st.one_of(
    st.text(max_size=4),
    st.integers(),
    st.none(),
    st.binary(max_size=2),
    st.floats(allow_nan=False),
    st.builds(Text, st.text(max_size=3)),
    st.builds(Plain),
    st.lists(st.integers(), max_size=2),
)
# Mostly text, so that many calls get past the type tests.
arguments = st.one_of(st.text(max_size=6), st.text(max_size=6), st.text(max_size=6), values)


def rarely(draw: Any) -> bool:
    return draw(st.booleans()) and draw(st.booleans()) and draw(st.booleans())


@st.composite
def calls(draw: Any) -> Call:
    method = draw(st.sampled_from(list(PARAMETERS)))
    params = PARAMETERS[method]
    via = draw(st.sampled_from(["instance", "class"] + (["class call"] if method == "__init__" else [])))
    form = "fast" if via == "class call" else draw(st.sampled_from(["fast", "tuple and dict"]))
    supplied = 0 if via == "class" else 1  # the instance comes first
    positional = tuple(draw(st.lists(arguments, max_size=len(params) + 1 - supplied)))
    # Keywords: mostly the parameters not given positionally, sometimes one
    # left out, sometimes one that repeats a positional one or names none.
    given_count = supplied + len(positional)
    chosen = [p for p in params[given_count:] if not rarely(draw)]
    if rarely(draw):
        chosen.append(draw(st.sampled_from(["extra", "x", *params])))
    chosen = draw(st.permutations(list(dict.fromkeys(chosen))))
    keywords = tuple((name, draw(arguments)) for name in chosen)
    key_not_str = form == "tuple and dict" and rarely(draw) and draw(st.booleans())
    return Call(method, via, form, positional, keywords, draw(st.booleans()), key_not_str)


# --- The model -------------------------------------------------------------------


@dataclass(frozen=True)
class Refused:
    text: str
    exc_type: type[BaseException] = TypeError
    entry_line: int | None = None  # the method's traceback entry, if it adds one


def predict(call: Call, instance: Any) -> Refused | tuple[Any, ...]:
    """The error the call must give, or the values bound to the parameters."""
    method, params = call.method, PARAMETERS[call.method]
    if call.key_not_str:
        return Refused("keywords must be strings")
    n = len(params)
    positional = ((instance,) if call.via != "class" else ()) + call.positional
    given = len(positional)
    line = FUNCTIONS[method].def_

    def count_error(count: int) -> Refused:
        return Refused(
            f"{method}() takes exactly {n} positional argument{'' if n == 1 else 's'} ({count} given)", entry_line=line
        )

    if not call.keywords:
        if given != n:
            return count_error(given)
        return positional
    if given > n:
        return count_error(given)
    by_name = dict(call.keywords)
    bound = list(positional)
    for i in range(given, n):
        if params[i] not in by_name:
            return count_error(i)
        bound.append(by_name[params[i]])
    if len(call.keywords) > n - given:
        for name, _ in call.keywords:
            if name in params[given:]:
                continue
            if name in params[:given]:
                return Refused(f"{method}() got multiple values for keyword argument '{name}'", entry_line=line)
            return Refused(f"{method}() got an unexpected keyword argument '{name}'", entry_line=line)
    return tuple(bound)


def predict_body(call: Call, bound: tuple[Any, ...]) -> Refused | None:
    """The error of the type tests or the constructor's assignment, if any."""
    for name, value in zip(PARAMETERS[call.method][1:], bound[1:], strict=True):
        if type(value) is not str:
            return Refused(f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})")
    if call.method == "__init__" and not hasattr(bound[0], "__dict__"):
        return Refused(refused_assignment(bound[0], "_api_key"), AttributeError, INIT.assignment)
    return None


# --- Running a call ------------------------------------------------------------------


def run(api_logic: Any, instance: Any, call: Call) -> Any:
    keywords: dict[Any, Any] = {
        ("".join(list(name)) if not call.interned else name): value for name, value in call.keywords
    }
    if call.key_not_str:
        keywords[1] = "v"
    function = getattr(api_logic.InternalClass, call.method)
    if call.via == "class call":
        return api_logic.InternalClass(*call.positional, **keywords)
    if call.form == "fast":
        target = getattr(instance, call.method) if call.via == "instance" else function
        return target(*call.positional, **keywords)
    prefix = (instance,) if call.via == "instance" else ()
    return type(function).__call__(function, *prefix, *call.positional, **keywords)


@settings(max_examples=scaled(1500, minimum=50), deadline=None, database=None)
@given(call=calls())
def test_binding_follows_the_model(api_logic, call):
    recorder = Recorder()
    saved = api_logic.requests
    api_logic.requests = recorder
    try:
        instance = api_logic.InternalClass()
        try:
            result: Any = run(api_logic, instance, call)
        except Exception as exc:  # noqa: BLE001 - compared with the prediction
            result = exc
    finally:
        api_logic.requests = saved

    predicted = predict(call, instance)
    if not isinstance(predicted, Refused):
        predicted = predict_body(call, predicted) or predicted
    event(f"{call.method}: {predicted.text.split('(')[0][:40] if isinstance(predicted, Refused) else 'bound'}")
    if isinstance(predicted, Refused):
        assert type(result) is predicted.exc_type and str(result) == predicted.text, (result, predicted)
        qualified = FUNCTIONS[call.method].function
        expected_entries = [] if predicted.entry_line is None else [(qualified, predicted.entry_line)]
        assert module_entries(result) == expected_entries
        assert recorder.posted == []
        return
    if call.method == "__init__":
        self_value = instance if call.via == "instance" else predicted[0]
        if call.via == "class call":
            assert type(result) is api_logic.InternalClass and result._api_key == "zefrun"
        else:
            assert result is None and self_value._api_key == "zefrun"
        return
    assert result == MESSAGE[call.method]
    assert len(recorder.posted) == 1
    (posted,) = recorder.posted
    assert posted["token"] is predicted[1]
    if call.method == "search_query":
        assert posted["query"] is predicted[2]
