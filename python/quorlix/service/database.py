"""The served database: the graph's read-only wrapper, remembering what each run fetched, and the
SQLite file it was started on.

A run's record shows the rows its answer was built on: the run records its queries
(``quorlix.sql.recording``), so concurrent runs each keep their own.
"""

from __future__ import annotations

import os
from pathlib import Path

from quorlix.querymesh.custom_sql import CustomSQLDatabase
from quorlix.sql.engines.sqlite.read_only import sqlite_file
from quorlix.sql.recording import (
    RecordingDatabase,
    last_result,
    plain_cell,
    plain_rows,
    start_recording,
    stop_recording,
)

__all__ = [
    "FileChanged",
    "ServedFile",
    "ServiceDatabase",
    "last_result",
    "plain_cell",
    "start_recording",
    "stop_recording",
]


class ServiceDatabase(RecordingDatabase):
    def query(self, sql: str) -> dict:
        """Runs an edited query through the same checks and bounds: columns and rows."""
        keys, rows, more = super()._fetch(self._checked(sql), self.max_rows, None, None)
        return plain_rows(keys, rows, more, self.max_result_chars)


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
