"""The name knowledge is filed under for a database: its URL without the account.

Examples are written for one database's tables, so each is kept under the database it belongs
to. The key leaves out the user name and password (a team shares knowledge whichever account
asks), the driver (``postgresql+psycopg2`` and ``postgresql`` reach the same database), the
connection options and a default port; a file-based database is named by its absolute path,
however its URL spells it (``sqlite:///shop.db``, SQLite's read-only ``file:`` form). The
built-in sample shop database is ``sample:shop`` wherever its copy lives.
"""

from __future__ import annotations

from pathlib import Path

SAMPLE_KEY = "sample:shop"
_DEFAULT_PORTS = {"postgresql": 5432, "mysql": 3306, "mariadb": 3306, "mssql": 1433}


def database_key(url: str) -> str:
    from sqlalchemy.engine import make_url
    from sqlalchemy.exc import ArgumentError

    from quorlix.sql.engines.duckdb.sources import is_data_path

    if is_data_path(url):
        return f"files:{Path(url).expanduser().resolve()}"
    try:
        parsed = make_url(url)
    except ArgumentError:
        return url
    backend = parsed.get_backend_name()
    database = parsed.database or ""
    if backend in ("sqlite", "duckdb"):
        if database.startswith("file:"):
            # SQLite's URI form, as the read-only opening writes it: file:///path?mode=ro
            from urllib.parse import unquote, urlsplit

            database = unquote(urlsplit(database).path)
        if not database or database == ":memory:":
            return f"{backend}:{database}"
        path = Path(database).expanduser().resolve()
        if backend == "sqlite" and path == _sample_path():
            return SAMPLE_KEY
        return f"{backend}:{path}"
    host = parsed.host or ""
    # The engine's default port and no port are one database.
    port = f":{parsed.port}" if parsed.port and parsed.port != _DEFAULT_PORTS.get(backend) else ""
    return f"{backend}://{host}{port}/{database}"


def _sample_path() -> Path | None:
    from quorlix.sample import default_database_path

    try:
        return default_database_path().expanduser().resolve()
    except OSError:
        return None
