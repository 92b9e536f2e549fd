"""One run of the graph: streams it, records each finished node, and builds the run's record."""

from __future__ import annotations

import datetime
import os
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from quorlix.cli.ask import describe_step
from quorlix.cli.common import describe
from quorlix.querymesh.analysis_exit import program_exit
from quorlix.usage import Prices, PriceTableError, UsageRecorder, load_prices

from .database import last_result, start_recording, stop_recording
from .store import empty_record

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
MAX_CHART_BYTES = 20 * 1024 * 1024


class Stopped(Exception):
    """The run was ended from outside (deadline, shutdown) while a node was running."""


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
    callbacks: list | None = None,
) -> tuple[str, dict]:
    """Runs the graph; ``on_step(record, step)`` saves each step and says whether to go on.

    Returns the run's status and its record. Graph failures end in a failed record with a
    readable reason; they are never raised.
    """
    record = empty_record()
    inputs = {
        "user_question": question,
        "save_path": str(save_path),
        "max_iterations_pandas": int(options["analysis_tries"]),
        "pandas_code": "",
        "python_executed_output": "",
    }
    attempts, token = start_recording()
    # Token usage as the model service reports it, per node and for the run; "usage_reported"
    # false (and null token counts) when it reports none.
    usage = UsageRecorder(prices=_prices())
    config = {**graph.runnable_config, "callbacks": [usage, *(callbacks or ())]}
    final: dict = dict(inputs)
    last = time.time()
    try:
        chunks = graph.compiled_graph.stream(
            inputs, config=config, stream_mode=["updates", "values"]
        )
        try:
            for mode, chunk in chunks:
                if mode == "values":
                    final = chunk
                    continue
                now = time.time()
                for node, update in chunk.items():
                    step = {
                        "number": len(record["steps"]) + 1,
                        "node": node,
                        "started_at": iso(last),
                        "duration_s": round(now - last, 4),
                        "summary": describe_step(node, update or {}, final),
                    }
                    record["steps"].append(step)
                    record["sql_attempts"] = [dict(attempt) for attempt in attempts]
                    record["usage"] = usage.as_dict()
                    if not on_step(record, step):
                        raise Stopped
                last = now
        finally:
            chunks.close()
    except Stopped:
        raise
    except BaseException as exc:
        # Besides errors, the analysis program's own SystemExit or KeyboardInterrupt: it ends
        # the run, never the worker thread. A real one goes on unwinding.
        reason = (explain or describe)(exc) if isinstance(exc, Exception) else program_exit(exc)
        if reason is None:
            raise
        record["sql_attempts"] = [dict(attempt) for attempt in attempts]
        _fill(record, final, attempts, save_path.parent)
        record["error"] = reason
        return "failed", record
    finally:
        stop_recording(token)
        record["usage"] = usage.as_dict()
    record["sql_attempts"] = [dict(attempt) for attempt in attempts]
    _fill(record, final, attempts, save_path.parent)
    if "final_response" not in final:
        record["error"] = "the run ended without an answer"
        return "failed", record
    return "succeeded", record


def _prices() -> Prices | None:
    # A malformed price table costs the runs their cost figure, not their answers; the CLI
    # reports it at start.
    try:
        return load_prices()
    except PriceTableError:
        return None


def _fill(record: dict, state: dict, attempts: list[dict], folder: Path) -> None:
    queries = state.get("generated_sql_query") or []
    record["final_sql"] = str(queries[-1]).strip() if queries else None
    if state.get("execution_success"):
        record["result"] = last_result(attempts)
    output = state.get("python_executed_output")
    record["analysis_output"] = str(output) if output else None
    if state.get("python_execution_success") is False and state.get("python_error_message"):
        record["analysis_error"] = str(state["python_error_message"])
    if "final_response" in state:
        record["answer"] = str(state["final_response"])
    if state.get("rewritten_question"):
        record["rewritten_question"] = str(state["rewritten_question"])
    # The run's temporary folder ("Chart saved to /tmp/quorlix-run-.../chart.png") means nothing
    # to whoever reads the record, and is the server's business: its files go by their names.
    for key in ("analysis_output", "analysis_error", "answer"):
        if record.get(key):
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
