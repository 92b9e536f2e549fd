"""One run of a question through the graph: stream it, describe each finished node, record
the model's usage and the queries sent, and end in an ``Outcome``. Errors end the run with a
reason; they are not raised (a real Ctrl-C and ``Stopped`` are)."""

from __future__ import annotations

import contextlib
import time
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import Any

from quorlix.querymesh.analysis_exit import program_exit
from quorlix.sql.recording import start_recording, stop_recording
from quorlix.usage import Prices, UsageRecorder

from .answer_stream import AnswerStream, stream_answers
from .errors import RUN_ERROR, describe, failure_kind
from .outcome import Outcome, file_stamp
from .run_span import traced_run
from .setup import Preparer, RunSetup, build_inputs, prepare_run, run_config
from .steps import Step, describe_step

# Called after each finished node with the step and the outcome so far; False ends the run.
OnStep = Callable[[Step, Outcome], bool | None]


class Stopped(Exception):
    """The run was ended from outside (``on_step`` said so: deadline, shutdown)."""


def answer_question(
    graph: Any,
    question: str,
    *,
    save_path: Path | None = None,
    analysis_tries: int = 1,
    on_step: OnStep | None = None,
    callbacks: Iterable[Any] = (),
    prices: Prices | None = None,
    explain: Callable[[BaseException], str] = describe,
    stop_before: list[str] | None = None,
    prepare: Iterable[Preparer] = (),
    user: str | None = None,
    run_id: str | None = None,
    trace_parent: Any = None,
    thread: str | None = None,
) -> Outcome:
    """Answer ``question`` with ``graph`` (an ``SQLGraph``).

    ``save_path`` is where the analysis program saves a chart (None: no chart is wanted);
    ``callbacks`` are LangChain handlers added to the run's config beside its usage recorder
    (an ``AnswerStream`` among them, or added by a preparer, makes the answer stream);
    ``explain`` turns an error into the outcome's reason; ``stop_before`` names nodes the run
    ends before; ``prepare`` runs after ``RUN_PREPARERS`` on the run's ``RunSetup``.

    With tracing on, the run has a span (``run_span``) labelled with ``user``, ``run_id`` and
    ``thread``, below ``trace_parent`` (the context of the request that asked, when the run is
    answered elsewhere) or else the current span; its nodes, model calls and queries hang
    below it.
    """
    with traced_run(
        question, user=user, run_id=run_id, parent=trace_parent, thread=thread
    ) as trace:
        try:
            outcome = _answer(
                graph,
                question,
                save_path=save_path,
                analysis_tries=analysis_tries,
                on_step=on_step,
                callbacks=[*callbacks, *trace.callbacks],
                prices=prices,
                explain=explain,
                stop_before=stop_before,
                prepare=prepare,
            )
        except Stopped:
            trace.finish("stopped")
            raise
        failure = outcome.exception
        trace.finish(outcome.status, None if failure is None else type(failure).__qualname__)
        return outcome


def _answer(
    graph: Any,
    question: str,
    *,
    save_path: Path | None,
    analysis_tries: int,
    on_step: OnStep | None,
    callbacks: Iterable[Any],
    prices: Prices | None,
    explain: Callable[[BaseException], str],
    stop_before: list[str] | None,
    prepare: Iterable[Preparer],
) -> Outcome:
    usage = UsageRecorder(prices)
    setup = RunSetup(
        question=question,
        inputs=build_inputs(question, save_path, analysis_tries),
        callbacks=[usage, *callbacks],
        stop_before=stop_before,
    )
    attempts, token = start_recording()
    outcome = Outcome(
        state=dict(setup.inputs),
        usage=usage,
        attempts=attempts,
        save_path=save_path,
        chart_stamp_before=None if save_path is None else file_stamp(save_path),
    )
    try:
        with usage.recording():
            # Inside the run: what a preparer asks of the model is counted, and its errors end
            # the run as the graph's do.
            prepare_run(setup, prepare)
            if any(isinstance(handler, AnswerStream) for handler in setup.callbacks):
                stream_answers(graph)
            outcome.state = dict(setup.inputs)
            with contextlib.ExitStack() as inside:
                for context in setup.contexts:
                    inside.enter_context(context)
                _stream(graph, setup, outcome, on_step)
    except Stopped:
        raise
    except BaseException as exc:
        # Besides errors, the analysis program's own SystemExit or KeyboardInterrupt: it ends
        # the run, never its host (a worker thread, the command). A real one goes on unwinding.
        if isinstance(exc, Exception):
            outcome.error, outcome.error_kind = explain(exc), failure_kind(exc)
        else:
            outcome.error, outcome.error_kind = program_exit(exc), RUN_ERROR
            if outcome.error is None:
                raise
        outcome.exception = exc
    finally:
        stop_recording(token)
    return outcome


def _stream(graph: Any, setup: RunSetup, outcome: Outcome, on_step: OnStep | None) -> None:
    if on_step is None:
        # Only the last state is wanted: no steps to describe.
        _last_state(graph, setup, outcome)
        return
    options: dict[str, Any] = {"stream_mode": ["updates", "values"]}
    if setup.stop_before:
        options["interrupt_before"] = setup.stop_before
    chunks = graph.compiled_graph.stream(
        setup.inputs, config=run_config(graph, setup.callbacks), **options
    )
    number = seen = 0
    last_wall, last = time.time(), time.monotonic()
    try:
        for mode, chunk in chunks:
            if mode == "values":
                outcome.state = chunk
                continue
            now_wall, now = time.time(), time.monotonic()
            # The calls the finished nodes made since the last ones finished.
            calls = outcome.usage.calls
            fresh, seen = calls[seen:], len(calls)
            for node, update in chunk.items():
                if node.startswith("__"):  # LangGraph's own marks (an interrupt), no node
                    continue
                number += 1
                step = Step(
                    number=number,
                    node=node,
                    update=update or {},
                    summary=describe_step(node, update or {}, outcome.state),
                    started_at=last_wall,
                    duration_s=now - last,
                    calls=[call for call in fresh if call.node == node],
                )
                if on_step is not None and on_step(step, outcome) is False:
                    raise Stopped
            last_wall, last = now_wall, now
    finally:
        chunks.close()
    outcome.state = dict(outcome.state)


def _last_state(graph: Any, setup: RunSetup, outcome: Outcome) -> None:
    options: dict[str, Any] = {"stream_mode": "values"}
    if setup.stop_before:
        options["interrupt_before"] = setup.stop_before
    for state in graph.compiled_graph.stream(
        setup.inputs, config=run_config(graph, setup.callbacks), **options
    ):
        outcome.state = state
    outcome.state = dict(outcome.state)
