"""Spans for one run of the graph, made from LangChain's callbacks: one per node, one per model
call, and one for the analysis program inside the analysis node.

LangGraph reports each node as a chain run named after the node (``langgraph_node`` in its
metadata); a model call made in a node is a chat-model run below it. Runs between them
(prompt templates, structured-output parsers, tools, routing functions) get no span of their
own: what they start hangs from their nearest ancestor that has one. The run that has no known
parent (the graph itself) hangs from the OpenTelemetry context current when it starts, the
run's span where there is one.

A handler belongs to one run; attach it through the run's config (``callbacks``).
"""

from __future__ import annotations

import os
import threading
from typing import Any
from uuid import UUID

from langchain_core.callbacks import BaseCallbackHandler
from opentelemetry import context as otel_context
from opentelemetry import trace
from opentelemetry.trace import SpanKind, Status, StatusCode

from quorlix.querymesh import graph_names
from quorlix.querymesh.analysis_exit import PROGRAM_EXIT_NOTE

from . import model_calls, tracing

NODES = frozenset(graph_names.NODES)
ANALYSIS_SPAN = "quorlix.analysis"
SANDBOX_VARIABLE = "QUORLIX_ANALYSIS_SANDBOX"


class GraphSpans(BaseCallbackHandler):
    """Turns one graph run's callbacks into spans; see the module docstring."""

    # Called on the thread of the run it reports, so a node's span is open while it works.
    run_inline = True

    def __init__(self, tracer: Any = None) -> None:
        super().__init__()
        self._tracer = tracer or tracing.tracer()
        self._record_content = tracing.content_recorded()
        self._lock = threading.Lock()
        self._spans: dict[UUID, Any] = {}  # runs with a span of their own
        self._contexts: dict[UUID, Any] = {}  # every open run: the context its children use
        self._analysis: dict[UUID, Any] = {}  # analysis node run -> the program's span

    # --- where a span hangs --------------------------------------------------------------

    def context_of(self, run_id: UUID | None) -> Any:
        """The OpenTelemetry context for work done inside the LangChain run ``run_id``."""
        with self._lock:
            found = self._contexts.get(run_id) if run_id is not None else None
        return found if found is not None else otel_context.get_current()

    def _start(self, run_id: UUID, parent_run_id: UUID | None, name: str | None, **span: Any):
        parent = self.context_of(parent_run_id)
        if name is None:
            with self._lock:
                self._contexts[run_id] = parent
            return None
        started = self._tracer.start_span(name, context=parent, **span)
        with self._lock:
            self._spans[run_id] = started
            self._contexts[run_id] = trace.set_span_in_context(started, parent)
        return started

    def _end(self, run_id: UUID, error: BaseException | None = None) -> Any:
        with self._lock:
            self._contexts.pop(run_id, None)
            ended = self._spans.pop(run_id, None)
        if ended is not None:
            if error is not None:
                _record_error(ended, error)
            ended.end()
        return ended

    # --- nodes and the runs between them --------------------------------------------------

    def on_chain_start(
        self,
        serialized: dict[str, Any] | None,
        inputs: Any,
        *,
        run_id: UUID,
        parent_run_id: UUID | None = None,
        metadata: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> None:
        metadata = metadata or {}
        name = kwargs.get("name")
        node = metadata.get("langgraph_node")
        if name not in NODES or node != name:
            self._start(run_id, parent_run_id, None)
            return
        attributes: dict[str, Any] = {"quorlix.node": name}
        step = metadata.get("langgraph_step")
        if isinstance(step, int):
            attributes["langgraph.step"] = step
        span = self._start(run_id, parent_run_id, name, attributes=attributes)
        if name == graph_names.PANDAS_EXECUTOR_NODE and span is not None:
            mode = os.environ.get(SANDBOX_VARIABLE, "").strip() or "auto"
            program = self._tracer.start_span(
                ANALYSIS_SPAN,
                context=trace.set_span_in_context(span),
                attributes={
                    "quorlix.analysis.sandboxed": mode != "off",
                    "quorlix.analysis.sandbox_mode": mode,
                },
            )
            with self._lock:
                self._analysis[run_id] = program

    def on_chain_end(self, outputs: Any, *, run_id: UUID, **kwargs: Any) -> None:
        self._end_analysis(run_id, outputs=outputs)
        self._end(run_id)

    def on_chain_error(self, error: BaseException, *, run_id: UUID, **kwargs: Any) -> None:
        self._end_analysis(run_id, error=error)
        self._end(run_id, error)

    def _end_analysis(self, run_id: UUID, outputs: Any = None, error: Any = None) -> None:
        with self._lock:
            program = self._analysis.pop(run_id, None)
        if program is None:
            return
        kind = analysis_exit_kind(outputs, error)
        program.set_attribute("quorlix.analysis.exit", kind)
        if kind != "ok":
            program.set_status(Status(StatusCode.ERROR, kind))
        program.end()

    # --- tools: no span, but what they call hangs below them ------------------------------

    def on_tool_start(
        self, serialized: Any, input_str: str, *, run_id: UUID, parent_run_id=None, **kwargs
    ) -> None:
        self._start(run_id, parent_run_id, None)

    def on_tool_end(self, output: Any, *, run_id: UUID, **kwargs: Any) -> None:
        self._end(run_id)

    def on_tool_error(self, error: BaseException, *, run_id: UUID, **kwargs: Any) -> None:
        self._end(run_id)

    # --- model calls ----------------------------------------------------------------------

    def on_chat_model_start(
        self,
        serialized: dict[str, Any] | None,
        messages: Any,
        *,
        run_id: UUID,
        parent_run_id: UUID | None = None,
        metadata: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> None:
        self._model_start(run_id, parent_run_id, metadata, kwargs, messages)

    def on_llm_start(
        self,
        serialized: dict[str, Any] | None,
        prompts: list[str],
        *,
        run_id: UUID,
        parent_run_id: UUID | None = None,
        metadata: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> None:
        self._model_start(run_id, parent_run_id, metadata, kwargs, prompts)

    def _model_start(self, run_id, parent_run_id, metadata, kwargs, messages) -> None:
        attributes = model_calls.request_attributes(
            metadata or {}, kwargs.get("invocation_params") or {}
        )
        name = f"chat {attributes['gen_ai.request.model']}"
        span = self._start(run_id, parent_run_id, name, kind=SpanKind.CLIENT, attributes=attributes)
        if self._record_content:
            span.add_event(
                "gen_ai.content.prompt", {"gen_ai.prompt": model_calls.prompt_text(messages)}
            )

    def on_llm_end(self, response: Any, *, run_id: UUID, **kwargs: Any) -> None:
        with self._lock:
            span = self._spans.get(run_id)
        if span is not None:
            span.set_attributes(model_calls.response_attributes(response))
            if self._record_content:
                span.add_event(
                    "gen_ai.content.completion",
                    {"gen_ai.completion": model_calls.completion_text(response)},
                )
        self._end(run_id)

    def on_llm_error(self, error: BaseException, *, run_id: UUID, **kwargs: Any) -> None:
        self._end(run_id, error)


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


def _record_error(span: Any, error: BaseException) -> None:
    # The exception's type only: its message may quote the question, a prompt or the data.
    span.set_attribute("error.type", type(error).__qualname__)
    span.set_status(Status(StatusCode.ERROR, type(error).__qualname__))
