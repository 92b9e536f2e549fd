"""Routing conditions and error handlers: route texts, budgets, and the SQL retry sequence."""

import inspect
import operator
import types

import pytest
from quorlix.querymesh import nodewright

CONDITIONS = [
    "sql_syntax_condition",
    "sql_execution_condition",
    "pandas_execution_condition",
    "pandas_code_condition",
    "sql_error_handler_condition",
    "pandas_error_handler_condition",
]
HANDLERS = ["handle_sql_error", "handle_pandas_error"]
CORRECTION = {"iteration_count": 1, "sql_generation_prompt_type": "correction"}
TERMINAL_SQL = {
    "sql_execution_result": ["SQL generation failed after max iterations"],
    "iteration_count": 0,
}
PANDAS_CORRECTION = {"iteration_count_pandas": 1, "pandas_generation_prompt_type": "correction"}
TERMINAL_PANDAS = {
    "python_executed_output": "Python generation failed after max iterations",
    "iteration_count_pandas": 0,
}


def items(mapping):
    return list(mapping.items())


@pytest.mark.parametrize("name", CONDITIONS + HANDLERS)
def test_signatures_and_exact_dict_refusal(name):
    function = getattr(nodewright, name)
    returns = dict if name in HANDLERS else str
    parameter = inspect.Parameter("state", inspect.Parameter.POSITIONAL_OR_KEYWORD, annotation=dict)
    assert inspect.signature(function) == inspect.Signature([parameter], return_annotation=returns)
    for value, type_name in [
        (None, "NoneType"),
        (type("State", (dict,), {})(), "State"),
        (types.MappingProxyType({}), "mappingproxy"),
    ]:
        with pytest.raises(TypeError) as raised:
            function(value)
        assert str(raised.value) == (
            f"Argument 'state' has incorrect type (expected dict, got {type_name})"
        )
    with pytest.raises(TypeError, match=rf"^{name}\(\) missing 1 required positional argument"):
        function()
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes 1 positional argument but 2 were"):
        function({}, {})


FLAGS = [
    ("sql_syntax_condition", "is_valid_syntax", "sql_execute", "sql_syntax_error"),
    ("sql_execution_condition", "execution_success", "pandas_generation", "sql_execution_error"),
    (
        "pandas_execution_condition",
        "python_execution_success",
        "final_response",
        "pandas_execution_error",
    ),
    ("pandas_code_condition", "use_pandas_ai_flag", "use_pandas", "generate_response"),
]


@pytest.mark.parametrize("name, field, if_true, if_false", FLAGS)
@pytest.mark.parametrize(
    "value, truth",
    [(True, True), ("yes", True), (1, True), ([0], True)]
    + [(False, False), (0, False), ("", False), (None, False), ([], False)],
)
def test_flag_conditions_test_truth(name, field, if_true, if_false, value, truth):
    assert getattr(nodewright, name)(state={field: value}) == (if_true if truth else if_false)


@pytest.mark.parametrize("name, field, if_true, if_false", FLAGS)
def test_flag_conditions_need_their_field(name, field, if_true, if_false):
    with pytest.raises(KeyError, match=field):
        getattr(nodewright, name)({"unrelated": True})


@pytest.mark.parametrize(
    "count, budget, rewrites, expected",
    [
        (0, 5, 0, CORRECTION),
        (4, 5, 0, CORRECTION),
        (5, 5, 0, {"rewrite_count": 1}),
        (7, 5, 0, TERMINAL_SQL),
        (0, 5, 1, TERMINAL_SQL),
        (5, 5, 1, TERMINAL_SQL),
        (0, 0, 0, {"rewrite_count": 1}),
    ],
)
def test_handle_sql_error(count, budget, rewrites, expected):
    state = {"iteration_count": count, "max_iterations": budget, "rewrite_count": rewrites}
    update = nodewright.handle_sql_error(state)
    assert items(update) == items(expected)
    # The rewrite branch zeroes the count in the dictionary it was handed, and only there.
    rewrite_branch = expected == {"rewrite_count": 1}
    assert state["iteration_count"] == (0 if rewrite_branch else count)


@pytest.mark.parametrize(
    "count, budget, rewrites, route",
    [(n, 5, 0, "regenerate_sql_query") for n in range(5)]
    + [
        (5, 5, 0, "rewrite_query"),
        (5, 5, 1, "terminal_failure_response"),
        (6, 5, 0, "terminal_failure_response"),
        (0, 5, 1, "terminal_failure_response"),
        (2, 5, 2, "terminal_failure_response"),
    ],
)
def test_sql_error_handler_condition(count, budget, rewrites, route):
    state = {"iteration_count": count, "max_iterations": budget, "rewrite_count": rewrites}
    assert nodewright.sql_error_handler_condition(state) == route


@pytest.mark.parametrize(
    "count, budget, expected, route_after",
    [
        (0, 3, PANDAS_CORRECTION, "regenerate_pandas_code"),
        (1, 3, PANDAS_CORRECTION, "regenerate_pandas_code"),
        (2, 3, PANDAS_CORRECTION, "terminal_failure_response"),
        (3, 3, TERMINAL_PANDAS, "terminal_failure_response"),
        (0, 0, TERMINAL_PANDAS, "terminal_failure_response"),
        (0, -2, TERMINAL_PANDAS, "terminal_failure_response"),
    ],
)
def test_pandas_handler_and_its_route(count, budget, expected, route_after):
    state = {"iteration_count_pandas": count, "max_iterations_pandas": budget}
    update = nodewright.handle_pandas_error(dict(state))
    assert items(update) == items(expected)
    state["iteration_count_pandas"] += update["iteration_count_pandas"]
    assert nodewright.pandas_error_handler_condition(state) == route_after


@pytest.mark.parametrize(
    "function, state",
    [
        ("handle_sql_error", {"iteration_count": 0, "max_iterations": "5", "rewrite_count": 0}),
        ("sql_error_handler_condition", {"iteration_count": 0, "max_iterations": "5"}),
        ("handle_pandas_error", {"iteration_count_pandas": 0, "max_iterations_pandas": "3"}),
    ],
)
def test_unorderable_budgets_raise_type_errors(function, state):
    with pytest.raises(TypeError, match="'<' not supported"):
        getattr(nodewright, function)(state)


def test_comparisons_are_the_values_own():
    # Python's == has no identity shortcut: a NaN budget equals nothing, not even itself.
    nan = float("nan")
    state = {"iteration_count": nan, "max_iterations": nan, "rewrite_count": 0}
    assert nodewright.handle_sql_error(dict(state)) == TERMINAL_SQL
    assert nodewright.sql_error_handler_condition(state) == "terminal_failure_response"
    # Budgets compare as the stored values do, not only as integers.
    state = {"iteration_count": 4.5, "max_iterations": 5, "rewrite_count": 0.0}
    assert nodewright.handle_sql_error(dict(state)) == CORRECTION


def merge(state, update):
    """The graph's merge rules for the fields these functions write."""
    for key, value in update.items():
        if key in ("iteration_count", "iteration_count_pandas"):
            state[key] = state.get(key, 0) + value
        elif key == "sql_execution_result":
            state[key] = operator.concat(state[key], value)
        else:
            state[key] = value


def test_six_failed_sql_executions_follow_the_budget():
    state = nodewright.initialisation({"user_question": "q"})
    seen = []
    for attempt in range(1, 7):
        merge(state, {"sql_execution_result": [f"error {attempt}"], "execution_success": False})
        assert nodewright.sql_execution_condition(dict(state)) == "sql_execution_error"
        handed = dict(state)
        update = nodewright.handle_sql_error(handed)
        merge(state, update)
        route = nodewright.sql_error_handler_condition(dict(state))
        seen.append((update, (state["iteration_count"], state["rewrite_count"]), route))
        if route == "rewrite_query":
            merge(
                state,
                {"rewritten_question": "restated", "sql_generation_prompt_type": "generation"},
            )
    assert seen == [(CORRECTION, (n, 0), "regenerate_sql_query") for n in range(1, 5)] + [
        (CORRECTION, (5, 0), "rewrite_query"),
        ({"rewrite_count": 1}, (5, 1), "terminal_failure_response"),
    ]
    assert state["sql_execution_result"] == [f"error {n}" for n in range(1, 7)]


def test_functions_are_defined_in_source_order():
    assert [name for name in vars(nodewright) if name in CONDITIONS + HANDLERS] == [
        "sql_syntax_condition",
        "sql_execution_condition",
        "pandas_execution_condition",
        "pandas_code_condition",
        "handle_sql_error",
        "handle_pandas_error",
        "sql_error_handler_condition",
        "pandas_error_handler_condition",
    ]
