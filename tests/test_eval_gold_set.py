"""The built-in gold set: every query passes the read-only check and answers on the sample."""

from __future__ import annotations

import pytest
from quorlix.evaluation.execute import fetch_rows
from quorlix.evaluation.formats import load_question_set
from quorlix.querymesh.custom_sql import CustomSQLDatabase
from quorlix.sample import shop

GOLD = load_question_set(None, lambda: ("sqlite:///unused.db", "shop")).questions


@pytest.fixture(scope="module")
def shop_db(tmp_path_factory):
    path = shop.ensure_shop_database(tmp_path_factory.mktemp("gold") / "shop.db")
    db = CustomSQLDatabase.from_uri(f"sqlite:///{path}")
    yield db
    db._engine.dispose()


def test_the_set_is_large_and_rated():
    assert len(GOLD) >= 60
    assert {question.difficulty for question in GOLD} == {"easy", "medium", "hard"}
    assert len({question.question for question in GOLD}) == len(GOLD)


@pytest.mark.parametrize("item", GOLD, ids=[question.id for question in GOLD])
def test_gold_query_returns_rows(shop_db, item):
    result = fetch_rows(shop_db, item.gold_sql, 10_000)
    assert result.rows, item.question
    assert any(value is not None for row in result.rows for value in row), item.question
