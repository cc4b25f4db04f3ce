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

_NAMESPACE = re.compile(r"^namespace (\w+) \{$(.*?)^\}  // namespace \1$", re.M | re.S)
_LINE = re.compile(r"^inline constexpr int (\w+) = (\d+);", re.M)
_NAME = re.compile(r'^inline constexpr char (\w+)\[\] = "([^"]*)";', re.M)


def _read() -> tuple[str, dict[str, SimpleNamespace]]:
    text = HEADER.read_text()
    functions = {}
    for name, body in _NAMESPACE.findall(text):
        fields = {key: int(value) for key, value in _LINE.findall(body)}
        fields.update(_NAME.findall(body))
        # `def` is a keyword here: the def line is `def_`.
        functions[name] = SimpleNamespace(**{("def_" if k == "def" else k): v for k, v in fields.items()})
    (file,) = [value for key, value in _NAME.findall(text) if key == "file"]
    return file, functions


FILE, FUNCTIONS = _read()
MODULE = FUNCTIONS["module_body"]
INIT = FUNCTIONS["init"]
VALIDATE = FUNCTIONS["validate_token"]
SEARCH = FUNCTIONS["search_query"]


def lines(function: SimpleNamespace) -> set[int]:
    """Every line that `function` can report."""
    return {v for v in vars(function).values() if isinstance(v, int)}
