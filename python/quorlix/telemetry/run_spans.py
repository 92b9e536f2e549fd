"""Spans from LangChain's callbacks: a handler that keeps, for every LangChain run under way,
the OpenTelemetry context its children belong to, gives model calls their spans (GenAI
conventions, ``model_calls``), and lets a subclass decide which chain runs get spans of their
own (``chain_span``).

Runs without a span (prompt templates, parsers, tools, routing functions) pass their parent's
context on, so what they start hangs from their nearest ancestor that has one. A run with no
known parent (the graph itself) hangs from the context current when it starts.

Work that is no LangChain run (a database call) finds its parent with ``langchain_context()``.
"""

from __future__ import annotations

import threading
from typing import Any
from uuid import UUID

from langchain_core.callbacks import BaseCallbackHandler, BaseCallbackManager
from langchain_core.runnables.config import var_child_runnable_config
from opentelemetry import context as otel_context
from opentelemetry import trace
from opentelemetry.trace import SpanKind, Status, StatusCode

from . import model_calls, tracing


class RunSpans(BaseCallbackHandler):
    """Spans for the LangChain runs of one host's run; attach it through the run's config."""

    # Called on the thread of the run it reports, so a span is open while its run works.
    run_inline = True

    def __init__(self, tracer: Any = None) -> None:
        super().__init__()
        self.tracer = tracer or tracing.tracer()
        self._record_content = tracing.content_recorded()
        self._lock = threading.Lock()
        self._spans: dict[UUID, Any] = {}  # runs with a span of their own
        self._contexts: dict[UUID, Any] = {}  # every open run: the context its children use

    # --- for subclasses -------------------------------------------------------------------

    def chain_span(self, name: str | None, metadata: dict[str, Any]) -> dict[str, Any] | None:
        """The attributes of a span for this chain run, or None for no span of its own."""
        return None

    def chain_started(self, run_id: UUID, name: str, span: Any) -> None:
        """A chain run with a span has started."""

    def chain_ended(self, run_id: UUID, outputs: Any, error: BaseException | None) -> None:
        """A chain run has ended (before its span does)."""

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
        started = self.tracer.start_span(name, context=parent, **span)
        with self._lock:
            self._spans[run_id] = started
            self._contexts[run_id] = trace.set_span_in_context(started, parent)
        return started

    def _end(self, run_id: UUID, error: BaseException | None = None) -> None:
        with self._lock:
            self._contexts.pop(run_id, None)
            ended = self._spans.pop(run_id, None)
        if ended is not None:
            if error is not None:
                record_error(ended, error)
            ended.end()

    # --- chains ---------------------------------------------------------------------------

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
        name = kwargs.get("name")
        attributes = self.chain_span(name, metadata or {})
        if attributes is None:
            self._start(run_id, parent_run_id, None)
            return
        span = self._start(run_id, parent_run_id, name, attributes=attributes)
        self.chain_started(run_id, name, span)

    def on_chain_end(self, outputs: Any, *, run_id: UUID, **kwargs: Any) -> None:
        self.chain_ended(run_id, outputs, None)
        self._end(run_id)

    def on_chain_error(self, error: BaseException, *, run_id: UUID, **kwargs: Any) -> None:
        self.chain_ended(run_id, None, error)
        self._end(run_id, error)

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


def record_error(span: Any, error: BaseException) -> None:
    # The exception's type only: its message may quote the question, a prompt or the data.
    span.set_attribute("error.type", type(error).__qualname__)
    span.set_status(Status(StatusCode.ERROR, type(error).__qualname__))


def langchain_context() -> Any:
    """The context of the LangChain run (graph node, tool) working on this thread, when a
    ``RunSpans`` is attached to it; else OpenTelemetry's current context."""
    config = var_child_runnable_config.get()
    callbacks = config.get("callbacks") if config else None
    if isinstance(callbacks, BaseCallbackManager):
        for handler in callbacks.handlers:
            if isinstance(handler, RunSpans):
                return handler.context_of(callbacks.parent_run_id)
    return otel_context.get_current()
