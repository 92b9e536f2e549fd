"""A run's contexts: what a preparer adds to ``RunSetup.contexts`` holds while the graph runs
and is gone after the run, however it ended."""

from __future__ import annotations

import contextlib
from contextvars import ContextVar

import pytest
from quorlix.answering import answer_question
from test_answering_outcome import ANSWERED, WROTE, ScriptedGraph

RUN_VALUE: ContextVar[str] = ContextVar("run_value", default="none")


class SeeingGraph(ScriptedGraph):
    def stream(self, inputs, config, stream_mode, **kwargs):
        self.inside = RUN_VALUE.get()
        yield from super().stream(inputs, config, stream_mode, **kwargs)


@contextlib.contextmanager
def value(text: str):
    token = RUN_VALUE.set(text)
    try:
        yield
    finally:
        RUN_VALUE.reset(token)


@pytest.mark.parametrize("raises", [None, RuntimeError("model down")])
def test_a_preparers_context_holds_during_the_graph_run_only(raises):
    graph = SeeingGraph([WROTE, ANSWERED], raises)

    outcome = answer_question(
        graph, "How many?", prepare=[lambda setup: setup.contexts.append(value("this run"))]
    )

    assert graph.inside == "this run"
    assert RUN_VALUE.get() == "none"
    assert outcome.raised == (raises is not None)
