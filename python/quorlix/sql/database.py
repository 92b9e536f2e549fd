"""``CustomSQLDatabase``: the one door through which the graph reaches the target database.

It is a LangChain ``SQLDatabase``, so LangChain's SQL tools accept it as their ``db``, but every
statement it runs for a chat model goes through three things the base class does not have:

* a statement check (``check``) that lets through exactly one read-only query;
* a database session that refuses writes by itself, runs one statement per call and is reset
  after each call (each engine's ``session``), in case the check is ever wrong, and a watchdog
  that cancels the whole call, the check included, at its time limit (``session.watchdog``);
* bounded results: at most ``max_rows`` rows are fetched, from a streaming cursor, long values
  are cut before they reach this process (each engine's ``bounds``, ``results.cuts``), and the
  text handed back is at most ``max_result_chars`` long, with a marker saying what was cut.

SQLite and DuckDB compute inside the process that calls them, so their checked statements run
in worker processes with a memory cap of their own, stopped at the time limit (``workers``).

Give the wrapper an engine of its own: it configures that engine's database sessions, with the
walls its engine package brings (``engines``).

Building it reads nothing from the database: the table list and each table's description are
read when first needed and cached (``catalogue``), so a catalogue of thousands of tables costs
nothing until a question needs it.

Users and the graph module import it from ``quorlix.querymesh.custom_sql``.
"""

from __future__ import annotations

import logging
import time
from collections.abc import Mapping, Sequence
from contextvars import ContextVar
from functools import partial
from typing import Any, Literal

from langchain_community.utilities.sql_database import SQLDatabase
from sqlalchemy import text
from sqlalchemy.engine import URL, Connection, CursorResult, Engine, make_url
from sqlalchemy.exc import DBAPIError, OperationalError
from sqlalchemy.sql.elements import TextClause
from sqlalchemy.sql.expression import Executable
from sqlalchemy.sql.selectable import CompoundSelect, Select, TextualSelect

from quorlix.prompts.reference import reference_section
from quorlix.telemetry import tracing

from . import engines
from .catalogue.table_info import (
    DEFAULT_MAX_COLUMNS,
    DEFAULT_MAX_SCHEMA_CHARS,
    DEFAULT_TABLE_CACHE_SIZE,
    CachedTableInfo,
)
from .catalogue.table_list import LazyCatalogue, check_max_age
from .check.fence import strip_code_fence
from .check.guard import check_engine_columns, check_read_only, is_query, sqlglot_dialect
from .errors import QueryTimeoutError, UnsafeSQLError
from .options import (
    check_count,
    check_flag,
    check_result_chars,
    check_statement_chars,
    check_timeout,
    warn_if_unguarded,
)
from .results.cuts import fetch_bounded, rows_to_fetch
from .results.render import cap_result, render_rows_with_ends
from .session.watchdog import watchdog
from .workers.pool import WorkerPool, WorkerTimeout, WorkerUnavailable

_log = logging.getLogger(__name__)

# The statement the check passed last on this thread and when its call began: the time limit
# counts from there, so a costly check leaves the database that much less time.
_checked_at: ContextVar[tuple[object, float] | None] = ContextVar(
    "quorlix_checked_at", default=None
)


class CustomSQLDatabase(CachedTableInfo, LazyCatalogue, SQLDatabase):
    """A read-only, time-limited, size-bounded ``SQLDatabase``.

    Keyword options on top of ``SQLDatabase``'s (also accepted by ``from_uri``):

    read_only: refuse everything but one read-only query, and open read-only sessions
        (default True). False turns both off.
    statement_timeout: seconds one call may run before it is cancelled (default 30; None for no
        limit).
    max_rows: most rows ``run`` returns (default 100).
    max_result_chars: most characters ``run`` returns (default 20,000).
    max_statement_chars: longest statement text accepted (default 20,000); a longer one is
        refused before it is checked.
    catalogue_max_age: seconds after which the cached table list and table information are
        read again (default None: kept until ``refresh()``).
    table_info_cache_size: most tables whose information is kept (default 1,024).
    max_schema_chars: most characters of table information handed out at once (default
        24,000); the tables that do not fit are named instead.
    max_table_columns: most columns shown of one table (default 60), key columns first.

    The table list and table information are cached; ``refresh()`` (or ``clear_cache()``)
    drops them.
    """

    def __init__(
        self,
        engine: Engine,
        *args: Any,
        read_only: bool = True,
        statement_timeout: float | None = 30,
        max_rows: int = 100,
        max_result_chars: int = 20_000,
        max_statement_chars: int = 20_000,
        catalogue_max_age: float | None = None,
        table_info_cache_size: int = DEFAULT_TABLE_CACHE_SIZE,
        max_schema_chars: int = DEFAULT_MAX_SCHEMA_CHARS,
        max_table_columns: int = DEFAULT_MAX_COLUMNS,
        **kwargs: Any,
    ) -> None:
        self._read_only = check_flag("read_only", read_only)
        self._statement_timeout = check_timeout(statement_timeout)
        self._max_rows = check_count("max_rows", max_rows, 1)
        self._max_result_chars = check_result_chars(max_result_chars)
        self._max_statement_chars = check_statement_chars(max_statement_chars)
        self._sql_dialect = sqlglot_dialect(engine.dialect.name)
        walls_class = engines.find(engine.dialect.name).walls
        self._walls = walls_class(read_only=read_only, time_limit=self._statement_timeout)
        warn_if_unguarded(engine.dialect.name, self._walls, read_only, self._statement_timeout)
        # Installed before anything connects, so that even reflection runs read-only.
        self._walls.install(engine)
        self._init_table_info_cache(
            cache_size=check_count("table_info_cache_size", table_info_cache_size, 1),
            max_schema_chars=check_count("max_schema_chars", max_schema_chars, 1_000),
            max_columns=check_count("max_table_columns", max_table_columns, 1),
        )
        # In place of SQLDatabase.__init__, which lists and reflects every table.
        self._init_catalogue(engine, args, kwargs, max_age=check_max_age(catalogue_max_age))

    @classmethod
    def from_uri(
        cls,
        database_uri: str | URL,
        engine_args: dict | None = None,
        **kwargs: Any,
    ) -> CustomSQLDatabase:
        """Build the wrapper and its engine from a SQLAlchemy URL (``sqlite:///shop.db``).

        Also accepted: ``duckdb:///path.duckdb``; the path of a ``.csv``, ``.parquet`` or
        ``.json`` file, or of a folder of them, each file a table named after it (served by
        DuckDB); ``mysql://`` and ``mariadb://`` without a driver, read as PyMySQL.
        """
        # Data files are DuckDB's to serve; imported here, so that other engines never load it.
        from .engines.duckdb.sources import files_engine, is_data_path

        engine_args = dict(engine_args or {})
        read_only = kwargs.get("read_only", True)
        if isinstance(database_uri, str) and is_data_path(database_uri):
            if not read_only:
                raise ValueError("data files are served read-only; leave read_only at True")
            kwargs.setdefault("view_support", True)  # each file is a view over it
            return cls(files_engine(database_uri, **engine_args), **kwargs)
        url = make_url(database_uri)
        kind = engines.find(url.get_backend_name())
        engine = kind.open_engine(url, read_only=read_only, engine_args=engine_args)
        if engine is not None:
            return cls(engine, **kwargs)
        return super().from_uri(
            kind.url(database_uri, read_only=read_only), engine_args=engine_args, **kwargs
        )

    @property
    def read_only(self) -> bool:
        return self._read_only

    @property
    def statement_timeout(self) -> float | None:
        return self._statement_timeout

    @property
    def max_rows(self) -> int:
        return self._max_rows

    @property
    def max_result_chars(self) -> int:
        return self._max_result_chars

    @property
    def max_statement_chars(self) -> int:
        return self._max_statement_chars

    # --- the text the graph's prompts show ------------------------------------------------

    def get_table_info_no_throw(self, table_names: list[str] | None = None) -> str:
        """The tables' description as the graph's schema tool hands it to the SQL writer.

        While a run has team knowledge applied (``quorlix.prompts.reference``), its reference
        section follows the description: this text is what the SQL generation and correction
        prompts show of the database, so the run's examples and glossary reach them as data,
        beside the schema, without any node building its prompt differently. Outside such a
        run it is the description alone, exactly as before.
        """
        return super().get_table_info_no_throw(table_names) + reference_section()

    # --- running statements ----------------------------------------------------------------

    def run(
        self,
        command: str | Executable,
        fetch: Literal["all", "one", "cursor"] = "all",
        include_columns: bool = False,
        *,
        parameters: dict[str, Any] | None = None,
        execution_options: dict[str, Any] | None = None,
    ) -> str:
        """Run one statement and return its rows as text (``""`` when there are none).

        Raises ``UnsafeSQLError`` for a refused statement, ``QueryTimeoutError`` for one that
        hit the time limit, and the driver's ``SQLAlchemyError`` for anything else.
        """
        if not tracing.enabled():
            return self._run(command, fetch, include_columns, parameters, execution_options)
        with self._traced(command) as call:
            return self._run(command, fetch, include_columns, parameters, execution_options, call)

    def _run(
        self,
        command: str | Executable,
        fetch: Literal["all", "one", "cursor"],
        include_columns: bool,
        parameters: dict[str, Any] | None,
        execution_options: dict[str, Any] | None,
        call: Any = None,
    ) -> str:
        limit = self._limit_for(fetch)
        checked = self._checked(command)
        if call is not None:
            call.checked(checked)
        keys, rows, more = self._fetch(checked, limit, parameters, execution_options)
        if call is not None:
            call.fetched(len(rows), cut=more)
        body, row_ends = render_rows_with_ends(
            rows,
            keys,
            include_columns=include_columns,
            max_string_length=self._max_string_length,
            max_chars=self._max_result_chars,
        )
        if not body:
            return ""
        capped = cap_result(
            body,
            rows_cut=more and fetch == "all",
            shown=len(rows),
            max_chars=self._max_result_chars,
            row_ends=row_ends,
        )
        if call is not None and capped != body:
            call.text_cut()
        return capped

    def _traced(self, command: str | Executable):
        from .query_spans import sql_span

        return sql_span(
            self._engine.dialect.name, self._sql_dialect, command, self._max_statement_chars
        )

    def _execute(
        self,
        command: str | Executable,
        fetch: Literal["all", "one", "cursor"] = "all",
        *,
        parameters: dict[str, Any] | None = None,
        execution_options: dict[str, Any] | None = None,
    ) -> Sequence[dict[str, Any]]:
        """The base class's row-dict path, with the same checks and bounds as ``run``."""
        limit = self._limit_for(fetch)
        if not tracing.enabled():
            keys, rows, _ = self._fetch(
                self._checked(command), limit, parameters, execution_options
            )
            return [dict(zip(keys, row, strict=True)) for row in rows]
        with self._traced(command) as call:
            checked = self._checked(command)
            call.checked(checked)
            keys, rows, more = self._fetch(checked, limit, parameters, execution_options)
            call.fetched(len(rows), cut=more)
            return [dict(zip(keys, row, strict=True)) for row in rows]

    def _limit_for(self, fetch: str) -> int:
        if fetch == "all":
            return self._max_rows
        if fetch == "one":
            return 1
        if fetch == "cursor":
            raise ValueError(
                "fetch='cursor' is not supported by CustomSQLDatabase: its results are bounded"
                " and its transaction ends before run() returns. Use fetch='all' or 'one'."
            )
        raise ValueError(f"fetch must be 'all' or 'one', not {fetch!r}")

    def _checked(self, command: str | Executable) -> str | Executable:
        """The statement to execute, after code fences are removed and the check has passed.

        The call's time limit starts here, so the check counts against it.
        """
        started = time.monotonic()
        checked = self._check(command)
        _checked_at.set((checked, started))
        return checked

    def _check(self, command: str | Executable) -> str | Executable:
        if isinstance(command, (str, TextClause)):
            self._check_length(command if isinstance(command, str) else command.text)
        if isinstance(command, str):
            statement = strip_code_fence(command)
            if not self._read_only:
                return statement
            return check_read_only(statement, self._sql_dialect, self._catalog_denials())
        if not self._read_only:
            return command
        if isinstance(command, TextualSelect):
            command = command.element
        if isinstance(command, TextClause):
            checked = check_read_only(
                strip_code_fence(command.text), self._sql_dialect, self._catalog_denials()
            )
            return command if checked == command.text else text(checked)
        if isinstance(command, (Select, CompoundSelect)):
            self._check_construct(command)
            return command
        raise UnsafeSQLError(
            f"Refused: only SELECT statements may run; got a {type(command).__name__} construct."
            " Pass a select() or the text of one SELECT statement."
        )

    def _check_construct(self, command: Select | CompoundSelect) -> None:
        try:
            rendered = str(
                command.compile(
                    dialect=self._engine.dialect, compile_kwargs={"literal_binds": True}
                )
            )
        except Exception as err:  # any failure to render means "cannot check"
            raise UnsafeSQLError(
                f"Refused: the query could not be rendered as SQL to check it ({err}). Pass the"
                " text of one SELECT statement instead."
            ) from err
        check_read_only(rendered, self._sql_dialect, self._catalog_denials())

    def _check_length(self, statement: str) -> None:
        # Parsing costs time and memory that grow with the text (2 MB of OR terms took 35 s
        # and 1.2 GB), and no limit can stop the parser half-way.
        if len(statement) > self._max_statement_chars:
            raise UnsafeSQLError(
                f"Refused: the statement is {len(statement):,} characters long; at most"
                f" {self._max_statement_chars:,} are accepted. Send a shorter query: filter"
                " with a join or a subquery instead of listing values.",
                statement=statement[:200],
            )

    def _catalog_denials(self):
        return self._walls.catalog_denials(self._engine)

    def prestart(self) -> None:
        """Do now what the first statement would do first, for a command that has time to
        spare before it: start a worker process (it opens the database beside this process's
        work), read the catalog's denials and load the dialect's parser. Nothing fails here;
        what goes wrong is met again, and reported, by the statement."""
        try:
            pool = self._walls.worker_pool(self._engine)
            if pool is not None:
                pool.prestart()
            self._check("SELECT 1")
        except Exception:
            pass

    def _fetch(
        self,
        command: str | Executable,
        limit: int,
        parameters: Mapping[str, Any] | None,
        execution_options: Mapping[str, Any] | None,
    ) -> tuple[list[str], list[Any], bool]:
        """Run ``command`` in a guarded transaction; return (keys, at most limit rows, more?)."""
        deadline = self._deadline_for(command)
        pool = self._walls.worker_pool(self._engine)
        statement = _plain_text(command, parameters)
        if pool is not None and statement is not None:
            try:
                return self._fetch_in_worker(pool, statement, limit, deadline)
            except WorkerUnavailable as err:
                self._walls.workers_unavailable(str(err), lasting=err.lasting)
        with self._walls.connect(self._engine) as conn:
            self._walls.ensure_prepared(conn)
            transaction = conn.begin()
            try:
                try:
                    outcome = self._guarded_fetch(
                        conn, command, limit, parameters, execution_options, deadline
                    )
                except BaseException:
                    if transaction.is_active:
                        transaction.rollback()
                    raise
                if transaction.is_active:
                    # Nothing to keep from a read-only run; a writable one keeps its changes. A
                    # connection dropped to abandon a streaming query had nothing to keep either.
                    if self._read_only or conn.invalidated:
                        transaction.rollback()
                    else:
                        transaction.commit()
            finally:
                if self._read_only:
                    self._end_call(conn)
            return outcome

    def _deadline_for(self, command: str | Executable) -> float | None:
        """When the call must end: its time limit after the check began, or after now."""
        checked = _checked_at.get()
        _checked_at.set(None)
        started = checked[1] if checked is not None and checked[0] is command else time.monotonic()
        if self._statement_timeout is None:
            return None
        deadline = started + self._statement_timeout
        if time.monotonic() >= deadline:
            statement = command if isinstance(command, str) else str(command)
            raise self._timeout_error(OperationalError(statement, None, None))
        return deadline

    def _fetch_in_worker(
        self, pool: WorkerPool, statement: str, limit: int, deadline: float | None
    ) -> tuple[list[str], list[Any], bool]:
        def check_columns(count: int) -> None:
            # The database's own reading of the text must match the one that was checked.
            check_engine_columns(statement, self._sql_dialect, count)

        try:
            return pool.run(
                statement,
                limit=limit,
                min_chars=self._min_value_chars(),
                max_chars=self._max_result_chars,
                deadline=deadline,
                check_columns=check_columns,
            )
        except WorkerTimeout as err:
            raise self._timeout_error(OperationalError(statement, None, err.orig)) from err

    def _guarded_fetch(
        self,
        conn: Connection,
        command: str | Executable,
        limit: int,
        parameters: Mapping[str, Any] | None,
        execution_options: Mapping[str, Any] | None,
        deadline: float | None,
    ) -> tuple[list[str], list[Any], bool]:
        with self._walls.statement(conn, self._schema) as watch:
            # The whole call counts against the limit, however many statements it takes.
            interrupt = partial(self._walls.interrupt, conn)
            remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
            with watchdog(remaining, watch, interrupt):
                try:
                    outcome = self._fetch_rows(conn, command, limit, parameters, execution_options)
                except DBAPIError as err:
                    if self._walls.is_timeout(err, watch):
                        raise self._timeout_error(err) from err
                    raise
        if watch.fired:
            # Some functions answer an interrupt with a made-up value (MySQL's SLEEP returns 1,
            # BENCHMARK 0) instead of an error: an interrupted call never counts as an answer.
            statement = command if isinstance(command, str) else str(command)
            raise self._timeout_error(OperationalError(statement, None, None))
        return outcome

    def _end_call(self, conn: Connection) -> None:
        if conn.invalidated:
            return
        try:
            self._walls.end_call(conn)
        except Exception:
            # A session that cannot be cleaned must not serve another call; the call's own
            # outcome (rows or error) stands.
            _log.warning(
                "dropping a database connection whose session could not be reset", exc_info=True
            )
            conn.invalidate()

    def _fetch_rows(
        self,
        conn: Connection,
        command: str | Executable,
        limit: int,
        parameters: Mapping[str, Any] | None,
        execution_options: Mapping[str, Any] | None,
    ) -> tuple[list[str], list[Any], bool]:
        options = dict(execution_options or {})
        min_chars = self._min_value_chars()
        plan = columns = None
        if self._read_only and isinstance(command, str) and not parameters:
            columns = self._walls.describe(conn, command)
            if columns is not None:
                # The database's own reading of the text must match the one that was checked.
                check_engine_columns(command, self._sql_dialect, len(columns))
                limit = rows_to_fetch(limit, len(columns), min_chars, self._max_result_chars)
                command, plan = self._walls.cut(columns, command, limit + 1, min_chars)
        if self._streams(command):
            options.update(self._walls.stream_options(limit))
        result = self._execute_on(conn, command, parameters, options)
        if not result.returns_rows:
            result.close()
            return [], [], False
        keys = list(result.keys())
        if columns is None:  # the width is known only now
            limit = rows_to_fetch(limit, len(keys), min_chars, self._max_result_chars)
        # Long values are cut as each row arrives, so at most a batch of rows is held whole.
        rows, more = fetch_bounded(
            result.fetchmany, len(keys), limit, min_chars, self._walls.fetch_batch
        )
        if more:
            self._walls.discard_unread(conn, result)
        else:
            result.close()
        keys, rows = self._walls.restore_rows(keys, rows, plan)
        return keys, rows, more

    def _min_value_chars(self) -> int:
        # run() shortens strings to max_string_length itself; one more character tells it
        # that a string was longer.
        if self._max_string_length > 0:
            return self._max_string_length + 1
        return self._max_result_chars + 1

    def _execute_on(
        self,
        conn: Connection,
        command: str | Executable,
        parameters: Mapping[str, Any] | None,
        options: dict[str, Any],
    ) -> CursorResult:
        if isinstance(command, str) and not parameters:
            # Sent as written: no bind-parameter parsing of ':name' or '%' inside literals.
            options["no_parameters"] = True
            return conn.exec_driver_sql(command, execution_options=options)
        clause = text(command) if isinstance(command, str) else command
        return conn.execute(clause, dict(parameters or {}), execution_options=options)

    def _streams(self, command: str | Executable) -> bool:
        # PostgreSQL serves a streaming cursor only for queries (DECLARE ... CURSOR FOR), and a
        # statement that is not one must reach the database as itself: with read_only=False,
        # or if the check ever let one through, the read-only session is what answers it.
        if not isinstance(command, str):
            return True
        return is_query(command, self._sql_dialect)

    def _timeout_error(self, err: DBAPIError) -> QueryTimeoutError:
        timeout = QueryTimeoutError(
            err.statement,
            err.params,
            err.orig,
            hide_parameters=err.hide_parameters,
            connection_invalidated=err.connection_invalidated,
        )
        timeout.time_limit = self._statement_timeout
        return timeout


def _plain_text(command: str | Executable, parameters: Mapping[str, Any] | None) -> str | None:
    """The text of a statement that needs nothing but its text to run; None for others."""
    if parameters:
        return None
    if isinstance(command, str):
        return command
    if isinstance(command, TextClause) and not command._bindparams:
        return command.text
    return None
