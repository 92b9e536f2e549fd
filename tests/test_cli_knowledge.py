"""``quorlix knowledge`` and ``quorlix ask --knowledge`` end to end, in a child process."""

from __future__ import annotations

import json

import pytest
from graph_scripts import schema_name
from quorlix.sample import shop
from support.stub_openai import structured, text
from test_cli import _environment, quorlix

CITY_SQL = "SELECT city, COUNT(*) AS customers FROM customers GROUP BY city"
LINES = [
    {"term": "clientele", "definition": "Our customers", "synonyms": ["clients"]},
    {"question": "How many customers live in each city?", "sql": CITY_SQL, "notes": "all"},
    {"question": "Wipe the orders", "sql": "DELETE FROM orders"},
]


@pytest.fixture
def home(tmp_path):
    home = tmp_path / "home"
    shop.ensure_shop_database(home / "shop.db")
    return home


def write_lines(path, lines) -> str:
    path.write_text("".join(json.dumps(line) + "\n" for line in lines), encoding="utf-8")
    return str(path)


def test_import_keeps_what_the_walls_pass_and_export_gives_it_back(home, tmp_path):
    env = _environment(home)
    source = write_lines(tmp_path / "k.jsonl", LINES)

    imported = quorlix("knowledge", "import", source, env=env, cwd=tmp_path)
    exported = quorlix("knowledge", "export", env=env, cwd=tmp_path)
    listed = quorlix("knowledge", "list", "--json", env=env, cwd=tmp_path)

    assert imported.returncode == 1
    assert "not imported: example 'Wipe the orders'" in imported.stderr
    assert [json.loads(line) for line in exported.stdout.splitlines()] == LINES[:2]
    shown = json.loads(listed.stdout)
    assert shown["database"] == "sample:shop"
    assert [example["question"] for example in shown["examples"]] == [LINES[1]["question"]]


def test_ask_with_a_knowledge_file_names_what_it_used_and_shows_it_to_the_sql_writer(
    stub_azure_env, home, tmp_path
):
    chart = tmp_path / "c.png"
    stub_azure_env.reply(
        structured({"relevant_tables": ["customers"]}),
        structured({"sql_query": CITY_SQL}),
        text(CITY_SQL),
        structured({"code": "print('Dublin')"}),
        structured({"final_response": "Dublin", "image_path": ""}),
    )
    source = write_lines(tmp_path / "k.jsonl", LINES[:2])

    done = quorlix(
        "ask",
        "How many clients are there per city?",
        "--knowledge",
        source,
        "--verbose",
        "--chart",
        str(chart),
        env=_environment(home),
        cwd=tmp_path,
    )

    assert done.returncode == 0, done.stderr
    assert "Knowledge: 1 example and 1 glossary term" in done.stderr
    assert "  example #1: How many customers live in each city?" in done.stderr
    assert "  term: clientele" in done.stderr
    prompts = {schema_name(request): request.prompt_text for request in stub_azure_env.requests}
    for kind in ("RelevantTablesOutput", "SQLQueryInput"):
        assert "REFERENCE MATERIAL" in prompts[kind] and CITY_SQL in prompts[kind]
    assert "REFERENCE MATERIAL" not in prompts["GenerationOutput"]
