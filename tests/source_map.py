"""The module's source map, read from the header the extension is built from
(tarnvel/_internal/source_map.hpp): the file that traceback entries name, each
function's name in them and the line of every step.

    from source_map import FILE, INIT, MODULE, SEARCH, VALIDATE
    VALIDATE.function, VALIDATE.post, SEARCH.take_over, INIT.def_
"""

from __future__ import annotations

import re
from pathlib import Path
from types import SimpleNamespace

HEADER = Path(__file__).resolve().parent.parent / "tarnvel" / "_internal" / "source_map.hpp"

_FILE = re.compile(r'inline constexpr char file\[\] = "([^"]*)";')
_FUNCTION = re.compile(r"inline constexpr struct \{(.*?)\} (\w+);", re.S)
_NAME = re.compile(r'const char\* function = "([^"]*)";')
_LINE = re.compile(r"(\w+) = (\d+)")


def _read() -> tuple[str, dict[str, SimpleNamespace]]:
    text = HEADER.read_text()
    functions = {}
    for body, name in _FUNCTION.findall(text):
        # `def` is a keyword here: the def line is `def_`.
        lines = {("def_" if k == "def" else k): int(v) for k, v in _LINE.findall(body)}
        functions[name] = SimpleNamespace(function=_NAME.search(body).group(1), **lines)
    return _FILE.search(text).group(1), functions


FILE, FUNCTIONS = _read()
MODULE = FUNCTIONS["module_body"]
INIT = FUNCTIONS["init"]
VALIDATE = FUNCTIONS["validate_token"]
SEARCH = FUNCTIONS["search_query"]


def lines(function: SimpleNamespace) -> set[int]:
    """Every line that `function` can report."""
    return {v for v in vars(function).values() if isinstance(v, int)}
