"""The served database: the graph's read-only wrapper, remembering what each run fetched.

A run's record shows the rows its answer was built on. Those rows pass through the wrapper's
bounded fetch; a context variable names the run being served (LangGraph carries context into
the threads it runs nodes on), so concurrent runs each keep their own.
"""

from __future__ import annotations

import base64
import datetime
import decimal
import os
import uuid
from contextvars import ContextVar
from pathlib import Path
from typing import Any

from quorlix.querymesh.custom_sql import CustomSQLDatabase
from quorlix.querymesh.sqlite_read_only import sqlite_file

_current_attempts: ContextVar[list[dict] | None] = ContextVar("quorlix_run_attempts", default=None)


def start_recording() -> tuple[list[dict], Any]:
    """A fresh list of this context's SQL attempts, and the token that ends the recording."""
    attempts: list[dict] = []
    return attempts, _current_attempts.set(attempts)


def stop_recording(token: Any) -> None:
    _current_attempts.reset(token)


class ServiceDatabase(CustomSQLDatabase):
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
            attempts[-1]["result"] = {
                "columns": list(keys),
                "rows": [[plain_cell(cell) for cell in row] for row in rows],
                "truncated": more,
            }
        return keys, rows, more

    def query(self, sql: str) -> dict:
        """Runs an edited query through the same checks and bounds: columns and rows."""
        keys, rows, more = super()._fetch(self._checked(sql), self.max_rows, None, None)
        return {
            "columns": list(keys),
            "rows": [[plain_cell(cell) for cell in row] for row in rows],
            "truncated": more,
        }


class FileChanged(Exception):
    """The served database file is gone or is another file; the message says what to do."""


class ServedFile:
    """The SQLite file the server started on, to notice it being moved, deleted or replaced:
    connections opened before keep reading the old file, new ones fail or read the new one."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self._identity = _identity(path)

    @classmethod
    def of(cls, db: CustomSQLDatabase) -> ServedFile | None:
        path = sqlite_file(db._engine.url)
        return cls(path) if path is not None else None

    def check(self) -> None:
        try:
            now = _identity(self.path)
        except FileNotFoundError:
            raise FileChanged(
                f"the database file {self.path} is gone (moved or deleted since the server "
                "started); put it back, or restart the server with --db naming where it is"
            ) from None
        if now != self._identity:
            raise FileChanged(
                f"the database file {self.path} was replaced by another file since the server "
                "started; restart the server to answer from the new one"
            )


def _identity(path: Path) -> tuple[int, int]:
    info = os.stat(path)
    return info.st_dev, info.st_ino


def plain_cell(value: Any) -> Any:
    """A cell as JSON can carry it; anything else as text."""
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
