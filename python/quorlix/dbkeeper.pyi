"""Database utilities for MySQL, PostgreSQL and SQL Server: connection test, queries, schemas.

The connection settings are module globals read from the environment variables ``db_user``,
``db_password``, ``db_host`` and ``db_name`` when the module is imported (``db_port`` starts at
3306); ``set_database_config`` replaces them. Failures are printed and reported as ``None``.
Connections are the drivers' own objects (``pymysql`` / ``psycopg2``), typed ``Any`` here.
"""

from typing import Any

db_port: int
db_user: str
db_password: str
db_host: str | None
db_name: str | None

# psycopg2's OperationalError, caught by get_pgdb_connection.
OperationalError: type[Exception]

def get_mysql_db_connection(
    db_user: str | None,
    db_password: str | None,
    db_host: str | None,
    db_port: int,
    db_name: str | None,
) -> Any | None:
    """An open pymysql connection with dictionary rows, or None (the failure is printed)."""

def get_mysql_database_schema() -> dict[str, list[dict[str, str]]] | None:
    """``{table: [{"name": column, "type": type}, ...]}`` of the configured MySQL database."""

def set_database_config(name: str, user: str, password: str, host: str, port: int) -> None:
    """Replaces the five settings; raises ValueError for a None text or a non-integer port."""

def check_db_config_variables() -> list[str]:
    """Names of the settings that are None or empty (also printed as one line)."""

def get_db_connection(
    engine: str,
    db_user: str | None,
    db_password: str | None,
    db_host: str | None,
    db_port: int,
    db_name: str | None,
) -> str:
    """Tries to connect ("MySQL", "PostgreSQL" or "MsSQL") and answers with a status text."""

def execute_mysql_query(sql_query: str) -> Any | None:
    """The rows of the query as dictionaries keyed by column name, or None after an error."""

def get_pgdb_connection(
    db_user: str | None,
    db_password: str | None,
    db_host: str | None,
    db_port: int,
    db_name: str | None,
) -> Any | None: ...
def execute_pgdb_query(sql_query: str) -> list[tuple[Any, ...]] | None:
    """The rows of a SELECT as tuples; None for other statements and after an error."""

def get_pgdb_schema() -> dict[str, list[dict[str, str]]] | None:
    """``{table: [{"name": column, "type": type}, ...]}`` of schema public."""
