"""One run of the graph: streams it, records each finished node, and builds the run's record."""

from __future__ import annotations

import datetime
import os
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any

from quorlix.answering import FAILED, Outcome, Step, Stopped, answer_question, describe
from quorlix.answering.setup import Preparer
from quorlix.usage import Prices, PriceTableError, load_prices

from .store import empty_record

if TYPE_CHECKING:
    from quorlix.knowledge.for_runs import KnowledgeForRun

__all__ = ["MAX_CHART_BYTES", "Stopped", "answer", "finished_record", "iso", "read_chart"]

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
MAX_CHART_BYTES = 20 * 1024 * 1024


def iso(stamp: float | None) -> str | None:
    if stamp is None:
        return None
    return datetime.datetime.fromtimestamp(stamp, datetime.UTC).isoformat(timespec="milliseconds")


def answer(
    graph: Any,
    question: str,
    options: dict,
    save_path: Path,
    on_step: Callable[[dict, dict], bool],
    explain: Callable[[BaseException], str] | None = None,
    prepare: Iterable[Preparer] = (),
    knowledge: KnowledgeForRun | None = None,
    callbacks: Iterable[Any] = (),
    user: str | None = None,
    run_id: str | None = None,
    trace_parent: Any = None,
) -> tuple[str, dict]:
    """Runs the graph; ``on_step(record, step)`` saves each step and says whether to go on.

    ``knowledge`` gives the run the team's knowledge; the record names what it was given.
    ``callbacks`` are added to the run's handlers; ``user``, ``run_id`` and ``trace_parent``
    (the trace of the request that asked) label the run's span when tracing is on.
    Returns the run's status and its record. Graph failures end in a failed record with a
    readable reason; they are never raised.
    """
    record = empty_record()

    def note_knowledge() -> None:
        # Which examples and terms the question was given: why its SQL looks as it does.
        if knowledge is not None and knowledge.retrieved:
            record["knowledge"] = knowledge.retrieved.as_record()

    def save_step(step: Step, outcome: Outcome) -> bool:
        saved = {
            "number": step.number,
            "node": step.node,
            "started_at": iso(step.started_at),
            "duration_s": round(step.duration_s, 4),
            "summary": step.summary,
        }
        record["steps"].append(saved)
        note_knowledge()
        record["sql_attempts"] = [dict(attempt) for attempt in outcome.attempts]
        # Token usage as the model service reports it, per node and for the run;
        # "usage_reported" false (and null token counts) when it reports none.
        record["usage"] = outcome.usage.as_dict()
        return on_step(record, saved)

    outcome = answer_question(
        graph,
        question,
        save_path=save_path,
        analysis_tries=int(options["analysis_tries"]),
        on_step=save_step,
        prices=_prices(),
        explain=explain or describe,
        # A follow-up is restated first: what the knowledge is retrieved for is the question
        # the graph will answer.
        prepare=[*prepare, *([knowledge] if knowledge is not None else [])],
        callbacks=callbacks,
        user=user,
        run_id=run_id,
        trace_parent=trace_parent,
    )
    note_knowledge()
    return outcome.status, finished_record(record, outcome, save_path.parent)


def finished_record(record: dict, outcome: Outcome, folder: Path | None) -> dict:
    """The run's record (``record``, with the steps saved so far) completed from how it
    ended; paths inside ``folder``, the run's own (if it has one), are shown by their names."""
    record["usage"] = outcome.usage.as_dict()
    record["sql_attempts"] = [dict(attempt) for attempt in outcome.attempts]
    _fill(record, outcome, folder)
    if outcome.status == FAILED:
        record["error"] = outcome.reason
    return record


def _prices() -> Prices | None:
    # A malformed price table costs the runs their cost figure, not their answers; the CLI
    # reports it at start.
    try:
        return load_prices()
    except PriceTableError:
        return None


def _fill(record: dict, outcome: Outcome, folder: Path | None) -> None:
    state = outcome.state
    queries = state.get("generated_sql_query") or []
    record["final_sql"] = str(queries[-1]).strip() if queries else None
    if outcome.sql_ran:
        record["result"] = outcome.rows
    output = state.get("python_executed_output")
    record["analysis_output"] = str(output) if output else None
    if outcome.analysis_error:
        record["analysis_error"] = outcome.analysis_error
    if outcome.answer is not None:
        record["answer"] = outcome.answer
    if state.get("rewritten_question"):
        record["rewritten_question"] = str(state["rewritten_question"])
    # The run's temporary folder ("Chart saved to /tmp/quorlix-run-.../chart.png") means nothing
    # to whoever reads the record, and is the server's business: its files go by their names.
    for key in ("analysis_output", "analysis_error", "answer"):
        if folder is not None and record.get(key):
            record[key] = record[key].replace(f"{folder}{os.sep}", "")


def read_chart(path: Path) -> tuple[str, bytes] | None:
    """The chart the run saved at its own path, if it is a PNG image.

    Only this path counts: a path the model names could be any file on the server.
    """
    try:
        if not path.is_file() or path.stat().st_size > MAX_CHART_BYTES:
            return None
        data = path.read_bytes()
    except OSError:
        return None
    return ("image/png", data) if data.startswith(PNG_MAGIC) else None
