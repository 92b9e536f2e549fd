"""A span per statement the database wrapper runs for the graph: which engine, what kind of
statement over which tables, how many rows came back, whether the result was cut and whether
the statement was refused. Never the statement's text or any value: those are users' data.

Imported only while tracing is on.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import Any

from opentelemetry.trace import SpanKind, Status, StatusCode

from quorlix.telemetry import tracing
from quorlix.telemetry.run_spans import langchain_context

from .check.guard import _checked_tree as last_checked
from .errors import UnsafeSQLError

# SQLAlchemy's dialect names in the database conventions' words where they differ.
SYSTEMS = {"mssql": "microsoft.sql_server", "postgresql": "postgresql", "mysql": "mysql"}


class SQLCall:
    """The open span of one statement; the wrapper reports what came of it."""

    def __init__(self, span: Any, dialect: str | None, max_chars: int) -> None:
        self.span = span
        self._dialect = dialect
        self._max_chars = max_chars
        self.described = False

    def checked(self, statement: Any) -> None:
        """The statement passed the check: name its operation and tables (from the check's own
        parse where there is one)."""
        self._describe(statement, tree=_checked_tree(statement, self._dialect))

    def fetched(self, rows: int, cut: bool) -> None:
        self.span.set_attribute("db.response.returned_rows", rows)
        self.span.set_attribute("quorlix.sql.cut", cut)

    def text_cut(self) -> None:
        self.span.set_attribute("quorlix.sql.cut", True)

    def _describe(self, statement: Any, tree: Any = None) -> None:
        self.described = True
        operation, tables = statement_summary(statement, self._dialect, self._max_chars, tree)
        self.span.update_name(f"{operation} {tables[0]}" if len(tables) == 1 else operation)
        self.span.set_attribute("db.operation.name", operation)
        self.span.set_attribute("quorlix.sql.tables", tables)
        if len(tables) == 1:
            self.span.set_attribute("db.collection.name", tables[0])


@contextlib.contextmanager
def sql_span(
    dialect: str, sqlglot_dialect: str | None, command: Any, max_chars: int
) -> Iterator[SQLCall]:
    """The span of one call of the wrapper; named after the statement once it is checked."""
    system = SYSTEMS.get(dialect, dialect)
    attributes: dict[str, Any] = {
        "db.system": system,
        "db.system.name": system,
        "quorlix.sql.refused": False,
    }
    span = tracing.tracer().start_span(
        "SQL", context=langchain_context(), kind=SpanKind.CLIENT, attributes=attributes
    )
    call = SQLCall(span, sqlglot_dialect, max_chars)
    try:
        yield call
    except BaseException as error:
        if not call.described:
            call._describe(command)
        if isinstance(error, UnsafeSQLError):
            span.set_attribute("quorlix.sql.refused", True)
        # The type only: a driver's message quotes the statement, values and all.
        span.set_attribute("error.type", type(error).__qualname__)
        span.set_status(Status(StatusCode.ERROR, type(error).__qualname__))
        raise
    finally:
        span.end()


def _checked_tree(statement: Any, dialect: str | None) -> Any:
    return last_checked(statement, dialect) if isinstance(statement, str) else None


def statement_summary(
    command: Any, dialect: str | None, max_chars: int, tree: Any = None
) -> tuple[str, list[str]]:
    """The statement's operation (``SELECT``) and the tables it names, without its text.

    A statement longer than the wrapper accepts is refused unread, and is not parsed here
    either: parsing time grows with the text and cannot be stopped half-way.
    """
    from sqlglot import exp

    if tree is not None:
        statements = [tree]
    else:
        statements = _parsed(command, dialect, max_chars)
    if not statements:
        return "UNKNOWN", []
    first = statements[0]
    operation = first.key.upper() if len(statements) == 1 else "BATCH"
    if isinstance(first, exp.SetOperation | exp.Subquery):
        operation = "SELECT"
    ctes = {cte.alias_or_name for statement in statements for cte in statement.find_all(exp.CTE)}
    tables: list[str] = []
    for statement in statements:
        for table in statement.find_all(exp.Table):
            name = ".".join(part for part in (table.db, table.name) if part)
            if name and table.name not in ctes and name not in tables:
                tables.append(name)
    return operation, tables


def _parsed(command: Any, dialect: str | None, max_chars: int) -> list:
    import sqlglot

    from .check.fence import strip_code_fence

    text = command if isinstance(command, str) else getattr(command, "text", None)
    if text is None:
        try:
            text = str(command)
        except Exception:
            return []
    if len(text) > max_chars:
        return []
    try:
        parsed = sqlglot.parse(strip_code_fence(text), read=dialect)
    except Exception:  # a statement the parser cannot read is still run (and maybe refused)
        return []
    return [statement for statement in parsed if statement is not None]
