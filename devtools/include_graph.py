"""Checks that the module's files depend on one another one way only.

A unit is a header and its .cpp (`traceback.hpp` and `traceback.cpp`); a unit
depends on every unit whose header one of its files includes with quotes.
Prints the units from the bottom up, each with what it includes, and exits
non-zero when the graph has a cycle, naming it.

    python devtools/include_graph.py [SOURCE_DIR]
"""

from __future__ import annotations

import re
import sys
from graphlib import CycleError, TopologicalSorter
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def unit_graph(source_dir: Path) -> dict[str, set[str]]:
    graph: dict[str, set[str]] = {}
    for path in sorted(source_dir.glob("*.[ch]pp")):
        unit = path.stem
        included = {Path(name).stem for name in INCLUDE.findall(path.read_text())}
        graph.setdefault(unit, set()).update(included - {unit})
    return graph


def main() -> int:
    source_dir = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent.parent / "tarnvel" / "_internal"
    graph = unit_graph(source_dir)
    try:
        order = list(TopologicalSorter(graph).static_order())
    except CycleError as error:
        print(f"include_graph: cycle: {' -> '.join(error.args[1])}", file=sys.stderr)
        return 1
    for unit in order:
        if unit in graph:
            print(f"{unit}: {', '.join(sorted(graph[unit])) or '-'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
