"""GenerateResponse: the exact prompt, the printed and logged lines, and the returned update."""

from __future__ import annotations

import pytest
from loguru import logger  # noqa: E402
from quorlix.querymesh import nodewright
from support.chat_fakes import FakeChatModel


@pytest.fixture
def texts(monkeypatch):
    """Known context texts in place of the ones read at import."""
    values = {"context_prompt": "<context>", "custom_instructions": "<instructions>"}
    monkeypatch.setattr(nodewright, "current_values", values)
    monkeypatch.setattr(nodewright, "final_node_prompt", "<rules>")
    return values


@pytest.fixture
def log_lines():
    lines: list[str] = []
    sink = logger.add(lambda message: lines.append(message.record["message"]), level="INFO")
    yield lines
    logger.remove(sink)


STATE = {
    "user_question": "Which city ordered most?",
    "generated_sql_query": ["SELECT x", "SELECT city FROM orders"],
    "sql_execution_result": ["Error: no column x", "[('Dublin', 2)]"],
    "pandas_code": "print('Dublin')",
    "python_executed_output": "Dublin\n",
}

EXPECTED_PROMPT = (
    "User question: Which city ordered most?\n"
    "SQL query: ['SELECT x', 'SELECT city FROM orders']\n"
    "SQL query result: [('Dublin', 2)]\n"
    "Python code: print('Dublin')\n"
    "Python executed result: Dublin\n\n"
    "Use the above result to address user's question. \n"
    "use context and instructions below from the user to present your answer in the best way."
    "Only the anwer part<rules>use context and instructions below<context><instructions>"
)


def test_prompt_printed_lines_log_lines_and_update(texts, log_lines, capsys):
    model = FakeChatModel(dict(final_response="Dublin ordered most.", image_path="/tmp/c.png"))
    node = nodewright.GenerateResponse(model=model)

    update = node.invoke(dict(STATE), extra="ignored")

    assert model.schemas == [nodewright.GenerationOutput]
    assert model.prompts == [EXPECTED_PROMPT]
    assert list(update.items()) == [
        ("final_response", "Dublin ordered most."),
        ("image_path", "/tmp/c.png"),
    ]
    printed = capsys.readouterr().out
    assert printed == (
        "hahahaha : <instructions>\n" + "General Response prompt: " + EXPECTED_PROMPT + "\n"
    )
    assert log_lines[0] == "Enter generate response"
    assert log_lines[1].startswith("Finish generating response, took ")
    assert float(log_lines[1].rsplit(" ", 1)[1]) >= 0
    assert len(log_lines) == 2


@pytest.mark.parametrize(
    ("answer", "image_path"),
    [({"final_response": "No chart."}, ""), ({"final_response": "x", "image_path": None}, None)],
)
def test_image_path_is_always_in_the_update(texts, answer, image_path):
    update = nodewright.GenerateResponse(model=FakeChatModel(answer)).invoke(dict(STATE))
    assert update == {"final_response": answer["final_response"], "image_path": image_path}


def test_module_texts_are_read_at_every_call(texts, monkeypatch):
    model = FakeChatModel(dict(final_response="ok"))
    node = nodewright.GenerateResponse(model=model)
    node.invoke(dict(STATE))
    monkeypatch.setattr(nodewright, "final_node_prompt", "<new rules>")
    texts["context_prompt"] = "<new context>"
    node.invoke(dict(STATE))
    assert "part<new rules>use context and instructions below<new context>" in model.prompts[1]


@pytest.mark.parametrize(
    ("name", "replacement", "expected"),
    [
        ("_RESPONSE_RESULTS", "Q: {}|{}|{}|{}|{}", "Q: Which city ordered most?|['SELECT x', "),
        ("_RESPONSE_RULES_LEAD_IN", "<lead-in>", "executed result: Dublin\n\n<lead-in><rules>"),
        ("_RESPONSE_CONTEXT_LEAD_IN", "<below>", "<rules><below><context><instructions>"),
    ],
)
def test_the_modules_own_texts_are_read_at_every_call(
    texts, monkeypatch, name, replacement, expected
):
    model = FakeChatModel(dict(final_response="ok"))
    node = nodewright.GenerateResponse(model=model)
    node.invoke(dict(STATE))
    monkeypatch.setattr(nodewright, name, replacement)
    node.invoke(dict(STATE))
    assert model.prompts[0] == EXPECTED_PROMPT
    assert expected in model.prompts[1]


def test_a_text_missing_from_the_module_fails_the_answer_as_python_would(texts, monkeypatch):
    monkeypatch.delattr(nodewright, "_RESPONSE_CONTEXT_LEAD_IN")
    model = FakeChatModel(dict(final_response="unused"))
    with pytest.raises(NameError, match="^name '_RESPONSE_CONTEXT_LEAD_IN' is not defined$"):
        nodewright.GenerateResponse(model=model).invoke(dict(STATE))
    assert model.prompts == []


@pytest.mark.parametrize(
    ("change", "error"),
    [
        ({"sql_execution_result": []}, IndexError),
        ({"pandas_code": "absent"}, KeyError),
        ({"final_node_prompt": 7}, TypeError),
        ({"custom_instructions": None}, TypeError),
    ],
)
def test_failures_propagate_after_the_first_printed_line(texts, monkeypatch, capsys, change, error):
    state = dict(STATE)
    if "sql_execution_result" in change:
        state.update(change)
    if "pandas_code" in change:
        del state["pandas_code"]
    if "final_node_prompt" in change:
        monkeypatch.setattr(nodewright, "final_node_prompt", change["final_node_prompt"])
    if "custom_instructions" in change:
        texts["custom_instructions"] = None
    model = FakeChatModel(dict(final_response="unused"))

    with pytest.raises(error):
        nodewright.GenerateResponse(model=model).invoke(state)

    assert model.prompts == []
    assert capsys.readouterr().out.startswith("hahahaha : ")
