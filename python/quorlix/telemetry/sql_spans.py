"""A span per statement the database wrapper runs for the graph: which engine, what kind of
statement over which tables, how many rows came back, whether the result was cut and whether
the statement was refused. Never the statement's text or any value: those are users' data.

Imported only while tracing is on.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import Any

from langchain_core.callbacks import BaseCallbackManager
from langchain_core.runnables.config import var_child_runnable_config
from opentelemetry import context as otel_context
from opentelemetry.trace import SpanKind, Status, StatusCode

from . import tracing
from .graph_spans import GraphSpans

# SQLAlchemy's dialect names in the database conventions' words where they differ.
SYSTEMS = {"mssql": "microsoft.sql_server", "postgresql": "postgresql", "mysql": "mysql"}


class SQLCall:
    """The open span of one statement; the wrapper reports what came of it."""

    def __init__(self, span: Any) -> None:
        self.span = span

    def fetched(self, rows: int, cut: bool) -> None:
        self.span.set_attribute("db.response.returned_rows", rows)
        self.span.set_attribute("quorlix.sql.cut", cut)

    def text_cut(self) -> None:
        self.span.set_attribute("quorlix.sql.cut", True)


@contextlib.contextmanager
def sql_span(
    dialect: str, sqlglot_dialect: str | None, command: Any, max_chars: int
) -> Iterator[SQLCall]:
    operation, tables = statement_summary(command, sqlglot_dialect, max_chars)
    system = SYSTEMS.get(dialect, dialect)
    attributes: dict[str, Any] = {
        "db.system": system,
        "db.system.name": system,
        "db.operation.name": operation,
        "quorlix.sql.tables": tables,
        "quorlix.sql.refused": False,
    }
    if len(tables) == 1:
        attributes["db.collection.name"] = tables[0]
    name = f"{operation} {tables[0]}" if len(tables) == 1 else operation
    span = tracing.tracer().start_span(
        name, context=graph_context(), kind=SpanKind.CLIENT, attributes=attributes
    )
    try:
        yield SQLCall(span)
    except BaseException as error:
        from quorlix.sql.errors import UnsafeSQLError

        if isinstance(error, UnsafeSQLError):
            span.set_attribute("quorlix.sql.refused", True)
        # The type only: a driver's message quotes the statement, values and all.
        span.set_attribute("error.type", type(error).__qualname__)
        span.set_status(Status(StatusCode.ERROR, type(error).__qualname__))
        raise
    finally:
        span.end()


def graph_context() -> Any:
    """The context of the graph node (or model call) running on this thread, when a run's
    ``GraphSpans`` is attached to it; else OpenTelemetry's current context."""
    config = var_child_runnable_config.get()
    callbacks = config.get("callbacks") if config else None
    if isinstance(callbacks, BaseCallbackManager):
        for handler in callbacks.handlers:
            if isinstance(handler, GraphSpans):
                return handler.context_of(callbacks.parent_run_id)
    return otel_context.get_current()


def statement_summary(command: Any, dialect: str | None, max_chars: int) -> tuple[str, list[str]]:
    """The statement's operation (``SELECT``) and the tables it names, without its text.

    A statement longer than the wrapper accepts is refused unread, and is not parsed here
    either: parsing time grows with the text and cannot be stopped half-way.
    """
    import sqlglot
    from sqlglot import exp

    from quorlix.sql.check.fence import strip_code_fence

    text = command if isinstance(command, str) else getattr(command, "text", None)
    if text is None:
        try:
            text = str(command)
        except Exception:
            return "UNKNOWN", []
    if len(text) > max_chars:
        return "UNKNOWN", []
    try:
        text = strip_code_fence(text)
        parsed = sqlglot.parse(text, read=dialect)
    except Exception:  # a statement the parser cannot read is still run (and maybe refused)
        return "UNKNOWN", []
    statements = [statement for statement in parsed if statement is not None]
    if not statements:
        return "UNKNOWN", []
    first = statements[0]
    operation = first.key.upper() if len(statements) == 1 else "BATCH"
    if isinstance(first, exp.SetOperation) or (isinstance(first, exp.Subquery)):
        operation = "SELECT"
    ctes = {cte.alias_or_name for statement in statements for cte in statement.find_all(exp.CTE)}
    tables: list[str] = []
    for statement in statements:
        for table in statement.find_all(exp.Table):
            name = ".".join(part for part in (table.db, table.name) if part)
            if name and table.name not in ctes and name not in tables:
                tables.append(name)
    return operation, tables
