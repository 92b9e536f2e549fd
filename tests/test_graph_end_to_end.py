"""Whole runs of SQLGraph: every chat model is a real AzureChatOpenAI talking to the stub server,
the database is the SQLite sample or a throwaway PostgreSQL / MariaDB database."""

from __future__ import annotations

from collections import Counter

import openai
import pytest
from graph_scripts import (
    ANALYSIS_PATH,
    ANALYSIS_PROGRAM,
    BROKEN_SQL,
    CITY_ORDERS_SQL,
    FAILING_PROGRAM,
    SQL_PATH,
    Responder,
    run_counting,
    script,
    section,
)
from langgraph.errors import GraphRecursionError  # noqa: E402
from PIL import Image
from quorlix.querymesh import graph_names as names
from support.databases import SAMPLE_ROWS, SAMPLE_SCHEMA
from support.stub_openai import http_error

# The graph passes top_p in model_kwargs; AzureChatOpenAI moves it and says so.
pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

QUESTION = "Which city placed the most orders?"


def fill_server_database(database) -> str:
    database.run_sql(SAMPLE_SCHEMA)
    for table, rows in SAMPLE_ROWS.items():
        values = ", ".join(repr(tuple(row)) for row in rows)
        database.run_sql(f"INSERT INTO {table} VALUES {values}")
    return database.url


@pytest.fixture(params=["sqlite", "postgresql", "mariadb"])
def database_url(request) -> str:
    if request.param == "sqlite":
        return request.getfixturevalue("sqlite_sample_db").url
    if request.param == "postgresql":
        return fill_server_database(request.getfixturevalue("pg_database"))
    return fill_server_database(request.getfixturevalue("mysql_database"))


@pytest.fixture
def sqlite_url(sqlite_sample_db) -> str:
    return sqlite_sample_db.url


def test_happy_path_runs_every_node_once_and_answers_from_the_analysis(
    build_graph, database_url, stub_llm, tmp_path
):
    chart = tmp_path / "chart.png"
    responder = script(stub_llm, Responder([CITY_ORDERS_SQL], [ANALYSIS_PROGRAM], str(chart)))
    graph = build_graph(database_url)
    inputs = {"user_question": QUESTION, "save_path": str(chart), "max_iterations_pandas": 3}

    runs, final = run_counting(graph, inputs)

    assert runs == Counter(SQL_PATH + ANALYSIS_PATH)
    assert final["generated_sql_query"] == [CITY_ORDERS_SQL]
    assert "('Dublin', 2)" in final["sql_execution_result"][0]
    printed = "Busiest city: Dublin with 2 orders in 2024\nChart saved to: " + str(chart) + "\n"
    assert final["python_executed_output"] == printed
    final_prompt = responder.prompts["GenerationOutput"][-1]
    assert section(final_prompt, "Python executed result: ", "\nUse the above") == printed
    assert final["final_response"] == "From the analysis: " + printed
    assert final["image_path"] == str(chart)
    with Image.open(chart) as image:
        assert image.size[0] > 100 and image.size[1] > 100


def test_invoke_returns_the_final_state_of_the_run(build_graph, sqlite_url, stub_llm, tmp_path):
    chart = tmp_path / "chart.png"
    script(stub_llm, Responder([CITY_ORDERS_SQL], [ANALYSIS_PROGRAM], str(chart)))
    graph = build_graph(sqlite_url)

    final = graph.invoke(
        {"user_question": QUESTION, "save_path": str(chart), "max_iterations_pandas": 1}
    )

    assert type(final) is dict
    assert final["final_response"].startswith("From the analysis: Busiest city: Dublin")
    assert final["image_path"] == str(chart) and chart.exists()
    assert "python_generation_prompt_type" not in final


@pytest.mark.parametrize(
    ("start_count", "executions", "rewrites", "last_result"),
    [
        (0, 6, 1, "no_such_table"),  # five corrections, one rewrite, then the answer
        (7, 1, 0, "SQL generation failed after max iterations"),  # caller's count past budget
    ],
)
def test_failing_sql_ends_in_one_answer_over_the_last_result(
    build_graph, database_url, stub_llm, start_count, executions, rewrites, last_result
):
    responder = script(stub_llm, Responder([BROKEN_SQL], [ANALYSIS_PROGRAM]))
    graph = build_graph(database_url)
    inputs = {
        "user_question": QUESTION,
        "pandas_code": "(no program)",
        "python_executed_output": "(no output)",
        "iteration_count": start_count,
    }

    runs, final = run_counting(graph, inputs)

    assert runs[names.SQL_EXECUTION_NODE] == executions
    assert runs[names.SQL_ERROR_HANDLER_NODE] == executions
    assert runs[names.REWRITE_QUERY_NODE] == rewrites
    assert runs[names.RELEVANT_TABLE_NAMES_NODE] == 1 + rewrites
    assert runs[names.FINAL_RESPONSE_GENERATION_NODE] == 1
    assert not any(runs[node] for node in ANALYSIS_PATH[:2] + [names.PANDAS_ERROR_HANDLER_NODE])
    final_prompt = responder.prompts["GenerationOutput"][0]
    shown = section(final_prompt, "SQL query result: ", "\nPython code: ")
    assert last_result in shown
    assert ("SQL generation failed" in shown) == (start_count > 5)
    assert shown == final["sql_execution_result"][-1]
    assert "Python executed result: (no output)\n" in final_prompt


def test_one_analysis_failure_then_a_correction_answers_twice(
    build_graph, sqlite_url, stub_llm, tmp_path
):
    chart = tmp_path / "chart.png"
    responder = script(
        stub_llm, Responder([CITY_ORDERS_SQL], [FAILING_PROGRAM, ANALYSIS_PROGRAM], str(chart))
    )
    graph = build_graph(sqlite_url)
    inputs = {
        "user_question": QUESTION,
        "save_path": str(chart),
        "max_iterations_pandas": 3,
        "python_executed_output": "(not run yet)",
    }

    runs, final = run_counting(graph, inputs)

    assert runs[names.PANDAS_GENERATOR_NODE] == runs[names.PANDAS_EXECUTOR_NODE] == 2
    assert runs[names.PANDAS_ERROR_HANDLER_NODE] == 1
    assert runs[names.FINAL_RESPONSE_GENERATION_NODE] == 2
    first, second = responder.prompts["GenerationOutput"]
    assert "Python executed result: (not run yet)\n" in first
    assert final["final_response"].startswith("From the analysis: Busiest city: Dublin")
    assert final["image_path"] == str(chart)
    correction = responder.prompts["PythonCodeInput"][1]
    assert "It fails with the following error:\n            ValueError: boom" in correction
    assert "print('half way')" in correction


def test_analysis_budget_zero_makes_one_attempt_then_the_terminal_text(
    build_graph, sqlite_url, stub_llm, tmp_path
):
    responder = script(
        stub_llm, Responder([CITY_ORDERS_SQL], [FAILING_PROGRAM], str(tmp_path / "c.png"))
    )
    graph = build_graph(sqlite_url)
    inputs = {
        "user_question": QUESTION,
        "save_path": str(tmp_path / "c.png"),
        "max_iterations_pandas": 0,
        "python_executed_output": "(not run yet)",
    }

    runs, final = run_counting(graph, inputs)

    assert responder.asked.count("PythonCodeInput") == 1
    assert runs[names.PANDAS_EXECUTOR_NODE] == 1 and runs[names.PANDAS_ERROR_HANDLER_NODE] == 1
    assert final["python_executed_output"] == "Python generation failed after max iterations"
    assert (
        "Python executed result: Python generation failed after max iterations\n"
        in (responder.prompts["GenerationOutput"][-1])
    )
    assert final["final_response"] == (
        "From the analysis: Python generation failed after max iterations"
    )


@pytest.mark.parametrize(
    ("case", "expected"),
    [
        ("recursion", GraphRecursionError),
        ("model_http_error", openai.BadRequestError),
        ("missing_save_path", KeyError),
    ],
)
def test_failures_end_invoke_with_the_underlying_exception(
    build_graph, sqlite_url, stub_llm, tmp_path, case, expected
):
    chart = str(tmp_path / "chart.png")
    inputs = {
        "user_question": QUESTION,
        "save_path": chart,
        "max_iterations_pandas": 1000,
        "python_executed_output": "(not run yet)",
    }
    queries, programs = [CITY_ORDERS_SQL], [FAILING_PROGRAM]
    if case == "model_http_error":
        queries = [http_error(400, "deployment refused the request")]
    if case == "missing_save_path":
        del inputs["save_path"]
    script(stub_llm, Responder(queries, programs, chart))
    graph = build_graph(sqlite_url)

    with pytest.raises(expected) as raised:
        graph.invoke(inputs)

    if case == "missing_save_path":
        assert raised.value.args == ("save_path",)
    if case == "model_http_error":
        assert "deployment refused the request" in str(raised.value)
