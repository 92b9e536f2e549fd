"""The relevant-table picker on large catalogues: a BM25 shortlist that finds the tables a
question needs, built once per catalogue, and a model answer limited to real tables."""

from __future__ import annotations

import contextlib
import sqlite3

import pytest
from quorlix.function_calling.base import RelevantTablePicker, real_tables
from quorlix.function_calling.shortlist import table_index, words
from quorlix.querymesh.custom_sql import CustomSQLDatabase
from quorlix.settings import AzureOpenAIChat35
from support.large_schema import build_large_schema, questions
from support.stub_openai import structured


@pytest.fixture(scope="session")
def large_schema(tmp_path_factory):
    return build_large_schema(tmp_path_factory.mktemp("large") / "large.db", 5_000)


@pytest.fixture(scope="session")
def large_db(large_schema):
    db = CustomSQLDatabase.from_uri(f"sqlite:///{large_schema.path}")
    yield db
    db._engine.dispose()


def test_shortlist_recall_on_five_thousand_tables(large_schema, large_db):
    asked = questions(large_schema, 90)
    index = table_index(large_db)
    found = [gold in index.rank(q.text, 20) for q in asked for gold in q.gold]
    assert len(index.names) == 5_000 and len(found) >= 100
    assert sum(found) / len(found) >= 0.95


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("CustomerOrders", ["customer", "order"]),
        ("customer_orders", ["customer", "order"]),
        ("HTTPServer logs", ["http", "server", "log"]),
        ("companies addresses boxes", ["company", "address", "box"]),
        ("status bus", ["status", "bus"]),
    ],
)
def test_words_split_names_and_fold_plurals(text, expected):
    assert words(text) == expected


def _small_database(tmp_path, tables: int):
    path = tmp_path / "small.db"
    with contextlib.closing(sqlite3.connect(path)) as connection:
        connection.executescript(
            "".join(f"CREATE TABLE area{i}_things (id INTEGER, note TEXT);" for i in range(tables))
            + "CREATE TABLE invoices (id INTEGER PRIMARY KEY, total REAL);"
        )
    return path, CustomSQLDatabase.from_uri(f"sqlite:///{path}")


def test_index_is_built_once_per_catalogue(tmp_path):
    path, db = _small_database(tmp_path, 3)
    first = table_index(db)
    assert table_index(db) is first
    with contextlib.closing(sqlite3.connect(path)) as connection:
        connection.execute("CREATE TABLE refunds (id INTEGER, invoice_id INTEGER)")
        connection.commit()
    assert table_index(db) is first
    db.refresh()
    rebuilt = table_index(db)
    assert rebuilt is not first and rebuilt.rank("refunds of invoices", 1) == ["refunds"]


@pytest.mark.parametrize(
    ("answer", "expected"),
    [
        (["invoices", "made_up"], ["invoices"]),
        (["INVOICES", "invoices"], ["invoices"]),
        (["area1_things", "area0_things"], ["area1_things", "area0_things"]),
        ([], []),
    ],
)
def test_only_real_tables_are_kept(answer, expected):
    names = ["area0_things", "area1_things", "invoices"]
    assert real_tables(answer, names) == expected


def _state(question: str, db) -> dict:
    names = ", ".join(db.get_usable_table_names())
    return {"user_question": question, "rewritten_question": "", "table_names_from_db": names}


@pytest.mark.parametrize(
    ("tables", "shortlisted"),
    [(10, False), (60, True)],
)
def test_picker_shortlists_above_the_threshold(stub_azure_env, tmp_path, tables, shortlisted):
    _, db = _small_database(tmp_path, tables)
    stub_azure_env.reply(structured({"relevant_tables": ["invoices", "made_up"]}))
    picker = RelevantTablePicker(AzureOpenAIChat35(), db)

    state = _state("What is the total of all invoices?", db)
    update = picker.invoke(state)

    prompt = stub_azure_env.last_request().prompt_text
    assert update == {"relevant_tables": ["invoices"]}
    assert update["relevant_tables"].unknown == ["made_up"]
    if shortlisted:
        assert "invoices (id, total)" in prompt
        assert "the 20 of the database's 61 tables" in prompt
        assert sum(f"area{i}_things" in prompt for i in range(tables)) == 19
    else:
        # Below the threshold the model is shown the state's list, as it always was.
        assert state["table_names_from_db"] in prompt and "invoices (id, total)" not in prompt


@pytest.mark.parametrize(
    ("tables", "answer", "chosen", "unknown"),
    [
        (3, ["INVOICES", "invoices"], ["invoices"], []),
        (3, ["Invoices", "Foo"], ["invoices"], ["Foo"]),
        # Nothing the model named exists: every table it was shown is taken.
        (3, ["Foo"], "all", ["Foo"]),
        (3, [], "all", []),
        (60, ["Foo"], "shortlist", ["Foo"]),
    ],
)
def test_picker_keeps_only_tables_of_the_database(
    stub_azure_env, tmp_path, tables, answer, chosen, unknown
):
    _, db = _small_database(tmp_path, tables)
    stub_azure_env.reply(structured({"relevant_tables": answer}))
    picker = RelevantTablePicker(AzureOpenAIChat35(), db)

    picked = picker.invoke(_state("What is the total of all invoices?", db))["relevant_tables"]

    if chosen == "all":
        assert list(picked) == list(db.get_usable_table_names())
    elif chosen == "shortlist":
        prompt = stub_azure_env.last_request().prompt_text
        shown = {name for name in db.get_usable_table_names() if f"\n{name} (" in prompt}
        assert len(shown) == 20 and set(picked) == shown
    else:
        assert list(picked) == chosen
    assert picked.unknown == unknown
    assert picked.fallback == (chosen in ("all", "shortlist"))
    # What the schema step then reads is text about real tables, never an error.
    schemas = db.get_table_info(list(picked))
    assert all(f"CREATE TABLE {name}" in schemas for name in picked)


@pytest.mark.parametrize(
    ("variable", "value", "error"),
    [
        ("QUORLIX_SHORTLIST_SIZE", "0", "shortlist_size must be a whole number of at least 1"),
        ("QUORLIX_SHORTLIST_THRESHOLD", "many", "QUORLIX_SHORTLIST_THRESHOLD must be a whole"),
    ],
)
def test_bad_shortlist_settings_are_named(stub_azure_env, monkeypatch, variable, value, error):
    monkeypatch.setenv(variable, value)
    with pytest.raises(ValueError, match=error):
        RelevantTablePicker(AzureOpenAIChat35(), db=None)
