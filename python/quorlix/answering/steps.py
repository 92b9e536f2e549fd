"""The steps of a run: one per finished node, with a few words on what it did."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from quorlix.querymesh import graph_names as names
from quorlix.usage import ModelCall


@dataclass(frozen=True)
class Step:
    """A node that finished: what it returned, what it cost and how long it took."""

    number: int
    node: str
    update: dict
    # A few words for people (see ``describe_step``).
    summary: str
    # Wall-clock time the node's part of the run began (seconds since the epoch) and how long
    # it lasted.
    started_at: float
    duration_s: float
    # The model calls this node made (usage as the service reported it).
    calls: list[ModelCall] = field(default_factory=list)


def describe_step(node: str, update: dict, before: dict | None = None) -> str:
    """A few words on what a finished node did, from the update it returned and the state
    ``before`` it ran."""
    if node == names.TABLE_NAMES_LOOKUP_NODE:
        return f"tables: {update.get('table_names_from_db', '')}"
    if node == names.RELEVANT_TABLE_NAMES_NODE:
        return _describe_pick(update.get("relevant_tables", []))
    if node == names.RELEVANT_SCHEMAS_NODE:
        schemas = str(update.get("schemas_from_relevant_tables", ""))
        if schemas.startswith("Error:"):
            return f"could not read the schemas: {_short(schemas.removeprefix('Error:'))}"
        tables = (before or {}).get("relevant_tables")
        return (
            f"read the schemas of {', '.join(map(str, tables))}" if tables else "read the schemas"
        )
    if node == names.SQL_GENERATION_NODE:
        return "wrote a query"
    if node == names.SQL_SYNTAX_CHECKER_NODE:
        return "reviewed the query"
    if node == names.SQL_EXECUTION_NODE:
        results = update.get("sql_execution_result") or [""]
        if update.get("execution_success"):
            return "query ran"
        if results[-1] == "None":
            return "query returned no rows"
        # The driver's message; SQLAlchemy adds the statement and a link on lines of their own.
        return f"query failed: {_short(str(results[-1]).strip().splitlines()[0])}"
    if node == names.SQL_ERROR_HANDLER_NODE:
        if update.get("rewrite_count"):
            return "giving up on SQL"
        if "sql_generation_prompt_type" in update:
            return "asking for a corrected query"
        return "giving up on SQL"
    if node == names.REWRITE_QUERY_NODE:
        return f"rewrote the question: {_short(update.get('rewritten_question', ''))}"
    if node == names.PANDAS_GENERATOR_NODE:
        return "wrote analysis code"
    if node == names.PANDAS_EXECUTOR_NODE:
        if update.get("python_execution_success"):
            return "analysis ran"
        return f"analysis failed: {_short(update.get('python_error_message', ''))}"
    if node == names.PANDAS_ERROR_HANDLER_NODE:
        if "pandas_generation_prompt_type" in update:
            return "asking for corrected analysis code"
        return "giving up on analysis"
    if node == names.FINAL_RESPONSE_GENERATION_NODE:
        return "wrote the answer"
    return ""


def _describe_pick(tables: list) -> str:
    """The picker's choice, and the names the model gave that are no tables (see PickedTables)."""
    chosen = ", ".join(map(str, tables))
    unknown = ", ".join(map(str, getattr(tables, "unknown", ())))
    if getattr(tables, "fallback", False):
        named = f"no table here ({unknown})" if unknown else "no table"
        return f"relevant: the model named {named}, so all {len(tables)} it was shown: {chosen}"
    if unknown:
        return f"relevant: {chosen}; left out {unknown}: no such table"
    return f"relevant: {chosen}"


def _short(text: Any, limit: int = 100) -> str:
    line = " ".join(str(text).split())
    return line if len(line) <= limit else line[: limit - 1] + "…"
