"""What a successful call allocates in binding: nothing.

    PYTHONPATH=<stage> python bench/allocations.py [--calls N] [--no-callgrind]

Two views:

1. Memory blocks (`sys.getallocatedblocks()`) before and after many
   successful calls of each case, after a warm-up: a call keeps nothing, so
   the count comes back to where it was.
2. The call graph under callgrind: everything the binding code of the method
   object calls on a successful call. The vectorcall entry calls the method's
   entry, the entry calls the binding and then the body, and the binding
   calls nothing at all: no allocator, no tuple, no dict. Whatever the call
   allocates, the body allocates (the request dicts, the message).
"""

from __future__ import annotations

import argparse
import re
import shutil
import sys
import tempfile
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import callgrind_bench  # noqa: E402
import cases  # noqa: E402

# The binding side of the method object, as symbols of the extension.
BINDING = re.compile(r"method_object_vectorcall|validate_token_entry|search_query_entry|init_entry|bind_arguments")


def short(name: str) -> str:
    name = name.replace("tarnvel::(anonymous namespace)::", "").replace("tarnvel::", "")
    name = re.sub(r"'\d+$", "", name)  # callgrind's recursion marks
    return re.sub(r"\(.*\)$", "", name)


def block_counts(calls: int) -> list[tuple[str, list[int]]]:
    rows = []
    for case in cases.CASES:
        if not case.success:
            continue
        run = cases.make_runner(case, "native")
        cases.install(cases.RESPONSES[case.response])
        run(1000)
        deltas = []
        for _ in range(2):
            before = sys.getallocatedblocks()
            run(calls)
            deltas.append(sys.getallocatedblocks() - before)
        rows.append((case.name, deltas))
    return rows


def binding_callees(loops: int) -> dict[str, dict[str, dict[str, int]]]:
    names = [case.name for case in cases.CASES if case.success]
    pairs = [f"{name}:native" for name in names]
    out_dir = Path(tempfile.mkdtemp(prefix="tarnvel-alloc-"))
    try:
        dumps = callgrind_bench.run_valgrind(loops, 50, pairs, out_dir)
        found = {}
        for name, dump in zip(names, dumps, strict=True):
            graph = callgrind_bench.read_calls(dump)
            found[name] = {
                short(caller): {short(callee): n for callee, n in callees.items()}
                for caller, callees in graph.items()
                if BINDING.search(caller)
            }
        return found
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--no-callgrind", action="store_true")
    args = parser.parse_args()
    print(f"memory blocks kept after each of two batches of {args.calls} successful calls (after 1000 warm-up calls)")
    for name, deltas in block_counts(args.calls):
        print(f"  {name:<20}" + "".join(f"{delta:>+6d}" for delta in deltas))
    if args.no_callgrind:
        return
    print("what the binding code calls on successful calls (callgrind call graph)")
    allowed = {
        "validate_token_entry",
        "search_query_entry",
        "init_entry",
        "bind_arguments",
        "validate_token_body",
        "search_query_body",
        "PyObject_GenericSetAttr",
    }
    clean = True
    for name, graph in binding_callees(200).items():
        called = {callee for callees in graph.values() for callee in callees if BINDING.search(callee)}
        for caller in sorted(set(graph) | called):
            callees = graph.get(caller, {})
            listed = ", ".join(sorted(callees)) or "nothing"
            print(f"  {name:<20}{caller:<26} -> {listed}")
            clean &= set(callees) <= allowed
    print("  binding allocates nothing: " + ("yes" if clean else "NO: see the callees above"))


if __name__ == "__main__":
    main()
