"""What a failure must look like: the traceback entries that the module adds
(those naming its source map's file), and the interpreter's own text where
the text is not the module's."""

from __future__ import annotations

import traceback
from typing import Any

from source_map import FILE


def module_entries(exc: BaseException) -> list[tuple[str, int]]:
    """(function name, line) of every traceback entry the module added."""
    # Read straight from the traceback: traceback.extract_tb would fill the
    # line cache, which the leak measures would then count.
    return [
        (frame.f_code.co_name, line)
        for frame, line in traceback.walk_tb(exc.__traceback__)
        if frame.f_code.co_filename == FILE
    ]


def refused_assignment(obj: Any, name: str) -> str:
    """The interpreter's own text for `obj.name = ...` on an object that takes
    no new attributes (3.13 adds why: no __dict__ for setting new attributes)."""
    try:
        setattr(obj, name, None)
    except AttributeError as exc:
        return str(exc)
    raise AssertionError(f"{type(obj).__name__} took the attribute {name!r}")
