"""Both methods' decision tables, case by case (support/decision_table.py):
the message that each answer gives, or the exception, its text and the
traceback entry at the line of the step that reports it."""

from __future__ import annotations

import pytest

from expect import module_entries
from source_map import FUNCTIONS
from support.decision_table import Raises, cases


@pytest.mark.parametrize("case", cases(), ids=str)
def test_the_answer_gives_its_outcome(obj, fake_requests, case):
    fake_requests.respond = lambda *a, **k: case.answer
    if not isinstance(case.outcome, Raises):
        assert case.call(obj) == case.outcome
        return
    expected = case.outcome
    with pytest.raises(expected.error) as info:
        case.call(obj)
    assert type(info.value) is expected.error and str(info.value) == expected.text
    function = FUNCTIONS[case.method]
    assert module_entries(info.value) == [(function.function, getattr(function, expected.step))]
    if expected.context is not None:
        assert type(info.value.__context__) is expected.context
