"""The benchmarks run end to end at tiny sizes and print their tables; their figures are not
checked (timings depend on the machine), but the call benchmark's leak check is."""

from __future__ import annotations

import ctypes
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest
import quorlix

BENCHMARKS = Path(__file__).resolve().parents[1] / "benchmarks"


def load(name: str):
    spec = importlib.util.spec_from_file_location(name, BENCHMARKS / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize(
    ("script", "arguments", "header"),
    [
        ("bench_call_overhead", ["--quick", "--calls", "2000"], ["case", "Python ns", "C++/Py"]),
        (
            "bench_bounded_results",
            ["--rows", "1000", "--quick"],
            ["backend", "LC ms", "ours ms", "memory"],
        ),
        (
            "bench_large_schema",
            ["--quick", "--repeat", "1"],
            ["tables", "build ms", "schema ms", "prompt"],
        ),
        ("bench_graph_run", ["--quick"], ["side", "p50 ms", "p90 ms"]),
        ("bench_answer_stream", ["--quick"], ["where", "side", "first p50", "over floor"]),
        ("bench_follow_up", ["--quick"], ["case", "tokens", "restate prompt tok", "p50 ms"]),
        ("bench_tracing_overhead", ["--quick"], ["side", "p50 ms", "p90 ms"]),
        (
            "bench_knowledge_retrieval",
            ["--quick", "--repeat", "1"],
            ["method", "recall@1", "recall@3", "x baseline"],
        ),
        ("bench_analysis_sandbox", ["--quick"], ["figure", "in-process ms", "sandboxed ms"]),
        (
            "bench_startup",
            ["--quick", "--model-wait", "0.01"],
            ["case", "best s", "x import", "target"],
        ),
    ],
)
def test_benchmark_runs_and_prints_its_table(script, arguments, header):
    env = dict(os.environ)
    # The child must import the same quorlix as this test, staged or installed.
    # (The staged package is a tree of symbolic links: resolving them would leave the stage.)
    package_root = str(Path(quorlix.__file__).parents[1])
    env["PYTHONPATH"] = os.pathsep.join([package_root, env.get("PYTHONPATH", "")])
    done = subprocess.run(
        [sys.executable, str(BENCHMARKS / f"{script}.py"), *arguments],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-3000:]
    header_lines = [line for line in done.stdout.splitlines() if line.split()[:1] == header[:1]]
    assert header_lines, done.stdout
    assert all(column in header_lines[0] for column in header)


@pytest.mark.parametrize(
    ("statement", "leaks"),
    [
        ("keep.append(object())", True),
        # Memory taken in the C heap and never given back, as a C++ leak would be.
        ("malloc(4096)", True),
        ("[object(), bytearray(4096)]", False),
        ("free(malloc(4096))", False),
    ],
)
def test_leak_check_sees_memory_kept_per_call(statement, leaks):
    bench = load("bench_call_overhead")
    if "malloc" in statement and bench.MALLOC_IN_USE is None:
        pytest.skip("the C library offers no mallinfo2 to read the C heap with")
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.free.argtypes = [ctypes.c_void_p]
    namespace = {"keep": [], "malloc": libc.malloc, "free": libc.free}
    calls = 2000
    kept = bench.net_blocks(statement, namespace, calls)
    assert bench.keeps_memory(kept, calls) == leaks, kept


def resident_transient(mib: int) -> None:
    """Makes `mib` MiB resident for a moment (calloc'd pages count once they are written)."""
    block = bytearray(mib << 20)
    page = 4096
    block[::page] = b"\x01" * (len(block) // page)
    del block


def test_peak_reset_forgets_an_earlier_peak_and_sees_the_next():
    bench = load("bench_bounded_results")
    resident_transient(96)
    if not bench.reset_peak():
        pytest.skip("this kernel does not let a process reset its peak resident set")
    status = bench.memory_status()  # in KiB
    assert status["VmHWM"] - status["VmRSS"] < 16 << 10, status
    resident_transient(64)
    assert bench.memory_status()["VmHWM"] - status["VmRSS"] >= 60 << 10


def test_both_backends_get_the_same_rows(tmp_path):
    """The benchmark compares the backends on the premise that they hold the same table."""
    import sqlalchemy

    bench = load("bench_bounded_results")
    rows = 300
    sqlite_url = bench.make_sqlite(tmp_path / "big.sqlite3", rows)
    duckdb_url = bench.make_duckdb(tmp_path / "big.duckdb", rows)
    with bench.throwaway_postgres(rows) as pg_url:
        if pg_url is None:
            pytest.skip("no PostgreSQL server answers on 127.0.0.1:5432")
        tables = []
        for url in (sqlite_url, pg_url, duckdb_url):
            engine = sqlalchemy.create_engine(url)
            with engine.connect() as connection:
                tables.append(
                    [tuple(row) for row in connection.exec_driver_sql(bench.QUERY + " ORDER BY id")]
                )
            engine.dispose()
    assert len(tables[0]) == rows
    assert tables[0] == tables[1] == tables[2]
