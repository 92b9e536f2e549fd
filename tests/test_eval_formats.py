"""Question files of each format on a tiny generated set: read, scored with the real graph and
the stub model; files and options that cannot work are refused with a clear message; queries
are run bounded."""

from __future__ import annotations

import contextlib
import json
import re
import sqlite3
import warnings
from pathlib import Path

import pytest
from quorlix.cli import main
from quorlix.evaluation.compare import Comparison, results_match
from quorlix.evaluation.execute import QueryFailed, fetch_rows
from quorlix.evaluation.formats import load_question_set
from quorlix.evaluation.items import QuestionSetError
from quorlix.evaluation.runner import Evaluator
from quorlix.querymesh.custom_sql import CustomSQLDatabase
from quorlix.settings import AzureOpenAIChat4, AzureOpenAIChat35
from safety_scripts import ByRequest, serve

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

GOLD = "SELECT name FROM pets WHERE legs = 4"
EVIDENCE = "four-legged means legs = 4"


def make_db(path: Path) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    with contextlib.closing(sqlite3.connect(path)) as connection:
        connection.executescript(
            "CREATE TABLE pets (name TEXT, legs INTEGER);"
            "INSERT INTO pets VALUES ('cat', 4), ('dog', 4), ('hen', 2);"
        )
        connection.commit()
    return path


def write_set(folder: Path, kind: str) -> Path:
    item = {"question": "Which pets are four-legged?"}
    if kind == "jsonl":
        make_db(folder / "data" / "pets.db")
        line = {**item, "gold_sql": GOLD, "db": "sqlite:///data/pets.db", "evidence": EVIDENCE}
        path = folder / "set.jsonl"
        path.write_text(json.dumps(line) + "\n", encoding="utf-8")
        return path
    if kind == "spider":
        make_db(folder / "database" / "pets" / "pets.sqlite")
        items = [{**item, "db_id": "pets", "query": GOLD, "query_toks": []}]
    else:
        make_db(folder / "dev_databases" / "pets" / "pets.sqlite")
        items = [
            {
                **item,
                "question_id": 7,
                "db_id": "pets",
                "evidence": EVIDENCE,
                "SQL": GOLD,
                "difficulty": "simple",
            }
        ]
    path = folder / "dev.json"
    path.write_text(json.dumps(items), encoding="utf-8")
    return path


def no_default():
    raise AssertionError("every question names its database")


@pytest.mark.parametrize(
    ("kind", "ident", "difficulty", "hinted"),
    [("jsonl", "1", None, True), ("spider", "1", None, False), ("bird", "7", "simple", True)],
)
def test_each_format_is_read_and_scored(stub_azure_env, tmp_path, kind, ident, difficulty, hinted):
    question_set = load_question_set(write_set(tmp_path, kind), no_default)

    assert question_set.format == kind
    (item,) = question_set.questions
    assert (item.id, item.db_name, item.difficulty) == (ident, "pets", difficulty)
    assert item.gold_sql == GOLD
    assert item.graph_question().endswith(f"\nHint: {EVIDENCE}") is hinted

    serve(stub_azure_env, ByRequest(lambda prompt: GOLD, tables=("pets",)), replies=10)
    make_graph = _graph_maker()
    evaluator = Evaluator(make_graph, Comparison("bird" if kind == "bird" else "spider"))
    try:
        outcome = evaluator.score(item)
    finally:
        evaluator.close()
    assert outcome["verdict"] == "correct", outcome
    assert sorted(outcome["gold_rows"]) == [["cat"], ["dog"]]
    prompts = "\n".join(request.prompt_text for request in stub_azure_env.requests)
    assert (EVIDENCE in prompts) is hinted


def _graph_maker():
    from quorlix.querymesh import querymesh

    return lambda db: querymesh.SQLGraph(db, AzureOpenAIChat35(), AzureOpenAIChat4())


@pytest.mark.parametrize(
    ("content", "message"),
    [
        ("id,question\n1,hello\n", "expected one of: JSON Lines"),
        ('{"questions": []}', "expected one of: JSON Lines"),
        ('[{"name": "x"}]', "JSON array of unknown items"),
        ('{"question": "a", "gold_sql": "SELECT 1"}\n{"question": "b"}\n', "line 2: 'gold_sql'"),
        ('{"question": "a", "gold_sql": "SELECT 1", "id": 1}\n' * 2, "id '1' is used twice"),
        ('[{"db_id": "gone", "question": "a", "query": "SELECT 1"}]', "no database file for"),
        ('[{"db_id": "../x", "question": "a", "query": "SELECT 1"}]', "not a plain database"),
        ("", "not a question file"),
    ],
)
def test_unreadable_sets_say_what_was_expected(tmp_path, content, message):
    path = tmp_path / "questions.json"
    path.write_text(content, encoding="utf-8")
    with pytest.raises(QuestionSetError, match=re.escape(message)):
        load_question_set(path, lambda: ("sqlite:///x.db", "x"))


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["{spider}", "--db", "sqlite:///x.db"], "--db applies to JSON Lines questions only"),
        (["{jsonl}", "--out", "{other}"], "holds results of another question set"),
        (["{jsonl}", "--out", "{scored}", "--metric", "bird"], "was scored with spider, not bird"),
        (["{jsonl}", "--out", "{scored}", "--tolerance", "12"], "not spider-tolerant-12"),
        (["{jsonl}", "--out", "{earlier}"], "was scored by an earlier quorlix"),
        (["{jsonl}", "--tolerance", "0"], "--tolerance must be 1 to 17 digits, got 0"),
        (["{jsonl}", "--metric", "bird", "--drop-distinct"], "applies to --metric spider only"),
        (["{jsonl}", "--concurrency", "0"], "--concurrency must be 1 or more"),
        (["{missing}"], "there is no question file"),
        (["{jsonl}", "--out", "{jsonl}"], "--out names the question file itself"),
        (["{jsonl}", "--out", "{unrelated}"], "not a result line of this command"),
    ],
)
def test_the_command_refuses_what_cannot_work(tmp_path, capsys, args, message):
    jsonl = write_set(tmp_path / "ours", "jsonl")
    record = {
        "id": "1",
        "question": "Which pets are four-legged?",
        "metric": "spider",
        "official": True,
    }
    paths = {
        "spider": write_set(tmp_path / "spider", "spider"),
        "jsonl": jsonl,
        "other": tmp_path / "other.jsonl",
        "scored": tmp_path / "scored.jsonl",
        "earlier": tmp_path / "earlier.jsonl",
        "missing": tmp_path / "missing.jsonl",
    }
    paths["unrelated"] = tmp_path / "notes.jsonl"
    paths["unrelated"].write_text('{"note": 1}\n{"note": "unfinished')
    paths["other"].write_text(json.dumps({**record, "id": "9", "verdict": "wrong"}) + "\n")
    paths["scored"].write_text(json.dumps({**record, "verdict": "correct"}) + "\n")
    del record["official"]  # as written before results were compared the official way
    paths["earlier"].write_text(json.dumps({**record, "verdict": "correct"}) + "\n")
    with warnings.catch_warnings():
        code = main(["eval", *(arg.format(**paths) for arg in args)])
    assert code == 2
    assert message in capsys.readouterr().err
    assert paths["unrelated"].read_text().endswith("unfinished")  # left as it was


@pytest.mark.parametrize(
    ("sql", "max_rows", "kind"),
    [
        (
            "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n) "
            "SELECT COUNT(*) FROM n",
            10,
            "timeout",
        ),
        ("SELECT name FROM pets", 2, "too many rows"),
        ("DELETE FROM pets", 10, "refused"),
        ("SELECT wings FROM pets", 10, "error"),
        ("SELECT name FROM pets", 3, None),
    ],
)
def test_queries_run_bounded(tmp_path, sql, max_rows, kind):
    path = make_db(tmp_path / "pets.db")
    db = CustomSQLDatabase.from_uri(f"sqlite:///{path}", statement_timeout=0.5)
    try:
        if kind is None:
            assert len(fetch_rows(db, sql, max_rows).rows) == 3
        else:
            with pytest.raises(QueryFailed) as caught:
                fetch_rows(db, sql, max_rows)
            assert caught.value.kind == kind
    finally:
        db._engine.dispose()


@pytest.mark.parametrize("server", ["pg_database", "mysql_database"])
def test_server_types_compare_across_queries(request, server):
    database = request.getfixturevalue(server)
    database.run_sql(
        "CREATE TABLE pets (name VARCHAR(10), weight NUMERIC(5, 2));"
        "INSERT INTO pets VALUES ('cat', 4.25), ('dog', 3.10), ('hen', NULL)"
    )
    db = CustomSQLDatabase.from_uri(database.url)
    try:
        gold = fetch_rows(db, "SELECT name, weight FROM pets", 10).rows
        predicted = fetch_rows(db, "SELECT weight + 0e0 AS kg, name FROM pets", 10).rows
        heavier = fetch_rows(db, "SELECT weight + 1, name FROM pets", 10).rows
    finally:
        db._engine.dispose()
    assert results_match(gold, predicted, "spider")
    assert not results_match(gold, heavier, "spider")
