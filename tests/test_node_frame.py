"""What the node module sets up when it is imported: records, prompt texts, imported names."""

import types

import matplotlib
import pytest
from langchain_core.prompts import ChatPromptTemplate
from pydantic import ValidationError
from quorlix.querymesh import nodewright
from support.chat_fakes import FakeChatModel

RECORDS = {
    "RelevantTablesOutput": [("relevant_tables", "List of relevant table names")],
    "RewriteQueryOutput": [("rewritten_question", "Rewritten question")],
    "PandasCodeOutput": [
        (
            "pandas_ai",
            "Whether question should answer by using pandas_ai or not. In case, the answer can "
            "derive directly from sql_execution_result, False. If the answer involves "
            "analysis/plotting/forecast then True.",
        ),
        ("final_answer", "Final answer"),
        ("follow_up_question", "Follow up question"),
    ],
    "PythonCodeInput": [("code", "Python code to be executed")],
    "SQLQueryInput": [("sql_query", "SQL query string to be executed")],
    "GenerationOutput": [
        ("image_path", "image path generated if exists in context"),
        ("final_response", "final response"),
    ],
}


@pytest.mark.parametrize("name", RECORDS)
def test_records_carry_their_field_descriptions_in_order(name):
    record = getattr(nodewright, name)
    assert record.__module__ == "quorlix.querymesh.nodewright"
    assert issubclass(record, nodewright.BaseModel)
    schema = record.model_json_schema()
    assert [(f, schema["properties"][f]["description"]) for f in schema["properties"]] == RECORDS[
        name
    ]


def test_record_types_and_defaults():
    assert nodewright.GenerationOutput(final_response="x").image_path == ""
    assert nodewright.GenerationOutput(final_response="x", image_path=None).image_path is None
    assert nodewright.RelevantTablesOutput(relevant_tables=["a"]).relevant_tables == ["a"]
    with pytest.raises(ValidationError):
        nodewright.RelevantTablesOutput(relevant_tables="a")
    with pytest.raises(ValidationError):
        nodewright.PandasCodeOutput(pandas_ai=True, final_answer=True)
    with pytest.raises(ValidationError):
        nodewright.GenerationOutput()


def test_sql_system_text_is_exact():
    role, text = nodewright._SQL_SYSTEM_MESSAGE
    lines = text.split("\n")
    assert role == "system" and len(text) == 1244 and len(lines) == 14
    assert lines[0] == "You are an agent designed to interact with a SQL database."
    assert lines[8] == "" and lines[10] == ""
    assert lines[12] == lines[13] == " " * 20
    assert all(line.startswith(" " * 20) for i, line in enumerate(lines[1:], 1) if i not in (8, 10))
    assert lines[11].strip() == (
        'If the question does not seem related to the database, just return "I don\'t know" as '
        "the answer."
    )


def test_sql_messages_format_only_their_placeholders():
    template = ChatPromptTemplate.from_messages(
        [nodewright._SQL_SYSTEM_MESSAGE, nodewright._SQL_USER_MESSAGE]
    )
    system, user = template.format_messages(
        dialect="sqlite", user_question="How many?", schemas_from_relevant_tables="CREATE TABLE t"
    )
    assert system.content == nodewright._SQL_SYSTEM_MESSAGE[1].replace("{dialect}", "sqlite")
    assert user.content == "How many?\n Schemas_from_relevant_tables: CREATE TABLE t"


SQL_DB = types.SimpleNamespace(dialect="sqlite")
FIRST_SQL_ATTEMPT = {
    "sql_generation_prompt_type": "generation",
    "user_question": "How many?",
    "schemas_from_relevant_tables": "CREATE TABLE t",
}
FAILED_PROGRAM = {
    "user_question": "How many?",
    "rewritten_question": "",
    "pandas_generation_prompt_type": "correction",
    "pandas_code": "1/0",
    "python_error_message": "ZeroDivisionError: division by zero",
}


def first_sql_messages():
    node = nodewright.SQLGeneration(SQL_DB, FakeChatModel())
    return [message.content for message in node.generate_messages(FIRST_SQL_ATTEMPT)]


@pytest.mark.parametrize(
    ("name", "replacement", "prompt", "expected"),
    [
        (
            "_SQL_SYSTEM_MESSAGE",
            ("system", "Write {dialect}."),
            first_sql_messages,
            ["Write sqlite.", "How many?\n Schemas_from_relevant_tables: CREATE TABLE t"],
        ),
        (
            "_SQL_USER_MESSAGE",
            ("user", "Q={user_question}"),
            lambda: first_sql_messages()[1],
            "Q=How many?",
        ),
        (
            "_PANDAS_CORRECTION_PROMPT",
            "{error} in {python_code} for {user_question}",
            lambda: nodewright.PandasGenerator(FakeChatModel()).generate_prompt(FAILED_PROGRAM),
            "ZeroDivisionError: division by zero in 1/0 for How many?",
        ),
        (
            "_PANDAS_CORRECTION_PROMPT",
            "fix {python_code}",
            lambda: nodewright.PandasCorrection(FakeChatModel()).generate_prompt(FAILED_PROGRAM),
            "fix 1/0",
        ),
    ],
)
def test_the_modules_own_texts_replaced_at_run_time_reach_nodes_built_after(
    monkeypatch, name, replacement, prompt, expected
):
    monkeypatch.setattr(nodewright, name, replacement)
    assert prompt() == expected


def test_import_time_effects():
    assert matplotlib.get_backend().lower() == "agg"
    assert set(nodewright.current_values) >= {"context_prompt", "custom_instructions"}
    for name in [
        "SQL_PREFIX",
        "CORRECT_SQL_TEMPLATE",
        "PANDAS_SYSTEM_TEMPLATE",
        "final_node_prompt",
    ]:
        assert isinstance(getattr(nodewright, name), str)
    for name in ["CustomSQLDatabase", "AzureChatOpenAI", "logger", "SQLAlchemyError", "Runnable"]:
        assert hasattr(nodewright, name)
    assert not hasattr(nodewright, "__all__")


SAMPLES = {
    "RelevantTablesOutput": {"relevant_tables": ["orders", "order_items"]},
    "RewriteQueryOutput": {"rewritten_question": "Revenue per month in 2024?"},
    "PandasCodeOutput": {"pandas_ai": True, "final_answer": False, "follow_up_question": False},
    "PythonCodeInput": {"code": "print(datetime.date(2024, 1, 1))"},
    "SQLQueryInput": {"sql_query": "SELECT COUNT(*) FROM orders"},
    "GenerationOutput": {"image_path": "chart.png", "final_response": "42 orders."},
}


@pytest.mark.parametrize("name", SAMPLES)
@pytest.mark.parametrize(
    ("model_name", "shape"), [("gpt-4o", "json_schema"), ("gpt-35-turbo", "tools")]
)
def test_records_round_trip_through_a_real_chat_model(stub_llm, name, model_name, shape):
    record = getattr(nodewright, name)
    expected = record(**SAMPLES[name])
    stub_llm.reply(SAMPLES[name])
    model = stub_llm.make_chat_model(model=model_name).with_structured_output(record)
    assert model.invoke("question") == expected
    request = stub_llm.last_request()
    assert request.output_mode == shape
    # The schema the model is asked to fill carries the record's name and field descriptions.
    if shape == "json_schema":
        schema = request.body["response_format"]["json_schema"]
        assert schema["name"] == name
        properties = schema["schema"]["properties"]
    else:
        function = request.body["tools"][0]["function"]
        assert function["name"] == name
        properties = function["parameters"]["properties"]
    assert [properties[f]["description"] for f in properties] == [d for _, d in RECORDS[name]]
