"""A run's spans, exported in memory: one trace of the run, its nodes, model calls, query and
analysis program, with token figures and without users' text or data unless asked."""

from __future__ import annotations

import contextlib
import sqlite3

import pytest
from graph_scripts import (
    ANALYSIS_PATH,
    ANALYSIS_PROGRAM,
    CITY_ORDERS_SQL,
    FAILING_PROGRAM,
    SQL_PATH,
    Responder,
    script,
)
from quorlix.answering import answer_question
from quorlix.answering.run_span import RUN_SPAN
from support.traces import parent_of, texts_in

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

QUESTION = "Which city placed the most orders? zq-marker-7"
MARKER = "zq-marker-7"
# A literal no span may carry: a value of the user's data.
DUBLIN_SQL = CITY_ORDERS_SQL.replace("GROUP BY", "WHERE customers.city <> 'Dublin' GROUP BY")


def traced(graph, chart, tries=3):
    """The question answered as every host answers it, with its run's labels."""
    return answer_question(
        graph, QUESTION, save_path=chart, analysis_tries=tries, user="ana", run_id="run-1"
    )


@pytest.fixture
def sandbox_off(monkeypatch):
    monkeypatch.setenv("QUORLIX_ANALYSIS_SANDBOX", "off")


def test_a_run_is_one_trace_of_its_nodes_model_calls_query_and_program(
    build_graph, sqlite_sample_db, stub_llm, tmp_path, finished_spans, sandbox_off
):
    script(stub_llm, Responder([CITY_ORDERS_SQL], [ANALYSIS_PROGRAM], str(tmp_path / "c.png")))
    traced(build_graph(sqlite_sample_db.url), tmp_path / "c.png")
    spans = finished_spans()

    assert len({span.context.trace_id for span in spans}) == 1
    (run,) = [span for span in spans if span.name == RUN_SPAN]
    assert parent_of(run, spans) is None
    assert run.attributes["quorlix.question.length"] == len(QUESTION)
    assert run.attributes["enduser.id"] == "ana" and run.attributes["quorlix.run.id"] == "run-1"
    assert run.attributes["quorlix.run.status"] == "succeeded"

    nodes = [span for span in spans if "quorlix.node" in span.attributes]
    assert [span.name for span in nodes] == SQL_PATH + ANALYSIS_PATH
    assert all(parent_of(span, spans) is run for span in nodes)

    calls = [span for span in spans if span.attributes.get("gen_ai.operation.name") == "chat"]
    sent = stub_llm.usage_sent
    assert len(calls) == len(sent)
    for call, usage in zip(calls, sent, strict=True):
        assert parent_of(call, spans) in nodes
        assert call.attributes["gen_ai.system"] == "az.ai.openai"
        assert call.attributes["gen_ai.usage.input_tokens"] == usage["prompt_tokens"]
        assert call.attributes["gen_ai.usage.output_tokens"] == usage["completion_tokens"]
        assert call.attributes["gen_ai.response.finish_reasons"]
        assert call.name == f"chat {call.attributes['gen_ai.request.model']}"
        assert call.attributes["quorlix.model.deployment"]

    (query,) = [span for span in spans if "db.system" in span.attributes]
    assert parent_of(query, spans).name == "sql_execution_node"
    with contextlib.closing(sqlite3.connect(sqlite_sample_db.path)) as connection:
        rows = len(connection.execute(CITY_ORDERS_SQL).fetchall())
    assert dict(query.attributes) == {
        "db.system": "sqlite",
        "db.system.name": "sqlite",
        "db.operation.name": "SELECT",
        "quorlix.sql.tables": ("customers", "orders"),
        "quorlix.sql.refused": False,
        "db.response.returned_rows": rows,
        "quorlix.sql.cut": False,
    }

    (program,) = [span for span in spans if span.name == "quorlix.analysis"]
    assert parent_of(program, spans).name == "pandas_executor_node"
    assert program.attributes["quorlix.analysis.sandboxed"] is False
    assert program.attributes["quorlix.analysis.exit"] == "ok"


@pytest.mark.parametrize("content", ["", "1"])
def test_no_question_prompt_or_sql_value_in_spans_unless_content_is_asked_for(
    build_graph,
    sqlite_sample_db,
    stub_llm,
    tmp_path,
    finished_spans,
    sandbox_off,
    monkeypatch,
    content,
):
    monkeypatch.setenv("QUORLIX_TRACE_CONTENT", content)
    script(stub_llm, Responder([DUBLIN_SQL], [ANALYSIS_PROGRAM], str(tmp_path / "c.png")))
    traced(build_graph(sqlite_sample_db.url), tmp_path / "c.png")
    spans = finished_spans()

    carried = {span.name: " ".join(texts_in(span)) for span in spans}
    queries = [span for span in spans if "db.system" in span.attributes]
    assert queries and not any("Dublin" in " ".join(texts_in(span)) for span in queries)
    with_marker = [name for name, texts in carried.items() if MARKER in texts]
    if content:
        # Every model call's prompt holds the question; only model calls carry it.
        assert with_marker and all(name.startswith("chat ") for name in with_marker)
    else:
        assert with_marker == []
        assert not any("Dublin" in texts for texts in carried.values())


@pytest.mark.parametrize(
    ("sandbox", "program", "exit_kind", "status"),
    [
        ("off", FAILING_PROGRAM, "error", "succeeded"),
        ("off", "raise SystemExit(3)", "exit", "failed"),
        ("auto", ANALYSIS_PROGRAM, "ok", "succeeded"),
    ],
)
def test_the_analysis_span_says_where_and_how_the_program_ended(
    build_graph,
    sqlite_sample_db,
    stub_llm,
    tmp_path,
    finished_spans,
    monkeypatch,
    sandbox,
    program,
    exit_kind,
    status,
):
    monkeypatch.setenv("QUORLIX_ANALYSIS_SANDBOX", sandbox)
    script(stub_llm, Responder([CITY_ORDERS_SQL], [program], str(tmp_path / "c.png")))
    graph = build_graph(sqlite_sample_db.url)
    assert traced(graph, tmp_path / "c.png", tries=1).status == status
    spans = finished_spans()
    programs = [span for span in spans if span.name == "quorlix.analysis"]
    assert programs and {span.attributes["quorlix.analysis.exit"] for span in programs} == {
        exit_kind
    }
    assert {span.attributes["quorlix.analysis.sandboxed"] for span in programs} == {
        sandbox != "off"
    }
    (run,) = [span for span in spans if span.name == RUN_SPAN]
    assert run.attributes["quorlix.run.status"] == status


@pytest.mark.parametrize(
    ("sql", "max_rows", "refused", "cut", "error"),
    [
        ("SELECT name FROM customers WHERE city = 'Dublin'", 100, False, False, None),
        ("SELECT id FROM orders WHERE order_date > '2000-01-01'", 2, False, True, None),
        ("DELETE FROM orders WHERE order_date > '2000-01-01'", 100, True, None, "UnsafeSQLError"),
        ("SELECT id FROM missing_table WHERE id = 'Dublin'", 100, False, None, "OperationalError"),
    ],
)
def test_a_query_span_says_what_came_of_the_query_without_its_values(
    sqlite_sample_db, finished_spans, sql, max_rows, refused, cut, error
):
    from quorlix.querymesh.custom_sql import CustomSQLDatabase

    db = CustomSQLDatabase.from_uri(sqlite_sample_db.url, max_rows=max_rows)
    try:
        with contextlib.suppress(Exception):
            db.run(sql)
    finally:
        db._engine.dispose()
    (query,) = finished_spans()
    assert query.attributes["quorlix.sql.refused"] is refused
    assert query.attributes.get("error.type") == error
    assert query.attributes.get("quorlix.sql.cut") == cut
    if error is None:
        with contextlib.closing(sqlite3.connect(sqlite_sample_db.path)) as connection:
            rows = len(connection.execute(sql).fetchall())
        assert query.attributes["db.response.returned_rows"] == min(rows, max_rows)
    assert not any("Dublin" in text or "2000" in text for text in texts_in(query))
