"""A wrapper that remembers what each run fetched, as JSON values, beside the graph's own text.

The graph keeps a query's rows only as text (``str`` of the row tuples: ``Decimal('523.06')``,
``datetime.date(2024, 1, 31)``). A run that wants the rows themselves starts a recording; each
query the wrapper runs in that context is noted with its outcome and, when it fetched rows, their
columns and cells as JSON can carry them. A context variable names the recording (LangGraph
carries context into the threads it runs nodes on), so concurrent runs each keep their own.
"""

from __future__ import annotations

import base64
import datetime
import decimal
import uuid
from contextvars import ContextVar
from typing import Any

from .database import CustomSQLDatabase
from .results.render import json_rows_within

_current_attempts: ContextVar[list[dict] | None] = ContextVar("quorlix_run_attempts", default=None)


def start_recording() -> tuple[list[dict], Any]:
    """A fresh list of this context's SQL attempts, and the token that ends the recording."""
    attempts: list[dict] = []
    return attempts, _current_attempts.set(attempts)


def stop_recording(token: Any) -> None:
    _current_attempts.reset(token)


def last_result(attempts: list[dict]) -> dict | None:
    """The rows of the last query that returned some: ``{"columns", "rows", "truncated"}``."""
    ran = [attempt for attempt in attempts if attempt.get("outcome") == "succeeded"]
    return ran[-1].get("result") if ran else None


class RecordingDatabase(CustomSQLDatabase):
    """The read-only wrapper, noting each query of a recording context (and nothing outside one)."""

    def run(self, command, fetch="all", include_columns=False, **kwargs) -> str:  # type: ignore[override]
        attempts = _current_attempts.get()
        if attempts is None:
            return super().run(command, fetch, include_columns, **kwargs)
        attempt: dict[str, Any] = {"sql": str(command), "outcome": "running"}
        attempts.append(attempt)
        try:
            output = super().run(command, fetch, include_columns, **kwargs)
        except Exception as exc:
            attempt["outcome"] = "failed"
            attempt["error"] = " ".join(str(exc).split("(Background on this error")[0].split())
            raise
        attempt["outcome"] = "succeeded" if output else "no rows"
        return output

    def _fetch(self, command, limit, parameters, execution_options):
        keys, rows, more = super()._fetch(command, limit, parameters, execution_options)
        attempts = _current_attempts.get()
        if attempts:
            attempts[-1]["result"] = plain_rows(keys, rows, more, self.max_result_chars)
        return keys, rows, more


def plain_rows(keys, rows, more: bool, max_chars: int) -> dict:
    """The rows as JSON values, held to the same character cap as the text the model reads."""
    cells, left_out = json_rows_within(
        list(keys), [[plain_cell(cell) for cell in row] for row in rows], max_chars
    )
    return {"columns": list(keys), "rows": cells, "truncated": more or left_out}


def plain_cell(value: Any) -> Any:
    """A cell as JSON can carry it; anything else as text (decimals keep every digit so)."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if value == value and abs(value) != float("inf") else str(value)
    if isinstance(value, decimal.Decimal):
        return str(value)
    if isinstance(value, (datetime.date, datetime.time, datetime.datetime)):
        return value.isoformat()
    if isinstance(value, (bytes, bytearray, memoryview)):
        return "base64:" + base64.b64encode(bytes(value)).decode()
    if isinstance(value, uuid.UUID):
        return str(value)
    return str(value)
