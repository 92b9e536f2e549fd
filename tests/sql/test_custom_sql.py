"""CustomSQLDatabase against real SQLite, PostgreSQL and MariaDB / MySQL databases.

The server databases are throwaway ones on 127.0.0.1 (tests/support/databases.py); a test that
needs a server it cannot reach is skipped with the reason.
"""

from __future__ import annotations

import ast
import contextlib
import hashlib
import logging
import re
import sqlite3
import threading
import time
import tracemalloc
import uuid
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path

import pytest
import sqlalchemy
from langchain_community.tools.sql_database.tool import (
    InfoSQLDatabaseTool,
    ListSQLDatabaseTool,
    QuerySQLCheckerTool,
    QuerySQLDatabaseTool,
)
from langchain_community.utilities.sql_database import SQLDatabase
from langchain_core.language_models.fake_chat_models import FakeListChatModel
from quorlix.querymesh.custom_sql import CustomSQLDatabase, QueryTimeoutError, UnsafeSQLError
from quorlix.sql import database
from quorlix.sql.engines.mysql.session import clean_sql_mode
from quorlix.sql.results.render import (
    CHARS_MARKER,
    ROWS_MARKER,
    cap_result,
    render_rows_with_ends,
)
from sqlalchemy.exc import OperationalError, SQLAlchemyError
from support.databases import SAMPLE_ROWS, SAMPLE_SCHEMA

ENGINES = ["sqlite", "postgresql", "mysql"]
CORPUS = Path(__file__).parents[1] / "data" / "hostile_sql.txt"
MiB = 1024 * 1024


# --- databases ------------------------------------------------------------------------------


@dataclass
class Target:
    """One sample database (customers / orders / items) and plain access to it."""

    kind: str
    url: str
    run_sql: Callable[[str], None]  # setup scripts, several statements allowed
    query: Callable[[str], list[tuple]]
    workdir: Path | None = None  # SQLite: the directory holding the database file
    wrappers: list[CustomSQLDatabase] = field(default_factory=list)

    def wrapper(self, **options) -> CustomSQLDatabase:
        db = CustomSQLDatabase.from_uri(self.url, **options)
        self.wrappers.append(db)
        return db

    def close(self) -> None:
        for db in self.wrappers:
            db._engine.dispose()


def _literal(value) -> str:
    if isinstance(value, str):
        return "'" + value.replace("'", "''") + "'"
    return repr(value)


def _sample_script() -> str:
    inserts = [
        f"INSERT INTO {table} VALUES "
        + ", ".join("(" + ", ".join(map(_literal, row)) + ")" for row in rows)
        + ";"
        for table, rows in SAMPLE_ROWS.items()
    ]
    return SAMPLE_SCHEMA + "\n".join(inserts)


def _sqlite_target(path: Path) -> Target:
    def run_sql(script: str) -> None:
        with contextlib.closing(sqlite3.connect(path)) as connection:
            connection.executescript(script)
            connection.commit()

    def query(sql: str) -> list[tuple]:
        with contextlib.closing(sqlite3.connect(path)) as connection:
            return [tuple(row) for row in connection.execute(sql).fetchall()]

    return Target("sqlite", f"sqlite:///{path}", run_sql, query, workdir=path.parent)


def _server_target(database) -> Target:
    return Target(database.engine, database.url, database.run_sql, database.query)


@pytest.fixture(scope="module")
def pg_sample(pg_database_module):
    pg_database_module.run_sql(_sample_script())
    return pg_database_module


@pytest.fixture(scope="module")
def mysql_sample(mysql_database_module):
    mysql_database_module.run_sql(_sample_script())
    return mysql_database_module


def _make_target(request, kind: str, *, own_database: bool = False) -> Target:
    """The sample database for ``kind``; shared by the module unless ``own_database``."""
    if kind == "sqlite":
        return _sqlite_target(request.getfixturevalue("sqlite_sample_db").path)
    if own_database:
        database = request.getfixturevalue(f"{'pg' if kind == 'postgresql' else 'mysql'}_database")
        database.run_sql(_sample_script())
    else:
        database = request.getfixturevalue("pg_sample" if kind == "postgresql" else "mysql_sample")
    return _server_target(database)


@pytest.fixture(params=ENGINES)
def target(request) -> Iterator[Target]:
    made = _make_target(request, request.param)
    yield made
    made.close()


@pytest.fixture(params=ENGINES)
def own_target(request) -> Iterator[Target]:
    """A sample database of the test's own, for tests that change or add data."""
    made = _make_target(request, request.param, own_database=True)
    yield made
    made.close()


# --- what "nothing changed" means --------------------------------------------------------------


def _rows_digest(rows: list[tuple]) -> str:
    return hashlib.sha256("\n".join(sorted(map(repr, rows))).encode()).hexdigest()


def snapshot(target: Target) -> dict[str, object]:
    """Every table's content and every object we could create, as comparable values."""
    if target.kind == "sqlite":
        return _sqlite_snapshot(target)
    if target.kind == "postgresql":
        return _pg_snapshot(target)
    return _mysql_snapshot(target)


def _sqlite_snapshot(target: Target) -> dict[str, object]:
    objects = target.query("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name")
    shot: dict[str, object] = {"objects": objects}
    for _, name, *_ in (row for row in objects if row[0] == "table"):
        shot[f"rows:{name}"] = _rows_digest(target.query(f'SELECT * FROM "{name}"'))
    for pragma in ("user_version", "schema_version", "journal_mode", "foreign_keys"):
        shot[pragma] = target.query(f"PRAGMA {pragma}")
    shot["files"] = sorted(path.name for path in target.workdir.iterdir())
    return shot


def _pg_snapshot(target: Target) -> dict[str, object]:
    q = target.query
    tables = q(
        "SELECT table_schema, table_name FROM information_schema.tables"
        " WHERE table_schema NOT IN ('pg_catalog', 'information_schema')"
        " AND table_type = 'BASE TABLE' ORDER BY 1, 2"
    )
    shot: dict[str, object] = {
        "schemas": q("SELECT nspname FROM pg_namespace ORDER BY 1"),
        "relations": q(
            "SELECT n.nspname, c.relname, c.relkind FROM pg_class c"
            " JOIN pg_namespace n ON n.oid = c.relnamespace"
            " WHERE n.nspname NOT IN ('pg_catalog', 'information_schema', 'pg_toast')"
            " ORDER BY 1, 2"
        ),
        "functions": q(
            "SELECT p.proname FROM pg_proc p JOIN pg_namespace n ON n.oid = p.pronamespace"
            " WHERE n.nspname = 'public' ORDER BY 1"
        ),
        "sequences": q("SELECT sequencename, last_value FROM pg_sequences ORDER BY 1"),
        "large_objects": q("SELECT count(*) FROM pg_largeobject_metadata"),
        "extensions": q("SELECT extname FROM pg_extension ORDER BY 1"),
        "database_settings": q(
            "SELECT setconfig FROM pg_db_role_setting WHERE setdatabase ="
            " (SELECT oid FROM pg_database WHERE datname = current_database())"
        ),
        "evil_databases": q("SELECT datname FROM pg_database WHERE datname LIKE 'qx_evil%'"),
        "evil_roles": q("SELECT rolname FROM pg_roles WHERE rolname LIKE 'qx_evil%'"),
        "table_comments": q("SELECT objoid, description FROM pg_description ORDER BY 1, 2"),
    }
    for schema, name in tables:
        shot[f"rows:{schema}.{name}"] = _rows_digest(q(f'SELECT * FROM "{schema}"."{name}"'))
    return shot


def _mysql_snapshot(target: Target) -> dict[str, object]:
    q = target.query
    tables = q(
        "SELECT table_name, table_type, engine FROM information_schema.tables"
        " WHERE table_schema = DATABASE() ORDER BY 1"
    )
    shot: dict[str, object] = {
        "tables": tables,
        "columns": q(
            "SELECT table_name, column_name, column_type FROM information_schema.columns"
            " WHERE table_schema = DATABASE() ORDER BY 1, 2"
        ),
        "routines": q(
            "SELECT routine_name FROM information_schema.routines WHERE routine_schema = DATABASE()"
        ),
        "triggers": q(
            "SELECT trigger_name FROM information_schema.triggers WHERE trigger_schema = DATABASE()"
        ),
        "events": q(
            "SELECT event_name FROM information_schema.events WHERE event_schema = DATABASE()"
        ),
        "evil_schemas": q(
            "SELECT schema_name FROM information_schema.schemata"
            " WHERE schema_name LIKE 'qx\\_evil%'"
        ),
        "evil_users": q("SELECT user FROM mysql.user WHERE user LIKE 'qx\\_evil%'"),
        "globals": q(
            "SELECT @@GLOBAL.general_log, @@GLOBAL.read_only, @@GLOBAL.sql_mode,"
            " @@GLOBAL.event_scheduler"
        ),
    }
    for name, kind, _ in tables:
        if kind == "BASE TABLE":
            shot[f"rows:{name}"] = _rows_digest(q(f"SELECT * FROM `{name}`"))
    return shot


# --- the hostile corpus ----------------------------------------------------------------------


def load_corpus() -> list[tuple[frozenset[str], str]]:
    entries: list[tuple[frozenset[str], list[str]]] = []
    for line in CORPUS.read_text(encoding="utf-8").split("\n"):
        if line.startswith("#"):
            continue
        if line.startswith("@@"):
            tags = line[2:].split()
            unknown = set(tags) - {"all", *ENGINES}
            assert not unknown, f"unknown engine tag {unknown} in {CORPUS.name}"
            entries.append((frozenset(ENGINES if tags == ["all"] else tags), []))
        elif entries:
            entries[-1][1].append(line)
    return [(engines, "\n".join(lines).rstrip("\n")) for engines, lines in entries]


def corpus_for(kind: str) -> list[str]:
    return [statement for engines, statement in load_corpus() if kind in engines]


def variants(statement: str) -> list[str]:
    """The statement as written, as a chat model would wrap it, and behind a comment."""
    return [
        statement,
        f"Here is the query you asked for:\n\n```sql\n{statement}\n```\n\nIt lists the rows.",
        f"/* generated */ {statement};",
    ]


def test_corpus_is_large_and_well_formed():
    for kind in ENGINES:
        statements = corpus_for(kind)
        assert len(statements) >= 200, f"{kind}: only {len(statements)} hostile statements"
        assert all(statement.strip() for statement in statements)
        assert len(set(statements)) == len(statements), f"{kind}: duplicate entries"


def _probe_path(target: Target) -> Path:
    # Somewhere the database server itself could write, had a statement got through.
    if target.kind == "sqlite":
        return target.workdir / "qx_probe.db"
    return Path("/tmp") / f"qx_probe_{uuid.uuid4().hex}"


def test_hostile_corpus_is_refused_and_changes_nothing(target):
    db = target.wrapper()
    probe = _probe_path(target)
    before = snapshot(target)
    got_through: list[str] = []
    checked = 0
    for statement in corpus_for(target.kind):
        for variant in variants(statement.replace("@PROBE@", str(probe))):
            checked += 1
            try:
                result = db.run(variant)
            except UnsafeSQLError:
                continue
            except SQLAlchemyError as err:
                got_through.append(f"{variant!r} reached the database: {err}")
            else:
                got_through.append(f"{variant!r} ran and returned {result!r}")
    assert not got_through, "\n".join(got_through)
    assert checked >= 600
    assert snapshot(target) == before
    assert not probe.exists()
    assert db.run("SELECT COUNT(*) FROM orders") == "[(5,)]"


# Reads of the same shapes as the corpus; each must give what LangChain's own SQLDatabase gives
# for the statement without its fence.
READS = {
    "all": [
        "SELECT * FROM customers ORDER BY id",
        "select name from customers where city = 'Dublin';",
        ("```sql\nSELECT COUNT(*) FROM orders;\n```", "SELECT COUNT(*) FROM orders"),
        ("Sure:\n```\nSELECT id FROM orders ORDER BY id\n```", "SELECT id FROM orders ORDER BY id"),
        "/* report */ SELECT 1",
        "-- report\nSELECT 2",
        "SELECT 'DELETE FROM orders; DROP TABLE items' AS s",
        "SELECT 1 /* ; DELETE FROM orders */ AS one",
        "SELECT 'it''s' AS s",
        "WITH c AS (SELECT customer_id, COUNT(*) AS n FROM orders GROUP BY customer_id)"
        " SELECT * FROM c ORDER BY customer_id",
        "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r WHERE n < 5)"
        " SELECT SUM(n) FROM r",
        "SELECT id FROM customers UNION SELECT id FROM orders ORDER BY 1",
        "SELECT c.name, SUM(i.quantity * i.price) AS total FROM customers c"
        " JOIN orders o ON o.customer_id = c.id JOIN items i ON i.order_id = o.id"
        " GROUP BY c.name ORDER BY total DESC, c.name",
        "SELECT name, ROW_NUMBER() OVER (ORDER BY name) AS rn FROM customers ORDER BY rn",
        "SELECT * FROM (SELECT id FROM orders) AS sub WHERE id > 2 ORDER BY id",
        "SELECT * FROM customers WHERE id IN (SELECT customer_id FROM orders) ORDER BY id",
        "SELECT name FROM customers WHERE id = 999",
    ],
    "postgresql": [
        "SELECT order_date::date FROM orders ORDER BY id",
        "SELECT name FROM customers WHERE name ILIKE 'ada%'",
        "SELECT date_trunc('month', order_date::timestamp) AS m, COUNT(*) FROM orders"
        " GROUP BY 1 ORDER BY 1",
        "SELECT $$a;b$$ AS d, $tag$ ; DELETE FROM orders $tag$ AS t",
        "SELECT COUNT(*) FILTER (WHERE quantity > 1) FROM items",
        "TABLE customers",
        "VALUES (1, 'a'), (2, 'b')",
        "SELECT pg_sleep(0.01)",
        "SELECT 5 # 3",
    ],
    "mysql": [
        "SELECT `name` FROM `customers` ORDER BY id LIMIT 1, 2",
        "SELECT DATE_FORMAT(order_date, '%Y-%m') AS m, COUNT(*) FROM orders GROUP BY m ORDER BY m",
        "SELECT 'x\\'; DELETE FROM orders; -- ' AS s",
        "SELECT 1 # comment ; DELETE FROM orders\n AS one",
        'SELECT "quoted text"',
        "SELECT IF(quantity > 1, 'many', 'one') FROM items ORDER BY id",
        "SELECT SLEEP(0)",
    ],
    "sqlite": [
        "SELECT strftime('%Y-%m', order_date) AS m, COUNT(*) FROM orders GROUP BY m ORDER BY m",
        "SELECT [name] FROM customers ORDER BY id",
        "SELECT name, type FROM pragma_table_info('customers') ORDER BY cid",
        "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name",
        "SELECT 'x\\' AS backslash",
        "VALUES (1), (2)",
    ],
}


def test_reads_of_the_same_shapes_run_as_langchain_would(target):
    db = target.wrapper()
    plain = SQLDatabase.from_uri(target.url)
    try:
        for entry in READS["all"] + READS[target.kind]:
            given, plain_sql = entry if isinstance(entry, tuple) else (entry, entry)
            assert db.run(given) == plain.run(plain_sql), given
    finally:
        plain._engine.dispose()


# --- the database's own wall -----------------------------------------------------------------

WRITES = [
    "DELETE FROM orders",
    "UPDATE customers SET city = 'Nowhere'",
    "INSERT INTO customers VALUES (99, 'Eve', 'Oslo')",
    "CREATE TABLE qx_evil (a INTEGER)",
    "DROP TABLE items",
]
SESSION_ESCAPES = {
    "sqlite": ["PRAGMA query_only = OFF"],
    "postgresql": [
        "SET SESSION CHARACTERISTICS AS TRANSACTION READ WRITE",
        "SET default_transaction_read_only = off",
    ],
    "mysql": ["SET SESSION TRANSACTION READ WRITE", "SET SESSION max_statement_time = 0"],
}
READ_ONLY_WORDS = ("read-only", "read only", "readonly", "not authorized")


def test_database_refuses_writes_that_get_past_the_check(target, monkeypatch):
    db = target.wrapper()
    monkeypatch.setattr(database, "check_read_only", lambda statement, *rest: statement)
    before = snapshot(target)
    for escape in SESSION_ESCAPES[target.kind]:
        # Whether or not the database allows it, it must not loosen the statements after it.
        with contextlib.suppress(SQLAlchemyError):
            db.run(escape)
    for write in WRITES:
        with pytest.raises(SQLAlchemyError) as caught:
            db.run(write)
        assert not isinstance(caught.value, UnsafeSQLError)
        message = str(caught.value).lower()
        assert any(word in message for word in READ_ONLY_WORDS), message
    assert snapshot(target) == before


def test_sessions_are_set_up_as_configured(target):
    db = target.wrapper(statement_timeout=2.5)
    if target.kind == "sqlite":
        assert db.run("SELECT * FROM pragma_query_only") == "[(1,)]"
    elif target.kind == "postgresql":
        assert db.run("SELECT current_setting('transaction_read_only')") == "[('on',)]"
        assert db.run("SELECT current_setting('statement_timeout')") == "[('2500ms',)]"
    elif "mariadb" in str(target.query("SELECT VERSION()")[0][0]).lower():
        assert db.run("SELECT @@SESSION.tx_read_only, @@SESSION.max_statement_time") == (
            "[(1, 2.5)]"
        )
    else:
        assert db.run("SELECT @@SESSION.transaction_read_only, @@SESSION.max_execution_time") == (
            "[(1, 2500)]"
        )


def test_read_only_false_turns_both_walls_off(own_target):
    db = own_target.wrapper(read_only=False)
    assert db.run("INSERT INTO customers VALUES (99, 'Eve', 'Oslo')") == ""
    assert db.run("UPDATE customers SET city = 'Bergen' WHERE id = 99;") == ""
    assert own_target.query("SELECT name, city FROM customers WHERE id = 99") == [("Eve", "Bergen")]
    db.run("CREATE TABLE qx_notes (id INTEGER)")
    assert "qx_notes" in [row[0].lower() for row in _table_names(own_target)]
    # Results stay bounded all the same.
    small = own_target.wrapper(read_only=False, max_rows=2)
    assert small.run("SELECT id FROM customers ORDER BY id") == "[(1,), (2,)]" + ROWS_MARKER.format(
        shown=2
    )


def _table_names(target: Target) -> list[tuple]:
    if target.kind == "sqlite":
        return target.query("SELECT name FROM sqlite_master WHERE type = 'table'")
    if target.kind == "postgresql":
        return target.query("SELECT tablename FROM pg_tables WHERE schemaname = 'public'")
    return target.query("SHOW TABLES")


# --- time limit --------------------------------------------------------------------------------

# Each would run for at least 20 seconds without the limit.
SLOW_QUERIES = {
    "sqlite": [
        "WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < 1000000000000)"
        " SELECT COUNT(*) FROM c",
    ],
    "postgresql": [
        "SELECT pg_sleep(20)",
        # Each row takes a while: the limit must also hold while rows are being fetched.
        "SELECT pg_sleep(0.2), g FROM generate_series(1, 200) AS g",
    ],
    "mysql": [
        "SELECT SLEEP(20)",
        "SELECT COUNT(*) FROM information_schema.columns a, information_schema.columns b,"
        " information_schema.columns c, information_schema.columns d",
    ],
}


def test_a_slow_query_stops_at_the_time_limit(target):
    db = target.wrapper(statement_timeout=1)
    for query in SLOW_QUERIES[target.kind]:
        started = time.monotonic()
        with pytest.raises(QueryTimeoutError) as caught:
            db.run(query)
        elapsed = time.monotonic() - started
        assert elapsed < 10, f"{query!r} took {elapsed:.1f}s: the limit did not stop it"
        assert isinstance(caught.value, OperationalError)
        assert "time limit of 1 second" in str(caught.value)
        assert "cheaper" in str(caught.value)
        assert db.run_no_throw(query).startswith("Error: Query stopped")
    # The wrapper (and its pooled connections) still work afterwards.
    assert db.run("SELECT COUNT(*) FROM customers") == "[(4,)]"


def test_a_quick_query_is_not_affected_by_the_time_limit(target):
    db = target.wrapper(statement_timeout=1)
    quick = {
        "sqlite": (
            "WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < 100000)"
            " SELECT COUNT(*) FROM c",
            "[(100000,)]",
        ),
        "postgresql": ("SELECT pg_sleep(0.2), 1", "[('', 1)]"),
        "mysql": ("SELECT SLEEP(0.2)", "[(0,)]"),
    }
    query, expected = quick[target.kind]
    assert db.run(query) == expected


# --- bounded results ---------------------------------------------------------------------------

ITEMS = "SELECT * FROM items ORDER BY id"
WIDE = (
    "SELECT i.id, i.product, c.name, c.city FROM items i CROSS JOIN customers c ORDER BY i.id, c.id"
)


def test_row_cap_keeps_the_first_rows_and_says_so(target):
    plain = SQLDatabase.from_uri(target.url)
    try:
        first_three = plain.run("SELECT * FROM items ORDER BY id LIMIT 3")
        everything = plain.run(ITEMS)
    finally:
        plain._engine.dispose()
    assert target.wrapper(max_rows=3).run(ITEMS) == first_three + ROWS_MARKER.format(shown=3)
    # Exactly as many rows as the cap: nothing was left out, so no marker.
    assert target.wrapper(max_rows=7).run(ITEMS) == everything
    assert target.wrapper().run(ITEMS) == everything


def test_character_cap_cuts_the_text_and_says_so(target):
    db = target.wrapper(max_result_chars=200)
    full = target.wrapper().run(WIDE)
    assert len(full) > 1000
    capped = db.run(WIDE)
    marker = CHARS_MARKER.format(limit=200)
    assert len(capped) == 200
    assert capped.endswith(marker)
    assert full.startswith(capped[: -len(marker)])


def test_result_formats_match_langchain(target):
    db = target.wrapper()
    plain = SQLDatabase.from_uri(target.url)
    try:
        for query in ("SELECT id, name FROM customers ORDER BY id", ITEMS):
            assert db.run(query, include_columns=True) == plain.run(query, include_columns=True)
            assert db.run(query, fetch="one") == plain.run(query, fetch="one")
        long_text = "SELECT '" + "word " * 200 + "' AS long_text"
        assert db.run(long_text) == plain.run(long_text)  # strings shortened alike
    finally:
        plain._engine.dispose()
    assert db.run("SELECT * FROM customers WHERE id < 0") == ""
    assert db.run_no_throw("SELECT * FROM customers WHERE id < 0") == ""


ROW_TEXT = re.compile(r"\(\d+, 'row number \d+'\)")


@pytest.mark.parametrize("include_columns", [False, True])
@pytest.mark.parametrize("max_chars", [200, 300, 1000])
def test_row_marker_counts_only_rows_left_whole_by_the_character_cap(include_columns, max_chars):
    rows = [(n, f"row number {n}") for n in range(100)]
    body, ends = render_rows_with_ends(
        rows, ["n", "label"], include_columns=include_columns, max_string_length=300
    )
    capped = cap_result(body, rows_cut=True, shown=100, max_chars=max_chars, row_ends=ends)
    assert len(capped) <= max_chars
    visible, marker = capped.split(CHARS_MARKER.format(limit=max_chars))
    whole_rows = [
        n
        for n in range(100)
        if (str(rows[n]) if not include_columns else str({"n": n, "label": f"row number {n}"}))
        in visible
    ]
    assert marker == ROWS_MARKER.format(shown=len(whole_rows))
    assert whole_rows == list(range(len(whole_rows)))


def test_rendered_rows_read_as_the_list_they_came_from():
    rows = [(1, "a"), (2, None), (3, "x, y")]
    body, ends = render_rows_with_ends(
        rows, ["k", "v"], include_columns=False, max_string_length=10
    )
    assert body == str(rows)
    assert [body[:end] + "]" for end in ends][-1] == body
    assert eval(body[: ends[0]] + "]") == rows[:1]  # noqa: S307 - text made above from literals


def test_a_large_row_cap_is_not_claimed_when_the_character_cap_cuts(target):
    every_row = ast.literal_eval(target.wrapper(max_rows=10_000).run(WIDE))
    assert len(every_row) > 12
    # Rows were left out by the row cap, and the character cap then cuts into the rows shown.
    result = target.wrapper(max_rows=12, max_result_chars=250).run(WIDE)
    visible, marker = result.split(CHARS_MARKER.format(limit=250))
    whole = max(k for k in range(13) if visible.startswith(str(every_row[:k])[:-1]))
    assert marker == ROWS_MARKER.format(shown=whole)
    assert whole < 12


def test_fetch_cursor_is_refused_with_an_explanation(target):
    with pytest.raises(ValueError, match="fetch='all' or 'one'"):
        target.wrapper().run("SELECT 1", fetch="cursor")


def test_execute_is_bounded_and_checked_too(target):
    db = target.wrapper(max_rows=2)
    assert db._execute("SELECT id FROM customers ORDER BY id") == [{"id": 1}, {"id": 2}]
    with pytest.raises(UnsafeSQLError):
        db._execute("DELETE FROM orders")


def test_code_fence_around_the_statement_is_removed(target):
    db = target.wrapper()
    reply = "Here is the query:\n\n```sql\nSELECT COUNT(*) FROM orders;\n```\n\nIt counts orders."
    assert db.run(reply) == "[(5,)]"
    assert db.run("```\nSELECT COUNT(*) FROM customers\n```") == "[(4,)]"


def test_sqlalchemy_constructs_and_parameters(target):
    db = target.wrapper()
    customers = sqlalchemy.Table("customers", sqlalchemy.MetaData(), autoload_with=db._engine)
    query = sqlalchemy.select(customers.c.name).where(customers.c.id == 2)
    assert db.run(query) == "[('Tomas Novak',)]"
    assert db.run(sqlalchemy.text("SELECT COUNT(*) FROM orders")) == "[(5,)]"
    named = "SELECT name FROM customers WHERE id = :id"
    assert db.run(named, parameters={"id": 3}) == "[('Lena Fischer',)]"
    with pytest.raises(UnsafeSQLError):
        db.run(sqlalchemy.delete(customers))
    with pytest.raises(UnsafeSQLError):
        db.run(sqlalchemy.text("DELETE FROM customers"))
    with pytest.raises(UnsafeSQLError):
        db.run(sqlalchemy.select(sqlalchemy.func.load_file("/etc/passwd")))


# --- memory with millions of rows ---------------------------------------------------------------

BIG_ROWS = 5_000_000

_DIGITS = "CREATE TABLE qx_digits (d INTEGER);" + "".join(
    f"INSERT INTO qx_digits VALUES ({n});" for n in range(10)
)
_FIVE_MILLION = (
    "SELECT 1 + a.d + 10 * b.d + 100 * c.d + 1000 * e.d + 10000 * f.d + 100000 * g.d"
    " + 1000000 * h.d AS id, 'row-abcdefghijklmnopqrstuvwxyz-0123456789' AS payload"
    " FROM qx_digits h, qx_digits g, qx_digits f, qx_digits e, qx_digits c, qx_digits b,"
    " qx_digits a WHERE h.d < 5"
)
BIG_SETUP = {
    # A view: SQLite computes its rows only as they are read, nothing is stored.
    "sqlite": _DIGITS + f"CREATE VIEW big AS {_FIVE_MILLION};",
    "postgresql": "CREATE UNLOGGED TABLE big AS SELECT g AS id,"
    " 'row-abcdefghijklmnopqrstuvwxyz-' || g AS payload FROM generate_series(1, 5000000) AS g;",
    "mysql": _DIGITS + f"CREATE TABLE big ENGINE=MyISAM AS {_FIVE_MILLION};",
}


def _memory_kib(key: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    raise LookupError(key)


@contextlib.contextmanager
def peak_rss_growth() -> Iterator[dict[str, float]]:
    """Peak resident-memory growth of this process inside the block, in bytes."""
    measured: dict[str, float] = {}
    start = _memory_kib("VmRSS")
    try:
        Path("/proc/self/clear_refs").write_text("5")  # resets VmHWM to the current RSS
        sampler = None
    except OSError:
        sampler = _RssSampler()
        sampler.start()
    try:
        yield measured
    finally:
        if sampler is None:
            peak = _memory_kib("VmHWM")
        else:
            peak = sampler.stop()
        measured["growth"] = (peak - start) * 1024


class _RssSampler(threading.Thread):
    def __init__(self) -> None:
        super().__init__(daemon=True)
        self.peak = _memory_kib("VmRSS")
        self._done = threading.Event()

    def run(self) -> None:
        while not self._done.wait(0.005):
            self.peak = max(self.peak, _memory_kib("VmRSS"))

    def stop(self) -> int:
        self._done.set()
        self.join()
        return max(self.peak, _memory_kib("VmRSS"))


def test_memory_stays_flat_for_five_million_rows(own_target, caplog):
    if not Path("/proc/self/status").exists():
        pytest.skip("needs /proc/self/status to read this process's memory")
    own_target.run_sql(BIG_SETUP[own_target.kind])
    assert own_target.query("SELECT MAX(id) FROM big") == [(BIG_ROWS,)]
    db = own_target.wrapper()
    db.run("SELECT 1")  # connect and reflect before measuring

    caplog.set_level(logging.ERROR)
    tracemalloc.start()
    started = time.monotonic()
    with peak_rss_growth() as rss:
        result = db.run("SELECT * FROM big")
    elapsed = time.monotonic() - started
    _, python_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()

    assert result.endswith(ROWS_MARKER.format(shown=100))
    assert result.count("row-abcdefghijklmnopqrstuvwxyz") == 100
    assert rss["growth"] < 64 * MiB, f"RSS grew by {rss['growth'] / MiB:.1f} MiB"
    assert python_peak < 64 * MiB, f"Python allocations peaked at {python_peak / MiB:.1f} MiB"
    print(
        f"\n{own_target.kind}: SELECT * over {BIG_ROWS:,} rows took {elapsed:.2f}s,"
        f" RSS growth {rss['growth'] / MiB:.2f} MiB, Python peak {python_peak / MiB:.2f} MiB"
    )
    # Giving up the rest of the result must leave nothing behind: no cursor errors logged,
    # the next statement works, and no server still sending rows.
    assert not [record for record in caplog.records if "closing cursor" in record.getMessage()]
    assert db.run("SELECT COUNT(*) FROM customers") == "[(4,)]"
    if own_target.kind == "mysql":
        _assert_server_stopped_sending(own_target)


def _assert_server_stopped_sending(target: Target) -> None:
    deadline = time.monotonic() + 5
    while True:
        running = target.query(
            "SELECT id FROM information_schema.processlist"
            " WHERE db = DATABASE() AND info LIKE 'SELECT * FROM big%'"
        )
        if not running or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    assert not running, "the server is still running the abandoned query"


# --- what LangChain's SQL tools need -----------------------------------------------------------


def test_list_and_info_tools_accept_the_wrapper(target):
    db = target.wrapper()
    assert db.dialect == target.kind
    assert ListSQLDatabaseTool(db=db)._run() == "customers, items, orders"
    info = InfoSQLDatabaseTool(db=db)._run("customers,orders")
    assert "CREATE TABLE customers" in info
    assert "CREATE TABLE orders" in info
    assert "CREATE TABLE items" not in info
    assert "3 rows from customers table:" in info
    assert "Ada Byrne" in info
    unknown = InfoSQLDatabaseTool(db=db)._run("customers, no_such_table")
    assert unknown.startswith("Error: ")
    assert "no_such_table" in unknown
    assert "Available tables: customers, items, orders" in unknown


def test_query_tools_accept_the_wrapper(target):
    db = target.wrapper()
    checker = QuerySQLCheckerTool(db=db, llm=FakeListChatModel(responses=["SELECT 1"]))
    assert checker._run(query="select 1") == "SELECT 1"
    runner = QuerySQLDatabaseTool(db=db)
    assert runner._run("SELECT COUNT(*) FROM items") == "[(7,)]"
    assert runner._run("DELETE FROM orders").startswith("Error: Refused:")


def test_table_info_is_cached_until_cleared(tmp_path):
    target = _sqlite_target(_fresh_sample(tmp_path))
    db = target.wrapper()
    statements: list[str] = []
    sqlalchemy.event.listen(
        db._engine, "before_cursor_execute", lambda *args: statements.append(args[2])
    )
    first = db.get_table_info(["customers"])
    assert statements, "the first call should read sample rows"
    statements.clear()
    assert db.get_table_info(["customers"]) == first
    assert statements == []
    target.run_sql("UPDATE customers SET name = 'Renamed' WHERE id = 1")
    assert "Renamed" not in db.get_table_info(["customers"])
    db.clear_cache()
    assert "Renamed" in db.get_table_info(["customers"])
    # A combined call reuses the per-table entries and keeps LangChain's order and layout.
    plain = SQLDatabase.from_uri(target.url)
    try:
        assert db.get_table_info() == plain.get_table_info()
    finally:
        plain._engine.dispose()


def test_failed_sample_rows_are_not_cached(tmp_path, monkeypatch):
    target = _sqlite_target(_fresh_sample(tmp_path))
    db = target.wrapper()
    real_fetch = db._fetch

    def failing_fetch(*args, **kwargs):
        raise OperationalError("SELECT ...", {}, Exception("database is locked"))

    monkeypatch.setattr(db, "_fetch", failing_fetch)
    assert "sample rows unavailable: " in db.get_table_info(["customers"])
    monkeypatch.setattr(db, "_fetch", real_fetch)
    assert "Ada Byrne" in db.get_table_info(["customers"])


def _fresh_sample(tmp_path: Path) -> Path:
    path = tmp_path / "sample.db"
    with contextlib.closing(sqlite3.connect(path)) as connection:
        connection.executescript(_sample_script())
        connection.commit()
    return path


# --- construction --------------------------------------------------------------------------------


def test_from_uri_takes_the_options(tmp_path):
    path = _fresh_sample(tmp_path)
    db = CustomSQLDatabase.from_uri(
        f"sqlite:///{path}", statement_timeout=5, max_rows=10, max_result_chars=500
    )
    try:
        assert (db.read_only, db.statement_timeout, db.max_rows, db.max_result_chars) == (
            True,
            5.0,
            10,
            500,
        )
        assert list(db.get_usable_table_names()) == ["customers", "items", "orders"]
    finally:
        db._engine.dispose()
    default = CustomSQLDatabase(sqlalchemy.create_engine(f"sqlite:///{path}"))
    try:
        assert (default.statement_timeout, default.max_rows, default.max_result_chars) == (
            30.0,
            100,
            20_000,
        )
    finally:
        default._engine.dispose()


def test_from_uri_will_not_create_a_missing_sqlite_file(tmp_path):
    missing = tmp_path / "typo.db"
    with pytest.raises(FileNotFoundError, match="does not exist"):
        CustomSQLDatabase.from_uri(f"sqlite:///{missing}")
    assert not missing.exists()


@pytest.mark.parametrize(
    ("options", "error"),
    [
        ({"statement_timeout": 0}, ValueError),
        ({"statement_timeout": -1}, ValueError),
        ({"statement_timeout": "30"}, ValueError),
        ({"max_rows": 0}, ValueError),
        ({"max_rows": 2.5}, ValueError),
        ({"max_result_chars": 50}, ValueError),
        ({"read_only": "yes"}, TypeError),
    ],
)
def test_bad_options_are_refused_with_a_reason(tmp_path, options, error):
    path = _fresh_sample(tmp_path)
    name = next(iter(options))
    with pytest.raises(error, match=name):
        CustomSQLDatabase.from_uri(f"sqlite:///{path}", **options)


def test_clean_sql_mode_drops_modes_that_change_quoting():
    mode = "STRICT_TRANS_TABLES,ANSI_QUOTES,NO_BACKSLASH_ESCAPES,ANSI,ONLY_FULL_GROUP_BY"
    assert clean_sql_mode(mode) == "STRICT_TRANS_TABLES,ONLY_FULL_GROUP_BY"
    assert clean_sql_mode("") == ""
