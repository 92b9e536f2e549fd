"""The database walls under attack on real engines: what each reproduced hole did, measured.

Most tests switch the statement check off (as a check that missed something would be), so
that what holds is the database side alone: one statement per call, a clean session for every
call, one time limit for the whole call, and values cut before they reach this process.
"""

# ruff: noqa: F811 - the fixtures imported from test_custom_sql are used by name

from __future__ import annotations

import contextlib
import dataclasses
import sqlite3
import time

import pytest
from quorlix.querymesh.custom_sql import CustomSQLDatabase, QueryTimeoutError, UnsafeSQLError
from quorlix.sql import database
from quorlix.sql.check import guard
from quorlix.sql.engines.mysql import session as mysql_session
from quorlix.sql.engines.mysql.session import MySQLWalls
from quorlix.sql.engines.postgresql.session import PostgresWalls
from quorlix.sql.engines.sqlite import reader as sqlite_reader
from quorlix.sql.engines.sqlite.session import SQLiteWalls
from quorlix.sql.privileges import account_warnings
from quorlix.sql.results.render import CHARS_MARKER, ROWS_MARKER
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
    monkeypatch.setattr(database, "check_read_only", lambda statement, *rest: statement)


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
    monkeypatch.setattr(guard, "_check_plain_text_is_ascii", lambda text, body: None)
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
}

# Each layer that keeps a stacked text from running, with the check and the other layers off:
#   describe: the server parses the text before it runs (PostgreSQL's extended protocol, over
#     psycopg 3 also for a psycopg2 engine; MySQL's COM_STMT_PREPARE, on a connection that
#     asked for several statements per call);
#   server option: a MySQL connection that asked for several statements per call is switched
#     back (describe off).
STACKED_LAYERS = [
    ("postgresql", "", "describe"),
    ("postgresql", "postgresql+psycopg://", "describe"),
    ("mysql", "", "describe"),
    ("mysql", "", "server option"),
]


def _only_layer(monkeypatch, kind: str, layer: str) -> dict:
    """Switch off every layer but ``layer``; the engine_args the wrapper needs for it."""
    if kind != "mysql":
        return {}
    if layer != "describe":
        monkeypatch.setattr(MySQLWalls, "describe", lambda self, conn, statement: None)
    from pymysql.constants import CLIENT

    if layer != "server option":
        monkeypatch.setattr(mysql_session, "_one_statement_per_call", lambda raw: None)
    return {"connect_args": {"client_flag": CLIENT.MULTI_STATEMENTS}}


@pytest.mark.parametrize(("own_target", "driver", "layer"), STACKED_LAYERS, indirect=["own_target"])
def test_each_layer_alone_keeps_stacked_statements_from_running(
    own_target, driver, layer, unchecked, monkeypatch
):
    engine_args = _only_layer(monkeypatch, own_target.kind, layer)
    db = _wrapper(own_target, driver, engine_args=engine_args)
    with pytest.raises(SQLAlchemyError) as caught:
        db.run(STACKED[own_target.kind])
    assert not isinstance(caught.value, UnsafeSQLError)
    assert own_target.query("SELECT COUNT(*) FROM customers WHERE name = 'pwned'") == [(0,)]
    tables = snapshot(own_target)
    assert not any("qx_evil" in str(value) for value in tables.values())


def test_a_mysql_connection_that_cannot_be_switched_back_is_refused():
    class AskedForSeveral:  # a driver with neither set_server_option nor PyMySQL's packets
        client_flag = 1 << 16

    with pytest.raises(ValueError, match="MULTI_STATEMENTS, so one call could run several"):
        mysql_session._one_statement_per_call(AskedForSeveral())


# SQLite's driver runs one statement per call by itself; what quorlix adds is three layers that
# each refuse writes: the file opened read-only, query_only, and the authorizer.
SQLITE_LAYERS = ("read-only file", "query_only", "authorizer")
SQLITE_WRITES = [
    "UPDATE customers SET name = 'pwned' WHERE id = 1",
    "INSERT INTO customers VALUES (99, 'Eve', 'Oslo')",
    "CREATE TABLE qx_evil (i INTEGER)",
    "DROP TABLE items",
]


@pytest.mark.parametrize("layer", SQLITE_LAYERS)
def test_each_sqlite_layer_alone_refuses_writes(sqlite_sample_db, monkeypatch, layer):
    if layer != "read-only file":
        monkeypatch.setattr(sqlite_reader, "open_read_only", sqlite3.connect)
    if layer != "query_only":
        monkeypatch.setattr(sqlite_reader, "set_query_only", lambda connection, on: None)
    if layer != "authorizer":
        monkeypatch.setattr(sqlite_reader, "allow_only_reading", lambda connection: None)
    # The session the worker process runs statements in, here in the test's process.
    session = sqlite_reader.SQLiteReader({"path": str(sqlite_sample_db.path), "time_limit": 5})
    before = sqlite_sample_db.path.read_bytes()
    for write in SQLITE_WRITES:
        with pytest.raises(sqlite3.Error):
            session.fetch(write, None, 10, 301, 20_000, 5)
    assert sqlite_sample_db.path.read_bytes() == before


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


@pytest.mark.parametrize("own_target", ["postgresql"], indirect=True)
def test_one_calls_seed_never_fixes_the_next_calls_random(own_target):
    db = _wrapper(own_target, engine_args={"pool_size": 1, "max_overflow": 0})
    seeded = own_target.query("SELECT random() FROM (SELECT setseed(0.5)) AS s")[0][0]
    db.run("SELECT setseed(0.5)")
    assert db.run("SELECT random()") != f"[({seeded},)]"


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
        # The worker's own progress handler; the host still stops the worker at the limit.
        spec = SQLiteWalls.worker_spec

        def without_limit(self, engine):
            made = spec(self, engine)
            return dataclasses.replace(made, options={**made.options, "time_limit": None})

        monkeypatch.setattr(SQLiteWalls, "worker_spec", without_limit)


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


def test_the_check_counts_against_the_time_limit(target, monkeypatch):
    check = database.check_read_only

    def slow_check(*args):
        time.sleep(1.2)
        return check(*args)

    monkeypatch.setattr(database, "check_read_only", slow_check)
    db = target.wrapper(statement_timeout=1)
    with pytest.raises(QueryTimeoutError, match="time limit of 1 second"):
        db.run("SELECT COUNT(*) FROM customers")


def test_a_long_statement_is_refused_before_it_is_checked(sqlite_sample_db, monkeypatch):
    checked = []
    monkeypatch.setattr(database, "check_read_only", lambda *args: checked.append(args))
    db = CustomSQLDatabase.from_uri(sqlite_sample_db.url, max_statement_chars=1_000)
    try:
        # 2.1 MB of such terms took 35 s and 1.2 GB to check.
        terms = " OR ".join(f"id = {n}" for n in range(200))
        with pytest.raises(UnsafeSQLError, match="at most 1,000 are accepted"):
            db.run(f"SELECT name FROM customers WHERE {terms}")
        assert checked == []
    finally:
        db._engine.dispose()


# Servers wait for locks under their own statement time limit.
@pytest.mark.parametrize("own_target", ["sqlite"], indirect=True)
def test_a_call_waiting_for_another_connections_lock_ends_at_its_limit(own_target):
    holder = sqlite3.connect(own_target.url.removeprefix("sqlite:///"), isolation_level=None)
    try:
        holder.execute("BEGIN EXCLUSIVE")
        db = own_target.wrapper(statement_timeout=1)
        # Before, the driver's 5 s busy timeout ended it with "database is locked". The second
        # call meets the lock in a worker started while it is held.
        for _ in range(2):
            with pytest.raises(QueryTimeoutError, match="time limit of 1 second"):
                db.run("SELECT COUNT(*) FROM customers")
    finally:
        holder.close()
    assert db.run("SELECT COUNT(*) FROM customers") == "[(4,)]"
    assert db._walls.worker_pool(db._engine) is not None


_SQLITE_SLOW = (
    "WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < 1000000000000)"
    " SELECT COUNT(*) FROM c"
)


# --- values as LangChain shows them ------------------------------------------------------------

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


def test_rows_too_wide_to_show_are_not_fetched_and_the_text_is_unchanged(target):
    from langchain_community.utilities.sql_database import SQLDatabase

    # 400 columns: only the first dozen rows fit in 20,000 characters, so only those (and one
    # more) are fetched; what is shown is the start of the whole result, as LangChain gives it.
    numbers = " UNION ALL ".join(f"SELECT {n} AS n" for n in range(1, 9))
    rows = f"SELECT a.n * 10 + b.n AS n FROM ({numbers}) AS a, ({numbers}) AS b"
    query = f"SELECT {', '.join(f'n + {i} AS c{i}' for i in range(400))} FROM ({rows}) AS r"
    query += " ORDER BY c0"
    shown = target.wrapper(max_statement_chars=100_000).run(query)
    plain = SQLDatabase.from_uri(target.url)
    try:
        whole = plain.run(query)
    finally:
        plain._engine.dispose()
    visible, marker = shown.split(CHARS_MARKER.format(limit=20_000))
    assert len(shown) == 20_000 and whole.startswith(visible)
    assert marker == ROWS_MARKER.format(shown=visible.count("), ("))


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
