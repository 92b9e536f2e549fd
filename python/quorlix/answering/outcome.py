"""What one run of a question ended with: the answer, its SQL and rows, the chart, the status
and, for a run that failed, why."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

from quorlix.usage import UsageRecorder

SUCCEEDED, FAILED = "succeeded", "failed"
NO_ANSWER = "the run ended without an answer"


@dataclass
class Outcome:
    # The graph's last state (the inputs, when it failed before its first step).
    state: dict
    usage: UsageRecorder
    # Every query the run sent to the database, as ``quorlix.sql.recording`` kept them.
    attempts: list[dict] = field(default_factory=list)
    # Where the analysis program was told to save a chart, and that file's stamp before the run.
    save_path: Path | None = None
    chart_stamp_before: tuple[int, int] | None = None
    # Why the run stopped early: an error the run raised, or the analysis program's own exit.
    error: str | None = None
    error_kind: str | None = None
    exception: BaseException | None = None

    @property
    def raised(self) -> bool:
        """Whether the run ended with an error (or a program's exit) instead of its last node."""
        return self.error is not None

    @property
    def answer(self) -> str | None:
        return str(self.state["final_response"]) if "final_response" in self.state else None

    @property
    def status(self) -> str:
        return SUCCEEDED if not self.raised and self.answer is not None else FAILED

    @property
    def reason(self) -> str | None:
        """Why the run failed, or None when it succeeded."""
        if self.raised:
            return self.error
        return NO_ANSWER if self.answer is None else None

    @property
    def sql_ran(self) -> bool:
        """Whether a query returned rows; an answer without them rests on the failure."""
        return bool(self.state.get("execution_success"))

    @property
    def sql(self) -> str | None:
        """The last query the graph wrote (its answer's, or its last attempt)."""
        queries = self.state.get("generated_sql_query") or []
        last = str(queries[-1]).strip() if queries else ""
        return last or None

    @property
    def rows(self) -> dict | None:
        """The rows of the query the answer rests on, as JSON values (None when none ran)."""
        from quorlix.sql.recording import last_result

        return last_result(self.attempts) if self.sql_ran else None

    @property
    def analysis_error(self) -> str | None:
        state = self.state
        if state.get("python_execution_success") is False and state.get("python_error_message"):
            return str(state["python_error_message"])
        return None

    def chart(self) -> str | None:
        """The chart this run wrote, if any: a file left over from an earlier run does not
        count, nor does a path the model named that is not on disk."""
        if self.save_path is None:
            return None
        now = file_stamp(self.save_path)
        if now is not None and now != self.chart_stamp_before:
            return str(self.save_path)
        named = self.state.get("image_path")
        if isinstance(named, str) and named.strip():
            path = Path(named.strip()).expanduser()
            if path.is_file() and path.resolve() != self.save_path:
                return str(path.resolve())
        return None


def file_stamp(path: Path) -> tuple[int, int] | None:
    try:
        info = path.stat()
    except OSError:
        return None
    return info.st_mtime_ns, info.st_size
