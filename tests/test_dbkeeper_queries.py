"""execute_mysql_query and execute_pgdb_query against throwaway databases."""

import psycopg2
import pymysql
import pytest

pytest_plugins = ["dbkeeper_support"]
pytest.register_assert_rewrite("dbkeeper_support")

from dbkeeper_support import is_closed  # noqa: E402

PREFIX = "An error occurred while executing the query: "
ROWS = [(1, "kettle"), (2, "mug"), (3, "teapot")]


def driver_message(database, sql: str) -> str:
    """What the server says about `sql`, asked over the test's own connection."""
    try:
        database.run(sql)
    except Exception as error:
        return str(error)
    raise AssertionError(f"{sql!r} was expected to fail")


@pytest.fixture
def mysql_items(mysql_settings):
    mysql_settings.run("CREATE TABLE items (id INT PRIMARY KEY, name VARCHAR(20))")
    mysql_settings.run("INSERT INTO items VALUES (1, 'kettle'), (2, 'mug'), (3, 'teapot')")
    return mysql_settings


@pytest.fixture
def pg_items(pg_settings):
    pg_settings.run("CREATE TABLE items (id INT PRIMARY KEY, name TEXT)")
    pg_settings.run("INSERT INTO items VALUES (1, 'kettle'), (2, 'mug'), (3, 'teapot')")
    return pg_settings


def all_items(database) -> list[tuple]:
    return database.run("SELECT id, name FROM items ORDER BY id")


# --- MySQL ----------------------------------------------------------------------------------


def test_mysql_rows_are_mappings(dbkeeper, mysql_items, recorded_connections, capsys):
    rows = dbkeeper.execute_mysql_query("SELECT id, name FROM items ORDER BY id")
    assert rows == [{"id": i, "name": n} for i, n in ROWS]
    assert [is_closed(c) for c in recorded_connections["mysql"].handed_out] == [True]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    ("statement", "after"),
    [
        ("UPDATE items SET name = 'jug' WHERE id = 2", [(1, "kettle"), (2, "jug"), (3, "teapot")]),
        ("INSERT INTO items VALUES (4, 'tray')", [*ROWS, (4, "tray")]),
        ("DELETE FROM items WHERE id = 1", ROWS[1:]),
    ],
)
def test_mysql_changes_are_committed(dbkeeper, mysql_items, recorded_connections, statement, after):
    with mysql_items.connect() as own, own.cursor(pymysql.cursors.DictCursor) as cursor:
        cursor.execute("DO 0")
        nothing = cursor.fetchall()
    assert dbkeeper.execute_mysql_query(statement) == nothing
    assert all_items(mysql_items) == after
    assert [is_closed(c) for c in recorded_connections["mysql"].handed_out] == [True]


@pytest.mark.parametrize(
    "statement", ["SELEC id FROM items", "SELECT * FROM no_such_table", "SELECT nope FROM items"]
)
def test_mysql_statement_errors(dbkeeper, mysql_items, recorded_connections, capsys, statement):
    expected = driver_message(mysql_items, statement)
    assert dbkeeper.execute_mysql_query(statement) is None
    assert capsys.readouterr().out == f"{PREFIX}{expected}\n"
    assert [is_closed(c) for c in recorded_connections["mysql"].handed_out] == [True]


@pytest.mark.parametrize("setting", ["db_password", "db_port", "db_name"])
def test_mysql_unreachable_database(
    dbkeeper, mysql_items, monkeypatch, capsys, closed_port, setting
):
    wrong = {"db_password": "wrong", "db_port": closed_port, "db_name": "qx_no_such_db"}[setting]
    monkeypatch.setattr(dbkeeper, setting, wrong)
    assert dbkeeper.execute_mysql_query("SELECT 1") is None
    (line,) = capsys.readouterr().out.splitlines()
    assert line.startswith("Failed to connect to the database: ")


def test_mysql_follows_set_database_config(dbkeeper, mysql_items, monkeypatch, capsys):
    monkeypatch.setattr(dbkeeper, "db_name", "qx_no_such_db")
    dbkeeper.set_database_config(mysql_items.name, "root", "", "127.0.0.1", 3306)
    assert dbkeeper.execute_mysql_query("SELECT COUNT(*) AS n FROM items") == [{"n": len(ROWS)}]


# --- PostgreSQL -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "query",
    [
        "SELECT id, name FROM items ORDER BY id",
        "  \n\t select id, name from items order by id",
        "WITH picked AS (SELECT id, name FROM items) SELECT * FROM picked ORDER BY id",
        "-- every item\nSELECT id, name FROM items ORDER BY id",
        "/* every item */ SELECT id, name FROM items ORDER BY id",
        "(SELECT id, name FROM items ORDER BY id)",
        "VALUES (1, 'kettle'), (2, 'mug'), (3, 'teapot')",
        "TABLE items ORDER BY id",
    ],
)
def test_pg_rows_of_any_statement_that_returns_them(
    dbkeeper, pg_items, recorded_connections, capsys, query
):
    assert dbkeeper.execute_pgdb_query(query) == ROWS
    assert [is_closed(c) for c in recorded_connections["pg"].handed_out] == [True]
    assert capsys.readouterr().out == ""


def test_pg_insert_returning_gives_rows_and_commits(dbkeeper, pg_items):
    rows = dbkeeper.execute_pgdb_query("INSERT INTO items VALUES (4, 'tray') RETURNING id, name")
    assert rows == [(4, "tray")]
    assert all_items(pg_items) == [*ROWS, (4, "tray")]


@pytest.mark.parametrize(
    ("statement", "after"),
    [
        ("UPDATE items SET name = 'jug' WHERE id = 2", [(1, "kettle"), (2, "jug"), (3, "teapot")]),
        ("INSERT INTO items VALUES (4, 'tray')", [*ROWS, (4, "tray")]),
        ("DELETE FROM items WHERE id = 1", ROWS[1:]),
        ("WITH gone AS (DELETE FROM items WHERE id = 3) SELECT 1 WHERE false", ROWS[:2]),
    ],
)
def test_pg_changes_are_committed(dbkeeper, pg_items, statement, after):
    expected = None if not statement.startswith("WITH") else []
    assert dbkeeper.execute_pgdb_query(statement) == expected
    assert all_items(pg_items) == after


@pytest.mark.parametrize(
    "statement", ["SELEC id FROM items", "SELECT * FROM no_such_table", "UPDATE items SET nope = 1"]
)
def test_pg_statement_errors(dbkeeper, pg_items, recorded_connections, capsys, statement):
    expected = driver_message(pg_items, statement)
    assert dbkeeper.execute_pgdb_query(statement) is None
    assert capsys.readouterr().out == f"{PREFIX}{expected}\n"
    assert [is_closed(c) for c in recorded_connections["pg"].handed_out] == [True]


def test_pg_failed_commit_is_reported(dbkeeper, pg_items, recorded_connections, capsys):
    pg_items.run(
        "ALTER TABLE items ADD CONSTRAINT unique_name UNIQUE (name) DEFERRABLE INITIALLY DEFERRED"
    )
    assert dbkeeper.execute_pgdb_query("UPDATE items SET name = 'mug'") is None
    printed = capsys.readouterr().out
    assert printed.startswith(PREFIX) and printed.count(PREFIX) == 1 and "unique_name" in printed
    assert all_items(pg_items) == ROWS
    assert [is_closed(c) for c in recorded_connections["pg"].handed_out] == [True]


@pytest.mark.parametrize(
    ("setting", "wrong"),
    [("db_name", "qx_no_such_db"), ("db_user", "qx_no_such_role"), ("db_port", None)],
)
def test_pg_unreachable_database(
    dbkeeper, pg_items, monkeypatch, capsys, closed_port, setting, wrong
):
    monkeypatch.setattr(dbkeeper, setting, closed_port if wrong is None else wrong)
    assert dbkeeper.execute_pgdb_query("SELECT 1") is None
    printed = capsys.readouterr().out
    assert printed.startswith("The error '") and printed.endswith("' occurred\n")
    assert PREFIX not in printed


def test_pg_connection_refusing_an_option_is_reported(dbkeeper, pg_items, monkeypatch, capsys):
    def refuse(**options):
        raise psycopg2.ProgrammingError("invalid dsn option")

    monkeypatch.setattr(psycopg2, "connect", refuse)
    assert dbkeeper.execute_pgdb_query("SELECT 1") is None
    assert capsys.readouterr().out == f"{PREFIX}invalid dsn option\n"


# --- both engines ---------------------------------------------------------------------------


class FakeCursor:
    def __init__(self, error):
        self.error, self.exited = error, False

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.exited = True

    def execute(self, sql):
        raise self.error


class FakeConnection:
    def __init__(self, error):
        self.cursor_object, self.closed = FakeCursor(error), False

    def cursor(self, **options):
        return self.cursor_object

    def close(self):
        self.closed = True


@pytest.mark.parametrize(
    ("function", "connector"),
    [
        ("execute_mysql_query", "get_mysql_db_connection"),
        ("execute_pgdb_query", "get_pgdb_connection"),
        ("get_mysql_database_schema", "get_mysql_db_connection"),
        ("get_pgdb_schema", "get_pgdb_connection"),
    ],
)
def test_an_interrupt_propagates_after_cleaning_up(dbkeeper, monkeypatch, function, connector):
    connection = FakeConnection(KeyboardInterrupt())
    monkeypatch.setattr(dbkeeper, connector, lambda *settings: connection)
    with pytest.raises(KeyboardInterrupt):
        getattr(dbkeeper, function)(*(["SELECT 1"] if function.startswith("execute") else []))
    assert connection.cursor_object.exited
    assert connection.closed
