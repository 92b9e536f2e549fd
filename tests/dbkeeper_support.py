"""Fixtures for the quorlix.dbkeeper tests: throwaway databases on the local servers.

Each database has a random name, is created for one test and dropped afterwards; a test that
needs a server that cannot be reached is skipped with the reason.  The `*_settings` fixtures
also point the module's five settings at the database (undone after the test), the way a host
would configure it.
"""

from __future__ import annotations

import contextlib
import uuid
from collections.abc import Iterator
from dataclasses import dataclass

import pytest
import quorlix.dbkeeper
from support.reachability import skip_unless_reachable

HOST = "127.0.0.1"
MYSQL_PORT = 3306
PG_PORT = 5432
CONNECT_TIMEOUT = 3


@dataclass
class Database:
    engine: str  # "mysql" or "postgresql"
    name: str
    user: str
    password: str
    port: int
    connector: object

    def connect(self):
        """An autocommitting driver connection of the test's own; the caller closes it."""
        return self.connector(self.name)

    def run(self, sql: str, params=None) -> list[tuple]:
        with contextlib.closing(self.connect()) as connection:
            with contextlib.closing(connection.cursor()) as cursor:
                cursor.execute(sql, params)
                return [tuple(row) for row in cursor.fetchall()] if cursor.description else []


def _mysql(database: str | None):
    import pymysql

    return pymysql.connect(
        host=HOST,
        port=MYSQL_PORT,
        user="root",
        password="",
        database=database,
        autocommit=True,
        connect_timeout=CONNECT_TIMEOUT,
    )


def _pg(database: str):
    import psycopg2

    connection = psycopg2.connect(
        host=HOST, port=PG_PORT, user="postgres", dbname=database, connect_timeout=CONNECT_TIMEOUT
    )
    connection.autocommit = True
    return connection


def _random_name() -> str:
    return f"qx_dbkeeper_{uuid.uuid4().hex[:12]}"


@pytest.fixture
def mysql_db() -> Iterator[Database]:
    skip_unless_reachable(f"MariaDB at {HOST}:{MYSQL_PORT}", lambda: _mysql(None))
    name = _random_name()
    with contextlib.closing(_mysql(None)) as admin, admin.cursor() as cursor:
        cursor.execute(f"CREATE DATABASE `{name}`")
        try:
            yield Database("mysql", name, "root", "", MYSQL_PORT, _mysql)
        finally:
            cursor.execute(f"DROP DATABASE IF EXISTS `{name}`")


@pytest.fixture
def pg_db() -> Iterator[Database]:
    skip_unless_reachable(f"PostgreSQL at {HOST}:{PG_PORT}", lambda: _pg("postgres"))
    name = _random_name()
    with contextlib.closing(_pg("postgres")) as admin, admin.cursor() as cursor:
        cursor.execute(f'CREATE DATABASE "{name}"')
        try:
            yield Database("postgresql", name, "postgres", "", PG_PORT, _pg)
        finally:
            cursor.execute(
                "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                " WHERE datname = %s AND pid <> pg_backend_pid()",
                (name,),
            )
            cursor.execute(f'DROP DATABASE IF EXISTS "{name}"')


def point_settings_at(monkeypatch, dbkeeper, database: Database) -> None:
    monkeypatch.setattr(dbkeeper, "db_host", HOST)
    monkeypatch.setattr(dbkeeper, "db_port", database.port)
    monkeypatch.setattr(dbkeeper, "db_user", database.user)
    monkeypatch.setattr(dbkeeper, "db_password", database.password)
    monkeypatch.setattr(dbkeeper, "db_name", database.name)


@pytest.fixture
def dbkeeper():
    return quorlix.dbkeeper


@pytest.fixture
def mysql_settings(monkeypatch, dbkeeper, mysql_db) -> Database:
    point_settings_at(monkeypatch, dbkeeper, mysql_db)
    return mysql_db


@pytest.fixture
def pg_settings(monkeypatch, dbkeeper, pg_db) -> Database:
    point_settings_at(monkeypatch, dbkeeper, pg_db)
    return pg_db


@pytest.fixture
def closed_port() -> Iterator[int]:
    """A local port that refuses connections: bound for the test's duration, never listening."""
    import socket

    with socket.socket() as holder:
        holder.bind((HOST, 0))
        yield holder.getsockname()[1]


class ConnectionRecorder:
    """Stands in for one of the module's connection functions and keeps what it handed out."""

    def __init__(self, real):
        self.real, self.handed_out = real, []

    def __call__(self, *args):
        self.handed_out.append(self.real(*args))
        return self.handed_out[-1]


def is_closed(connection) -> bool:
    if hasattr(connection, "open"):  # PyMySQL
        return not connection.open
    return bool(connection.closed)  # psycopg2


@pytest.fixture
def recorded_connections(monkeypatch, dbkeeper):
    """Replaces both connection functions with recorders; returns {"mysql": ..., "pg": ...}."""
    recorders = {
        "mysql": ConnectionRecorder(dbkeeper.get_mysql_db_connection),
        "pg": ConnectionRecorder(dbkeeper.get_pgdb_connection),
    }
    monkeypatch.setattr(dbkeeper, "get_mysql_db_connection", recorders["mysql"])
    monkeypatch.setattr(dbkeeper, "get_pgdb_connection", recorders["pg"])
    return recorders
