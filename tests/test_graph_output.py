"""``graph_output``: a run's printed lines go where the application says (those of nodes that
LangGraph runs on its own threads too), the analysis output is still captured for the answer,
and what other threads print is untouched."""

from __future__ import annotations

import io
import sys
import threading

import pytest
from graph_scripts import ANALYSIS_PROGRAM, CITY_ORDERS_SQL, FAILING_PROGRAM, Responder, script
from quorlix import codebench
from quorlix.output import graph_output

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

MARKERS = ("hahahaha : ", "General Response prompt: ")


@pytest.mark.parametrize(("route", "sandbox"), [("buffer", "off"), ("nowhere", "auto")])
def test_a_runs_prints_follow_its_route(
    build_graph, sqlite_sample_db, stub_llm, capfd, monkeypatch, tmp_path, route, sandbox
):
    monkeypatch.setenv("QUORLIX_ANALYSIS_SANDBOX", sandbox)
    chart = tmp_path / "chart.png"
    # A failed program first: the final answer and the error handler then run in one step, on
    # LangGraph's worker threads.
    responder = script(
        stub_llm, Responder([CITY_ORDERS_SQL], [FAILING_PROGRAM, ANALYSIS_PROGRAM], str(chart))
    )
    graph = build_graph(sqlite_sample_db.url)
    inputs = {
        "user_question": "Which city ordered most?",
        "save_path": str(chart),
        "max_iterations_pandas": 3,
        "pandas_code": "",
        "python_executed_output": "",
    }
    buffer = io.StringIO()
    # As in a process that has run analysis code before: the extension modules' capture is in
    # place first, and the route must stay beneath it.
    codebench.execute_code("pass")

    with graph_output(buffer if route == "buffer" else None):
        final = graph.invoke(inputs)

    printed = capfd.readouterr().out
    assert not any(marker in printed for marker in MARKERS), printed
    answers = len(responder.prompts["GenerationOutput"])
    assert answers == 2
    if route == "buffer":
        assert [buffer.getvalue().count(marker) for marker in MARKERS] == [answers, answers]
    assert "Busiest city: Dublin" in final["python_executed_output"]


def test_only_the_routed_context_is_routed(capfd):
    buffer = io.StringIO()
    started = threading.Barrier(2)

    def routed() -> None:
        with graph_output(buffer):
            started.wait()
            for n in range(200):
                print(f"routed {n}")

    def unrouted() -> None:
        started.wait()
        for n in range(200):
            print(f"unrouted {n}")

    threads = [threading.Thread(target=routed), threading.Thread(target=unrouted)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print("after")

    printed = capfd.readouterr().out.splitlines()
    assert buffer.getvalue().splitlines() == [f"routed {n}" for n in range(200)]
    assert sorted(printed) == sorted([f"unrouted {n}" for n in range(200)] + ["after"])


def test_routes_and_captures_taking_turns_do_not_pile_up_routers():
    for _ in range(5):
        with graph_output(io.StringIO()):
            assert codebench.execute_code("print('captured')") == "captured\n"
    layers, stream = 0, sys.stdout
    while stream is not None:
        layers += 1
        own = getattr(stream, "__dict__", {})
        stream = own.get("_qx_stream") or own.get("_stream")  # the stream each router replaced
    assert layers <= 3  # the capture router, this module's, and pytest's capture
