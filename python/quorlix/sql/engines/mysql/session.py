"""MySQL and MariaDB: read-only transactions and the server's statement time limit.

MySQL calls the limit ``max_execution_time`` (milliseconds, SELECT only); MariaDB calls it
``max_statement_time`` (seconds). Which server is on the other end is read from the handshake.
"""

from __future__ import annotations

import contextlib
import math
import re
import struct
from collections.abc import Iterator
from functools import partial
from typing import Any

from sqlalchemy.engine import Connection, CursorResult, Engine
from sqlalchemy.exc import DBAPIError

from ...check.denylist import CatalogDenials
from ...session.walls import SessionWalls, StatementWatch
from . import bounds, refusals

_MYSQL_QUERY_TIMEOUT = 3024  # ER_QUERY_TIMEOUT
_MARIADB_STATEMENT_TIMEOUT = 1969  # ER_STATEMENT_TIMEOUT
_QUERY_INTERRUPTED = 1317  # ER_QUERY_INTERRUPTED, what KILL QUERY leaves
_LOST_CONNECTION = 2013
_NOT_PREPARABLE = 1295  # ER_UNSUPPORTED_PS

_SETTINGS_KEY = "quorlix.mysql_settings"
_CLIENT_MULTI_STATEMENTS = 1 << 16
_OPTION_MULTI_STATEMENTS_OFF = 1  # MYSQL_OPTION_MULTI_STATEMENTS_OFF
_COM_SET_OPTION = 0x1B

# Modes under which the server reads quotes differently from the statement check: with them
# '\' no longer escapes and "..." becomes an identifier. The composite modes imply ANSI_QUOTES.
_CONFLICTING_MODES = {
    "NO_BACKSLASH_ESCAPES",
    "ANSI_QUOTES",
    "ANSI",
    "DB2",
    "MAXDB",
    "MSSQL",
    "ORACLE",
    "POSTGRESQL",
}
_MODE_LIST = re.compile(r"^[A-Za-z0-9_,]*$")


class MySQLWalls(SessionWalls):
    enforces_read_only = True
    enforces_time_limit = True

    _engine: Engine | None = None

    def install(self, engine: Engine) -> None:
        super().install(engine)
        self._engine = engine

    def read_catalog_denials(self, engine: Engine) -> CatalogDenials:
        with engine.connect() as conn:
            return refusals.read_denials(conn)

    def prepare(self, dbapi_connection: Any, info: dict) -> None:
        _one_statement_per_call(dbapi_connection)
        with contextlib.closing(dbapi_connection.cursor()) as cursor:
            cursor.execute("SELECT @@SESSION.sql_mode")
            (sql_mode,) = cursor.fetchone()
            # MySQL 8 knows only transaction_read_only; MariaDB before 11.1 only tx_read_only.
            cursor.execute(
                "SHOW VARIABLES WHERE Variable_name IN ('transaction_read_only', 'tx_read_only')"
            )
            names = sorted(str(row[0]) for row in cursor.fetchall())
            settings = self._settings(
                read_only_variable=names[0] if names else "transaction_read_only",
                mariadb=_is_mariadb(dbapi_connection, cursor),
                sql_mode=clean_sql_mode(sql_mode),
            )
            cursor.execute(settings)
        dbapi_connection.commit()
        info[_SETTINGS_KEY] = settings

    @contextlib.contextmanager
    def statement(self, conn: Connection, schema: str | None) -> Iterator[StatementWatch]:
        options = {"no_parameters": True}
        # Session variables outlive transactions here, so one statement that slipped through
        # (SET SESSION TRANSACTION READ WRITE, a zero time limit) would weaken every later one
        # on this pooled connection: the settings are put back before each statement.
        conn.exec_driver_sql(conn.info[_SETTINGS_KEY], execution_options=options)
        if self.read_only:
            conn.exec_driver_sql("START TRANSACTION READ ONLY", execution_options=options)
        yield StatementWatch()

    def describe(self, conn: Connection, statement: str) -> list[tuple[str, int]] | None:
        try:
            return bounds.describe(conn.connection.dbapi_connection, statement)
        except DBAPIError:
            raise
        except Exception as err:
            dbapi = conn.dialect.loaded_dbapi
            if not isinstance(err, dbapi.Error):
                raise
            if getattr(err, "args", (None,))[0] == _NOT_PREPARABLE:
                return None  # values are then cut as they arrive
            raise DBAPIError.instance(statement, None, err, dbapi.Error) from err

    def cut(
        self, columns: list[tuple[str, int]], statement: str, rows: int, min_chars: int
    ) -> tuple[str, Any]:
        return bounds.cut_statement(columns, statement, rows, min_chars), None

    def interrupt(self, conn: Connection) -> None:
        thread_id = conn.connection.dbapi_connection.thread_id()
        # A connection of its own, outside the pool: the pool may have none to spare.
        dialect = self._engine.dialect
        cargs, cparams = dialect.create_connect_args(self._engine.url)
        raw = dialect.connect(*cargs, **cparams)
        try:
            with contextlib.closing(raw.cursor()) as cursor:
                cursor.execute(f"KILL QUERY {int(thread_id)}")
        finally:
            raw.close()

    def end_call(self, conn: Connection) -> None:
        # User variables, named locks (GET_LOCK) and variables that sys functions set live as
        # long as the connection, and no statement clears them all: the connection goes.
        conn.invalidate()

    def is_timeout(self, err: DBAPIError, watch: StatementWatch) -> bool:
        args = getattr(err.orig, "args", ())
        if not args:
            return False
        if args[0] in (_MYSQL_QUERY_TIMEOUT, _MARIADB_STATEMENT_TIMEOUT):
            return True
        return watch.fired and args[0] in (_QUERY_INTERRUPTED, _LOST_CONNECTION)

    def discard_unread(self, conn: Connection, result: CursorResult) -> None:
        """Drop the connection rather than read the rest of an unbuffered result.

        The protocol has no way to stop a result half-way: closing a streaming cursor reads
        every remaining row (seconds for millions of rows). Closing the socket makes the server
        abandon the query; the pool opens a new connection next time.
        """
        state = getattr(result.cursor, "_result", None)
        if state is None or not getattr(state, "unbuffered_active", False):
            result.close()  # a buffered result: the rows are here already
            return
        # PyMySQL would otherwise drain the rows when the cursor closes.
        state.unbuffered_active = False
        result.close()
        conn.invalidate()

    def _settings(self, *, read_only_variable: str, mariadb: bool, sql_mode: str) -> str:
        if not _MODE_LIST.match(sql_mode):
            raise ValueError(f"unexpected characters in the server's sql_mode {sql_mode!r}")
        if mariadb:
            seconds = 0 if self.time_limit is None else self.time_limit
            time_limit = f"max_statement_time = {seconds:.3f}"
        else:
            milliseconds = 0 if self.time_limit is None else math.ceil(self.time_limit * 1000)
            time_limit = f"max_execution_time = {max(milliseconds, 0)}"
        return (
            f"SET SESSION {read_only_variable} = {1 if self.read_only else 0},"
            f" SESSION {time_limit}, SESSION sql_mode = '{sql_mode}'"
        )


def _one_statement_per_call(dbapi_connection: Any) -> None:
    """Have the server refuse a text holding several statements, as it does by default.

    mysqlclient asks for several statements per call when it connects, and any driver can be
    told to (PyMySQL's ``client_flag``); the session is switched back with the protocol's
    COM_SET_OPTION. A connection that asked for them and cannot be switched back is refused.
    """
    if not getattr(dbapi_connection, "client_flag", 0) & _CLIENT_MULTI_STATEMENTS:
        return
    set_option = getattr(dbapi_connection, "set_server_option", None)  # mysqlclient
    if set_option is None and _speaks_pymysql_packets(dbapi_connection):
        set_option = partial(_set_server_option_pymysql, dbapi_connection)
    if set_option is None:
        raise ValueError(
            "the MySQL connection was opened with CLIENT.MULTI_STATEMENTS, so one call could"
            " run several statements. Remove that flag from the engine's connect_args."
        )
    set_option(_OPTION_MULTI_STATEMENTS_OFF)


def _speaks_pymysql_packets(dbapi_connection: Any) -> bool:
    return all(hasattr(dbapi_connection, name) for name in ("_execute_command", "_read_packet"))


def _set_server_option_pymysql(dbapi_connection: Any, option: int) -> None:
    """COM_SET_OPTION, which PyMySQL has no call for; the server answers EOF, or an error."""
    dbapi_connection._execute_command(_COM_SET_OPTION, struct.pack("<H", option))
    reply = dbapi_connection._read_packet()  # raises the server's error
    if not (reply.is_eof_packet() or reply.is_ok_packet()):
        raise ValueError("the MySQL server gave no answer to COM_SET_OPTION; connection refused")


def clean_sql_mode(sql_mode: str) -> str:
    flags = [flag for flag in sql_mode.split(",") if flag]
    return ",".join(flag for flag in flags if flag.upper() not in _CONFLICTING_MODES)


def _is_mariadb(dbapi_connection: Any, cursor: Any) -> bool:
    server_info = getattr(dbapi_connection, "get_server_info", None)
    if callable(server_info):
        version = server_info()
    else:
        cursor.execute("SELECT VERSION()")
        (version,) = cursor.fetchone()
    if isinstance(version, bytes):
        version = version.decode("ascii", "replace")
    return "mariadb" in str(version).lower()
