"""The span of one run of a question: the parent of its node, model-call and query spans.

``answer_question`` runs each question inside ``traced_run``; with tracing off it yields an
inert ``RunTrace`` and costs a function call::

    with traced_run(question, user="ana", run_id=run_id) as run:
        config = {**graph.runnable_config, "callbacks": [*callbacks, *run.callbacks]}
        ...
        run.finish("succeeded")      # or "failed", with the error's one-line reason
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import Any

from quorlix.telemetry import tracing

RUN_SPAN = "quorlix.run"


class RunTrace:
    """What a host adds to a run: its callbacks, and its outcome when known."""

    callbacks: list[Any] = []
    trace_id: str | None = None

    def finish(self, status: str, error_type: str | None = None) -> None:
        """Record how the run ended ("succeeded", "failed", ...); the last call counts."""


INERT = RunTrace()


class _TracedRun(RunTrace):
    def __init__(self, span: Any, handler: Any) -> None:
        self.span = span
        self.callbacks = [handler]
        self.trace_id = format(span.get_span_context().trace_id, "032x")
        self.status: str | None = None

    def finish(self, status: str, error_type: str | None = None) -> None:
        from opentelemetry.trace import Status, StatusCode

        self.status = status
        self.span.set_attribute("quorlix.run.status", status)
        if error_type:
            self.span.set_attribute("error.type", error_type)
        if status == "succeeded":
            self.span.set_status(Status(StatusCode.OK))
        else:
            self.span.set_status(Status(StatusCode.ERROR, status))


@contextlib.contextmanager
def traced_run(
    question: str,
    *,
    user: str | None = None,
    thread: str | None = None,
    run_id: str | None = None,
    parent: Any = None,
) -> Iterator[RunTrace]:
    """The run's span, current on this thread (and the graph's threads) while the block runs.

    ``parent``: the OpenTelemetry context the run belongs to when it runs elsewhere than the
    request that asked for it (a worker thread); by default the current one. The question's
    length is recorded, never its text.
    """
    if not tracing.enabled():
        yield INERT
        return
    from opentelemetry import trace

    from .graph_spans import GraphSpans

    attributes: dict[str, Any] = {"quorlix.question.length": len(question)}
    if user:
        attributes["enduser.id"] = user
    if thread:
        attributes["quorlix.thread.id"] = thread
    if run_id:
        attributes["quorlix.run.id"] = run_id
    span = tracing.tracer().start_span(RUN_SPAN, context=parent, attributes=attributes)
    run = _TracedRun(span, GraphSpans())
    try:
        # Errors are recorded by type alone: their messages may quote the question or data.
        with trace.use_span(
            span, end_on_exit=False, record_exception=False, set_status_on_exception=False
        ):
            yield run
    except BaseException as error:
        if run.status is None:
            run.finish("failed", type(error).__qualname__)
        raise
    finally:
        span.end()
