"""Team knowledge in whole graph runs against the stub model: where its section shows, that a
run without knowledge sends the nodes' own prompts byte for byte, and that concurrent runs each
see only their own."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor

import pytest
from graph_scripts import ANALYSIS_PROGRAM, BROKEN_SQL, CITY_ORDERS_SQL, Responder, script
from langchain_community.utilities.sql_database import SQLDatabase
from quorlix.knowledge import applied
from quorlix.knowledge.records import GlossaryEntry, VerifiedExample
from quorlix.knowledge.retrieval import retrieve
from quorlix.knowledge.store import Knowledge
from quorlix.prompts.reference import CLOSING
from quorlix.querymesh.nodewright import SQLGeneration

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

QUESTION = "Which city placed the most orders?"
# Braces of both template languages: knowledge is a value in the prompts, never a template.
NOTES = "count every status {dialect} {{ 7 * 7 }}"
EXAMPLE = VerifiedExample(
    "Which city has the most orders?", CITY_ORDERS_SQL, "db", notes=NOTES, id=7
)
CITY = GlossaryEntry("city", "Where the customer lives, as stored in customers.city", "db", id=3)
UNRELATED = Knowledge(examples=(VerifiedExample("Weather today?", "SELECT 1", "db", id=1),))


def inputs(tmp_path, question: str = QUESTION) -> dict:
    return {
        "user_question": question,
        "save_path": str(tmp_path / "c.png"),
        "max_iterations_pandas": 1,
        "python_executed_output": "",
        "pandas_code": "",
    }


def joined(messages) -> str:
    return "\n".join(str(message.content) for message in messages)


@pytest.mark.parametrize(
    "knowledge", [None, Knowledge(), UNRELATED], ids=["no context", "empty", "no match"]
)
def test_without_knowledge_the_nodes_own_prompts_are_sent_byte_for_byte(
    build_graph, sqlite_sample_db, stub_llm, tmp_path, knowledge
):
    responder = script(stub_llm, Responder([CITY_ORDERS_SQL], [ANALYSIS_PROGRAM]))
    graph = build_graph(sqlite_sample_db.url)
    retrieved = retrieve(knowledge, QUESTION) if knowledge is not None else None

    with applied(retrieved):
        final = graph.invoke(inputs(tmp_path))

    tables = responder.tables
    own_sql_prompt = SQLGeneration(db=graph.db, model=graph.sql_generation_model).generate_messages(
        {
            "sql_generation_prompt_type": "generation",
            "user_question": QUESTION,
            # The base class's text: the description alone, as before knowledge existed.
            "schemas_from_relevant_tables": SQLDatabase.get_table_info_no_throw(graph.db, tables),
        }
    )
    own_table_prompt = graph.relevant_table_picker.node.generate_prompt(final)
    assert responder.prompts["SQLQueryInput"] == [joined(own_sql_prompt)]
    assert responder.prompts["RelevantTablesOutput"] == [joined(own_table_prompt)]


def test_the_section_reaches_table_choice_sql_generation_and_correction_only(
    build_graph, sqlite_sample_db, stub_llm, tmp_path
):
    responder = script(stub_llm, Responder([BROKEN_SQL, CITY_ORDERS_SQL], [ANALYSIS_PROGRAM]))
    graph = build_graph(sqlite_sample_db.url)
    retrieved = retrieve(Knowledge(examples=(EXAMPLE,), glossary=(CITY,)), QUESTION)

    with applied(retrieved):
        graph.invoke(inputs(tmp_path))

    assert [example.id for example in retrieved.examples] == [7]
    assert [entry.id for entry in retrieved.terms] == [3]
    shown = {
        kind: [prompt.count(retrieved.section) for prompt in prompts]
        for kind, prompts in responder.prompts.items()
    }
    assert shown.pop("RelevantTablesOutput") == [1]
    assert shown.pop("SQLQueryInput") == [1, 1]  # the first attempt and the correction
    # The SQL review, the analysis program and the answer are not given it.
    assert set(shown) == {"review", "PythonCodeInput", "GenerationOutput"}
    assert {count for counts in shown.values() for count in counts} == {0}
    generation, correction = responder.prompts["SQLQueryInput"]
    assert generation.endswith(CLOSING)
    assert f"    {NOTES}\n" in generation and f"    {NOTES}\n" in correction


def test_concurrent_runs_each_see_only_their_own_knowledge(
    build_graph, sqlite_sample_db, stub_llm, tmp_path
):
    runs = 6
    responder = script(stub_llm, Responder([CITY_ORDERS_SQL], [ANALYSIS_PROGRAM]), runs * 8)
    graph = build_graph(sqlite_sample_db.url)

    def run(number: int) -> None:
        tag = f"tag{number}x"
        example = VerifiedExample(f"Orders of {tag}?", f"SELECT '{tag}'", "db", id=number)
        with applied(retrieve(Knowledge(examples=(example,)), f"Orders of {tag}?")):
            graph.invoke(inputs(tmp_path, f"Orders of {tag}?"))

    with ThreadPoolExecutor(max_workers=3) as pool:
        list(pool.map(run, range(runs)))

    prompts = responder.prompts["SQLQueryInput"] + responder.prompts["RelevantTablesOutput"]
    assert len(prompts) == 2 * runs
    for prompt in prompts:
        asked = prompt.split("Orders of ")[1][:5]
        assert prompt.count("tag") == prompt.count(asked) == 3  # question, example, its SQL
