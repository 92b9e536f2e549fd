"""PostgreSQL: read-only transactions and ``statement_timeout``."""

from __future__ import annotations

import contextlib
import math
from collections.abc import Iterator
from typing import Any

from sqlalchemy.engine import Connection
from sqlalchemy.exc import DBAPIError

from .sql_session import SessionWalls, StatementWatch

_QUERY_CANCELED = "57014"


class PostgresWalls(SessionWalls):
    enforces_read_only = True
    enforces_time_limit = True

    def prepare(self, dbapi_connection: Any, info: dict) -> None:
        mode = "READ ONLY" if self.read_only else "READ WRITE"
        statements = [
            f"SET SESSION CHARACTERISTICS AS TRANSACTION {mode}",
            # The statement check reads '\' inside '...' as an ordinary character; the server
            # must too, or a quote could end a string where the check saw none end.
            "SET standard_conforming_strings = on",
            f"SET statement_timeout = {self._milliseconds()}",
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

    def is_timeout(self, err: DBAPIError, watch: StatementWatch) -> bool:
        orig = err.orig
        # psycopg2 names the SQLSTATE pgcode, psycopg 3 sqlstate.
        code = getattr(orig, "pgcode", None) or getattr(orig, "sqlstate", None)
        return code == _QUERY_CANCELED and "statement timeout" in str(orig)

    def _milliseconds(self) -> int:
        if self.time_limit is None:
            return 0  # PostgreSQL's "no limit"
        return max(1, math.ceil(self.time_limit * 1000))
