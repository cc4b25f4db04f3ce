"""Allocation-failure sweeps, run inside a child interpreter.

`_testcapi.set_nomemory(n, n + 1)` makes exactly the (n+1)-th allocation
after the call fail. A sweep runs one step with n = 0, 1, 2, ... until the
step completes before the failing allocation is reached, and prints one JSON
line per n: the outcome (result or exception, with the module's own traceback
entries) and whether the injected failure actually hit inside the step.

The parent test judges the lines; this module only observes.
"""

from __future__ import annotations

import gc
import json
import os
import sys
import traceback
from collections.abc import Callable
from typing import Any

import _testcapi

from expect import module_entries
from reliability_support import reference_counts, totals, watched


def _failure_pending(n: int) -> bool:
    # Still under the hook: if the (n+1)-th allocation has not been reached
    # yet, at most n+1 more allocations reach it.
    try:
        for _ in range(n + 2):
            bytearray(16)
    except MemoryError:
        return True
    return False


def materialize_frames() -> None:
    """Gives every Python frame on the stack its frame object.

    CPython 3.11 tears down a frame that a traceback refers to by linking it
    to its caller's frame object, creating that object if need be; when that
    allocation fails it clears the propagating exception (Python/frame.c,
    take_ownership), which a release build reports as SystemError "error
    return without exception set" and a debug build aborts on. With every
    caller's frame object made beforehand, the injected failure can only hit
    the code under test. Steps written in Python call this first for the
    same reason."""
    frame = sys._getframe()
    while frame is not None:
        frame = frame.f_back


def release(error: BaseException | None) -> None:
    """Drops the tracebacks of `error` and of every exception chained to it.

    A traceback holds the frames it passed, and a frame holds the exception it
    caught: a cycle that only a collection frees, and until then every
    MemoryError in one stays in use. From 3.12 the interpreter keeps a few
    spare MemoryError instances and, while all of them are in use, raises one
    shared instance instead, whose traceback grows by every raise and holds
    whatever it passed (see the control in test_allocation_failure). Released
    at once, no outcome of a sweep keeps a spare from the next run."""
    pending, seen = [error], set()
    while pending:
        exc = pending.pop()
        if exc is None or id(exc) in seen:
            continue
        seen.add(id(exc))
        exc.__traceback__ = None
        pending += [exc.__context__, exc.__cause__]


def _shared_memory_error() -> BaseException | None:
    """The one MemoryError that the interpreter raises while its spare ones
    are all in use (3.12+), or None where each raise makes its own."""
    held: list[BaseException] = []
    try:
        for _ in range(64):
            _testcapi.set_nomemory(0, 1)
            try:
                len()  # its TypeError cannot be made
            except MemoryError as exc:
                if any(exc is h for h in held):
                    release(exc)
                    exc.__context__ = None
                    return exc
                held.append(exc)
            finally:
                _testcapi.remove_mem_hooks()
        return None
    finally:
        for exc in held:
            release(exc)
        del held


SHARED_MEMORY_ERROR = _shared_memory_error()


def run_hooked(n: int, step: Callable[[], Any], *, keep: bool = False) -> tuple[Any, BaseException | None, bool]:
    """(result, exception, hit): `hit` is False when the step completed
    before the failing allocation was reached. Unless `keep` (for `describe`,
    which releases it), the exception comes back released."""
    materialize_frames()
    _testcapi.set_nomemory(n, n + 1)
    try:
        try:
            result = step()
            error = None
        except BaseException as exc:  # noqa: BLE001 - everything is an outcome here
            result = None
            error = exc
        pending = _failure_pending(n)
    finally:
        _testcapi.remove_mem_hooks()
    if not keep:
        release(error)
    return result, error, not pending


def shown(value: Any) -> Any:
    if value is None or isinstance(value, (str, bool, int, float)):
        return value
    if isinstance(value, dict):
        return repr(value)
    return f"<{type(value).__name__}>"


def describe(result: Any, error: BaseException | None) -> dict[str, Any]:
    """The outcome as printed; the exception is released after."""
    if error is None:
        return {"result": shown(result)}
    context = error.__context__
    described = {
        "error": type(error).__name__,
        "message": str(error),
        "entries": [list(entry) for entry in module_entries(error)],
        "context": None if context is None else type(context).__name__,
    }
    if error is SHARED_MEMORY_ERROR:
        # Every spare was in use: some MemoryError outlived its run.
        described["shared_memory_error"] = True
    release(error)
    return described


def emit(record: dict[str, Any]) -> None:
    print(json.dumps(record), flush=True)


def sweep(name: str, step: Callable[[], Any], *, cold: bool = False, repeats: int = 6, roots: list[Any] = ()) -> None:
    """Sweeps `step` in this process. Unless `cold`, a call without the hook
    comes first; then one run per n, printed. Then the whole sweep runs once
    more, to fill whatever the first runs cached, and twice `repeats` times
    more in two measured batches: a reference or block leaked on any path
    shows at least `repeats` times in both, while a one-time growth (a cache
    filled late) shows in one batch only."""
    if not cold:
        result, error = _call(step)
        emit({"sweep": name, "n": None, **describe(result, error)})
        del result, error
    n = 0
    while True:
        result, error, hit = run_hooked(n, step, keep=True)
        emit({"sweep": name, "n": n, "hit": hit, **describe(result, error)})
        del result, error
        if not hit:
            break
        n += 1
    if cold:
        result, error = _call(step)
        emit({"sweep": name, "n": None, **describe(result, error)})
        del result, error
    last = n
    for m in range(last + 1):
        run_hooked(m, step)
    objects = watched([step, *roots])
    batches, watched_batches = [], []
    for _ in range(2):
        before, watched_before = totals(), reference_counts(objects)
        for _ in range(repeats):
            for m in range(last + 1):
                run_hooked(m, step)
        batches.append(totals() - before)
        watched_batches.append(reference_counts(objects) - watched_before)
    emit(
        {
            "sweep": name,
            "leak": min(batches),
            "batches": batches,
            "repeats": repeats,
            "measure": "refs" if hasattr(sys, "gettotalrefcount") else "blocks",
            "watched_leak": min(watched_batches),
            "watched": len(objects),
        }
    )


def sweep_steps(module: Any, names: list[str]) -> None:
    """Sweeps the named steps of reliability_steps, cold ones first, then the
    controls; the display steps first of all, each in a forked copy."""
    import reliability_steps as catalogue

    for name, step in catalogue.DISPLAY.items():
        in_fork(
            lambda name=name, step=step: sweep(f"display: {name}", catalogue.prepare(name, step, module), repeats=0)
        )
    totals()
    ordered = sorted(names, key=lambda name: not catalogue.STEPS[name].cold)
    for name in ordered:
        step = catalogue.STEPS[name]
        callable_step = catalogue.prepare(name, step, module)
        sweep(name, callable_step, cold=step.cold, roots=[module.__dict__.get("requests")])
    for name, step in catalogue.CONTROLS.items():
        sweep(name, step.build(module))


def sweep_first_reads(module: Any, names: list[str]) -> None:
    """Each named first read of reliability_steps, in forked copies of a
    process in which no method object attribute has been read yet."""
    import reliability_steps as catalogue

    for name in names:
        step, retry = catalogue.FIRST_READS[name].steps(module)
        forked_sweep(name, step, retry)


def sweep_import(name: str, stride: int = 1) -> None:
    """The create and exec steps of the module, as the import system runs
    them (`_imp.create_dynamic`, then `_imp.exec_dynamic` with the module in
    sys.modules, removed again on failure), hooked; then, without the hook, a
    real import and a call through the imported class. The import system's
    own Python code stays outside the hook: under allocation failure it
    reaches the 3.11 frame teardown fault described in materialize_frames."""
    import _imp
    import importlib
    import importlib.util

    import reliability_steps as catalogue

    spec = importlib.util.find_spec(name)

    def create_and_exec() -> Any:
        sys._getframe()
        module = _imp.create_dynamic(spec)
        sys.modules[name] = module
        try:
            _imp.exec_dynamic(module)
        except BaseException:
            if sys.modules.get(name) is module:
                del sys.modules[name]
            raise
        return module

    def import_and_use() -> str:
        return catalogue.use_imported(importlib.import_module(name))

    # Collections in the copies then skip everything made so far.
    gc.freeze()
    first = forked_sweep("import", create_and_exec, import_and_use, stride=stride, repeats=0)
    # The first attempt of a process also readies the method object type;
    # after one failed attempt every later one allocates alike, which the
    # leak measure of the second sweep needs.
    failed_late = [r["n"] for r in first if r["n"] is not None and r.get("entries")]
    if not failed_late:
        emit({"sweep": "import after a failed import", "crash": "no failure of the exec step's later steps"})
        return
    _, error, _ = run_hooked(failed_late[0], create_and_exec, keep=True)
    emit({"sweep": "import after a failed import", "n": None, "warmed_by": failed_late[0], **describe(None, error)})
    del error
    forked_sweep("import after a failed import", create_and_exec, import_and_use, stride=stride)


def _call(step: Callable[[], Any]) -> tuple[Any, BaseException | None]:
    try:
        return step(), None
    except BaseException as exc:  # noqa: BLE001
        return None, exc


def forked_sweep(
    name: str, step: Callable[[], Any], retry: Callable[[], Any], *, stride: int = 1, repeats: int = 4
) -> list[dict[str, Any]]:
    """Sweeps a step that changes the process for good (a first read, the
    import): every n runs in a forked copy of this process. There the step
    runs hooked once and then again, at the same n, in measured batches of
    `repeats` attempts; then `retry` runs without the hook and must give
    the right outcome. Returns the records it printed."""
    clean = _forked(lambda: _pair(None, step, retry, 0))
    records = [{"sweep": name, "n": None, **clean}]
    emit(records[-1])
    n = 0
    while True:
        record = _forked(lambda n=n: _pair(n, step, retry, repeats))
        records.append({"sweep": name, "n": n, **record})
        emit(records[-1])
        if "crash" in record or not record["hit"]:
            break
        n += stride
    return records


def _pair(n: int | None, step: Callable[[], Any], retry: Callable[[], Any], repeats: int) -> dict[str, Any]:
    if n is None:
        (result, error), hit = _call(step), False
    else:
        result, error, hit = run_hooked(n, step, keep=True)
    first = describe(result, error)
    failed = error is not None
    del result, error
    # Later attempts can get further than the first ones (what an attempt
    # made stays made: the method object type, interned names), so a few
    # go unmeasured; then two batches are measured. A leak of every failed
    # attempt shows `repeats` times in both, a late one-time growth in one.
    batches = []
    warm = 3
    for attempt in range(warm + 2 * repeats if failed and repeats else 0):
        if attempt >= warm and (attempt - warm) % repeats == 0:
            before = totals()
        result, error, _ = run_hooked(n, step)
        failed = failed and error is not None
        del result, error
        if attempt >= warm and (attempt - warm) % repeats == repeats - 1:
            batches.append(totals() - before)
    # Only failed attempts are comparable: a success makes what stays made.
    growth = min(batches) if failed and batches else None
    result, error = _call(retry)
    again = describe(result, error)
    del result, error
    return {"hit": hit, **first, "retry": again, "repeat_growth": growth, "repeats": repeats}


def in_fork(work: Callable[[], None]) -> None:
    """Runs `work` (which prints its own lines) in a forked copy of this process."""
    record = _forked(lambda: (work(), {})[1])
    if "crash" in record:
        emit({"sweep": "fork", **record})


def _forked(work: Callable[[], dict[str, Any]]) -> dict[str, Any]:
    read_end, write_end = os.pipe()
    sys.stdout.flush()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        code = 0
        try:
            payload = json.dumps(work()).encode()
            with os.fdopen(write_end, "wb") as pipe:
                pipe.write(payload)
            sys.stdout.flush()
        except BaseException:  # noqa: BLE001 - report, never go on with the parent's code
            traceback.print_exc()
            code = 3
        os._exit(code)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        payload = pipe.read()
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status) or os.WEXITSTATUS(status) != 0 or not payload:
        return {"crash": f"wait status {status:#x}"}
    return json.loads(payload)
