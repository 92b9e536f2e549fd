"""What the database itself enforces around each statement: read-only and a time limit.

The statement check (``check.guard``) is the first wall; this is the second, so that a statement
the check wrongly lets through still cannot write. Each engine family has a subclass that sets
its session up once per DB-API connection (on connect, and again for a pooled connection that
was opened before the wrapper saw the engine) and wraps every statement in a read-only
transaction with a time limit.

This base class is what other dialects get: no database-level wall at all.
"""

from __future__ import annotations

import contextlib
import logging
import threading
import weakref
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from sqlalchemy import event
from sqlalchemy.engine import Connection, CursorResult, Engine
from sqlalchemy.exc import DBAPIError

from ..check.denylist import EMPTY, CatalogDenials
from ..results.cuts import restore
from ..workers.pool import WorkerPool, WorkerSpec, workers_supported

_log = logging.getLogger(__name__)

_SESSION_KEY = "quorlix.session"


@dataclass
class StatementWatch:
    """State of one running statement that the timeout test needs afterwards."""

    deadline: float | None = None
    fired: bool = False


class SessionWalls:
    enforces_read_only = False
    enforces_time_limit = False
    # Rows fetched from the driver at once, each held whole until it is cut.
    fetch_batch = 16

    def __init__(self, *, read_only: bool, time_limit: float | None) -> None:
        self.read_only = read_only
        self.time_limit = time_limit
        # Two wrappers may share an engine with different settings; a connection prepared by
        # the other one is prepared again.
        self._fingerprint = (type(self).__name__, read_only, time_limit)
        self._denials: CatalogDenials | None = None
        self._denials_lock = threading.Lock()
        self._workers: WorkerPool | str | None = None  # a pool, or why there is none
        self._workers_lock = threading.Lock()

    def install(self, engine: Engine) -> None:
        event.listen(engine, "connect", self._on_connect)

    def ensure_prepared(self, conn: Connection) -> None:
        if conn.info.get(_SESSION_KEY) != self._fingerprint:
            self.prepare(conn.connection.dbapi_connection, conn.info)
            conn.info[_SESSION_KEY] = self._fingerprint

    def _on_connect(self, dbapi_connection: Any, connection_record: Any) -> None:
        self.prepare(dbapi_connection, connection_record.info)
        connection_record.info[_SESSION_KEY] = self._fingerprint

    def catalog_denials(self, engine: Engine) -> CatalogDenials:
        """What the database's own catalog marks as out of bounds: read once, then kept.

        A failed read raises (the call fails) and is tried again on the next call.
        """
        if self._denials is None:
            with self._denials_lock:
                if self._denials is None:
                    self._denials = self.read_catalog_denials(engine)
        return self._denials

    def read_catalog_denials(self, engine: Engine) -> CatalogDenials:
        return EMPTY

    def worker_pool(self, engine: Engine) -> WorkerPool | None:
        """The worker processes checked statements run in; None where they run here."""
        if not self.read_only:
            return None
        if self._workers is None:
            with self._workers_lock:
                if self._workers is None:
                    self._workers = self._start_pool(engine)
        return self._workers if isinstance(self._workers, WorkerPool) else None

    def workers_unavailable(self, reason: str, *, lasting: bool) -> None:
        """Run this call's statement in this process, and, when ``lasting``, every later one."""
        if lasting:
            with self._workers_lock:
                pool, self._workers = self._workers, reason
            if isinstance(pool, WorkerPool):
                pool.close()
        self._warn_in_process(reason, lasting=lasting)

    def _warn_in_process(self, reason: str, *, lasting: bool = True) -> None:
        engine = type(self).__name__.removesuffix("Walls")
        which = f"{engine} statements run" if lasting else f"this {engine} statement runs"
        _log.warning(
            "%s inside this process (%s), without the memory cap and the exact time limit of a"
            " worker process.",
            which,
            reason,
        )

    def worker_spec(self, engine: Engine) -> WorkerSpec | None:
        """What a worker process opens for this engine; None to run statements here."""
        return None

    def _start_pool(self, engine: Engine) -> WorkerPool | str:
        spec = self.worker_spec(engine)
        if spec is None:
            return "no worker process for this engine"
        reason = workers_supported()
        if reason is not None:
            self._warn_in_process(reason)
            return reason
        pool = WorkerPool(spec)
        # Idle workers end with the wrapper, or when the engine is disposed of.
        weakref.finalize(self, pool.close)
        event.listen(engine, "engine_disposed", lambda *_: pool.close())
        return pool

    def prepare(self, dbapi_connection: Any, info: dict) -> None:
        """Session-wide settings on a fresh DB-API connection.

        ``info`` lives as long as the DB-API connection; ``statement`` sees it as ``conn.info``.
        """

    @contextlib.contextmanager
    def statement(self, conn: Connection, schema: str | None) -> Iterator[StatementWatch]:
        """Wrap one statement, inside a transaction that ``conn`` has already begun."""
        yield StatementWatch()

    def connect(self, engine: Engine) -> Connection:
        """The connection a checked statement runs on (the engine's own unless said here)."""
        return engine.connect()

    def interrupt(self, conn: Connection) -> None:
        """Stop what ``conn`` is running; called from the watchdog thread at the deadline."""

    def describe(self, conn: Connection, statement: str) -> list[tuple[str, int]] | None:
        """(name, type code) of each column, from the database, without running the statement.

        None where the engine offers no such view. Engines that have one also refuse a text
        holding more than one statement here.
        """
        return None

    def cut(
        self, columns: list[tuple[str, int]], statement: str, rows: int, min_chars: int
    ) -> tuple[str, Any]:
        """The text to run so that long values are cut before they are sent, and what
        ``restore_rows`` needs afterwards; at most ``rows`` rows are fetched, within
        ``results.cuts.VALUE_BUDGET``."""
        return statement, None

    def restore_rows(
        self, keys: list[str], rows: list[tuple], plan: Any
    ) -> tuple[list[str], list[tuple]]:
        """The caller's columns and rows from what the statement of ``cut`` gave."""
        return restore(keys, rows, plan)

    def end_call(self, conn: Connection) -> None:
        """Leave nothing of this call on the pooled connection: locks, variables, objects."""

    def stream_options(self, limit: int) -> dict[str, Any]:
        """Execution options that keep the driver from buffering a whole result."""
        return {"stream_results": True, "max_row_buffer": limit + 1}

    def is_timeout(self, err: DBAPIError, watch: StatementWatch) -> bool:
        return False

    def discard_unread(self, conn: Connection, result: CursorResult) -> None:
        """Give up a result that still has rows the caller does not want."""
        result.close()
