"""Verdicts of whole (gold, prediction) pairs run on SQLite, the engine both official scripts
use, scored the way ``quorlix eval`` scores a question. The expected verdicts are those of
Spider's test-suite execution match and of BIRD's set comparison, worked out by hand from their
published rules."""

from __future__ import annotations

import contextlib
import sqlite3

import pytest
from quorlix.evaluation.compare import Comparison
from quorlix.evaluation.items import Question
from quorlix.evaluation.runner import Evaluator

SCHEMA = """
CREATE TABLE invoice (id INTEGER PRIMARY KEY, country TEXT, a REAL, b REAL, c REAL, email TEXT);
INSERT INTO invoice VALUES
    (1, 'Norway', 0.1, 0.2, 0.3, 'a@example.com'),
    (2, 'Brazil', 0.1, 0.2, 0.3, NULL),
    (3, 'Norway', 1.5, 2.0, 4.0, 'c@example.com');
"""

# gold query, predicted query, Spider's verdict, BIRD's verdict
OFFICIAL = [
    # rounding: the gold query rounds to cents, the prediction does not (0.3 against
    # 0.30000000000000004): wrong for both scripts
    (
        "SELECT ROUND(a + b, 2) FROM invoice WHERE id = 1",
        "SELECT a + b FROM invoice WHERE id = 1",
        False,
        False,
    ),
    # float noise: the same sum in another order differs in its last bit, and that is enough
    (
        "SELECT (a + b) + c FROM invoice WHERE id = 1",
        "SELECT a + (b + c) FROM invoice WHERE id = 1",
        False,
        False,
    ),
    ("SELECT COUNT(*) FROM invoice", "SELECT SUM(1.0) FROM invoice", True, True),  # 3 and 3.0
    # NULL equals NULL, and nothing else
    (
        "SELECT email FROM invoice WHERE id <= 2",
        "SELECT email FROM invoice WHERE id < 3",
        True,
        True,
    ),
    (
        "SELECT email FROM invoice WHERE id <= 2",
        "SELECT COALESCE(email, '') FROM invoice WHERE id <= 2",
        False,
        False,
    ),
    # duplicate rows: a multiset for Spider, a set for BIRD
    ("SELECT country FROM invoice", "SELECT DISTINCT country FROM invoice", False, True),
    (
        "SELECT DISTINCT country FROM invoice",
        "SELECT country FROM invoice GROUP BY country",
        True,
        True,
    ),
    # column permutations: searched for by Spider, not by BIRD; an extra column is wrong
    ("SELECT id, country FROM invoice", "SELECT country, id FROM invoice", True, False),
    ("SELECT country FROM invoice", "SELECT country, id FROM invoice", False, False),
    # row order counts for Spider when the gold query has ORDER BY, and never for BIRD
    ("SELECT id FROM invoice ORDER BY id", "SELECT id FROM invoice ORDER BY id DESC", False, True),
    ("SELECT id FROM invoice", "SELECT id FROM invoice ORDER BY id DESC", True, True),
    (
        "SELECT id, country FROM invoice ORDER BY id",
        "SELECT country, id FROM invoice ORDER BY id",
        True,
        False,
    ),
    # ORDER BY inside a subquery: Spider reads the words anywhere in the gold text
    (
        "SELECT id FROM (SELECT id FROM invoice ORDER BY id DESC LIMIT 2)",
        "SELECT id FROM invoice WHERE id > 1 ORDER BY id",
        False,
        True,
    ),
    # ... and only as "order by" with one space: across a line break they are not found
    ("SELECT id FROM invoice ORDER\nBY id", "SELECT id FROM invoice ORDER BY id DESC", True, True),
    (
        "SELECT id FROM invoice ORDER BY id LIMIT 2",
        "SELECT id FROM invoice ORDER BY id LIMIT 3",
        False,
        False,
    ),
    # Spider first compares each row's values sorted by their text: 1 sorts after 1.5, 1.0
    # before it, so equal rows of an integer and a float count as different
    (
        "SELECT COUNT(*), MIN(a) FROM invoice WHERE id = 3",
        "SELECT SUM(1.0), MIN(a) FROM invoice WHERE id = 3",
        False,
        True,
    ),
    ("SELECT id FROM invoice WHERE id > 9", "SELECT country, a FROM invoice WHERE 0", True, True),
]

# comparison, gold query, predicted query, its verdict
OPTIONS = [
    (Comparison("spider", tolerance=12), *OFFICIAL[0][:2], True),
    (Comparison("bird", tolerance=12), *OFFICIAL[1][:2], True),
    (
        Comparison("spider", tolerance=12),
        "SELECT ROUND(c / 3, 2) FROM invoice WHERE id = 3",
        "SELECT c / 3 FROM invoice WHERE id = 3",
        False,
    ),
    (
        Comparison("spider", drop_distinct=True),
        "SELECT COUNT(DISTINCT country) FROM invoice",
        "SELECT COUNT(country) FROM invoice",
        True,
    ),
    (Comparison("spider", drop_distinct=True), *OFFICIAL[5][:2], True),
    (Comparison("spider", drop_distinct=True), *OFFICIAL[6][:2], False),
]


class Answers:
    """Stands in for the graph: answers each question with the query it was given."""

    runnable_config: dict = {}

    def __init__(self, answers: dict[str, str]) -> None:
        self.answers = answers
        self.compiled_graph = self

    def stream(self, inputs, **_):
        yield {"generated_sql_query": [self.answers[inputs["user_question"]]]}


@pytest.fixture(scope="module")
def database_url(tmp_path_factory) -> str:
    path = tmp_path_factory.mktemp("verdicts") / "invoices.db"
    with contextlib.closing(sqlite3.connect(path)) as connection:
        connection.executescript(SCHEMA)
        connection.commit()
    return f"sqlite:///{path}"


def verdict(database_url: str, comparison: Comparison, gold: str, predicted: str) -> bool:
    question = f"gold {gold!r}, predicted {predicted!r}"
    evaluator = Evaluator(lambda db: Answers({question: predicted}), comparison)
    try:
        outcome = evaluator.score(Question("1", question, gold, database_url, "invoices"))
    finally:
        evaluator.close()
    assert outcome["verdict"] in ("correct", "wrong"), outcome
    assert outcome["metric"] == comparison.name and outcome["official"] is comparison.official
    return outcome["verdict"] == "correct"


@pytest.mark.parametrize(("gold", "predicted", "spider", "bird"), OFFICIAL)
def test_official_verdicts_on_the_engine(database_url, gold, predicted, spider, bird):
    assert verdict(database_url, Comparison("spider"), gold, predicted) is spider
    assert verdict(database_url, Comparison("bird"), gold, predicted) is bird


@pytest.mark.parametrize(
    ("comparison", "gold", "predicted", "expected"), OPTIONS, ids=[c.name for c, *_ in OPTIONS]
)
def test_options_that_depart_from_the_defaults(database_url, comparison, gold, predicted, expected):
    assert verdict(database_url, comparison, gold, predicted) is expected
