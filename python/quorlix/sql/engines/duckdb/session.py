"""DuckDB: a read-only database with external access off, limits of its own, and checked
statements in worker processes.

Read-only cannot be switched on for a database that is already open, so a writable one is
refused rather than guarded half-way: ``sources`` opens DuckDB the right way, with its memory,
spill space and threads limited (``settings``). An engine opened some other way gets the same
limits here, where its configuration is not locked, and never looser ones.

Checked statements run in a worker process that opens the same databases read-only with the
same limits and allowed files (``reader``): DuckDB's memory_limit does not cover what its
functions make, and one function call can run seconds past an interrupt. There DuckDB's own
parser must read exactly one query, and long values are cut inside DuckDB (``bounds``). A
database that exists only in this process (``:memory:``) runs its statements here, under the
same parser check, cuts and a watchdog that interrupts them.
"""

from __future__ import annotations

from typing import Any

from sqlalchemy.engine import Connection, Engine
from sqlalchemy.exc import DBAPIError, OperationalError

from ...session.walls import SessionWalls, StatementWatch
from ...workers.pool import WorkerSpec
from . import bounds
from .reader import DuckDBReader
from .settings import DuckDBSettings, MiB, shown_size

# What a worker may hold past its start beyond DuckDB's memory_limit: values its functions make
# outside the limit, and the rows on their way to the host.
WORKER_HEADROOM = 512 * MiB

_SETTINGS = (
    "SELECT current_setting('lock_configuration'), current_setting('memory_limit'),"
    " current_setting('threads'), current_setting('max_temp_directory_size'),"
    " current_setting('allowed_paths'), current_setting('allowed_directories')"
)


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
        locked, memory, threads, temp_limit, *_ = dbapi_connection.execute(_SETTINGS).fetchone()
        if not locked:
            _tighten(dbapi_connection, memory, threads, temp_limit)
        external = dbapi_connection.execute(
            "SELECT current_setting('enable_external_access')"
        ).fetchone()[0]
        if external:
            # Global and one-way: no statement can turn it back on while the database is open.
            dbapi_connection.execute("SET enable_external_access = false")

    def worker_spec(self, engine: Engine) -> WorkerSpec | None:
        with engine.connect() as conn:
            raw = conn.connection.dbapi_connection
            databases = raw.execute(
                "SELECT database_name, path FROM duckdb_databases() WHERE NOT internal"
            ).fetchall()
            current = raw.execute("SELECT current_database(), current_schema()").fetchone()
            _, memory, threads, temp_limit, paths, folders = raw.execute(_SETTINGS).fetchone()
        if any(not path for _, path in databases):
            return None  # an in-memory database: no other process can open it
        defaults = DuckDBSettings.resolve()
        memory_limit = shown_size(memory) or defaults.memory_limit
        options = {
            "databases": [tuple(row) for row in databases],
            "current": tuple(current),
            "allowed_paths": list(paths or ()),
            "allowed_directories": list(folders or ()),
            "memory_limit": memory_limit,
            "threads": int(threads),
            "temp_limit": shown_size(temp_limit) or defaults.temp_directory_limit,
        }
        return WorkerSpec(
            "duckdb",
            DuckDBReader,
            options,
            memory_cap=memory_limit + WORKER_HEADROOM,
            spill_folder=True,
        )

    def describe(self, conn: Connection, statement: str) -> list[tuple[str, str]] | None:
        try:
            return bounds.describe(conn.connection.dbapi_connection, statement)
        except bounds.NotOneQuery as err:
            raise OperationalError(statement, None, err) from None

    def cut(
        self, columns: list[tuple[str, str]], statement: str, rows: int, min_chars: int
    ) -> tuple[str, Any]:
        return bounds.cut_statement(columns, statement, rows, min_chars)

    def interrupt(self, conn: Connection) -> None:
        # DuckDB stops the running query at its next check; the call's watchdog calls this.
        conn.connection.dbapi_connection.interrupt()

    def stream_options(self, limit: int) -> dict[str, Any]:
        return {}  # the dialect has no server-side cursors; fetchmany reads chunk by chunk

    def is_timeout(self, err: DBAPIError, watch: StatementWatch) -> bool:
        import duckdb

        return watch.fired and isinstance(err.orig, duckdb.InterruptException)


def _tighten(connection: Any, memory: str, threads: int, temp_limit: str) -> None:
    """Lower an unlocked database's limits to the configured ones where they are higher."""
    settings = DuckDBSettings.resolve()
    if (shown_size(memory) or settings.memory_limit + 1) > settings.memory_limit:
        connection.execute(f"SET memory_limit = '{settings.memory_limit}B'")
    if int(threads) > settings.threads:
        connection.execute(f"SET threads = {settings.threads}")
    temp = settings.temp_directory_limit
    if (shown_size(temp_limit) or temp + 1) > temp:
        connection.execute(f"SET max_temp_directory_size = '{settings.temp_directory_limit}B'")
    connection.execute("SET enable_progress_bar = false")
