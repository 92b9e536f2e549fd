"""Candidates from feedback: their SQL passes the read-only wrapper and returns rows, or they
are not stored at all."""

from __future__ import annotations

import pytest
from quorlix.knowledge.records import CANDIDATE, ORIGIN_THUMBS_UP, VerifiedExample
from quorlix.knowledge.store import KnowledgeStore
from quorlix.knowledge.verification import CandidateRefused, add_candidate
from quorlix.querymesh.custom_sql import CustomSQLDatabase


@pytest.fixture
def db(sqlite_sample_db):
    wrapper = CustomSQLDatabase.from_uri(sqlite_sample_db.url)
    yield wrapper
    wrapper._engine.dispose()


@pytest.fixture
def store(tmp_path):
    opened = KnowledgeStore(f"sqlite:///{tmp_path / 'k.db'}")
    yield opened
    opened.close()


def candidate(sql: str) -> VerifiedExample:
    return VerifiedExample("Orders per city?", sql, "db", origin=ORIGIN_THUMBS_UP, run_id="r1")


@pytest.mark.parametrize(
    ("sql", "reason"),
    [
        ("DELETE FROM orders", "refused"),
        ("SELECT 1; DROP TABLE orders", "refused"),
        ("UPDATE customers SET city = 'x'", "refused"),
        ("SELECT * FROM no_such_table", "failed on the database"),
        ("SELECT id FROM orders WHERE id < 0", "returned no rows"),
    ],
)
def test_sql_that_is_refused_fails_or_returns_nothing_is_never_stored(db, store, sql, reason):
    with pytest.raises(CandidateRefused, match=reason):
        add_candidate(store, db, candidate(sql))
    assert store.examples() == []


def test_sql_that_returns_rows_is_stored_as_a_candidate(db, store):
    stored, new = add_candidate(
        store, db, candidate("SELECT city, COUNT(*) FROM customers GROUP BY city")
    )

    assert new and stored.status == CANDIDATE and stored.run_id == "r1"
    assert store.knowledge("db").examples == ()  # not used until someone accepts it
