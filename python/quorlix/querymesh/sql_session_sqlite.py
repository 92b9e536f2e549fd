"""SQLite: ``query_only``, an authorizer, and a progress handler as the time limit.

``PRAGMA query_only`` alone leaves gaps: SQLite still allows ATTACH (which creates files),
writes to TEMP tables and any PRAGMA, including one that turns ``query_only`` off again. The
authorizer closes them: it is asked about every action while a statement is compiled and lets
through only reading.
"""

from __future__ import annotations

import contextlib
import sqlite3
import time
from collections.abc import Iterator
from typing import Any

from sqlalchemy.engine import Connection
from sqlalchemy.exc import DBAPIError

from .sql_denylist import is_denied_function
from .sql_session import SessionWalls, StatementWatch

# How many virtual-machine steps SQLite runs between two looks at the clock.
_PROGRESS_STEPS = 10_000

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


class SQLiteWalls(SessionWalls):
    enforces_read_only = True
    enforces_time_limit = True

    def prepare(self, dbapi_connection: Any, info: dict) -> None:
        # Drop our own authorizer first: it would refuse the pragma that follows.
        dbapi_connection.set_authorizer(None)
        dbapi_connection.execute(f"PRAGMA query_only = {'ON' if self.read_only else 'OFF'}")
        if self.read_only:
            dbapi_connection.set_authorizer(authorize_read)
            dbapi_connection.setlimit(_LIMIT_LENGTH, MAX_VALUE_BYTES)

    @contextlib.contextmanager
    def statement(self, conn: Connection, schema: str | None) -> Iterator[StatementWatch]:
        watch = StatementWatch()
        if self.time_limit is None:
            yield watch
            return
        raw = conn.connection.dbapi_connection
        watch.deadline = time.monotonic() + self.time_limit

        def interrupt_after_deadline() -> int:
            if time.monotonic() >= watch.deadline:
                watch.fired = True
                return 1
            return 0

        raw.set_progress_handler(interrupt_after_deadline, _PROGRESS_STEPS)
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
