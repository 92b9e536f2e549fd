"""SQLite sessions that can only read: ``query_only``, an authorizer and a length limit.

``PRAGMA query_only`` alone leaves gaps: SQLite still allows ATTACH (which creates files),
writes to TEMP tables and any PRAGMA, including one that turns ``query_only`` off again. The
authorizer closes them: it is asked about every action while a statement is compiled and lets
through only reading.

The host's own connections are set up with ``lock_down`` (``session``), and so is
the connection of the worker process that runs checked statements (``SQLiteReader``), which
opens the file read-only besides: each of the three refuses writes by itself. No SQLAlchemy
here: the worker imports this module.
"""

from __future__ import annotations

import sqlite3
import time
from collections.abc import Callable
from typing import Any
from urllib.parse import quote

from ...check.denylist import is_denied_function
from ...results.cuts import fetch_bounded, rows_to_fetch

# How many virtual-machine steps SQLite runs between two looks at the clock.
PROGRESS_STEPS = 10_000

# Longest string, blob or row SQLite may make or read. One C function call (instr, replace,
# a LIKE pattern) can take time that grows with the product of its arguments' lengths, and no
# interrupt reaches it before it returns: this keeps the worst such call to about two seconds,
# and one value to 256 KiB. A stored value longer than this cannot be read.
MAX_VALUE_BYTES = 256 * 1024
_LIMIT_LENGTH = getattr(sqlite3, "SQLITE_LIMIT_LENGTH", 0)

_READ = getattr(sqlite3, "SQLITE_READ", 20)
_SELECT = getattr(sqlite3, "SQLITE_SELECT", 21)
_FUNCTION = getattr(sqlite3, "SQLITE_FUNCTION", 31)
_RECURSIVE = getattr(sqlite3, "SQLITE_RECURSIVE", 33)
_TRANSACTION = getattr(sqlite3, "SQLITE_TRANSACTION", 22)
_PRAGMA = getattr(sqlite3, "SQLITE_PRAGMA", 19)
_UPDATE = getattr(sqlite3, "SQLITE_UPDATE", 23)

# Pragmas whose argument only names what to describe (SQLAlchemy reflects through them, and
# the pragma_table_info(...) table functions ask for them).
_DESCRIBING_PRAGMAS = {
    "table_info",
    "table_xinfo",
    "index_list",
    "index_info",
    "index_xinfo",
    "foreign_key_list",
}
# Pragmas that may be read (no argument) but not set.
_READABLE_PRAGMAS = {
    "database_list",
    "table_list",
    "collation_list",
    "function_list",
    "module_list",
    "pragma_list",
    "compile_options",
    "read_uncommitted",
    "query_only",
    "user_version",
    "schema_version",
    "encoding",
    "foreign_keys",
}
_SCHEMA_TABLES = {"sqlite_master", "sqlite_temp_master", "sqlite_schema", "sqlite_temp_schema"}


def authorize_read(action: int, arg1: Any, arg2: Any, db_name: Any, trigger: Any) -> int:
    if action in (_READ, _SELECT, _RECURSIVE, _TRANSACTION):
        return sqlite3.SQLITE_OK
    if action == _FUNCTION:
        return sqlite3.SQLITE_DENY if is_denied_function(arg2 or "") else sqlite3.SQLITE_OK
    if action == _PRAGMA:
        name = (arg1 or "").lower()
        if name in _DESCRIBING_PRAGMAS or (name in _READABLE_PRAGMAS and arg2 is None):
            return sqlite3.SQLITE_OK
        return sqlite3.SQLITE_DENY
    if action == _UPDATE and arg1 in _SCHEMA_TABLES:
        # SQLite asks this while it sets up eponymous virtual tables such as
        # pragma_table_info; the write itself would still need writable_schema, a pragma
        # refused above, and query_only stays on.
        return sqlite3.SQLITE_OK
    return sqlite3.SQLITE_DENY


def lock_down(connection: Any, read_only: bool, busy_seconds: float | None) -> None:
    """Set a fresh connection up: reading only (when ``read_only``), values of at most
    ``MAX_VALUE_BYTES``, and a wait for another connection's lock of ``busy_seconds``."""
    # Drop our own authorizer first: it would refuse the pragmas that follow.
    connection.set_authorizer(None)
    if busy_seconds is not None:
        connection.execute(f"PRAGMA busy_timeout = {max(1, round(busy_seconds * 1000))}")
    set_query_only(connection, read_only)
    if read_only:
        allow_only_reading(connection)


def set_query_only(connection: Any, on: bool) -> None:
    connection.execute(f"PRAGMA query_only = {'ON' if on else 'OFF'}")


def allow_only_reading(connection: Any) -> None:
    connection.set_authorizer(authorize_read)
    connection.setlimit(_LIMIT_LENGTH, MAX_VALUE_BYTES)


def open_read_only(path: str) -> sqlite3.Connection:
    """The database file opened read-only by the operating system; never created."""
    return sqlite3.connect(f"file:{quote(path)}?mode=ro", uri=True)


def stop_at(connection: Any, deadline: float, on_stop: Callable[[], None]) -> None:
    """Interrupt the connection's statements once ``deadline`` (monotonic) has passed, calling
    ``on_stop`` first. ``connection.set_progress_handler(None, 0)`` ends it."""

    def interrupt_after_deadline() -> int:
        if time.monotonic() >= deadline:
            on_stop()
            return 1
        return 0

    connection.set_progress_handler(interrupt_after_deadline, PROGRESS_STEPS)


class SQLiteReader:
    """The worker process's session: the database file opened read-only, then locked down."""

    def __init__(self, options: dict[str, Any]) -> None:
        self._time_limit = options.get("time_limit")
        self._connection = open_read_only(options["path"])
        lock_down(self._connection, True, self._time_limit)
        self._stopped = False

    def describe(self, statement: str) -> list[Any] | None:
        return None  # SQLite describes a statement only by running it

    def fetch(
        self,
        statement: str,
        columns: None,
        limit: int,
        min_chars: int,
        max_chars: int,
        seconds: float | None,
    ) -> tuple[list[str], list[tuple], bool]:
        self._stopped = False
        if seconds is not None and self._time_limit is not None:
            stop_at(self._connection, time.monotonic() + seconds, self._mark_stopped)
        try:
            cursor = self._connection.execute(statement)
            try:
                keys = [column[0] for column in cursor.description or ()]
                if not keys:
                    return [], [], False
                limit = rows_to_fetch(limit, len(keys), min_chars, max_chars)
                # One row at a time: a row arrives with every value whole.
                rows, more = fetch_bounded(cursor.fetchmany, len(keys), limit, min_chars, 1)
                return keys, rows, more
            finally:
                cursor.close()
        finally:
            self._connection.set_progress_handler(None, 0)
            if self._connection.in_transaction:
                self._connection.rollback()

    def _mark_stopped(self) -> None:
        self._stopped = True

    def timed_out(self, error: BaseException) -> bool:
        return self._stopped and isinstance(error, sqlite3.OperationalError)
