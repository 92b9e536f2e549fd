"""What the database itself enforces around each statement: read-only and a time limit.

The statement check (``sql_guard``) is the first wall; this is the second, so that a statement
the check wrongly lets through still cannot write. Each engine family has a subclass that sets
its session up once per DB-API connection (on connect, and again for a pooled connection that
was opened before the wrapper saw the engine) and wraps every statement in a read-only
transaction with a time limit.

This base class is what other dialects get: no database-level wall at all.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from sqlalchemy import event
from sqlalchemy.engine import Connection, CursorResult, Engine
from sqlalchemy.exc import DBAPIError

_SESSION_KEY = "quorlix.session"


@dataclass
class StatementWatch:
    """State of one running statement that the timeout test needs afterwards."""

    deadline: float | None = None
    fired: bool = False


class SessionWalls:
    enforces_read_only = False
    enforces_time_limit = False

    def __init__(self, *, read_only: bool, time_limit: float | None) -> None:
        self.read_only = read_only
        self.time_limit = time_limit
        # Two wrappers may share an engine with different settings; a connection prepared by
        # the other one is prepared again.
        self._fingerprint = (type(self).__name__, read_only, time_limit)

    def install(self, engine: Engine) -> None:
        event.listen(engine, "connect", self._on_connect)

    def ensure_prepared(self, conn: Connection) -> None:
        if conn.info.get(_SESSION_KEY) != self._fingerprint:
            self.prepare(conn.connection.dbapi_connection, conn.info)
            conn.info[_SESSION_KEY] = self._fingerprint

    def _on_connect(self, dbapi_connection: Any, connection_record: Any) -> None:
        self.prepare(dbapi_connection, connection_record.info)
        connection_record.info[_SESSION_KEY] = self._fingerprint

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
        ``sql_results.VALUE_BUDGET``."""
        return statement, None

    def restore_rows(
        self, keys: list[str], rows: list[tuple], plan: Any
    ) -> tuple[list[str], list[tuple]]:
        """The caller's columns and rows from what the statement of ``cut`` gave."""
        return keys, rows

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
