"""SQLite: sessions that only read, a time limit, and checked statements in worker processes.

Every connection is locked down by ``reader``: ``query_only``, an authorizer that
lets through only reading, values of at most 256 KiB, and a wait for another connection's lock
no longer than the time limit. Checked statements run in a worker process over the same file
opened read-only (``workers``): SQLite builds a whole row before handing it over, up to 2,000
columns of 256 KiB, and one C function call cannot be interrupted, so the worker's memory is
capped and it is stopped at the time limit. An in-memory database exists only in this process,
so its statements run here, under a progress handler that interrupts them at the deadline.
"""

from __future__ import annotations

import contextlib
import sqlite3
import time
from collections.abc import Iterator
from functools import partial
from typing import Any

from sqlalchemy.engine import Connection, Engine
from sqlalchemy.exc import DBAPIError

from ...session.walls import SessionWalls, StatementWatch
from ...workers.pool import WorkerSpec
from . import reader

# What a worker's data segment may grow past its start: SQLite itself needs little (its page
# cache, one row of at most 2,000 values of 256 KiB).
WORKER_MEMORY = 1024 * 1024 * 1024


class SQLiteWalls(SessionWalls):
    enforces_read_only = True
    enforces_time_limit = True
    fetch_batch = 1  # a row arrives with every value whole

    def prepare(self, dbapi_connection: Any, info: dict) -> None:
        reader.lock_down(dbapi_connection, self.read_only, self.time_limit)

    def worker_spec(self, engine: Engine) -> WorkerSpec | None:
        with engine.connect() as conn:
            databases = conn.exec_driver_sql("PRAGMA database_list").fetchall()
        path = next((file for _, name, file in databases if name == "main"), "")
        if not path:
            return None  # an in-memory database: no other process can open it
        options = {"path": path, "time_limit": self.time_limit}
        return WorkerSpec("sqlite", reader.SQLiteReader, options, memory_cap=WORKER_MEMORY)

    @contextlib.contextmanager
    def statement(self, conn: Connection, schema: str | None) -> Iterator[StatementWatch]:
        watch = StatementWatch()
        if self.time_limit is None:
            yield watch
            return
        raw = conn.connection.dbapi_connection
        watch.deadline = time.monotonic() + self.time_limit
        reader.stop_at(raw, watch.deadline, partial(setattr, watch, "fired", True))
        try:
            yield watch
        finally:
            raw.set_progress_handler(None, 0)

    def interrupt(self, conn: Connection) -> None:
        conn.connection.dbapi_connection.interrupt()

    def stream_options(self, limit: int) -> dict[str, Any]:
        return {}  # sqlite3 steps through a result only as rows are fetched

    def is_timeout(self, err: DBAPIError, watch: StatementWatch) -> bool:
        return watch.fired and isinstance(err.orig, sqlite3.OperationalError)
