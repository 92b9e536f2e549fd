"""One run of a question ends in an outcome: its status, why it failed, the kind of failure the
evaluation scores, the SQL and what each step did, whichever way the graph ended."""

from __future__ import annotations

import httpx
import openai
import pytest
from quorlix.answering import (
    NO_ANSWER,
    Stopped,
    answer_question,
    explain_failure,
)
from quorlix.querymesh import graph_names as names
from quorlix.querymesh.analysis_exit import PROGRAM_EXIT_NOTE

REQUEST = httpx.Request("POST", "http://127.0.0.1:9/openai/deployments/gpt-4/chat/completions")


class ScriptedGraph:
    """Stands in for ``SQLGraph``: its nodes return the scripted updates, then it raises."""

    def __init__(self, steps: list[tuple[str, dict]], raises: BaseException | None = None):
        self.steps, self.raises = steps, raises
        self.runnable_config: dict = {"tags": ["querymesh"]}
        self.compiled_graph = self
        self.seen: dict = {}

    def stream(self, inputs, config, stream_mode, **_):
        self.seen = {"inputs": inputs, "config": config}
        state = dict(inputs)
        for node, update in self.steps:
            state = {**state, **update}
            if isinstance(stream_mode, list):
                yield "updates", {node: update}
                yield "values", state
            else:
                yield state
        if self.raises is not None:
            raise self.raises


def program_exit(code: int) -> SystemExit:
    exc = SystemExit(code)
    exc.add_note(PROGRAM_EXIT_NOTE)
    return exc


def refused() -> openai.APIConnectionError:
    exc = openai.APIConnectionError(request=REQUEST)
    exc.__cause__ = ConnectionRefusedError(111, "Connection refused")
    return exc


WROTE = (names.SQL_GENERATION_NODE, {"generated_sql_query": ["SELECT 1"]})
RAN = (names.SQL_EXECUTION_NODE, {"execution_success": True, "sql_execution_result": ["[(1,)]"]})
SQL_FAILED = (
    names.SQL_EXECUTION_NODE,
    {
        "execution_success": False,
        "sql_execution_result": ["(sqlite3.OperationalError) no such table: x\n[SQL: SELECT 1]"],
    },
)
ANALYSIS_FAILED = (
    names.PANDAS_EXECUTOR_NODE,
    {"python_execution_success": False, "python_error_message": "NameError: x"},
)
ANSWERED = (names.FINAL_RESPONSE_GENERATION_NODE, {"final_response": "One."})

# steps, raised, explain, status, reason, kind, sql ran, analysis error, last step's summary
OUTCOMES = {
    "answered": ([WROTE, RAN, ANSWERED], None, None, "succeeded", None, None, True, None,
                 "wrote the answer"),
    "sql failed": ([WROTE, SQL_FAILED, ANSWERED], None, None, "succeeded", None, None, False,
                   None, "wrote the answer"),
    "sql failure text": ([WROTE, SQL_FAILED], None, None, "failed", NO_ANSWER, None, False, None,
                         "query failed: (sqlite3.OperationalError) no such table: x"),
    "analysis failed": ([WROTE, RAN, ANALYSIS_FAILED, ANSWERED], None, None, "succeeded", None,
                        None, True, "NameError: x", "wrote the answer"),
    "model timed out": ([WROTE], openai.APITimeoutError(REQUEST), None, "failed",
                        "the model service did not answer in time (QUORLIX_REQUEST_TIMEOUT)",
                        "run timeout", False, None, "wrote a query"),
    "model timed out, its limit known": (
        [WROTE], openai.APITimeoutError(REQUEST), lambda exc: explain_failure(exc, 30.0),
        "failed", "the model service did not answer within 30 s (QUORLIX_REQUEST_TIMEOUT); try "
        "again later", "run timeout", False, None, "wrote a query"),
    "model unreachable": ([WROTE], refused(), None, "failed",
                          "cannot reach the model service at 127.0.0.1:9: Connection refused",
                          "run error", False, None, "wrote a query"),
    "analysis program exited": ([WROTE, RAN], program_exit(3), None, "failed",
                                "the analysis program exited: it raised SystemExit(3)",
                                "run error", True, None, "query ran"),
}  # fmt: skip


@pytest.mark.parametrize(
    ("steps", "raises", "explain", "status", "reason", "kind", "sql_ran", "analysis", "last"),
    list(OUTCOMES.values()),
    ids=list(OUTCOMES),
)
def test_a_run_ends_in_its_outcome(
    steps, raises, explain, status, reason, kind, sql_ran, analysis, last
):
    summaries = []
    options = {"explain": explain} if explain else {}
    outcome = answer_question(
        ScriptedGraph(steps, raises),
        "How many?",
        on_step=lambda step, _: summaries.append(step.summary),
        **options,
    )
    assert (outcome.status, outcome.reason, outcome.error_kind) == (status, reason, kind)
    assert (outcome.sql, outcome.sql_ran, outcome.analysis_error) == ("SELECT 1", sql_ran, analysis)
    assert len(summaries) == len(steps) and summaries[-1] == last


@pytest.mark.parametrize(
    ("raises", "on_step", "escapes"),
    [
        (None, lambda step, outcome: False, Stopped),  # ended from outside: deadline, shutdown
        (KeyboardInterrupt(), None, KeyboardInterrupt),  # a real Ctrl-C, not the program's
    ],
    ids=["stopped", "interrupted"],
)
def test_a_run_ended_from_outside_raises(raises, on_step, escapes):
    with pytest.raises(escapes):
        answer_question(ScriptedGraph([WROTE], raises), "How many?", on_step=on_step)


def test_preparers_change_every_runs_inputs_and_callbacks(monkeypatch):
    handler = object()

    def follow_up(setup):
        setup.inputs["user_question"] = f"{setup.question} (in 2024)"
        setup.callbacks.append(handler)

    monkeypatch.setattr("quorlix.answering.setup.RUN_PREPARERS", [follow_up])
    graph = ScriptedGraph([WROTE, ANSWERED])
    answer_question(graph, "How many?")

    assert graph.seen["inputs"]["user_question"] == "How many? (in 2024)"
    assert graph.seen["config"]["tags"] == ["querymesh"]
    assert handler in graph.seen["config"]["callbacks"]
