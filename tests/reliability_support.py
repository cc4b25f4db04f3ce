"""Shared by the reliability tests: how far to scale the work down (an
emulated run sets TARNVEL_TEST_SCALE below 1), and how leaks are measured."""

from __future__ import annotations

import gc
import os
import sys
import types
from typing import Any

SCALE = float(os.environ.get("TARNVEL_TEST_SCALE", "1") or 1)


def scaled(count: int, minimum: int = 1) -> int:
    return max(minimum, round(count * SCALE))


def totals() -> int:
    """References in use (debug interpreter) or memory blocks in use."""
    # The attribute lookup cache holds the names it was last asked for,
    # temporary strings included. From 3.14 only the call that clears every
    # internal cache is not deprecated.
    if sys.version_info >= (3, 14):
        sys._clear_internal_caches()
    else:
        sys._clear_type_cache()
    gc.collect()
    if hasattr(sys, "gettotalrefcount"):
        return sys.gettotalrefcount()
    return sys.getallocatedblocks()


def watched(roots: list[Any], depth: int = 5) -> list[Any]:
    """The objects reachable from `roots` (the step and the stand-ins it
    uses): a release interpreter has no reference total, but a reference
    leaked to one of these shows in its own count."""
    skipped = (type, types.ModuleType, types.CodeType, types.BuiltinFunctionType)
    seen: dict[int, Any] = {}
    frontier = list(roots)
    for _ in range(depth):
        following = []
        for obj in frontier:
            if id(obj) in seen or isinstance(obj, skipped):
                continue
            if isinstance(obj, types.FunctionType):
                # What a stand-in's function closes over, not its globals.
                following.extend(cell.cell_contents for cell in obj.__closure__ or () if cell_filled(cell))
                continue
            seen[id(obj)] = obj
            following.extend(gc.get_referents(obj))
        frontier = following
    return list(seen.values())


def reference_counts(objects: list[Any]) -> int:
    return sum(map(sys.getrefcount, objects))


def cell_filled(cell: Any) -> bool:
    try:
        cell.cell_contents
    except ValueError:
        return False
    return True
