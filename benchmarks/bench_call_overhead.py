"""What calling a C++ function of the core costs, next to the same function written in Python.

The subject is `quorlix.querymesh.nodewright.initialisation`, a C++ body behind the core's
Python-faithful function type; the baseline is a Python function doing the same eight stores,
measured in the same run on the same interpreter. Every row reports nanoseconds per call for
both and the ratio C++ / Python (below 1 means the C++ function is cheaper). Times are the best
of several repetitions, which is the figure least disturbed by other work on the machine.

A second table checks that the C++ calls leave nothing behind: the net number of memory blocks
still allocated after many calls (tracemalloc, and the interpreter's own block count), with the
Python function as the reference, and the bytes in use in the C heap, where C++ allocations go
unseen by tracemalloc. The process exits with status 1 if a C++ case keeps a block for every
hundred calls, or half a heap chunk (16 bytes) for every call, or more.

Run from the repository root with the development build staged:

    PYTHONPATH=build/dev/stage python benchmarks/bench_call_overhead.py [--quick] [--calls N]
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import inspect
import platform
import sys
import timeit
import tracemalloc
import types
import warnings
from dataclasses import dataclass


def python_initialisation(inputs: dict) -> dict:
    inputs["iteration_count"] = 0
    inputs["max_iterations"] = 5
    inputs["rewrite_count"] = 0
    inputs["rewritten_question"] = ""
    inputs["generated_sql_query"] = []
    inputs["execution_error"] = []
    inputs["sql_execution_result"] = []
    inputs["python_generation_prompt_type"] = "generation"
    return inputs


@dataclass(frozen=True)
class Case:
    name: str
    python_stmt: str
    cpp_stmt: str | None = None  # when the C++ side runs a different statement

    @property
    def cpp(self) -> str:
        return self.cpp_stmt or self.python_stmt


# Each statement runs against a namespace where `f` is the function under test, `holder` an
# instance of a class that stores it as the method `m`, and `bound` the function bound to a dict
# (a method call whose first argument passes the exact-type check).
CASES = [
    Case("module function f(d), fresh dict", "f({'user_question': q})"),
    Case("keyword call f(inputs=d)", "f(inputs={'user_question': q})"),
    Case("method lookup holder.m (binding)", "holder.m"),
    Case("bound method call, self is a dict", "bound()"),
    Case(
        "method call refused: C++ exact-type TypeError vs Python arity TypeError",
        "try:\n    holder.m({})\nexcept TypeError:\n    pass",
        "try:\n    holder.m()\nexcept TypeError:\n    pass",
    ),
    Case(
        "method call with wrong arity, TypeError both",
        "try:\n    holder.m({})\nexcept TypeError:\n    pass",
    ),
    Case("inspect.signature(f)", "signature(f)"),
    Case("inspect.signature(holder.m)", "signature(holder.m)"),
]

# Allocation check: the call shapes that run C++ code, each repeated --calls times.
LEAK_CASES = [case for case in CASES if case.name != "method lookup holder.m (binding)"]


def namespace_for(function) -> dict:
    holder_class = type("Holder", (), {"m": function})
    return {
        "f": function,
        "q": "How many orders were placed in March?",
        "holder": holder_class(),
        "bound": types.MethodType(function, {"user_question": "q"}),
        "signature": inspect.signature,
    }


def calibrated(stmt: str, namespace: dict, seconds: float) -> tuple[timeit.Timer, int]:
    timer = timeit.Timer(stmt, globals=namespace)
    number = 1
    while timer.timeit(number) < seconds:
        number *= 4
    return timer, number


def best_ns_per_call(
    python: tuple[str, dict], cpp: tuple[str, dict], repeat: int, seconds: float
) -> tuple[float, float]:
    """Best time per call of each side; the sides alternate so both meet the same machine load."""
    sides = [calibrated(stmt, namespace, seconds) for stmt, namespace in (python, cpp)]
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        for index, (timer, number) in enumerate(sides):
            best[index] = min(best[index], timer.timeit(number) / number * 1e9)
    return best[0], best[1]


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
        )
    ]


def _malloc_in_use():
    """Bytes in use in the C heap, where C++ allocations go and tracemalloc cannot see them."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2

    def in_use() -> int:
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


MALLOC_IN_USE = _malloc_in_use()


def net_blocks(stmt: str, namespace: dict, calls: int) -> tuple[int, int, int | None]:
    """What stays allocated after `calls` runs of stmt: tracemalloc blocks, interpreter blocks
    (sys.getallocatedblocks) and C heap bytes (None where glibc's mallinfo2 is missing)."""
    timer = timeit.Timer(stmt, globals=namespace)
    # The first calls fill caches that are meant to stay (the cached Signature, interned
    # strings, free lists): they are not what this check is after.
    timer.timeit(min(calls, 1000))
    gc.collect()
    # tracemalloc keeps its own tables in the C heap, so the heap is read in a run without it.
    blocks_before = sys.getallocatedblocks()
    heap_before = MALLOC_IN_USE() if MALLOC_IN_USE else 0
    timer.timeit(calls)
    gc.collect()
    heap_after = MALLOC_IN_USE() if MALLOC_IN_USE else 0
    blocks_after = sys.getallocatedblocks()
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        timer.timeit(calls)
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    ignore = (tracemalloc.Filter(False, tracemalloc.__file__),)
    traced = sum(
        stat.count_diff
        for stat in after.filter_traces(ignore).compare_to(before.filter_traces(ignore), "lineno")
    )
    heap = heap_after - heap_before if MALLOC_IN_USE else None
    return traced, blocks_after - blocks_before, heap


def keeps_memory(kept: tuple[int, int, int | None], calls: int) -> bool:
    """Whether what net_blocks found grows with the calls: caches filled once do not. A kept
    object is at least one block and, in the C heap, one 32-byte chunk per call."""
    traced, blocks, heap = kept
    return max(traced, blocks) * 100 >= calls or (heap or 0) >= 16 * calls


def error_text(stmt: str, namespace: dict) -> str:
    try:
        exec(stmt.replace("except TypeError:\n    pass", "finally:\n    pass"), namespace)
    except TypeError as error:
        return str(error)
    return "(no error)"


def _bytes(value: int | None) -> str:
    return "n/a" if value is None else str(value)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="few repetitions, for a smoke run")
    parser.add_argument("--calls", type=int, default=None, help="calls per allocation check")
    parser.add_argument("--repeat", type=int, default=None, help="timing repetitions per case")
    args = parser.parse_args(argv)
    repeat = args.repeat or (2 if args.quick else 5)
    seconds = 0.002 if args.quick else 0.04
    calls = args.calls or (2_000 if args.quick else 100_000)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        from quorlix.querymesh import nodewright

    python_ns = namespace_for(python_initialisation)
    cpp_ns = namespace_for(nodewright.initialisation)

    print(f"Python {platform.python_version()} on {platform.machine()}, best of {repeat}")
    print(f"nodewright: {nodewright.__file__}")
    print()
    header = f"{'case':<72} {'Python ns':>10} {'C++ ns':>10} {'C++/Py':>7}"
    print(header)
    print("-" * len(header))
    for case in CASES:
        python_ns_call, cpp_ns_call = best_ns_per_call(
            (case.python_stmt, python_ns), (case.cpp, cpp_ns), repeat, seconds
        )
        print(
            f"{case.name:<72} {python_ns_call:>10.0f} {cpp_ns_call:>10.0f}"
            f" {cpp_ns_call / python_ns_call:>7.2f}"
        )
    argument = ("{'user_question': q}", python_ns)
    argument_ns = min(best_ns_per_call(argument, argument, repeat, seconds))
    print(f"(building the one-key argument dict alone: {argument_ns:.0f} ns, in both columns)")
    print()
    refused = CASES[4]
    print(f"C++ refusal:   {error_text(refused.cpp, cpp_ns)}")
    print(f"Python arity:  {error_text(refused.python_stmt, python_ns)}")
    print()

    header = f"{'allocation check, net blocks after ' + format(calls, ',') + ' calls':<72}"
    header += f" {'Py trace':>9} {'C++ trace':>9} {'Py blocks':>9} {'C++ blocks':>10}"
    header += f" {'Py heap B':>9} {'C++ heap B':>10}"
    print(header)
    print("-" * len(header))
    leaking = []
    # Everything alive now is left out of the collections below, which keeps them fast.
    gc.freeze()
    for case in LEAK_CASES:
        python_traced, python_blocks, python_heap = net_blocks(case.python_stmt, python_ns, calls)
        cpp_traced, cpp_blocks, cpp_heap = net_blocks(case.cpp, cpp_ns, calls)
        print(
            f"{case.name:<72} {python_traced:>9} {cpp_traced:>9} {python_blocks:>9}"
            f" {cpp_blocks:>10} {_bytes(python_heap):>9} {_bytes(cpp_heap):>10}"
        )
        if keeps_memory((cpp_traced, cpp_blocks, cpp_heap), calls):
            leaking.append(case.name)
    for name in leaking:
        print(f"LEAK: {name} keeps memory across calls")
    return 1 if leaking else 0


if __name__ == "__main__":
    sys.exit(main())
