"""SQLState and the initialisation node, run through a real LangGraph StateGraph."""

import typing

from langgraph.graph import END, StateGraph
from quorlix.querymesh import nodewright, querymesh

CONCATENATED = [
    "follow_up_question",
    "generated_sql_query",
    "execution_error",
    "sql_execution_result",
]
ADDED = ["iteration_count", "iteration_count_pandas"]


def test_annotations_are_the_declared_texts_evaluated_in_the_graph_module():
    annotations = querymesh.SQLState.__annotations__
    assert len(annotations) == 25
    assert list(annotations)[:3] == [
        "user_question",
        "follow_up_question",
        "schemas_from_relevant_tables",
    ]
    assert annotations["table_names_from_db"].__forward_arg__ == "list[Dict[str, str]]"
    assert annotations["image_path"].__forward_arg__ == "str | None"
    assert querymesh.SQLState.__total__ is True
    hints = typing.get_type_hints(querymesh.SQLState, include_extras=True)
    for name in CONCATENATED:
        assert typing.get_args(hints[name])[1] is querymesh.operator.concat
    for name in ADDED:
        assert typing.get_args(hints[name]) == (int, querymesh.operator.add)
    assert hints["python_error_message"] is bool


def run_initialisation(inputs):
    graph = StateGraph(querymesh.SQLState)
    graph.add_node("init_node", nodewright.initialisation)
    graph.set_entry_point("init_node")
    graph.add_edge("init_node", END)
    return graph.compile().invoke(inputs)


def test_fresh_run_holds_the_defaults_and_nothing_undeclared():
    state = run_initialisation({"user_question": "How many orders?"})
    # LangGraph starts every concatenated list as [] (not absent) before its first write.
    assert state == {
        "user_question": "How many orders?",
        "follow_up_question": [],
        "generated_sql_query": [],
        "execution_error": [],
        "sql_execution_result": [],
        "iteration_count": 0,
        "iteration_count_pandas": 0,
        "rewrite_count": 0,
        "rewritten_question": "",
        "max_iterations": 5,
    }


def test_merge_rules_replace_concatenate_and_add():
    state = run_initialisation(
        {
            "user_question": "q",
            "iteration_count": 3,
            "iteration_count_pandas": 2,
            "max_iterations": 10,
            "follow_up_question": ["why?"],
            "generated_sql_query": ["SELECT 1"],
        }
    )
    # The node hands back the whole record, so concatenated and added fields meet themselves.
    assert state["iteration_count"] == 3
    assert state["iteration_count_pandas"] == 4
    assert state["follow_up_question"] == ["why?", "why?"]
    assert state["generated_sql_query"] == ["SELECT 1"]  # the node wrote a new empty list
    assert state["max_iterations"] == 5
    assert "python_generation_prompt_type" not in state


def test_initialisation_called_directly_fills_the_dictionary_it_was_given():
    given = {"max_iterations": 10}
    result = nodewright.initialisation(given)
    assert result is given
    assert list(result) == [
        "max_iterations",
        "iteration_count",
        "rewrite_count",
        "rewritten_question",
        "generated_sql_query",
        "execution_error",
        "sql_execution_result",
        "python_generation_prompt_type",
    ]
    assert result["max_iterations"] == 5
    lists = [result[k] for k in ("generated_sql_query", "execution_error", "sql_execution_result")]
    assert len({id(x) for x in lists}) == 3 and all(x == [] for x in lists)
