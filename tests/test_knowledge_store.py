"""The knowledge store on SQLite and PostgreSQL: examples and glossary entries in and out."""

from __future__ import annotations

import pytest
from quorlix.knowledge.records import (
    ACCEPTED,
    CANDIDATE,
    REJECTED,
    GlossaryEntry,
    KnowledgeError,
    VerifiedExample,
)
from quorlix.knowledge.store import KnowledgeStore

SHOP = "sqlite:/data/shop.db"
OTHER = "postgresql://db.example/sales"


@pytest.fixture(params=["sqlite", "postgresql"])
def store(request, tmp_path):
    if request.param == "sqlite":
        url = f"sqlite:///{tmp_path / 'knowledge.db'}"
    else:
        url = request.getfixturevalue("pg_database").url
    opened = KnowledgeStore(url)
    yield opened
    opened.close()


def example(question: str, sql: str, database: str = SHOP, **more) -> VerifiedExample:
    return VerifiedExample(question=question, sql=sql, database=database, **more)


def test_examples_round_trip_with_their_fields_and_statuses(store):
    first, new = store.add_example(
        example("How many orders?", "SELECT COUNT(*) FROM orders", notes="all statuses")
    )
    again, again_new = store.add_example(
        example("how many  ORDERS?", "select count(*) from orders")
    )
    candidate, _ = store.add_example(
        example("Orders in Berlin?", "SELECT 1", origin="thumbs-up", status=CANDIDATE, run_id="r1")
    )
    store.add_example(example("Elsewhere", "SELECT 2", database=OTHER))

    assert (new, again_new) == (True, False) and again.id == first.id
    shown = store.examples(SHOP)
    assert [(e.question, e.sql, e.notes, e.status) for e in shown] == [
        ("How many orders?", "SELECT COUNT(*) FROM orders", "all statuses", ACCEPTED),
        ("Orders in Berlin?", "SELECT 1", None, CANDIDATE),
    ]
    assert store.example(candidate.id).run_id == "r1"
    assert [e.id for e in store.examples(SHOP, CANDIDATE)] == [candidate.id]
    assert store.set_status(candidate.id, REJECTED).status == REJECTED
    assert [e.question for e in store.knowledge(SHOP).examples] == ["How many orders?"]
    assert store.remove_example(first.id, database=OTHER) is False
    assert store.remove_example(first.id) is True
    assert store.example(first.id) is None


def test_glossary_keeps_one_entry_per_term_whatever_its_case(store):
    store.put_term(GlossaryEntry("revenue", "money in", SHOP, sql="SUM(x)", synonyms=("sales",)))
    replaced = store.put_term(GlossaryEntry("Revenue", "money taken", SHOP))
    store.put_term(GlossaryEntry("revenue", "elsewhere", OTHER))

    assert [(e.term, e.definition, e.sql, e.synonyms) for e in store.glossary(SHOP)] == [
        ("Revenue", "money taken", None, ())
    ]
    assert replaced.id == store.glossary(SHOP)[0].id
    assert store.remove_term(SHOP, "REVENUE") is True
    assert store.glossary(SHOP) == [] and len(store.glossary(OTHER)) == 1


@pytest.mark.parametrize(
    ("record", "message"),
    [
        (example("", "SELECT 1"), "'question' must be a non-empty string"),
        (example("q", "   "), "'sql' must be a non-empty string"),
        (example("q", "SELECT 1", status="maybe"), "status must be one of"),
        (example("q", "S" * 20_001), "'sql' is 20,001 characters long"),
        (GlossaryEntry("t", "", SHOP), "'definition' must be a non-empty string"),
        (example("q", "DELETE FROM orders"), "the SQL is not kept: Refused"),
        (example("q", "SELECT 1; DROP TABLE orders"), "the SQL is not kept: Refused"),
        (GlossaryEntry("t", "d", SHOP, sql="1; DROP TABLE t"), "entry's SQL is not kept"),
    ],
)
def test_entries_that_cannot_be_kept_are_refused_with_the_reason(tmp_path, record, message):
    store = KnowledgeStore(f"sqlite:///{tmp_path / 'k.db'}")
    add = store.put_term if isinstance(record, GlossaryEntry) else store.add_example
    with pytest.raises(KnowledgeError, match=message):
        add(record)
    assert store.examples() == [] and store.glossary() == []
