"""The connection test for three engines and the MySQL / PostgreSQL connections."""

import sys
import types

import psycopg2
import pymysql
import pytest

pytest_plugins = ["dbkeeper_support"]
pytest.register_assert_rewrite("dbkeeper_support")

from dbkeeper_support import HOST, MYSQL_PORT, PG_PORT, is_closed  # noqa: E402

SUCCESS = "Success! Connection Established! ."


def driver_error(connect, **options) -> str:
    """The message the driver itself gives for these options."""
    try:
        connect(**options).close()
    except Exception as error:
        return str(error)
    raise AssertionError(f"expected {options} to be refused")


class Recorder:
    """A driver's connect that notes its arguments and hands out (or refuses) connections."""

    def __init__(self, real=None, error: BaseException | None = None):
        self.real, self.error = real, error
        self.calls: list[tuple[tuple, dict]] = []
        self.connections: list = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        connection = self.real(*args, **kwargs)
        self.connections.append(connection)
        return connection


class FakeOdbcConnection:
    closed = False

    def close(self):
        self.closed = True


@pytest.fixture
def fake_pyodbc(monkeypatch):
    """No ODBC driver exists here: a stand-in pyodbc whose connect the test sets."""
    module = types.ModuleType("pyodbc")
    monkeypatch.setitem(sys.modules, "pyodbc", module)
    return module


# --- get_db_connection ---------------------------------------------------------------------


@pytest.mark.parametrize("engine", ["mysql", "POSTGRESQL", "mssql", "", None, 3])
def test_unknown_engine_is_refused_without_touching_a_driver(dbkeeper, monkeypatch, engine):
    for driver in ("pymysql", "psycopg2", "pyodbc"):
        monkeypatch.setitem(sys.modules, driver, None)
    result = dbkeeper.get_db_connection(engine, "u", "p", HOST, 1, "d")
    assert result == "Unsupported SQL engine specified."


@pytest.mark.parametrize(
    ("engine", "driver", "order"),
    [
        ("MySQL", pymysql, ["host", "user", "password", "database", "port"]),
        ("PostgreSQL", psycopg2, ["user", "password", "host", "port", "database"]),
    ],
)
def test_connection_test_succeeds_and_closes_what_it_opened(
    dbkeeper, monkeypatch, capsys, mysql_db, pg_db, engine, driver, order
):
    database = mysql_db if engine == "MySQL" else pg_db
    recorder = Recorder(real=driver.connect)
    monkeypatch.setattr(driver, "connect", recorder)
    result = dbkeeper.get_db_connection(
        engine, database.user, database.password, HOST, database.port, database.name
    )
    assert result == SUCCESS
    ((args, kwargs),) = recorder.calls
    assert args == ()
    assert list(kwargs) == order
    assert kwargs["database"] == database.name and kwargs["port"] == database.port
    assert [is_closed(c) for c in recorder.connections] == [True]
    assert capsys.readouterr().out == ""


def test_connection_test_reports_driver_failures(dbkeeper, capsys, mysql_db, pg_db, closed_port):
    cases = [
        ("MySQL", pymysql.connect, mysql_db.user, "wrong", MYSQL_PORT, mysql_db.name),
        ("MySQL", pymysql.connect, mysql_db.user, "", closed_port, mysql_db.name),
        ("PostgreSQL", psycopg2.connect, pg_db.user, "", PG_PORT, pg_db.name + "_missing"),
        ("PostgreSQL", psycopg2.connect, "no_such_role_qx", "", PG_PORT, pg_db.name),
        ("PostgreSQL", psycopg2.connect, pg_db.user, "", closed_port, pg_db.name),
    ]
    for engine, connect, user, password, port, name in cases:
        expected = driver_error(
            connect, user=user, password=password, host=HOST, port=port, database=name
        )
        result = dbkeeper.get_db_connection(engine, user, password, HOST, port, name)
        assert result == f"Failed to connect to {engine} database: {expected}"
    assert capsys.readouterr().out == ""


ODBC_VALUES = ["plain", "p;w", "a}b", "{x}", "k=v", " lead", "trail ", "}};{{", "", "ünï"]


def parse_odbc(text: str) -> dict[str, str]:
    """Reads a connection text by ODBC's rules: braces enclose a value, '}}' inside is '}'."""
    pairs, i = {}, 0
    while i < len(text):
        key_end = text.index("=", i)
        key, i = text[i:key_end], key_end + 1
        if text.startswith("{", i):
            value, i = "", i + 1
            while True:
                close = text.index("}", i)
                value += text[i:close]
                if text.startswith("}}", close):
                    value, i = value + "}", close + 2
                else:
                    i = close + 1
                    break
        else:
            end = text.find(";", i)
            end = len(text) if end < 0 else end
            value, i = text[i:end], end
        assert key not in pairs, f"{key} given twice in {text!r}"
        pairs[key] = value
        if i < len(text):
            assert text[i] == ";"
            i += 1
    return pairs


@pytest.mark.parametrize("value", ODBC_VALUES)
def test_sql_server_text_keeps_every_value_intact(dbkeeper, fake_pyodbc, value):
    recorder = Recorder(error=RuntimeError("no ODBC driver"))
    fake_pyodbc.connect = recorder
    result = dbkeeper.get_db_connection("MsSQL", value, value + "!", value, 1433, value + "db")
    assert result == "Failed to connect to MsSQL database: no ODBC driver"
    ((args, kwargs),) = recorder.calls
    assert kwargs == {} and len(args) == 1
    assert parse_odbc(args[0]) == {
        "DRIVER": "SQL Server",
        "SERVER": f"{value},1433",
        "DATABASE": value + "db",
        "UID": value,
        "PWD": value + "!",
    }


def test_sql_server_text_of_plain_values(dbkeeper, fake_pyodbc):
    recorder = Recorder(error=RuntimeError("refused"))
    fake_pyodbc.connect = recorder
    dbkeeper.get_db_connection("MsSQL", "sa", "pw", None, 3306, None)
    dbkeeper.get_db_connection("MsSQL", "sa", "x;DATABASE=master", "h", 1, "d")
    texts = [args[0] for args, _ in recorder.calls]
    assert texts == [
        "DRIVER={SQL Server};SERVER=None,3306;DATABASE=None;UID=sa;PWD=pw",
        "DRIVER={SQL Server};SERVER=h,1;DATABASE=d;UID=sa;PWD={x;DATABASE=master}",
    ]


def test_sql_server_success_closes_the_connection(dbkeeper, fake_pyodbc):
    connection = FakeOdbcConnection()
    fake_pyodbc.connect = lambda text: connection
    assert dbkeeper.get_db_connection("MsSQL", "u", "p", "h", 1, "d") == SUCCESS
    assert connection.closed


def test_sql_server_without_its_driver_package(dbkeeper, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyodbc", None)
    with pytest.raises(ImportError) as missing:
        import pyodbc  # noqa: F401
    result = dbkeeper.get_db_connection("MsSQL", "u", "p", "h", 1, "d")
    assert result == f"Failed to connect to MsSQL database: {missing.value}"


def test_an_interrupt_is_not_a_connection_failure(dbkeeper, fake_pyodbc):
    fake_pyodbc.connect = Recorder(error=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        dbkeeper.get_db_connection("MsSQL", "u", "p", "h", 1, "d")


# --- get_mysql_db_connection / get_pgdb_connection -----------------------------------------


def test_mysql_connection_returns_rows_as_mappings(dbkeeper, monkeypatch, mysql_db):
    recorder = Recorder(real=pymysql.connect)
    monkeypatch.setattr(pymysql, "connect", recorder)
    connection = dbkeeper.get_mysql_db_connection("root", "", HOST, MYSQL_PORT, mysql_db.name)
    try:
        with connection.cursor() as cursor:
            cursor.execute("SELECT 7 AS answer, 'x' AS other")
            assert cursor.fetchall() == [{"answer": 7, "other": "x"}]
    finally:
        connection.close()
    ((_, kwargs),) = recorder.calls
    assert list(kwargs) == ["host", "user", "password", "database", "port", "cursorclass"]
    assert kwargs["cursorclass"] is pymysql.cursors.DictCursor


def test_pg_connection_returns_rows_as_tuples(dbkeeper, pg_db):
    connection = dbkeeper.get_pgdb_connection("postgres", "", HOST, PG_PORT, pg_db.name)
    try:
        with connection.cursor() as cursor:
            cursor.execute("SELECT 7 AS answer, 'x' AS other")
            assert cursor.fetchall() == [(7, "x")]
    finally:
        connection.close()


def test_mysql_connection_failures_are_printed(dbkeeper, capsys, mysql_db, closed_port):
    for password, port in [("wrong", MYSQL_PORT), ("", closed_port)]:
        options = dict(user="root", password=password, host=HOST, port=port)
        expected = driver_error(pymysql.connect, database=mysql_db.name, **options)
        assert dbkeeper.get_mysql_db_connection("root", password, HOST, port, mysql_db.name) is None
        assert capsys.readouterr().out == f"Failed to connect to the database: {expected}\n"


def test_pg_connection_failures_are_printed(dbkeeper, capsys, pg_db, closed_port):
    for user, port, name in [
        ("postgres", PG_PORT, pg_db.name + "_missing"),
        ("no_such_role_qx", PG_PORT, pg_db.name),
        ("postgres", closed_port, pg_db.name),
    ]:
        options = dict(user=user, password="", host=HOST, port=port, database=name)
        expected = driver_error(psycopg2.connect, **options)
        assert dbkeeper.get_pgdb_connection(user, "", HOST, port, name) is None
        assert capsys.readouterr().out == f"The error '{expected}' occurred\n"


@pytest.mark.parametrize(
    "error", [psycopg2.ProgrammingError("rejected option"), ValueError("bad"), KeyboardInterrupt()]
)
def test_pg_connection_lets_other_errors_through(dbkeeper, monkeypatch, capsys, error):
    monkeypatch.setattr(psycopg2, "connect", Recorder(error=error))
    with pytest.raises(type(error)):
        dbkeeper.get_pgdb_connection("u", "p", HOST, PG_PORT, "d")
    assert capsys.readouterr().out == ""


def test_pg_connection_catches_the_class_bound_in_the_module(dbkeeper, monkeypatch, capsys):
    monkeypatch.setattr(dbkeeper, "OperationalError", LookupError)
    monkeypatch.setattr(psycopg2, "connect", Recorder(error=KeyError("k")))
    assert dbkeeper.get_pgdb_connection("u", "p", HOST, PG_PORT, "d") is None
    assert capsys.readouterr().out == "The error ''k'' occurred\n"
