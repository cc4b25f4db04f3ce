"""Allocation failure: one failing allocation swept across every allocation
of a call, of a first attribute read and of the import. Each sweep runs in a
child interpreter (reliability_sweep prints one JSON line per run); a crash
there is a failed test. Every run must end in MemoryError, in the exception
the step itself raises, or in the right result; every failed attempt must
leave the reference totals (debug interpreter) or memory blocks where they
were; after a failed first read or import, the next one must work."""

from __future__ import annotations

import json
from typing import Any

import pytest

import reliability_steps as catalogue
from conftest import ROOT, run_python
from reliability_support import SCALE
from source_map import INIT, MODULE, SEARCH, VALIDATE, lines

pytest.importorskip("_testcapi", reason="the allocation hooks live in _testcapi")
# Growth of a measured batch that is noise: the measuring code's own objects.
# A leak on any path adds at least one per repeated run, repeated 4 or 6 times.
SLACK = 3
MEMORY_ERROR = {"error": "MemoryError", "message": "", "entries": [], "context": None}

# The steps and their stand-ins come from tests/ and bench/.
PRELUDE = f"""
import sys
sys.path[:0] = [{str(ROOT / "tests")!r}, {str(ROOT / "bench")!r}]
import reliability_sweep
"""


def run_child(body: str, timeout: float) -> dict[str, list[dict[str, Any]]]:
    done = run_python(PRELUDE + body, timeout=timeout)
    assert done.returncode == 0, f"child failed ({done.returncode}):\n{done.stderr[-4000:]}"
    by_sweep: dict[str, list[dict[str, Any]]] = {}
    for line in done.stdout.splitlines():
        record = json.loads(line)
        by_sweep.setdefault(record["sweep"], []).append(record)
    return by_sweep


@pytest.fixture(scope="module")
def call_sweeps() -> dict[str, list[dict[str, Any]]]:
    return run_child(
        "import tarnvel._internal.api_logic as module\n"
        f"reliability_sweep.sweep_steps(module, {list(catalogue.STEPS)!r})\n",
        timeout=600,
    )


@pytest.fixture(scope="module")
def first_read_sweeps() -> dict[str, list[dict[str, Any]]]:
    return run_child(
        "import tarnvel._internal.api_logic as module\n"
        f"reliability_sweep.sweep_first_reads(module, {list(catalogue.FIRST_READS)!r})\n",
        timeout=600,
    )


@pytest.fixture(scope="module")
def import_sweeps() -> dict[str, list[dict[str, Any]]]:
    stride = max(1, round(1 / SCALE))
    return run_child(
        "import requests, typing, tarnvel._internal\n"
        f"reliability_sweep.sweep_import('tarnvel._internal.api_logic', stride={stride})\n",
        timeout=900,
    )


def outcome(record: dict[str, Any]) -> dict[str, Any]:
    return {k: record[k] for k in ("result", "error", "message", "entries", "context") if k in record}


def acceptable(got: dict[str, Any], expected: dict[str, Any], entries: set[tuple[str, int]]) -> bool:
    if got == expected:
        return True
    if got.get("error") == "MemoryError":
        # An entry may name only the function called, at one of its own lines.
        return all((name, line) in entries for name, line in got["entries"])
    # PyErr_Format (Python/errors.c, _PyErr_FormatV) raises the exception
    # without its text when the text itself cannot be allocated; the
    # interpreter's own errors do the same (see the control sweep).
    return "error" in expected and got == {**expected, "message": ""}


def completed(records: list[dict[str, Any]]) -> None:
    runs = [r for r in records if r.get("n") is not None]
    assert runs and runs[-1].get("hit") is False, f"the sweep did not run to the end: {runs[-1:]}"


def judge_in_process(records: list[dict[str, Any]], step: catalogue.Step) -> None:
    assert not any("crash" in r for r in records), records
    base = [outcome(r) for r in records if "n" in r and r["n"] is None]
    assert base == [step.expected], "without failure the step does not reach the intended outcome"
    completed(records)
    wrong = [
        (r["n"], outcome(r))
        for r in records
        if r.get("n") is not None and not acceptable(outcome(r), step.expected, catalogue.entries_of(step.function))
    ]
    assert not wrong, f"expected {step.expected} or MemoryError, got {wrong}"
    (leak,) = [r for r in records if "leak" in r]
    assert leak["leak"] <= SLACK, f"{leak['measure']} grew by {leak['batches']} over {leak['repeats']} repeated sweeps"
    assert leak["watched_leak"] <= SLACK, (
        f"references to the step's own objects grew by {leak['watched_leak']} over {leak['repeats']} repeated sweeps"
    )


@pytest.mark.parametrize("name", list(catalogue.STEPS))
def test_call_under_allocation_failure(call_sweeps, name):
    judge_in_process(call_sweeps[name], catalogue.STEPS[name])


@pytest.mark.parametrize("name", list(catalogue.CONTROLS))
def test_control_of_the_interpreter_alone(call_sweeps, name):
    judge_in_process(call_sweeps[name], catalogue.CONTROLS[name])


def test_display_form_of_nested_values_is_the_interpreters(call_sweeps):
    # The interpreter's repr of nested containers: when Py_ReprLeave
    # (Objects/object.c) cannot shrink its list of objects being shown, it
    # drops the error and leaves the inner object listed, so from then on
    # that object shows as [...]. The module renders through format() and
    # gives exactly what the interpreter gives, behind its prefix.
    interpreter, module = call_sweeps["display: interpreter"], call_sweeps["display: module"]
    prefix = "Token validated successfully. Credits available: "
    shown = {r["result"] for r in interpreter if r.get("n") is not None and "result" in r}
    for records, step, wrong in (
        (interpreter, catalogue.DISPLAY["interpreter"], shown - {"{'a': [1]}"}),
        (module, catalogue.DISPLAY["module"], {prefix + s for s in shown - {"{'a': [1]}"}}),
    ):
        completed(records)
        odd = [
            outcome(r)
            for r in records
            if r.get("n") is not None and not acceptable(outcome(r), step.expected, catalogue.entries_of(step.function))
        ]
        assert all(o.get("result") in wrong for o in odd), odd


@pytest.mark.parametrize("name", list(catalogue.FIRST_READS))
def test_first_read_under_allocation_failure(first_read_sweeps, name):
    read = catalogue.FIRST_READS[name]
    expected = {"result": None if read.assign else read.expected}
    records = first_read_sweeps[name]
    assert not any("crash" in r for r in records), records
    completed(records)
    for r in records:
        assert r["retry"] == {"result": read.expected}, f"n={r['n']}: a later access gives {r['retry']}"
        assert outcome(r) in (expected, MEMORY_ERROR), f"n={r['n']}: {outcome(r)}"
        assert r["repeat_growth"] is None or r["repeat_growth"] <= SLACK, f"n={r['n']}: grew by {r['repeat_growth']}"


# The module's top level, where the methods' def statements run too.
IMPORT_ENTRIES = {(MODULE.function, line) for line in lines(MODULE) | {INIT.def_, VALIDATE.def_, SEARCH.def_}}


@pytest.mark.parametrize("sweep", ["import", "import after a failed import"])
def test_import_under_allocation_failure(import_sweeps, sweep):
    records = import_sweeps[sweep]
    assert not any("crash" in r for r in records), [r for r in records if "crash" in r]
    completed(records)
    failed = 0
    for r in records:
        got = outcome(r)
        if "warmed_by" in r:
            continue
        failed += got.get("error") == "MemoryError"
        assert acceptable(got, {"result": "<module>"}, IMPORT_ENTRIES), f"n={r['n']}: {got}"
        assert r["retry"] == catalogue.IMPORT_WORKS, f"n={r['n']}: the import after it gives {r['retry']}"
        assert r["repeat_growth"] is None or r["repeat_growth"] <= SLACK, (
            f"n={r['n']}: {r['repeats']} failed imports grew the totals by {r['repeat_growth']}"
        )
    assert failed > 0
