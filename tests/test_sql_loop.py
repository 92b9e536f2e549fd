"""The SQL correction loop of a real graph run against the stub chat server and the SQLite
sample: corrections that see every earlier attempt, the single question rewrite, the terminal
route, and leaving the loop as soon as a query works."""

import pytest
from graph_scripts import Responder, run_counting, script
from quorlix.querymesh import graph_names as names
from support.stub_openai import text

COUNT_ORDERS = "SELECT COUNT(*) FROM orders"
REVIEW_MARK = " -- reviewed"
pytestmark = [
    pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning"),
    pytest.mark.filterwarnings("ignore:Cannot use method='json_schema'"),
]


def failing(attempt: int) -> str:
    return f"SELECT missing_{attempt} FROM orders"


class Reviewing(Responder):
    """Marks every reviewed query, so the test sees whose text the graph went on with."""

    def __call__(self, request):
        reply = super().__call__(request)
        if self.asked[-1] == "review":
            return text(self.last_sql + REVIEW_MARK)
        return reply


def run(build_graph, stub_llm, sqlite_sample_db, tmp_path, queries):
    responder = script(stub_llm, Reviewing(queries, ["print('analysed')"], tables=["orders"]))
    graph = build_graph(sqlite_sample_db.url)
    inputs = {
        "user_question": "How many orders?",
        "save_path": str(tmp_path / "chart.png"),
        "max_iterations_pandas": 1,
        "pandas_code": "(no program)",
        "python_executed_output": "(no output)",
    }
    runs, final = run_counting(graph, inputs)
    return responder, runs, final


def test_a_query_that_keeps_failing_is_tried_six_times_with_one_rewrite(
    build_graph, stub_llm, sqlite_sample_db, tmp_path
):
    queries = [failing(attempt) for attempt in range(1, 7)]
    responder, runs, final = run(build_graph, stub_llm, sqlite_sample_db, tmp_path, queries)

    attempt = ["SQLQueryInput", "review"]
    assert responder.asked == (
        ["RelevantTablesOutput"]
        + attempt * 5
        + ["RewriteQueryOutput", "RelevantTablesOutput"]
        + attempt
        + ["GenerationOutput"]
    )
    assert runs[names.REWRITE_QUERY_NODE] == 1 and runs[names.PANDAS_GENERATOR_NODE] == 0
    # The review replaced each query in the graph's own list: six entries, not twelve.
    assert final["generated_sql_query"] == [query + REVIEW_MARK for query in queries]
    results = final["sql_execution_result"]
    assert len(results) == 6
    assert all(f"missing_{n}" in result for n, result in enumerate(results, 1))
    assert (final["iteration_count"], final["rewrite_count"], final["max_iterations"]) == (5, 1, 5)
    assert final["rewritten_question"] == "Rewritten: how many orders came from each city?"
    assert final["sql_generation_prompt_type"] == "generation"
    generation_prompts = responder.prompts["SQLQueryInput"]
    # Attempts 2 to 5 are corrections shown every earlier query; the sixth starts afresh.
    for attempt_number, prompt in enumerate(generation_prompts[1:5], 2):
        assert all(f"missing_{n} " in prompt for n in range(1, attempt_number))
        assert f"missing_{attempt_number} " not in prompt
    assert "missing_" not in generation_prompts[5]


@pytest.mark.parametrize("good_from", [1, 3])
def test_a_working_query_leaves_the_loop_for_the_analysis_path(
    build_graph, stub_llm, sqlite_sample_db, tmp_path, good_from
):
    queries = [failing(attempt) for attempt in range(1, good_from)] + [COUNT_ORDERS]
    responder, runs, final = run(build_graph, stub_llm, sqlite_sample_db, tmp_path, queries)

    assert runs[names.SQL_EXECUTION_NODE] == good_from
    assert runs[names.SQL_ERROR_HANDLER_NODE] == good_from - 1
    assert runs[names.REWRITE_QUERY_NODE] == 0
    assert runs[names.PANDAS_GENERATOR_NODE] == runs[names.PANDAS_EXECUTOR_NODE] == 1
    assert final["generated_sql_query"] == [query + REVIEW_MARK for query in queries]
    assert final["sql_execution_result"][-1] == "[(5,)]"
    assert final["iteration_count"] == good_from - 1
    assert final["python_executed_output"] == "analysed\n"
    # Corrections after the first attempt see every earlier query with its error.
    assert final["sql_generation_prompt_type"] == ("generation" if good_from == 1 else "correction")
    if good_from > 1:
        assert "missing_1 " in responder.prompts["SQLQueryInput"][-1]
