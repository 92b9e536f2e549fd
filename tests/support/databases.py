"""Database fixtures: a small SQLite file and throwaway PostgreSQL / MariaDB databases.

The server fixtures create a database with a random name on the local server, hand it to the
test and drop it afterwards; when the server cannot be reached the test is skipped with the
reason, so the suite still runs on a machine without them (on CI, where the servers are always
there, the skip fails the run: see ``support.skip_gate``).

Usage::

    def test_rows(pg_database):
        pg_database.run_sql("CREATE TABLE t (id int); INSERT INTO t VALUES (1), (2);")
        engine = sqlalchemy.create_engine(pg_database.url)
        ...
        engine.dispose()
"""

from __future__ import annotations

import contextlib
import sqlite3
import uuid
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

from support.reachability import skip_unless_reachable

LOCAL_HOST = "127.0.0.1"
CONNECT_TIMEOUT = 3

# --- SQLite ---------------------------------------------------------------------------------

SAMPLE_SCHEMA = """
CREATE TABLE customers (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL,
    city TEXT NOT NULL
);
CREATE TABLE orders (
    id INTEGER PRIMARY KEY,
    customer_id INTEGER NOT NULL REFERENCES customers (id),
    order_date TEXT NOT NULL
);
CREATE TABLE items (
    id INTEGER PRIMARY KEY,
    order_id INTEGER NOT NULL REFERENCES orders (id),
    product TEXT NOT NULL,
    quantity INTEGER NOT NULL,
    price REAL NOT NULL
);
"""

SAMPLE_ROWS: dict[str, list[tuple]] = {
    "customers": [
        (1, "Ada Byrne", "Dublin"),
        (2, "Tomas Novak", "Prague"),
        (3, "Lena Fischer", "Berlin"),
        (4, "Marco Rossi", "Milan"),
    ],
    "orders": [
        (1, 1, "2024-01-05"),
        (2, 1, "2024-02-11"),
        (3, 2, "2024-02-14"),
        (4, 3, "2024-03-02"),
        (5, 4, "2024-03-19"),
    ],
    "items": [
        (1, 1, "Kettle", 1, 34.5),
        (2, 1, "Mug", 4, 6.0),
        (3, 2, "Teapot", 1, 22.0),
        (4, 3, "Mug", 2, 6.0),
        (5, 4, "Toaster", 1, 49.9),
        (6, 4, "Bread knife", 1, 15.25),
        (7, 5, "Kettle", 2, 34.5),
    ],
}


@dataclass(frozen=True)
class SampleSQLite:
    url: str  # SQLAlchemy URL, sqlite:///<absolute path>
    path: Path
    rows: dict[str, list[tuple]]  # what each table holds, in id order


def build_sample_sqlite(path: Path) -> SampleSQLite:
    with contextlib.closing(sqlite3.connect(path)) as connection:
        connection.executescript(SAMPLE_SCHEMA)
        for table, rows in SAMPLE_ROWS.items():
            marks = ", ".join("?" * len(rows[0]))
            connection.executemany(f"INSERT INTO {table} VALUES ({marks})", rows)
        connection.commit()
    path = path.resolve()
    rows = {table: list(table_rows) for table, table_rows in SAMPLE_ROWS.items()}
    return SampleSQLite(url=f"sqlite:///{path}", path=path, rows=rows)


@pytest.fixture
def sqlite_sample_db(tmp_path: Path) -> SampleSQLite:
    """customers / orders / items in a fresh SQLite file."""
    return build_sample_sqlite(tmp_path / "sample.db")


# --- throwaway server databases ------------------------------------------------------------


@dataclass
class ThrowawayDatabase:
    engine: str  # "postgresql" or "mysql"
    name: str
    host: str
    port: int
    user: str
    password: str
    url: str  # SQLAlchemy URL with the driver named
    _connect: Any = field(repr=False, default=None)

    def connect(self):
        """A new DB-API connection to this database, in autocommit; the caller closes it."""
        return self._connect(self.name)

    def run_sql(self, script: str) -> None:
        """Run setup SQL; several statements separated by semicolons are fine."""
        with contextlib.closing(self.connect()) as connection:
            with contextlib.closing(connection.cursor()) as cursor:
                cursor.execute(script)
                if self.engine == "mysql":
                    while cursor.nextset():
                        pass

    def query(self, sql: str, params: Any = None) -> list[tuple]:
        """Run one statement and return its rows (empty when it returns none)."""
        with contextlib.closing(self.connect()) as connection:
            with contextlib.closing(connection.cursor()) as cursor:
                cursor.execute(sql, params)
                return [tuple(row) for row in cursor.fetchall()] if cursor.description else []


def _random_name() -> str:
    return f"qx_test_{uuid.uuid4().hex[:12]}"


def _pg_connect(database: str):
    import psycopg2

    connection = psycopg2.connect(
        host=LOCAL_HOST,
        port=5432,
        user="postgres",
        dbname=database,
        connect_timeout=CONNECT_TIMEOUT,
    )
    connection.autocommit = True
    return connection


@contextlib.contextmanager
def throwaway_pg_database() -> Iterator[ThrowawayDatabase]:
    """A new database on the local PostgreSQL, dropped on exit; skips when unreachable."""
    skip_unless_reachable(f"PostgreSQL at {LOCAL_HOST}:5432", lambda: _pg_connect("postgres"))
    name = _random_name()
    with contextlib.closing(_pg_connect("postgres")) as admin:
        with admin.cursor() as cursor:
            cursor.execute(f'CREATE DATABASE "{name}"')
        try:
            yield ThrowawayDatabase(
                engine="postgresql",
                name=name,
                host=LOCAL_HOST,
                port=5432,
                user="postgres",
                password="",
                url=f"postgresql+psycopg2://postgres@{LOCAL_HOST}:5432/{name}",
                _connect=_pg_connect,
            )
        finally:
            with admin.cursor() as cursor:
                cursor.execute(
                    "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                    " WHERE datname = %s AND pid <> pg_backend_pid()",
                    (name,),
                )
                cursor.execute(f'DROP DATABASE IF EXISTS "{name}"')


def _mysql_connect(database: str | None):
    import pymysql
    from pymysql.constants import CLIENT

    return pymysql.connect(
        host=LOCAL_HOST,
        port=3306,
        user="root",
        password="",
        database=database,
        autocommit=True,
        client_flag=CLIENT.MULTI_STATEMENTS,
        charset="utf8mb4",
        connect_timeout=CONNECT_TIMEOUT,
    )


@contextlib.contextmanager
def throwaway_mysql_database() -> Iterator[ThrowawayDatabase]:
    """A new database on the local MariaDB / MySQL, dropped on exit; skips when unreachable."""
    skip_unless_reachable(f"MySQL at {LOCAL_HOST}:3306", lambda: _mysql_connect(None))
    name = _random_name()
    with contextlib.closing(_mysql_connect(None)) as admin:
        with admin.cursor() as cursor:
            cursor.execute(f"CREATE DATABASE `{name}` CHARACTER SET utf8mb4")
        try:
            yield ThrowawayDatabase(
                engine="mysql",
                name=name,
                host=LOCAL_HOST,
                port=3306,
                user="root",
                password="",
                url=f"mysql+pymysql://root:@{LOCAL_HOST}:3306/{name}",
                _connect=_mysql_connect,
            )
        finally:
            with admin.cursor() as cursor:
                cursor.execute(
                    "SELECT id FROM information_schema.processlist"
                    " WHERE db = %s AND id <> CONNECTION_ID()",
                    (name,),
                )
                for (session_id,) in cursor.fetchall():
                    with contextlib.suppress(Exception):  # it may have ended meanwhile
                        cursor.execute(f"KILL {int(session_id)}")
                cursor.execute(f"DROP DATABASE IF EXISTS `{name}`")


@pytest.fixture
def pg_database() -> Iterator[ThrowawayDatabase]:
    with throwaway_pg_database() as database:
        yield database


@pytest.fixture(scope="module")
def pg_database_module() -> Iterator[ThrowawayDatabase]:
    """Shared by the tests of one module; they must not depend on each other's changes."""
    with throwaway_pg_database() as database:
        yield database


@pytest.fixture
def mysql_database() -> Iterator[ThrowawayDatabase]:
    with throwaway_mysql_database() as database:
        yield database


@pytest.fixture(scope="module")
def mysql_database_module() -> Iterator[ThrowawayDatabase]:
    """Shared by the tests of one module; they must not depend on each other's changes."""
    with throwaway_mysql_database() as database:
        yield database
