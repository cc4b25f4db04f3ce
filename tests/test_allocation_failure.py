"""Allocation failure: one failing allocation swept across every allocation
of a call, of a first attribute read and of the import. Each sweep runs in a
child interpreter (reliability_sweep prints one JSON line per run); a crash
there is a failed test. Every run must end in MemoryError, in the exception
the step itself raises, or in the right result; every failed attempt must
leave the reference totals (debug interpreter) or memory blocks where they
were; after a failed first read or import, the next one must work."""

from __future__ import annotations

import json
import platform
import sys
from collections.abc import Callable
from dataclasses import dataclass
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

# The steps come from tests/, their stand-ins from its support package.
PRELUDE = f"""
import sys
sys.path.insert(0, {str(ROOT / "tests")!r})
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
    # The sweep releases every outcome at once: a spare MemoryError still in
    # use was kept by something else (see the control of the shared one).
    shared = [r["n"] for r in records if r.get("shared_memory_error")]
    assert not shared, f"MemoryErrors outlived their runs: the shared one was raised at n={shared}"


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


# ---------------------------------------------------------------------------
# Faults of the interpreter itself under allocation failure, each shown by a
# control that runs without the module in a fresh interpreter: it must show
# the fault on the interpreters it affects and not on the others. A sweep of
# the module that would meet a fault is skipped where the fault is.


@dataclass(frozen=True)
class InterpreterFault:
    affects: Callable[[tuple[int, ...]], bool]  # sys.version_info -> whether the fault is there
    what: str  # what goes wrong, for the reason of a skip
    control: str  # prints a JSON line whose "fault" says whether it showed


FAILED_CLASS_CREATION = "a failed class creation breaks later ones"
SHARED_MEMORY_ERROR = "one MemoryError shared while the spare ones are in use"

INTERPRETER_FAULTS: dict[str, InterpreterFault] = {
    # 3.13: a class creation that meets one failed allocation leaves a dict
    # broken, and a later class creation crashes (dictresize, from
    # type_ready). The exec step creates two classes and crashes alike.
    FAILED_CLASS_CREATION: InterpreterFault(
        lambda version: version[:2] == (3, 13),
        "a class creation that meets one failed allocation leaves a broken dict, and a later class creation crashes",
        """
import json, os, _testcapi
namespace = {"__module__": "m", "__qualname__": "C", "f": lambda self: 1, "g": 2}
def attempt(n):
    _testcapi.set_nomemory(n, n + 1)
    try:
        type("C", (), dict(namespace))
        failed = False
    except MemoryError:
        failed = True
    finally:
        _testcapi.remove_mem_hooks()
    for i in range(50):
        type("D%d" % i, (), dict(namespace))
    return failed
crashes, n = [], 0
while True:
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.write(write_end, b"1" if attempt(n) else b"0")
        os._exit(0)
    os.close(write_end)
    failed = os.read(read_end, 1)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    if status:
        crashes.append([n, status])
    elif failed == b"0":
        break  # the class was made: past the last allocation
    n += 1
print(json.dumps({"fault": bool(crashes), "crashes": crashes, "allocations": n}))
""",
    ),
    # 3.12+: while every spare MemoryError instance is in use, each further
    # one raised is the same object, whose traceback grows by every raise
    # and holds whatever its frames hold. The sweeps release their outcomes
    # at once and report any raise of the shared one.
    SHARED_MEMORY_ERROR: InterpreterFault(
        lambda version: version >= (3, 12),
        "every MemoryError raised while the spare ones are in use is one object, whose traceback keeps growing",
        """
import json, traceback, _testcapi
def raised():
    _testcapi.set_nomemory(0, 1)
    try:
        len()  # its TypeError cannot be made
    except MemoryError as exc:
        return exc
    finally:
        _testcapi.remove_mem_hooks()
held = []
while len(held) < 64 and not any(h is held[-1] for h in held[:-1]):
    held.append(raised())
spares = len({id(h) for h in held}) - 1
again = [raised() for _ in range(5)]
shared = all(a is held[-1] for a in again)
entries = len(traceback.extract_tb(held[-1].__traceback__))
print(json.dumps({"fault": shared and entries > len(again), "distinct": spares, "entries": entries}))
""",
    ),
}


def where_the_interpreter_fails(name: str) -> pytest.MarkDecorator:
    fault = INTERPRETER_FAULTS[name]
    return pytest.mark.skipif(
        fault.affects(sys.version_info),
        reason=f"on Python {platform.python_version()} {fault.what}: see test_control_of_an_interpreter_fault[{name}]",
    )


@pytest.mark.parametrize("name", list(INTERPRETER_FAULTS))
def test_control_of_an_interpreter_fault(name):
    fault = INTERPRETER_FAULTS[name]
    done = run_python(fault.control, timeout=600)
    assert done.returncode == 0, done.stderr[-4000:]
    shown = json.loads(done.stdout.splitlines()[-1])
    assert shown["fault"] == fault.affects(sys.version_info), shown


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


@where_the_interpreter_fails(FAILED_CLASS_CREATION)  # the exec step creates two classes
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
