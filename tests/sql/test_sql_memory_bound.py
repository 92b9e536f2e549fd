"""One call grows the host process by at most 64 MiB above its level before the call, whatever
the query, on every engine and every path that shows rows: ``run`` (the graph, ``quorlix ask``
and ``quorlix eval``), ``_execute``, and the service's ``/v1/sql``. Measured as the peak resident
set of a fresh process, one process per engine.

Each engine's list starts with the reproducers that broke through (1.3 GB to 6.7 GB) and goes
on with variants: other types, row and column counts. The statement-length bound is lifted here
so that the row and value bounds are what is measured.
"""

# ruff: noqa: F811 - the fixtures imported from test_custom_sql are used by name

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest
import quorlix
from test_custom_sql import mysql_sample, pg_sample, target  # noqa: F401 - fixtures
from test_duckdb_sources import make_source

MiB = 1024 * 1024
BOUND = 64 * MiB
MAX_RESULT_CHARS = 20_000
# The keys around the rows and columns.
JSON_ROOM = 200


def _columns(count: int, value: str) -> str:
    return ", ".join(f"{value} AS c{index}" for index in range(count))


def _sqlite_wide(columns: int) -> str:
    rows = "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r WHERE n < 101)"
    return f"{rows} SELECT {_columns(columns, LONG_SQLITE_VALUE)} FROM r"


def _pg_numerics(columns: int) -> str:
    return f"SELECT {_columns(columns, LONG_NUMERIC)} FROM generate_series(1, 101)"


def _sqlite_widest() -> str:
    # SQLite's most columns, each short enough for the worker to build whole rows: it is the
    # number of rows fetched that must shrink here, the values being at their floor already.
    rows = "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r WHERE n < 101)"
    return (
        f"{rows}, s(v) AS (SELECT printf('%.*c', 400, 'a')) SELECT {_columns(2000, 'v')} FROM r, s"
    )


LONG_SQLITE_VALUE = "printf('%.*c', 262000, 'a') || n"
LONG_NUMERIC = "(repeat('9', 131072) || '.5')::numeric"
LONG_MYSQL_VALUE = "REPEAT('w', 40000)"


CASES: dict[str, list[tuple[str, str]]] = {
    "sqlite": [
        ("run", _sqlite_wide(800)),
        ("run", _sqlite_wide(300)),
        ("sql", _sqlite_wide(300)),
        ("execute", _sqlite_widest()),
        ("run", "SELECT zeroblob(100000000)"),
        ("execute", "SELECT zeroblob(20000000) FROM items LIMIT 10"),
        (
            "run",
            "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r WHERE n < 150)"
            " SELECT zeroblob(250000), n FROM r",
        ),
    ],
    "postgresql": [
        ("run", _pg_numerics(30)),
        ("sql", _pg_numerics(10)),
        (  # nearly PostgreSQL's most columns, each value at the floor of 301 characters
            "execute",
            "SELECT " + _columns(1600, "v") + " FROM generate_series(1, 101),"
            " (SELECT repeat('a', 400) AS v) AS s",
        ),
        ("run", "SELECT repeat('x', 100000000) FROM generate_series(1, 10)"),
        ("execute", "SELECT repeat('😀', 20000000) FROM generate_series(1, 10)"),
        ("run", "SELECT decode(repeat('00', 30000000), 'hex') FROM generate_series(1, 3)"),
        ("run", "SELECT array_agg(repeat('y', 1000000)) FROM generate_series(1, 40)"),
    ],
    "mysql": [
        ("run", "SELECT REPEAT('x', 10000000), REPEAT('y', 10000000), REPEAT('z', 10000000)"),
        ("sql", f"SELECT {_columns(300, LONG_MYSQL_VALUE)} FROM customers"),
    ],
    "duckdb": [
        ("run", "SELECT repeat('x', 100000000) AS s FROM range(10)"),
        ("run", "SELECT repeat('x', 100000000) AS s FROM range(16)"),
        ("run", "SELECT range(3000000) AS x FROM range(16)"),
        ("run", "SELECT length(string_agg(repeat('x', 1000), '')) FROM range(3000000)"),
        ("run", "SELECT len(list(i)) FROM range(300000000) AS t(i)"),
        ("sql", "SELECT range(2000000) AS x FROM range(20)"),
        (
            "execute",
            "SELECT {'a': repeat('x', 10000000), 'b': range(1000000)} AS s,"
            " map(range(100000), range(100000)) AS m, repeat('y', 20000000)::BLOB AS b"
            " FROM range(16)",
        ),
        ("run", "SELECT length(repeat('x', 2000000000))"),
    ],
}

_MEASURE = """
import ctypes, gc, json, sys, types
sys.path[:0] = {paths!r}
from quorlix.service.database import ServiceDatabase
from quorlix.service.routers.sql import run_sql
from quorlix.service.schemas import SQLRequest
from starlette.responses import JSONResponse

def kib(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1])

db = ServiceDatabase.from_uri({url!r}, statement_timeout=60, max_statement_chars=10**6)
db.run("SELECT 1")
service = types.SimpleNamespace(db=db)
paths = {{
    "run": db.run,
    "execute": lambda query: db._execute(query) and "",  # rows for Python, not text
    "sql": lambda query: JSONResponse(run_sql(SQLRequest(sql=query), service, None)).body.decode(),
}}
for path, query in {cases!r}:
    gc.collect()
    ctypes.CDLL(None).malloc_trim(0)  # freed memory goes back, so the level before is true
    open("/proc/self/clear_refs", "w").write("5")  # the peak starts again from here
    before = kib("VmRSS")
    failed = None
    try:
        shown = paths[path](query)
    except Exception as err:
        shown, failed = "", type(err).__name__ + ": " + str(err).splitlines()[0][:300]
    growth = kib("VmHWM") - before
    print(json.dumps({{"growth_kib": growth, "chars": len(shown), "failed": failed}}))
"""


def _measure(url: str, cases: list[tuple[str, str]]) -> list[dict]:
    paths = [str(Path(quorlix.__file__).parents[1]), str(Path(__file__).parents[1])]
    script = _MEASURE.format(paths=paths, url=url, cases=cases)
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=600, check=False
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]


def _check(kind: str, url: str) -> None:
    cases = CASES[kind]
    problems = []
    for (path, query), measured in zip(cases, _measure(url, cases), strict=True):
        growth = measured["growth_kib"] * 1024
        print(f"\n{kind} {path}: {query[:70]!r} +{growth / MiB:.1f} MiB {measured}", end="")
        if growth > BOUND:
            problems.append(f"{path} {query[:80]!r}: peak RSS grew {growth / MiB:.1f} MiB")
        room = MAX_RESULT_CHARS + (JSON_ROOM if path == "sql" else 0)
        if measured["chars"] > room:
            problems.append(f"{path} {query[:80]!r}: {measured['chars']} characters shown")
    assert not problems, "\n".join(problems)


@pytest.fixture(autouse=True)
def _needs_proc():
    if not Path("/proc/self/clear_refs").exists():
        pytest.skip("peak memory is measured through Linux's /proc")


def test_one_call_stays_within_64_mib_of_the_host(target):
    _check(target.kind, target.url)


def test_one_duckdb_call_stays_within_64_mib_of_the_host(tmp_path):
    _check("duckdb", make_source("csv", tmp_path / "data"))


def test_an_in_memory_sqlite_call_fetches_only_the_rows_it_can_show():
    # No other process can open an in-memory database: its statements run in this one, where
    # rows are counted only once the first has arrived.
    (measured,) = _measure("sqlite://", [("execute", _sqlite_widest())])
    assert measured["failed"] is None and measured["growth_kib"] * 1024 <= BOUND, measured
