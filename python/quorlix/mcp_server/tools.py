"""The four tools: what each says about itself (the description an agent reads, with its
limits), what it takes, and what it does over the service."""

from __future__ import annotations

from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import Any

import anyio
import mcp_types as types
from pydantic import BaseModel
from sqlalchemy.exc import SQLAlchemyError

from quorlix.answering.errors import describe
from quorlix.questions import MAX_QUESTION_CHARS
from quorlix.service.changes import wait_for
from quorlix.service.manager import Busy, Closing
from quorlix.service.service import Service

from .arguments import (
    MAX_DESCRIBED_TABLES,
    MAX_SQL_CHARS,
    AskArguments,
    DescribeTablesArguments,
    NoArguments,
    RunSqlArguments,
)
from .rendering import SHOWN_ROWS, first_rows, rows_text, tool_result

# describe_tables' text is cut here, so one call cannot flood the agent's context.
MAX_SCHEMA_CHARS = 20_000
# Runs ended by another process sharing the store are seen on this timer.
POLL_SECONDS = 1.0

# Reports one finished node: (how many so far, what it did).
Progress = Callable[[int, str], Awaitable[None]]


class ToolError(Exception):
    """The tool cannot do what it was asked; the message says why and what to do instead."""


@dataclass(frozen=True)
class ToolSpec:
    name: str
    title: str
    description: str
    arguments: type[BaseModel]
    run: Callable[[Service, str, Any, Progress], Awaitable[types.CallToolResult]]
    read_only: bool = True

    def tool(self) -> types.Tool:
        return types.Tool(
            name=self.name,
            title=self.title,
            description=self.description,
            input_schema=self.arguments.model_json_schema(),
            annotations=types.ToolAnnotations(
                title=self.title,
                read_only_hint=self.read_only,
                open_world_hint=False,
            ),
        )


# --- ask --------------------------------------------------------------------------------------


async def ask(
    service: Service, user: str, arguments: AskArguments, progress: Progress
) -> types.CallToolResult:
    options = {"analysis_tries": arguments.analysis_tries, "chart": arguments.chart}
    try:
        row = await anyio.to_thread.run_sync(
            service.manager.submit, user, arguments.question, options
        )
    except Busy as busy:
        raise ToolError(
            f"too many questions are being answered; ask again in {busy.retry_after} s"
        ) from None
    except Closing:
        raise ToolError("the server is shutting down and takes no new questions") from None
    except SQLAlchemyError as exc:
        raise ToolError(f"the run store cannot be written: {describe(exc)}") from None
    run_id = row["id"]
    row = await _follow(service, run_id, user, progress)
    record = row["record"] or {}
    chart = None
    if record.get("chart"):
        chart = await anyio.to_thread.run_sync(service.store.chart, run_id)
    shown = first_rows(record.get("result"))
    structured = {
        "run_id": run_id,
        "status": row["status"],
        "answer": record.get("answer"),
        "sql": record.get("final_sql"),
        "rows": shown,
        "error": record.get("error"),
    }
    if row["status"] != "succeeded":
        reason = record.get("error") or f"the run ended {row['status']}"
        result = tool_result(f"The question was not answered: {reason}\nRun: {run_id}", structured)
        result.is_error = True
        return result
    text = "\n\n".join(
        [
            record.get("answer") or "(no answer)",
            f"SQL:\n{record.get('final_sql') or '(none)'}",
            f"Rows:\n{rows_text(shown)}",
            f"Run: {run_id}",
        ]
    )
    return tool_result(text, structured, [chart] if chart else [])


async def _follow(service: Service, run_id: str, user: str, progress: Progress) -> dict:
    """Reports each step of the run as the store records it, until its end event; returns the
    ended run's row."""
    store = service.store
    seq = steps = 0
    with service.changes.subscribe(run_id) as follower:
        while True:
            events = await anyio.to_thread.run_sync(store.events_after, run_id, seq)
            for event in events:
                seq = event["seq"]
                if event["kind"] == "end":
                    return await anyio.to_thread.run_sync(store.get_run, run_id, user)
                if event["kind"] == "step":
                    steps += 1
                    data = event["data"] or {}
                    await progress(steps, f"{data.get('node')}: {data.get('summary') or ''}")
            await wait_for(follower.wake, POLL_SECONDS)


# --- the database -----------------------------------------------------------------------------


async def list_tables(
    service: Service, user: str, arguments: NoArguments, progress: Progress
) -> types.CallToolResult:
    names = sorted(await anyio.to_thread.run_sync(service.db.get_usable_table_names))
    text = "\n".join(names) if names else "(the database has no tables quorlix may read)"
    return tool_result(text, {"tables": names})


async def describe_tables(
    service: Service, user: str, arguments: DescribeTablesArguments, progress: Progress
) -> types.CallToolResult:
    from quorlix.function_calling.base import real_tables

    names = list(await anyio.to_thread.run_sync(service.db.get_usable_table_names))
    chosen = real_tables(arguments.tables, names)
    unknown = [name for name in arguments.tables if not real_tables([name], names)]
    if unknown:
        raise ToolError(
            f"no such table: {', '.join(unknown)}; list_tables gives the names there are"
        )
    try:
        info = await anyio.to_thread.run_sync(service.db.get_table_info, chosen)
    except SQLAlchemyError as exc:
        raise ToolError(f"the schema could not be read: {describe(exc)}") from None
    text = str(info).strip()
    if len(text) > MAX_SCHEMA_CHARS:
        text = (
            text[:MAX_SCHEMA_CHARS]
            + f"\n[cut at {MAX_SCHEMA_CHARS:,} characters: ask for fewer tables at once]"
        )
    return tool_result(text, {"tables": chosen, "schema": text})


async def run_sql(
    service: Service, user: str, arguments: RunSqlArguments, progress: Progress
) -> types.CallToolResult:
    from quorlix.sql.errors import QueryTimeoutError, UnsafeSQLError

    try:
        result = await anyio.to_thread.run_sync(service.db.query, arguments.sql)
    except UnsafeSQLError as exc:
        raise ToolError(str(exc)) from None
    except QueryTimeoutError:
        limit = service.db.statement_timeout
        raise ToolError(
            f"the query did not finish within the database time limit ({limit:g} s); narrow it down"
        ) from None
    except SQLAlchemyError as exc:
        raise ToolError(f"the database refused the query: {describe(exc)}") from None
    shown = first_rows(result)
    return tool_result(rows_text(shown), shown)


TOOLS: dict[str, ToolSpec] = {
    spec.name: spec
    for spec in (
        ToolSpec(
            "ask",
            "Ask the database a question",
            "Answer a question in plain language about the database: quorlix picks the tables, "
            "writes and runs one read-only SQL query (correcting it when it fails), analyses the "
            "rows and answers. Returns the answer, the SQL, the first "
            f"{SHOWN_ROWS} rows, the chart as an image when one was drawn, and the run's id (the "
            "run is kept in quorlix's run history). Takes from seconds to minutes and reports "
            f"progress after each step. The question is at most {MAX_QUESTION_CHARS:,} "
            "characters.",
            AskArguments,
            ask,
            read_only=False,
        ),
        ToolSpec(
            "list_tables",
            "List the tables",
            "List the names of the tables quorlix may read in the database, one a line.",
            NoArguments,
            list_tables,
        ),
        ToolSpec(
            "describe_tables",
            "Describe tables",
            "The schema of the named tables: each table's CREATE statement and a few sample "
            f"rows. At most {MAX_DESCRIBED_TABLES} tables a call; the text is cut at "
            f"{MAX_SCHEMA_CHARS:,} characters.",
            DescribeTablesArguments,
            describe_tables,
        ),
        ToolSpec(
            "run_sql",
            "Run a read-only SQL query",
            "Run one read-only SQL query (SELECT, or WITH ... SELECT) on the database and "
            f"return its first {SHOWN_ROWS} rows. Statements that change anything are refused, "
            "the query runs under the database's time limit, and at most the service's row and "
            f"size limits are fetched. At most {MAX_SQL_CHARS:,} characters.",
            RunSqlArguments,
            run_sql,
        ),
    )
}
