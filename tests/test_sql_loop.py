"""The SQL path as a LangGraph graph against the stub chat server and the SQLite sample: the
correction loop, the single question rewrite and the terminal route."""

import pytest
from langgraph.graph import END, StateGraph  # noqa: E402
from quorlix.function_calling.base import RelevantTablePicker  # noqa: E402
from quorlix.querymesh import nodewright, querymesh
from quorlix.settings import AzureOpenAIChat35  # noqa: E402
from sql_fakes import schema_name, wrapper_over


def build_graph(db, picker, sql_model, review_model, rewrite_model, finished):
    """The graph's SQL path; the analysis and answer steps are stand-ins that note the state."""

    def pandas_generator(state: dict) -> dict:
        finished.append(("pandas_generation", state))
        return {}

    def final_response(state: dict) -> dict:
        finished.append(("final_response", state))
        return {}

    graph = StateGraph(querymesh.SQLState)
    graph.add_node("init_node", nodewright.initialisation)
    graph.set_entry_point("init_node")
    graph.add_node("table_names_lookup_node", nodewright.TableNamesLookup(db=db).invoke)
    graph.add_edge("init_node", "table_names_lookup_node")
    graph.add_node("relevant_table_names_node", picker.invoke)
    graph.add_edge("table_names_lookup_node", "relevant_table_names_node")
    graph.add_node("relevant_schemas_node", nodewright.RelevantSchemas(db=db).invoke)
    graph.add_edge("relevant_table_names_node", "relevant_schemas_node")
    graph.add_node("sql_generation_node", nodewright.SQLGeneration(db=db, model=sql_model).invoke)
    graph.add_edge("relevant_schemas_node", "sql_generation_node")
    graph.add_node("rewrite_query_node", nodewright.RewriteQuery(db=db, model=rewrite_model).invoke)
    graph.add_edge("rewrite_query_node", "relevant_table_names_node")
    graph.add_node(
        "sql_syntax_checker_node", nodewright.SQLSyntaxChecker(db=db, model=review_model).invoke
    )
    graph.add_edge("sql_generation_node", "sql_syntax_checker_node")
    graph.add_node("sql_execution_node", nodewright.SQLExecution(db=db).invoke)
    graph.add_edge("sql_syntax_checker_node", "sql_execution_node")
    graph.add_node("pandas_generator_node", pandas_generator)
    graph.add_node("final_response_generation_node", final_response)
    graph.add_edge("pandas_generator_node", END)
    graph.add_edge("final_response_generation_node", END)
    graph.add_node("sql_error_handler_node", nodewright.handle_sql_error)
    graph.add_conditional_edges(
        "sql_execution_node",
        nodewright.sql_execution_condition,
        {
            "pandas_generation": "pandas_generator_node",
            "sql_execution_error": "sql_error_handler_node",
        },
    )
    graph.add_conditional_edges(
        "sql_error_handler_node",
        nodewright.sql_error_handler_condition,
        {
            "regenerate_sql_query": "sql_generation_node",
            "terminal_failure_response": "final_response_generation_node",
            "rewrite_query": "rewrite_query_node",
        },
    )
    return graph.compile()


class ScriptedModels:
    """Answers by what each request asks for; a query fails until `good_from` attempts."""

    def __init__(self, good_from=None):
        self.good_from = good_from
        self.asked = []
        self.prompts = []
        self.queries = []

    def __call__(self, request):
        kind = schema_name(request) or "review"
        self.asked.append(kind)
        self.prompts.append((kind, request.prompt_text))
        if kind == "RelevantTablesOutput":
            return {"relevant_tables": ["orders"]}
        if kind == "RewriteQueryOutput":
            return {"rewritten_question": "How many orders were placed?"}
        if kind == "SQLQueryInput":
            attempt = len(self.queries) + 1
            good = self.good_from is not None and attempt >= self.good_from
            query = (
                "SELECT COUNT(*) FROM orders" if good else f"SELECT missing_{attempt} FROM orders"
            )
            self.queries.append(query)
            return {"sql_query": query}
        return self.queries[-1] + " -- reviewed"


@pytest.fixture
def scripted(stub_azure_env, sqlite_sample_db):
    def run(good_from=None):
        script = ScriptedModels(good_from)
        stub_azure_env.reply(*[script] * 40)
        db = wrapper_over(sqlite_sample_db.url)
        picker = RelevantTablePicker(config=AzureOpenAIChat35(), db=db)
        finished = []
        graph = build_graph(
            db,
            picker,
            stub_azure_env.make_chat_model(model="gpt-4o"),
            stub_azure_env.make_chat_model(),
            stub_azure_env.make_chat_model(model="gpt-35-turbo"),
            finished,
        )
        final = graph.invoke({"user_question": "How many orders?"}, {"recursion_limit": 50})
        return script, finished, final

    return run


@pytest.mark.filterwarnings("ignore:Cannot use method='json_schema'")
def test_a_query_that_keeps_failing_is_tried_six_times_with_one_rewrite(scripted):
    script, finished, final = scripted()
    attempt = ["SQLQueryInput", "review"]
    assert (
        script.asked
        == ["RelevantTablesOutput"]
        + attempt * 5
        + [
            "RewriteQueryOutput",
            "RelevantTablesOutput",
        ]
        + attempt
    )
    # The review replaced each query in the graph's own list: six entries, not twelve.
    assert final["generated_sql_query"] == [q + " -- reviewed" for q in script.queries]
    assert len(script.queries) == 6
    results = final["sql_execution_result"]
    assert len(results) == 6
    assert all(f"missing_{n}" in text for n, text in enumerate(results, 1))
    ((route, state),) = finished
    assert route == "final_response"
    assert (state["iteration_count"], state["rewrite_count"], state["max_iterations"]) == (5, 1, 5)
    assert state["rewritten_question"] == "How many orders were placed?"
    assert state["sql_generation_prompt_type"] == "generation"
    assert "pandas_generation_prompt_type" not in final
    assert "python_generation_prompt_type" not in final
    generation_prompts = [text for kind, text in script.prompts if kind == "SQLQueryInput"]
    # Attempts 2 to 5 are corrections shown every earlier query; the sixth starts afresh.
    for attempt, prompt in enumerate(generation_prompts[1:5], 2):
        assert all(f"missing_{n} " in prompt for n in range(1, attempt))
        assert f"missing_{attempt} " not in prompt
    assert "missing_" not in generation_prompts[5]


@pytest.mark.filterwarnings("ignore:Cannot use method='json_schema'")
@pytest.mark.parametrize("good_from", [1, 3])
def test_a_working_query_leaves_the_loop_for_the_analysis_path(scripted, good_from):
    script, finished, final = scripted(good_from)
    assert "RewriteQueryOutput" not in script.asked
    assert final["generated_sql_query"] == [q + " -- reviewed" for q in script.queries]
    assert len(script.queries) == good_from
    assert final["sql_execution_result"][-1] == "[(5,)]"
    assert final["iteration_count"] == good_from - 1
    ((route, state),) = finished
    assert route == "pandas_generation"
    assert state["pandas_generation_prompt_type"] == "generation"
    # Corrections after the first attempt see every earlier query with its error.
    assert final["sql_generation_prompt_type"] == ("generation" if good_from == 1 else "correction")
