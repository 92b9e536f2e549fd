"""The database walls under attack on real engines: what each reproduced hole did, measured.

Most tests switch the statement check off (as a check that missed something would be), so
that what holds is the database side alone: one statement per call, a clean session for every
call, one time limit for the whole call, and values cut before they reach this process.
"""

# ruff: noqa: F811 - the fixtures imported from test_custom_sql are used by name

from __future__ import annotations

import contextlib
import json
import subprocess
import sys
import time
from pathlib import Path

import pytest
from quorlix.querymesh import custom_sql, sql_guard, sql_session_sqlite
from quorlix.querymesh.custom_sql import CustomSQLDatabase, QueryTimeoutError, UnsafeSQLError
from quorlix.querymesh.sql_privileges import account_warnings
from quorlix.querymesh.sql_session_mysql import MySQLWalls
from quorlix.querymesh.sql_session_postgres import PostgresWalls
from sqlalchemy.exc import SQLAlchemyError
from test_custom_sql import (  # noqa: F401 - fixtures used by name
    Target,
    mysql_sample,
    own_target,
    pg_sample,
    snapshot,
    target,
)
from test_sql_guard import NAME_WHITESPACE, WHITESPACE_SHAPES

MiB = 1024 * 1024
PSYCOPG_URL = ("postgresql+psycopg2://", "postgresql+psycopg://")


@pytest.fixture
def unchecked(monkeypatch):
    """Switch the statement check off, as if it had missed what follows."""
    monkeypatch.setattr(custom_sql, "check_read_only", lambda statement, *rest: statement)


def _wrapper(target: Target, driver: str = "", **options) -> CustomSQLDatabase:
    url = target.url
    if driver:
        url = url.replace(PSYCOPG_URL[0], driver)
    db = CustomSQLDatabase.from_uri(url, **options)
    target.wrappers.append(db)
    return db


# --- the check reads what the engine reads -------------------------------------------------------


# The stacked statements sit where the check would read a string or a comment.
STACKED_BEHIND_WHITESPACE = {
    "postgresql": 'with c("{w}$q$") as (select 1) select {w}$q$, 1; commit; begin read write;'
    " update customers set name = 'pwned' where id = 1; create table qx_evil (i int); commit;"
    " begin; select 1 {w}$q$ from c",
    "mysql": "select 1 --{w}, 1; update customers set name = 'pwned' where id = 1; select 1\n"
    "from (select 1 as `{w}`) s",
}


@pytest.mark.parametrize("target", ["postgresql", "mysql"], indirect=True)
def test_whitespace_reproducers_are_refused_on_the_engine(target):
    db = target.wrapper()
    shape = WHITESPACE_SHAPES["postgres" if target.kind == "postgresql" else "mysql"]
    before = snapshot(target)
    stacked_shape = STACKED_BEHIND_WHITESPACE[target.kind]
    for space in NAME_WHITESPACE:
        for attempt in (shape.format(w=space), stacked_shape.format(w=space)):
            with pytest.raises(UnsafeSQLError, match=f"U\\+{ord(space):04X}"):
                db.run(attempt)
    assert snapshot(target) == before


# SQLite offers no description of a statement before it runs.
@pytest.mark.parametrize("target", ["postgresql", "mysql"], indirect=True)
def test_the_engine_reading_more_columns_than_the_check_is_refused(target, monkeypatch):
    # As if the character rule were missing: the database's own reading must still catch it.
    monkeypatch.setattr(sql_guard, "_check_plain_text_is_ascii", lambda text, body: None)
    db = target.wrapper()
    shape = WHITESPACE_SHAPES["postgres" if target.kind == "postgresql" else "mysql"]
    for space in NAME_WHITESPACE:
        with pytest.raises(UnsafeSQLError, match="reads 2 result column"):
            db.run(shape.format(w=space))


# --- one statement per call ---------------------------------------------------------------------

STACKED = {
    "postgresql": "select 1; commit; begin read write; update customers set name = 'pwned'"
    " where id = 1; create table qx_evil (i int); commit; begin; select 1",
    "mysql": "select 1; commit; set session transaction read write; start transaction;"
    " update customers set name = 'pwned' where id = 1; create table qx_evil (i int); commit",
    "sqlite": "select 1; update customers set name = 'pwned' where id = 1;"
    " create table qx_evil (i int)",
}


@pytest.mark.parametrize(
    ("own_target", "driver"),
    [
        ("sqlite", ""),
        ("postgresql", ""),
        ("postgresql", "postgresql+psycopg://"),
        ("mysql", ""),
    ],
    indirect=["own_target"],
)
def test_stacked_statements_change_no_row_and_create_no_table(own_target, driver, unchecked):
    db = _wrapper(own_target, driver)
    with pytest.raises(SQLAlchemyError) as caught:
        db.run(STACKED[own_target.kind])
    assert not isinstance(caught.value, UnsafeSQLError)
    assert own_target.query("SELECT COUNT(*) FROM customers WHERE name = 'pwned'") == [(0,)]
    tables = snapshot(own_target)
    assert not any("qx_evil" in str(value) for value in tables.values())


# --- a clean session for every call -------------------------------------------------------------

# (statement that leaves something on the session, query that sees it, what a clean one shows)
LEFTOVERS = {
    "postgresql": [
        ("select pg_advisory_lock(4242)", None, None),
        ("prepare qx_p as select 1", "select count(*) from pg_prepared_statements", "[(0,)]"),
        ("listen qx_channel", "select count(*) from pg_listening_channels()", "[(0,)]"),
        (
            "select set_config('search_path', 'pg_temp', false)",
            "select current_setting('search_path')",
            """[('"$user", public',)]""",
        ),
        (
            "declare qx_c cursor with hold for select 1",
            "select count(*) from pg_cursors where name = 'qx_c'",
            "[(0,)]",
        ),
    ],
    "mysql": [
        ("select get_lock('qx_lock', 0)", None, None),
        ("set @qx_var = 5", "select @qx_var", "[(None,)]"),
        ("select sys.format_statement('x')", "select @sys.statement_truncate_len", "[(None,)]"),
    ],
}


def _locks_held(target: Target) -> list[tuple]:
    if target.kind == "postgresql":
        return target.query(
            "SELECT objid FROM pg_locks WHERE locktype = 'advisory'"
            " AND database = (SELECT oid FROM pg_database WHERE datname = current_database())"
        )
    return [row for row in target.query("SELECT IS_USED_LOCK('qx_lock')") if row[0] is not None]


# SQLite's authorizer refuses everything that would stay on a connection.
@pytest.mark.parametrize("own_target", ["postgresql", "mysql"], indirect=True)
def test_nothing_of_one_call_reaches_the_next(own_target, unchecked):
    driver = "postgresql+psycopg://" if own_target.kind == "postgresql" else ""
    # One pooled connection, so every call meets the session the one before left.
    db = _wrapper(own_target, driver, engine_args={"pool_size": 1, "max_overflow": 0})
    for leave, probe, clean in LEFTOVERS[own_target.kind]:
        with contextlib.suppress(SQLAlchemyError):
            db.run(leave)
        assert _locks_held(own_target) == [], leave
        if probe is not None:
            assert db.run(probe) == clean, leave
    assert db.run("SELECT COUNT(*) FROM customers") == "[(4,)]"


# Temporary tables that shadow real ones are a PostgreSQL reproducer.
@pytest.mark.parametrize("own_target", ["postgresql"], indirect=True)
def test_a_fake_temporary_table_never_answers_the_next_call(own_target, unchecked):
    db = _wrapper(own_target, "postgresql+psycopg://", engine_args={"pool_size": 1})
    sneaky = (
        "select 1; commit; begin read write; create temp table customers (id int, name text,"
        " city text); insert into customers values (1, 'fake', 'fake'); commit; begin; select 1"
    )
    with contextlib.suppress(SQLAlchemyError):
        db.run(sneaky)
    assert db.run("SELECT COUNT(*) FROM customers") == "[(4,)]"


# --- one time limit for the whole call -----------------------------------------------------------

# Each would run far longer than the 1 s limit, and spreads its time over several round trips
# (PostgreSQL), one statement (MariaDB) or one C call (SQLite).
LONG_CALLS = {
    "postgresql": ["select pg_sleep(0.9), g from generate_series(1, 10) as g"],
    "mysql": ["select sleep(0.9), id from customers"],
    "sqlite": [
        "select instr(printf('%.*c', 3500000, 'a'), printf('%.*c', 1500000, 'a') || 'b')",
        "select instr(printf('%.*c', 260000, 'a'), printf('%.*c', 130000, 'a') || 'b')",
    ],
}


def test_one_call_ends_near_its_time_limit(target):
    # One pooled connection: stopping a call must not wait for a second one.
    db = target.wrapper(statement_timeout=1, engine_args={"pool_size": 1, "max_overflow": 0})
    for query in LONG_CALLS[target.kind]:
        started = time.monotonic()
        with contextlib.suppress(QueryTimeoutError):
            db.run(query)
        elapsed = time.monotonic() - started
        # Reported before: 5.27 s under a 2 s limit (PostgreSQL), 69.6 s under 30 s (SQLite).
        assert elapsed < 3.0, f"{query!r} took {elapsed:.2f}s under a 1 s limit"
    assert db.run("SELECT COUNT(*) FROM customers") == "[(4,)]"


def test_a_cancelled_call_says_it_hit_the_time_limit(target):
    db = target.wrapper(statement_timeout=1)
    with pytest.raises(QueryTimeoutError, match="time limit of 1 second"):
        db.run(LONG_CALLS[target.kind][0] if target.kind != "sqlite" else _SQLITE_SLOW)


def _server_limit_off(monkeypatch, kind: str) -> None:
    """Leave only the watchdog: the database's own limit is switched off."""
    if kind == "postgresql":
        monkeypatch.setattr(PostgresWalls, "_milliseconds", lambda self: 0)
    elif kind == "mysql":
        settings = MySQLWalls._settings

        def without_limit(self, **options):
            kept, self.time_limit = self.time_limit, None
            try:
                return settings(self, **options)
            finally:
                self.time_limit = kept

        monkeypatch.setattr(MySQLWalls, "_settings", without_limit)
    else:
        monkeypatch.setattr(sql_session_sqlite, "_PROGRESS_STEPS", 2**31 - 1)


WATCHDOG_ONLY = {
    "postgresql": "select pg_sleep(5)",
    "mysql": "select sleep(5), id from customers",
    "sqlite": (
        "WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < 1000000000000)"
        " SELECT COUNT(*) FROM c"
    ),
}


def test_the_watchdog_alone_stops_a_call(target, monkeypatch):
    _server_limit_off(monkeypatch, target.kind)
    db = target.wrapper(statement_timeout=1, engine_args={"pool_size": 1, "max_overflow": 0})
    started = time.monotonic()
    with pytest.raises(QueryTimeoutError, match="time limit of 1 second"):
        db.run(WATCHDOG_ONLY[target.kind])
    assert time.monotonic() - started < 3.0
    assert db.run("SELECT COUNT(*) FROM customers") == "[(4,)]"


_SQLITE_SLOW = (
    "WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < 1000000000000)"
    " SELECT COUNT(*) FROM c"
)


# --- memory -------------------------------------------------------------------------------------

HUGE_VALUES = {
    "postgresql": [
        "select repeat('x', 100000000) from generate_series(1, 10)",
        "select decode(repeat('00', 30000000), 'hex') from generate_series(1, 3)",
        "select array_agg(repeat('y', 1000000)) from generate_series(1, 40)",
    ],
    "mysql": ["select repeat('x', 10000000), repeat('y', 10000000), repeat('z', 10000000)"],
    "sqlite": [
        "select zeroblob(100000000)",
        "select zeroblob(20000000) from items limit 10",
        "with recursive r(n) as (select 1 union all select n + 1 from r where n < 150)"
        " select zeroblob(250000), n from r",
    ],
}

_MEASURE = """
import json, sys
sys.path[:0] = {paths!r}
from quorlix.querymesh.custom_sql import CustomSQLDatabase

def kib(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1])

db = CustomSQLDatabase.from_uri({url!r}, statement_timeout=60)
db.run("SELECT 1")
open("/proc/self/clear_refs", "w").write("5")  # the peak starts again from here
before = kib("VmRSS")
try:
    text = db.run({query!r})
except Exception as err:
    text = type(err).__name__ + ": " + str(err)
print(json.dumps({{"growth_kib": kib("VmHWM") - before, "chars": len(text)}}))
"""


def _peak_growth(url: str, query: str) -> dict:
    paths = [str(Path(custom_sql.__file__).parents[2]), str(Path(__file__).parent)]
    script = _MEASURE.format(paths=paths, url=url, query=query)
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120, check=True
    )
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_peak_memory_of_one_call_stays_bounded(target):
    if not Path("/proc/self/clear_refs").exists():
        pytest.skip("peak memory is measured through Linux's /proc")
    for query in HUGE_VALUES[target.kind]:
        measured = _peak_growth(target.url, query)
        growth = measured["growth_kib"] * 1024
        # Reported before: 1.3 GB to 2.6 GB for these shapes.
        assert growth <= 64 * MiB, f"{query!r}: peak RSS grew {growth / MiB:.1f} MiB"
        assert measured["chars"] <= 20_000 + 200, measured
        print(f"\n{target.kind}: {query[:60]!r} peak RSS +{growth / MiB:.1f} MiB", end="")


# Values of every common type, short and long: what the caller sees must not change with the
# cutting, except that a string longer than the cut loses what run() would not show anyway.
RENDERED = {
    "postgresql": [
        "SELECT 'x'::char(5) AS c, 'v'::varchar(3) AS v, 'text' AS t, NULL::text AS n, 42 AS i,"
        " 2.5::numeric AS d, 1.5::float8 AS f, true AS b, DATE '2024-01-02' AS day,"
        " TIMESTAMP '2024-01-02 03:04:05' AS ts, INTERVAL '1 day' AS span,"
        " '7a1d9d0e-8b7b-4c4b-9d1c-2a1f7e6b5c4d'::uuid AS u, '10.0.0.1'::inet AS ip,"
        " '{\"a\": [1, 2]}'::json AS j, '{\"b\": 1}'::jsonb AS jb, ARRAY[1, 2] AS ints,"
        " ARRAY['a', 'b'] AS texts",
        "SELECT repeat('ab ', 200000) AS long_text, 1 AS n",
        "SELECT name, city FROM customers ORDER BY city DESC",
    ],
    "mysql": [
        "SELECT 'text' AS t, CAST('x' AS CHAR(5)) AS c, NULL AS n, 42 AS i, 2.5 AS d,"
        " 1.5e0 AS f, DATE '2024-01-02' AS day, TIMESTAMP '2024-01-02 03:04:05' AS ts,"
        " X'00FF' AS raw, JSON_OBJECT('a', 1) AS j, CAST(1 AS UNSIGNED) AS u",
        "SELECT REPEAT('ab ', 200000) AS long_text, 1 AS n",
        "SELECT name, city FROM customers ORDER BY city DESC",
    ],
    "sqlite": [
        "SELECT 'text' AS t, NULL AS n, 42 AS i, 2.5 AS d, X'00FF' AS raw,"
        " date('2024-01-02') AS day",
        "SELECT printf('%.*c', 200000, 'a') || ' b' AS long_text, 1 AS n",
        "SELECT name, city FROM customers ORDER BY city DESC",
    ],
}


def test_values_render_as_langchain_renders_them(target):
    from langchain_community.utilities.sql_database import SQLDatabase

    db = target.wrapper()
    plain = SQLDatabase.from_uri(target.url)
    try:
        for query in RENDERED[target.kind]:
            assert db.run(query) == plain.run(query), query
            assert db.run(query, include_columns=True) == plain.run(query, include_columns=True)
        # memoryview's text is its address, so bytea is compared by type and content.
        if target.kind == "postgresql":
            query = "SELECT '\\x00ff'::bytea AS raw"
            ours, theirs = db._execute(query)[0]["raw"], plain._execute(query)[0]["raw"]
            assert (type(ours), bytes(ours)) == (type(theirs), bytes(theirs))
    finally:
        plain._engine.dispose()


# --- catalogs and functions the server itself withholds -----------------------------------------


def _server_withheld(target: Target) -> list[str]:
    """Statements over what the engine's own catalog marks as not for everyone."""
    if target.kind == "postgresql":
        functions = target.query(
            "SELECT DISTINCT proname FROM pg_proc WHERE pronamespace = 'pg_catalog'::regnamespace"
            " AND (proname ~ '^(brin_(de)?summarize|gin_clean_pending_list|pg_nextoid)'"
            " OR (proacl IS NOT NULL AND NOT EXISTS (SELECT 1 FROM aclexplode(proacl) AS a"
            " WHERE a.grantee = 0 AND a.privilege_type = 'EXECUTE')))"
        )
        relations = target.query(
            "SELECT relname FROM pg_class WHERE relnamespace = 'pg_catalog'::regnamespace"
            " AND relkind IN ('r', 'v') AND relacl IS NOT NULL AND NOT EXISTS (SELECT 1 FROM"
            " aclexplode(relacl) AS a WHERE a.grantee = 0 AND a.privilege_type = 'SELECT')"
        )
        statements = [f"SELECT {name}(1)" for (name,) in functions]
        statements += [f"SELECT * FROM pg_catalog.{name}" for (name,) in relations]
        statements += [f"SELECT * FROM {name}" for (name,) in relations]
        assert len(functions) > 40 and len(relations) > 10
        return statements + ["SELECT rolname, rolpassword FROM pg_authid"]
    tables = target.query(
        "SELECT table_schema, table_name FROM information_schema.tables"
        " WHERE table_schema IN ('mysql', 'performance_schema', 'sys')"
    )
    assert len(tables) > 50
    statements = [f"SELECT * FROM `{schema}`.`{name}`" for schema, name in tables]
    return statements + [
        "SELECT * FROM information_schema.processlist",
        "SELECT user, authentication_string FROM mysql.user",
        "SELECT sys.format_statement('x')",
        "SELECT BENCHMARK(1000000000, MD5('x'))",
    ]


@pytest.mark.parametrize("target", ["postgresql", "mysql"], indirect=True)
def test_what_the_server_withholds_from_public_is_refused(target):
    db = target.wrapper()
    let_through = []
    for statement in _server_withheld(target):
        try:
            db.run(statement)
        except UnsafeSQLError:
            continue
        except SQLAlchemyError as err:
            let_through.append(f"{statement}: reached the server ({str(err)[:80]})")
        else:
            let_through.append(f"{statement}: ran")
    assert not let_through, "\n".join(let_through)


# --- the account --------------------------------------------------------------------------------


def test_a_superuser_account_is_warned_about(target):
    warnings = account_warnings(target.wrapper())
    if target.kind == "sqlite":
        assert warnings == []
        return
    # The local test servers run as postgres / root.
    assert warnings, "an administrator account raised no warning"
    assert all(text.endswith(".") and "SELECT" in text for text in warnings)


@pytest.mark.parametrize("target", ["postgresql", "mysql"], indirect=True)
def test_a_select_only_account_is_not_warned_about(target, request):
    user = f"qx_reader_{abs(hash(request.node.nodeid)) % 10**8}"
    if target.kind == "postgresql":
        target.run_sql(
            f"CREATE ROLE {user} LOGIN; GRANT SELECT ON ALL TABLES IN SCHEMA public TO {user}"
        )
        url = target.url.replace("postgres@", f"{user}@")
        drop = f"DROP OWNED BY {user}; DROP ROLE {user}"
    else:
        name = target.query("SELECT DATABASE()")[0][0]
        target.run_sql(
            f"CREATE USER '{user}'@'%' IDENTIFIED BY 'pw'; GRANT SELECT ON `{name}`.* TO"
            f" '{user}'@'%'"
        )
        url = target.url.replace("root:@", f"{user}:pw@")
        drop = f"DROP USER '{user}'@'%'"
    try:
        db = CustomSQLDatabase.from_uri(url)
        try:
            assert account_warnings(db) == []
            assert db.run("SELECT COUNT(*) FROM customers") == "[(4,)]"
        finally:
            db._engine.dispose()
    finally:
        target.run_sql(drop)


# Arrays and json are PostgreSQL's unbounded non-string types.
@pytest.mark.parametrize("target", ["postgresql"], indirect=True)
def test_an_oversized_array_is_named_not_fetched(target):
    db = target.wrapper()
    query = "SELECT array_agg(repeat('y', 1000000)) AS big, 7 AS n FROM generate_series(1, 40)"
    result = db.run(query, include_columns=True)
    assert result.startswith("[{'big': '[value of ") and result.endswith(", 'n': 7}]"), result
    assert "bytes not fetched: longer than" in result
    assert db.run("SELECT ARRAY[1, 2] AS small") == "[([1, 2],)]"


@pytest.mark.parametrize("target", ["mysql"], indirect=True)
def test_a_mysql_connection_asking_for_several_statements_is_refused(target):
    from pymysql.constants import CLIENT

    flags = {"client_flag": CLIENT.MULTI_STATEMENTS}
    with pytest.raises(Exception, match="MULTI_STATEMENTS") as caught:
        db = target.wrapper(engine_args={"connect_args": flags})
        db.run("SELECT 1")
    assert "Remove that flag" in str(caught.value)
