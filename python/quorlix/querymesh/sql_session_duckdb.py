"""DuckDB: a read-only database with external access off, and a watchdog as the time limit.

DuckDB has no statement timeout of its own, so a timer interrupts the connection when the limit
passes. Read-only cannot be switched on for a database that is already open, so a writable one
is refused rather than guarded half-way: ``quorlix.datasources`` opens DuckDB the right way.
"""

from __future__ import annotations

from typing import Any

from sqlalchemy.engine import Connection
from sqlalchemy.exc import DBAPIError

from .sql_session import SessionWalls, StatementWatch


class DuckDBWalls(SessionWalls):
    enforces_read_only = True
    enforces_time_limit = True

    def prepare(self, dbapi_connection: Any, info: dict) -> None:
        if not self.read_only:
            return
        rows = dbapi_connection.execute(
            "SELECT database_name FROM duckdb_databases()"
            " WHERE NOT readonly AND NOT internal AND database_name <> 'temp'"
        ).fetchall()
        if rows:
            raise PermissionError(
                f"the DuckDB database {rows[0][0]!r} is open for writing. Open it read-only:"
                " CustomSQLDatabase.from_uri('duckdb:///path.duckdb'), or"
                " create_engine(url, connect_args={'read_only': True})."
            )
        external = dbapi_connection.execute(
            "SELECT current_setting('enable_external_access')"
        ).fetchone()[0]
        if external:
            # Global and one-way: no statement can turn it back on while the database is open.
            dbapi_connection.execute("SET enable_external_access = false")

    def interrupt(self, conn: Connection) -> None:
        # DuckDB stops the running query at its next check; the call's watchdog calls this.
        conn.connection.dbapi_connection.interrupt()

    def stream_options(self, limit: int) -> dict[str, Any]:
        return {}  # the dialect has no server-side cursors; fetchmany reads chunk by chunk

    def is_timeout(self, err: DBAPIError, watch: StatementWatch) -> bool:
        import duckdb

        return watch.fired and isinstance(err.orig, duckdb.InterruptException)
