"""PostgreSQL: read-only transactions, the time limit, one statement per call, clean sessions.

Checked statements run over psycopg 3. Before one runs, the server parses and describes its
text through the extended query protocol, which refuses a text holding a second statement, so
a stacked ``COMMIT; ...`` can never leave the read-only transaction, whatever the check saw; the
same text then runs (queries from a cursor whose ``DECLARE`` also takes the extended protocol).
An engine on another driver (psycopg2 knows only the simple protocol) gets a psycopg 3 engine
to the same database for those statements; its own engine still serves reflection.
"""

from __future__ import annotations

import contextlib
import math
import secrets
from collections.abc import Iterator
from typing import Any

from sqlalchemy import create_engine, event
from sqlalchemy.engine import Connection, Engine
from sqlalchemy.exc import DBAPIError

from ...check.denylist import CatalogDenials
from ...session.walls import SessionWalls, StatementWatch
from . import bounds, refusals

_QUERY_CANCELED = "57014"
_STATEMENT_DRIVER = "psycopg"


class PostgresWalls(SessionWalls):
    enforces_read_only = True
    enforces_time_limit = True

    _statement_engine: Engine | None = None

    def install(self, engine: Engine) -> None:
        super().install(engine)
        self._statement_engine = engine
        if engine.dialect.driver != _STATEMENT_DRIVER:
            _require_psycopg()
            sibling = create_engine(engine.url.set(drivername=f"postgresql+{_STATEMENT_DRIVER}"))
            super().install(sibling)
            event.listen(sibling, "connect", _load_like_psycopg2)
            event.listen(engine, "engine_disposed", lambda *_: sibling.dispose())
            self._statement_engine = sibling

    def connect(self, engine: Engine) -> Connection:
        if self._statement_engine is None or engine.dialect.driver == _STATEMENT_DRIVER:
            return engine.connect()
        return self._statement_engine.connect()

    def read_catalog_denials(self, engine: Engine) -> CatalogDenials:
        with self.connect(engine) as conn:  # where statements run, so errors read the same
            return refusals.read_denials(conn)

    def prepare(self, dbapi_connection: Any, info: dict) -> None:
        mode = "READ ONLY" if self.read_only else "READ WRITE"
        statements = [
            f"SET SESSION CHARACTERISTICS AS TRANSACTION {mode}",
            # The statement check reads '\' inside '...' as an ordinary character; the server
            # must too, or a quote could end a string where the check saw none end.
            "SET standard_conforming_strings = on",
            f"SET statement_timeout = {self._milliseconds()}",
            # DISCARD ALL keeps the seed of random(): one query's setseed() would fix the next
            # one's ORDER BY random(), so every session setup draws it anew.
            f"SELECT setseed({_fresh_seed()!r})",
        ]
        with contextlib.closing(dbapi_connection.cursor()) as cursor:
            cursor.execute("; ".join(statements))
        # SET is transactional in PostgreSQL: without a commit the pool's reset would undo it.
        dbapi_connection.commit()

    @contextlib.contextmanager
    def statement(self, conn: Connection, schema: str | None) -> Iterator[StatementWatch]:
        statements = ["SET TRANSACTION READ ONLY"] if self.read_only else []
        statements.append(f"SET LOCAL statement_timeout = {self._milliseconds()}")
        # Again per transaction: a session-wide SET that slipped through earlier must not
        # change how this statement is read.
        statements.append("SET LOCAL standard_conforming_strings = on")
        conn.exec_driver_sql("; ".join(statements), execution_options={"no_parameters": True})
        if schema is not None:
            # set_config, not SET: psycopg 3 binds parameters on the server, and SET takes none.
            conn.exec_driver_sql("SELECT set_config('search_path', %s, true)", (schema,))
        yield StatementWatch()

    def describe(self, conn: Connection, statement: str) -> list[tuple[str, int]] | None:
        raw = conn.connection.dbapi_connection
        if not hasattr(raw, "pgconn"):
            return None
        return bounds.describe(raw, statement)

    def cut(
        self, columns: list[tuple[str, int]], statement: str, rows: int, min_chars: int
    ) -> tuple[str, Any]:
        return bounds.cut_statement(columns, statement, rows, min_chars)

    def interrupt(self, conn: Connection) -> None:
        raw = conn.connection.dbapi_connection
        cancel = getattr(raw, "cancel_safe", None) or raw.cancel
        cancel()

    def end_call(self, conn: Connection) -> None:
        # Temporary tables, prepared statements, LISTEN, advisory locks and settings of this
        # call must not meet the next one. DISCARD ALL drops them all, and the session
        # settings with them, so those are made again (and the seed of random() drawn anew).
        raw = conn.connection.dbapi_connection
        raw.rollback()
        raw.autocommit = True
        try:
            with contextlib.closing(raw.cursor()) as cursor:
                cursor.execute("DISCARD ALL")
        finally:
            raw.autocommit = False
        self.prepare(raw, conn.info)

    def is_timeout(self, err: DBAPIError, watch: StatementWatch) -> bool:
        orig = err.orig
        if (
            getattr(orig, "pgcode", None) != _QUERY_CANCELED
            and getattr(orig, "sqlstate", None) != _QUERY_CANCELED
        ):
            return False
        return watch.fired or "statement timeout" in str(orig)

    def _milliseconds(self) -> int:
        if self.time_limit is None:
            return 0  # PostgreSQL's "no limit"
        return max(1, math.ceil(self.time_limit * 1000))


def _fresh_seed() -> float:
    """A seed for random() from the operating system's source, in setseed's range [-1, 1]."""
    return secrets.randbits(53) / 2**52 - 1.0


def _require_psycopg() -> None:
    try:
        import psycopg  # noqa: F401 - only whether it imports
    except ImportError as err:
        raise ImportError(
            "CustomSQLDatabase runs PostgreSQL statements over psycopg 3, which is not"
            " installed. Install it with: pip install 'psycopg[binary]'"
        ) from err


def _load_like_psycopg2(dbapi_connection: Any, connection_record: Any) -> None:
    """Give rows the Python types psycopg2 gives, for engines that were made with it."""
    from psycopg.types.string import TextLoader

    for name in ("inet", "cidr"):
        dbapi_connection.adapters.register_loader(name, TextLoader)
    dbapi_connection.adapters.register_loader("bytea", _MemoryviewLoader)


def _memoryview_loader_class():
    from psycopg.types.string import ByteaLoader

    class MemoryviewLoader(ByteaLoader):
        def load(self, data):
            # The pure-Python loader's unescaping wants bytes; values arrive already cut.
            return memoryview(super().load(bytes(data)))

    return MemoryviewLoader


_MemoryviewLoader = _memoryview_loader_class()
