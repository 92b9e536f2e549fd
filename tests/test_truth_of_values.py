"""Where the compiled modules take the truth of a value or compare it, a value whose __bool__ or
__eq__ fails raises its own error, as the same `if` in Python would; it is never read as true or
false with the error left pending."""

from __future__ import annotations

import types

import pytest
import quorlix.dbkeeper as dbkeeper
from quorlix.querymesh import nodewright
from support.chat_fakes import FakeChatModel


class NoTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")

    def __eq__(self, other):
        raise ZeroDivisionError("no equality here")

    __hash__ = object.__hash__


def node_state(**changes) -> dict:
    state = {
        "user_question": "How many orders?",
        "rewritten_question": "",
        "table_names_from_db": "orders",
        "pandas_generation_prompt_type": "generation",
        "generated_sql_query": ["SELECT 1"],
        "sql_execution_result": ["[(1,)]"],
        "save_path": "/tmp/chart.png",
    }
    state.update(changes)
    return state


def picker_prompt(value):
    db = types.SimpleNamespace(dialect="sqlite")
    node = nodewright.RelevantTableNames(db, FakeChatModel())
    return node.generate_prompt(node_state(rewritten_question=value))


def analysis_prompt(value):
    node = nodewright.PandasGenerator(model=FakeChatModel())
    return node.generate_prompt(node_state(rewritten_question=value))


def analysis_mode(value):
    node = nodewright.PandasGenerator(model=FakeChatModel())
    return node.generate_prompt(node_state(pandas_generation_prompt_type=value))


def execution(value):
    db = types.SimpleNamespace(run=lambda **_: value)
    return nodewright.SQLExecution(db=db).invoke(node_state())


def route(value):
    return nodewright.sql_execution_condition({"execution_success": value})


def retry_route(value):
    return nodewright.sql_error_handler_condition(
        {"iteration_count": 0, "max_iterations": 5, "rewrite_count": value}
    )


def configuration_check(value, monkeypatch):
    monkeypatch.setattr(dbkeeper, "db_user", value)
    return dbkeeper.check_db_config_variables()


@pytest.mark.parametrize(
    "use",
    [picker_prompt, analysis_prompt, analysis_mode, execution, route, retry_route],
    ids=lambda use: use.__name__,
)
def test_a_failing_truth_or_equality_raises_its_own_error(use):
    with pytest.raises(ZeroDivisionError, match="no (truth|equality) here"):
        use(NoTruth())


def test_a_failing_equality_in_the_settings_check_raises(monkeypatch):
    with pytest.raises(ZeroDivisionError, match="no equality here"):
        configuration_check(NoTruth(), monkeypatch)
