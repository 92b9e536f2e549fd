"""Prompt texts render with exactly what their call sites supply; user context file loading."""

import ast
import re
import subprocess
import sys

import pytest
from jinja2 import meta
from jinja2.sandbox import SandboxedEnvironment
from langchain_core.prompts import (
    ChatPromptTemplate,
    HumanMessagePromptTemplate,
    SystemMessagePromptTemplate,
)
from quorlix.prompts import context
from quorlix.prompts.context import ContextFileError, read_values
from quorlix.prompts.final_step_prompt import final_node_prompt
from quorlix.querymesh import querymesh_prompts as prompts

PROMPT_NAMES = (
    "SQL_PREFIX",
    "GET_RELEVANT_TABLE_NAMES_TEMPLATE",
    "TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE",
    "REWRITE_QUESTION_TEMPLATE",
    "CORRECT_SQL_TEMPLATE",
    "PANDAS_SYSTEM_TEMPLATE",
    "PANDAS_HUMAN_TEMPLATE",
)
STATE_KEYS = (
    "user_question follow_up_question schemas_from_relevant_tables table_names_from_db "
    "relevant_tables generated_sql_query sql_generation_prompt_type execution_success "
    "execution_error sql_execution_result pandas_code use_pandas_ai_flag image_path "
    "python_executed_output save_path final_response iteration_count iteration_count_pandas "
    "rewrite_count rewritten_question max_iterations max_iterations_pandas "
    "python_execution_success python_error_message pandas_generation_prompt_type"
).split()
LEFTOVER = re.compile(r"\{\{|\}\}|\{%|%\}|\{#|\{[a-z_]+\}")

QUESTION = "Which 3 customers spent most in 2023?"
SCHEMA = 'CREATE TABLE "Orders" (id INTEGER, total NUMERIC) /* {"note": 1} */'
QUERIES = ["SELECT nme FROM customers", "SELECT name FROM customers WHERE x = 'A'", "SELECT 1"]
OUTCOMES = ["(sqlite3.OperationalError) no such column: nme", "None"]


def correction_state(**extra):
    state = {key: None for key in STATE_KEYS}
    state.update(
        user_question=QUESTION,
        schemas_from_relevant_tables=SCHEMA,
        table_names_from_db="orders, customers",
        generated_sql_query=list(QUERIES),
        sql_execution_result=list(OUTCOMES),
        sql_generation_prompt_type="correction",
        rewritten_question="",
        **extra,
    )
    return state


def jinja_names(template):
    return meta.find_undeclared_variables(SandboxedEnvironment().parse(template))


def assert_rendered(text):
    assert not LEFTOVER.search(text.replace(SCHEMA, "")), text


# --- the module itself -----------------------------------------------------------------------


def test_star_import_provides_every_prompt_text():
    namespace = {}
    exec("from quorlix.querymesh.querymesh_prompts import *", namespace)
    for name in PROMPT_NAMES:
        assert isinstance(namespace[name], str) and namespace[name].strip()


def test_importing_the_package_and_prompts_stays_light():
    code = (
        "import sys, quorlix, quorlix.querymesh, quorlix.querymesh.querymesh_prompts, "
        "quorlix.prompts.context, quorlix.prompts.final_step_prompt\n"
        "heavy = [m for m in sys.modules if m.split('.')[0] in "
        "('langchain_core', 'langchain_openai', 'langgraph', 'pydantic')"
        " or m.startswith('quorlix.querymesh.nodewright')]\n"
        "print(heavy)"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True, env=None
    )
    assert out.stdout.strip() == "[]"


# --- brace templates ---------------------------------------------------------------------------


def table_choice_prompt():
    return ChatPromptTemplate.from_messages(
        [
            SystemMessagePromptTemplate.from_template(prompts.SQL_PREFIX),
            HumanMessagePromptTemplate.from_template(prompts.GET_RELEVANT_TABLE_NAMES_TEMPLATE),
        ]
    )


def test_table_choice_prompt_uses_only_supplied_names():
    supplied = {"dialect", "user_question", "table_names_from_db"}
    assert set(table_choice_prompt().input_variables) <= supplied


def test_table_choice_prompt_renders_with_its_three_values():
    system, human = table_choice_prompt().format_messages(
        dialect="postgresql", user_question=QUESTION, table_names_from_db="orders, customers"
    )
    assert "postgresql" in system.content
    assert QUESTION in human.content and "orders, customers" in human.content
    assert_rendered(system.content)
    assert_rendered(human.content + prompts.TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE)


def test_sql_prefix_renders_in_the_correction_call():
    state = correction_state(unexpected_key="whatever")
    (system,) = SystemMessagePromptTemplate.from_template(prompts.SQL_PREFIX).format_messages(
        dialect="mssql", zipped_queries_errors=list(zip(QUERIES, OUTCOMES, strict=False)), **state
    )
    assert "mssql" in system.content
    assert_rendered(system.content)


def test_rewrite_prompt_renders_with_its_two_values():
    template = SystemMessagePromptTemplate.from_template(prompts.REWRITE_QUESTION_TEMPLATE)
    assert set(template.input_variables) <= {"user_question", "schemas_from_all_tables"}
    (message,) = ChatPromptTemplate.from_messages([template]).format_messages(
        user_question=QUESTION, schemas_from_all_tables=SCHEMA
    )
    # Values are inserted once; braces inside the schema text must survive untouched.
    assert SCHEMA in message.content and QUESTION in message.content
    assert_rendered(message.content)


def test_brace_templates_fail_loudly_without_their_values():
    with pytest.raises(KeyError):
        table_choice_prompt().format_messages(dialect="sqlite", user_question=QUESTION)


# --- jinja2 templates --------------------------------------------------------------------------


def correction_prompt():
    return ChatPromptTemplate.from_messages(
        [
            SystemMessagePromptTemplate.from_template(prompts.SQL_PREFIX),
            HumanMessagePromptTemplate.from_template(
                prompts.CORRECT_SQL_TEMPLATE, template_format="jinja2"
            ),
        ]
    )


def test_correction_template_uses_only_supplied_names():
    supplied = {"dialect", "zipped_queries_errors", *STATE_KEYS}
    assert jinja_names(prompts.CORRECT_SQL_TEMPLATE) <= supplied


def test_correction_prompt_shows_every_attempt_and_outcome():
    state = correction_state(unexpected_key="whatever")
    zipped = list(zip(QUERIES[:2], OUTCOMES, strict=True))
    _, human = correction_prompt().format_messages(
        dialect="sqlite", zipped_queries_errors=zipped, **state
    )
    text = human.content
    assert QUESTION in text and SCHEMA in text and "sqlite" in text
    assert QUERIES[0] in text and OUTCOMES[0] in text and QUERIES[1] in text
    assert QUERIES[2] not in text  # it has no outcome yet, so it is not an attempt
    assert "no rows" in text  # the "None" outcome is explained, not shown bare
    assert text.index(QUERIES[0]) < text.index(OUTCOMES[0]) < text.index(QUERIES[1])
    assert_rendered(text)


def test_correction_prompt_shows_a_rewritten_question_only_when_there_is_one():
    zipped = list(zip(QUERIES, OUTCOMES, strict=False))
    template = correction_prompt()
    _, plain = template.format_messages(
        dialect="sqlite", zipped_queries_errors=zipped, **correction_state()
    )
    state = correction_state()
    state["rewritten_question"] = "Top 3 customers.name by SUM(orders.total) in 2023"
    _, rewritten = template.format_messages(dialect="sqlite", zipped_queries_errors=zipped, **state)
    assert state["rewritten_question"] in rewritten.content
    assert "Restated" not in plain.content


def pandas_prompt():
    return ChatPromptTemplate.from_messages(
        [
            SystemMessagePromptTemplate.from_template(
                prompts.PANDAS_SYSTEM_TEMPLATE, template_format="jinja2"
            ),
            HumanMessagePromptTemplate.from_template(
                prompts.PANDAS_HUMAN_TEMPLATE, template_format="jinja2"
            ),
        ]
    )


def test_pandas_templates_use_only_supplied_names():
    supplied = {"original_question", "zipped_queries_results", "save_path"}
    assert jinja_names(prompts.PANDAS_SYSTEM_TEMPLATE) <= supplied
    assert jinja_names(prompts.PANDAS_HUMAN_TEMPLATE) <= supplied


RESULTS = ["(sqlite3.OperationalError) no such column: nme", "[('Ann', 120.5), ('Bo', 99.0)]"]


def test_pandas_prompt_renders_question_queries_and_results():
    system, human = pandas_prompt().format_messages(
        original_question=QUESTION,
        zipped_queries_results=list(zip(QUERIES[:2], RESULTS, strict=True)),
        save_path="/tmp/run-1/chart.png",
        unexpected_key="whatever",
    )
    assert QUESTION in human.content
    for piece in (*QUERIES[:2], *RESULTS):
        assert piece in human.content
    assert human.content.index(QUERIES[1]) < human.content.index(RESULTS[1])
    assert_rendered(system.content)
    assert_rendered(human.content)


@pytest.mark.parametrize("path", ["/tmp/run-1/chart.png", r"C:\charts\it's a \"chart\".png"])
def test_save_path_reaches_the_model_as_a_valid_python_literal(path):
    system, _ = pandas_prompt().format_messages(
        original_question=QUESTION, zipped_queries_results=[], save_path=path
    )
    line = next(ln for ln in system.content.splitlines() if "save_path = " in ln)
    literal = line.split("save_path = ", 1)[1].strip()
    assert ast.literal_eval(literal) == path
    assert "plt.savefig(save_path" in system.content


def test_pandas_prompt_without_save_path_asks_for_no_chart():
    system, human = pandas_prompt().format_messages(
        original_question=QUESTION, zipped_queries_results=[], save_path=""
    )
    assert "savefig" not in system.content
    assert "chart" not in human.content
    assert_rendered(system.content)


def test_pandas_templates_accept_follow_up_triples():
    # The executor's prompt method zips (follow-up question, query, result) triples.
    triples = [("And per month?", QUERIES[1], RESULTS[1])]
    (message,) = ChatPromptTemplate.from_messages(
        [
            HumanMessagePromptTemplate.from_template(
                prompts.PANDAS_SYSTEM_TEMPLATE, template_format="jinja2"
            )
        ]
    ).format_messages(original_question=QUESTION, zipped_queries_results=triples, save_path="p.png")
    assert_rendered(message.content)
    _, human = pandas_prompt().format_messages(
        original_question=QUESTION, zipped_queries_results=triples, save_path="p.png"
    )
    text = human.content
    assert "And per month?" in text
    assert text.index("And per month?") < text.index(QUERIES[1]) < text.index(RESULTS[1])


# --- final answer texts ------------------------------------------------------------------------


def test_final_answer_pieces_join_as_plain_text(monkeypatch):
    monkeypatch.delenv(context.CONTEXT_FILE_VARIABLE, raising=False)
    values = read_values()
    prompt = "...Only the anwer part" + final_node_prompt + "use context and instructions below"
    prompt += values["context_prompt"] + values["custom_instructions"]
    assert "image_path" in final_node_prompt
    assert "part\n" in prompt and "below\n" in prompt  # no words run into each other


# --- the user's context file ---------------------------------------------------------------


def test_defaults_without_a_context_file(monkeypatch):
    monkeypatch.delenv(context.CONTEXT_FILE_VARIABLE, raising=False)
    assert read_values() == {
        "context_prompt": context.context_prompt,
        "custom_instructions": context.custom_instructions,
    }
    monkeypatch.setenv(context.CONTEXT_FILE_VARIABLE, "  ")
    assert read_values()["context_prompt"] == context.context_prompt
    assert isinstance(context.check_instructions, str) and context.check_instructions


def test_context_file_supplies_both_texts(tmp_path, monkeypatch):
    path = tmp_path / "context.toml"
    path.write_text(
        "context = '''\nSales ledger of a furniture shop; amounts in EUR {net}.\n'''\n"
        'instructions = "Answer in German."\n',
        encoding="utf-8",
    )
    monkeypatch.setenv(context.CONTEXT_FILE_VARIABLE, str(path))
    values = read_values()
    assert set(values) == {"context_prompt", "custom_instructions"}
    assert "Sales ledger of a furniture shop; amounts in EUR {net}." in values["context_prompt"]
    assert "Answer in German." in values["custom_instructions"]
    assert context.context_prompt not in values["context_prompt"]


def test_context_file_may_give_one_key_or_blank_one(tmp_path, monkeypatch):
    path = tmp_path / "context.toml"
    path.write_text('instructions = ""\n', encoding="utf-8")
    monkeypatch.setenv(context.CONTEXT_FILE_VARIABLE, str(path))
    assert read_values() == {"context_prompt": context.context_prompt, "custom_instructions": ""}


@pytest.mark.parametrize(
    ("content", "problem"),
    [
        ("context = 'unclosed\n", "not valid TOML"),
        ("context = 3\n", "'context'"),
        ("instruction = 'typo'\n", "'instruction'"),
        (b"context = '\xff\xfe'\n", "UTF-8"),
    ],
)
def test_malformed_context_file_is_explained(tmp_path, monkeypatch, content, problem):
    path = tmp_path / "context.toml"
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content, encoding="utf-8")
    monkeypatch.setenv(context.CONTEXT_FILE_VARIABLE, str(path))
    with pytest.raises(ContextFileError) as caught:
        read_values()
    message = str(caught.value)
    assert str(path) in message and problem in message
    assert context.CONTEXT_FILE_VARIABLE in message


@pytest.mark.parametrize("kind", ["missing", "directory"])
def test_unreadable_context_file_is_explained(tmp_path, monkeypatch, kind):
    path = tmp_path / "nowhere.toml"
    if kind == "directory":
        path.mkdir()
    monkeypatch.setenv(context.CONTEXT_FILE_VARIABLE, str(path))
    with pytest.raises(ContextFileError) as caught:
        read_values()
    assert str(path) in str(caught.value)
    assert "does not exist" in str(caught.value) or "directory" in str(caught.value)
