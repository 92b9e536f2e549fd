"""The spans of one run of the graph: one per node, named after it, and one for the analysis
program inside the analysis node; model calls and the runs between come from ``RunSpans``.

LangGraph reports each node as a chain run named after the node (``langgraph_node`` in its
metadata). A handler belongs to one run; ``run_span.traced_run`` attaches one.
"""

from __future__ import annotations

import threading
from typing import Any
from uuid import UUID

from opentelemetry import trace
from opentelemetry.trace import Status, StatusCode

from quorlix import config
from quorlix.querymesh import graph_names
from quorlix.querymesh.analysis_exit import PROGRAM_EXIT_NOTE
from quorlix.telemetry.run_spans import RunSpans

NODES = frozenset(graph_names.NODES)
ANALYSIS_SPAN = "quorlix.analysis"
SANDBOX_VARIABLE = "QUORLIX_ANALYSIS_SANDBOX"


class GraphSpans(RunSpans):
    """Node and analysis-program spans over ``RunSpans``; see the module docstring."""

    def __init__(self, tracer: Any = None) -> None:
        super().__init__(tracer)
        self._programs: dict[UUID, Any] = {}  # analysis node run -> the program's span
        self._programs_lock = threading.Lock()

    def chain_span(self, name: str | None, metadata: dict[str, Any]) -> dict[str, Any] | None:
        if name not in NODES or metadata.get("langgraph_node") != name:
            return None
        attributes: dict[str, Any] = {"quorlix.node": name}
        step = metadata.get("langgraph_step")
        if isinstance(step, int):
            attributes["langgraph.step"] = step
        return attributes

    def chain_started(self, run_id: UUID, name: str, span: Any) -> None:
        if name != graph_names.PANDAS_EXECUTOR_NODE:
            return
        mode = config.setting("analysis_sandbox")
        program = self.tracer.start_span(
            ANALYSIS_SPAN,
            context=trace.set_span_in_context(span),
            attributes={
                "quorlix.analysis.sandboxed": mode != "off",
                "quorlix.analysis.sandbox_mode": mode,
            },
        )
        with self._programs_lock:
            self._programs[run_id] = program

    def chain_ended(self, run_id: UUID, outputs: Any, error: BaseException | None) -> None:
        with self._programs_lock:
            program = self._programs.pop(run_id, None)
        if program is None:
            return
        kind = analysis_exit_kind(outputs, error)
        program.set_attribute("quorlix.analysis.exit", kind)
        if kind != "ok":
            program.set_status(Status(StatusCode.ERROR, kind))
        program.end()


def analysis_exit_kind(outputs: Any, error: BaseException | None) -> str:
    """How the analysis program ended: ok, error, timeout, exit, interrupt, refused or failed
    (the node itself failed)."""
    if error is not None:
        if PROGRAM_EXIT_NOTE in getattr(error, "__notes__", ()):
            return "exit" if isinstance(error, SystemExit) else "interrupt"
        if isinstance(error, RuntimeError) and f"{SANDBOX_VARIABLE}=required" in str(error):
            return "refused"
        return "failed"
    if not isinstance(outputs, dict) or outputs.get("python_execution_success"):
        return "ok"
    message = str(outputs.get("python_error_message") or "")
    return "timeout" if "TimeoutError" in message else "error"
