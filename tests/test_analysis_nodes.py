"""The analysis-code nodes: prompts of both modes, the correction text, and running programs."""

from __future__ import annotations

import pytest
from langchain_core.prompts import (  # noqa: E402
    ChatPromptTemplate,
    HumanMessagePromptTemplate,
    SystemMessagePromptTemplate,
)
from quorlix.querymesh import nodewright
from quorlix.querymesh.querymesh_prompts import (  # noqa: E402
    PANDAS_HUMAN_TEMPLATE,
    PANDAS_SYSTEM_TEMPLATE,
)
from support.chat_fakes import FakeChatModel

CORRECTION_TEXT = (
    "The user asked the following question:\n"
    "            {user_question}\n\n"
    "            You generated this python code:\n"
    "            {python_code}\n\n"
    "            It fails with the following error:\n"
    "            {error}\n\n"
    "            Fix the python code above and return the new python code:"
)


def state(**changes) -> dict:
    base = {
        "user_question": "How many orders per city?",
        "rewritten_question": "",
        "pandas_generation_prompt_type": "generation",
        "generated_sql_query": ["SELECT 1", "SELECT city, COUNT(*) FROM orders GROUP BY city"],
        "sql_execution_result": ["Error: no such column", "[('Dublin', 2)]"],
        "save_path": "/tmp/chart.png",
        "pandas_code": "print(rows[0])",
        "python_error_message": "NameError: name 'rows' is not defined",
    }
    base.update(changes)
    return base


@pytest.mark.parametrize(
    ("rewritten", "shown"),
    [
        ("", "How many orders per city?"),
        (None, "How many orders per city?"),
        ("Per city?", "Per city?"),
    ],
)
@pytest.mark.parametrize("results", [2, 1])
def test_generation_prompt_renders_the_pandas_templates(rewritten, shown, results):
    values = state(rewritten_question=rewritten)
    values["sql_execution_result"] = values["sql_execution_result"][:results]
    generator = nodewright.PandasGenerator(model=FakeChatModel({"code": "print('fixed')"}))

    messages = generator.generate_prompt(values)

    expected = ChatPromptTemplate.from_messages(
        [
            SystemMessagePromptTemplate.from_template(
                PANDAS_SYSTEM_TEMPLATE, template_format="jinja2"
            ),
            HumanMessagePromptTemplate.from_template(
                PANDAS_HUMAN_TEMPLATE, template_format="jinja2"
            ),
        ]
    ).format_messages(
        original_question=shown,
        zipped_queries_results=list(
            zip(values["generated_sql_query"], values["sql_execution_result"], strict=False)
        ),
        save_path="/tmp/chart.png",
    )
    assert messages == expected
    assert shown in messages[1].content
    # The second query has no result when only one was kept, so it is left out.
    assert ("GROUP BY city" in messages[1].content) is (results == 2)


@pytest.mark.parametrize(("rewritten", "shown"), [("", "Q?"), ("Better Q?", "Better Q?")])
def test_both_nodes_send_the_same_exact_correction_text(rewritten, shown):
    values = state(
        pandas_generation_prompt_type="correction", user_question="Q?", rewritten_question=rewritten
    )
    expected = CORRECTION_TEXT.format(
        user_question=shown,
        python_code="print(rows[0])",
        error="NameError: name 'rows' is not defined",
    )
    generator_model, correction_model = (
        FakeChatModel({"code": "a = 1"}),
        FakeChatModel({"code": "b = 2"}),
    )

    assert nodewright.PandasGenerator(model=generator_model).invoke(values) == {
        "pandas_code": "a = 1"
    }
    assert nodewright.PandasCorrection(model=correction_model).invoke(values, extra=1) == {
        "pandas_code": "b = 2"
    }
    assert generator_model.prompts == [expected]
    assert correction_model.prompts == [expected]
    assert generator_model.schemas == correction_model.schemas == [nodewright.PythonCodeInput]


def test_generation_mode_reaches_the_model_as_messages():
    model = FakeChatModel({"code": "print(1)"})
    update = nodewright.PandasGenerator(model=model).invoke(state(), config={"ignored": True})
    assert update == {"pandas_code": "print(1)"}
    assert [message.type for message in model.prompts[0]] == ["system", "human"]


@pytest.mark.parametrize("mode", ["Generation", "", "corrections", None])
def test_an_unknown_prompt_mode_is_refused_naming_both_modes(mode):
    model = FakeChatModel({"code": "print('fixed')"})
    with pytest.raises(ValueError, match="'generation' or 'correction'"):
        nodewright.PandasGenerator(model=model).invoke(state(pandas_generation_prompt_type=mode))
    assert model.prompts == []


def test_prompt_constants_are_looked_up_when_a_node_is_built(monkeypatch):
    monkeypatch.setattr(nodewright, "PANDAS_HUMAN_TEMPLATE", "Only {{ original_question }}")
    messages = nodewright.PandasGenerator(
        model=FakeChatModel({"code": "print('fixed')"})
    ).generate_prompt(state())
    assert messages[1].content == "Only How many orders per city?"


@pytest.mark.parametrize(
    ("program", "expected"),
    [
        ("", {"python_executed_output": "", "python_execution_success": True}),
        (
            "print(datetime.date(2024, 2, 29) + datetime.timedelta(days=1))\nprint('done')",
            {"python_executed_output": "2024-03-01\ndone\n", "python_execution_success": True},
        ),
        (
            "print('lost')\nraise ValueError('bad value')",
            {"python_execution_success": False, "python_error_message": "ValueError: bad value"},
        ),
        (
            "raise RuntimeError()",
            {"python_execution_success": False, "python_error_message": "RuntimeError: "},
        ),
        (
            "pd.DataFrame()",
            {
                "python_execution_success": False,
                "python_error_message": "NameError: name 'pd' is not defined",
            },
        ),
        (
            "print(",
            {
                "python_execution_success": False,
                "python_error_message": "SyntaxError: '(' was never closed (<unknown>, line 1)",
            },
        ),
        # A program that closes its capture buffer is a failing program, not a node crash.
        (
            "import sys\nsys.stdout.close()",
            {
                "python_execution_success": False,
                "python_error_message": "ValueError: I/O operation on closed file",
            },
        ),
    ],
    ids=[
        "empty",
        "datetime",
        "prints-then-raises",
        "no-message",
        "pandas-not-imported",
        "syntax",
        "closed",
    ],
)
def test_executor_reports_output_or_the_failure(program, expected, capsys):
    executor = nodewright.PandasExecutor(model=None)

    assert executor.invoke({"pandas_code": program}) == expected
    print("after the run")
    assert capsys.readouterr().out == "after the run\n"


def test_executor_gives_each_run_a_fresh_namespace():
    executor = nodewright.PandasExecutor(model=None)
    assert executor.invoke({"pandas_code": "leftover = 1"})["python_execution_success"] is True
    update = executor.invoke({"pandas_code": "print(leftover)"})
    assert update["python_error_message"] == "NameError: name 'leftover' is not defined"


@pytest.mark.parametrize(
    ("program", "escaping"),
    [("raise SystemExit(3)", SystemExit), ("raise KeyboardInterrupt", KeyboardInterrupt)],
)
def test_requests_to_stop_propagate_after_the_capture_ends(program, escaping, capsys):
    with pytest.raises(escaping):
        nodewright.PandasExecutor(model=None).invoke({"pandas_code": "print('x')\n" + program})
    print("after the run")
    assert capsys.readouterr().out == "after the run\n"


def test_output_of_another_thread_is_not_captured(capsys):
    program = (
        "import threading\n"
        "worker = threading.Thread(target=print, args=('from the host',))\n"
        "worker.start()\n"
        "worker.join()\n"
        "print('from the program')"
    )
    update = nodewright.PandasExecutor(model=None).invoke({"pandas_code": program})
    assert update["python_executed_output"] == "from the program\n"
    assert capsys.readouterr().out == "from the host\n"
