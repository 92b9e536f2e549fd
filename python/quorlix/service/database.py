"""The served database: the graph's read-only wrapper, remembering what each run fetched.

A run's record shows the rows its answer was built on: the run records its queries
(``quorlix.sql.recording``), so concurrent runs each keep their own.
"""

from __future__ import annotations

from quorlix.sql.recording import (
    RecordingDatabase,
    last_result,
    plain_cell,
    plain_rows,
    start_recording,
    stop_recording,
)

__all__ = [
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
