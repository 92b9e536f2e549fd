"""The verdict rules of both conventions on values as drivers return them, the tolerant
comparison, Spider's row-order and DISTINCT rules, and the column search against an exhaustive
one."""

from __future__ import annotations

import itertools
import random
from collections import Counter
from decimal import Decimal

import pytest
from quorlix.evaluation.compare import (
    Comparison,
    results_match,
    spider_order_matters,
    without_distinct,
)

A, B = (1, "a"), (2, "b")


@pytest.mark.parametrize(
    ("gold", "predicted", "ordered", "spider", "bird"),
    [
        # row order: free without ORDER BY, significant with it (spider); always free (bird)
        ([A, B], [B, A], False, True, True),
        ([A, B], [B, A], True, False, True),
        ([A, B], [A, B], True, True, True),
        # duplicates: multisets (spider) against sets (bird)
        ([A, A, B], [A, B], False, False, True),
        ([A, A, B], [A, B, B], False, False, True),
        # the same rows and the same values per column, in other numbers
        (
            [(0, 0), (0, 0), (1, 1), (1, 1), (0, 1), (1, 0)],
            [(0, 0), (1, 1), (0, 1), (0, 1), (1, 0), (1, 0)],
            False,
            False,
            True,
        ),
        # column order: a permutation is searched for (spider), rows compared as they are (bird)
        ([(1, "a"), (2, "b")], [("a", 1), ("b", 2)], False, True, False),
        ([(1, "a"), (2, "b")], [("b", 2), ("a", 1)], True, False, False),
        ([(1, "a"), (2, "b")], [("a", 1), ("b", 2)], True, True, False),
        # the permutation must hold row-wise, not only per column
        ([(1, 1, 2), (2, 2, 1)], [(1, 2, 1), (2, 1, 2)], False, True, False),
        ([(1, "x"), (2, "y")], [(1, "y"), (2, "x")], False, False, False),
        # identical columns, and columns that differ only in one value
        ([(1, 1, 1)] * 3, [(1, 1, 1)] * 3, True, True, True),
        ([(1, 2, 3)], [(3, 2, 1)], False, True, False),
        ([(1, 2, 3)], [(3, 2, 4)], False, False, False),
        # extra or missing columns are wrong
        ([(1,)], [(1, 1)], False, False, False),
        # NULL equals NULL, and only NULL
        ([(None, 1)], [(None, 1)], False, True, True),
        ([(None,)], [(0,)], False, False, False),
        ([(None,)], [("",)], False, False, False),
        # integer, float and decimal spellings of one number
        ([(1,)], [(1.0,)], False, True, True),
        ([(Decimal("2.50"),)], [(2.5,)], False, True, True),
        ([(Decimal("3"),)], [(3,)], False, True, True),
        ([(Decimal("0.1"),)], [(0.1,)], False, True, True),
        # numbers otherwise compare exactly: noise, rounding and tiny values all differ
        ([(3.33,)], [(3.333,)], False, False, False),
        ([(0.1 + 0.2,)], [(0.3,)], False, False, False),
        ([(231220.2599999971,)], [(231220.26,)], False, False, False),
        ([(1e-20,)], [(0.0,)], False, False, False),
        ([("1",)], [(1,)], False, False, False),
        # Spider's sorted-row test: 1 and 1.5 sort as "1.5" < "1<", 1.0 and 1.5 the other way
        ([(1, 1.5)], [(1.0, 1.5)], False, False, True),
        ([(1, 1.5)], [(1.5, 1)], False, True, False),
        # empty results
        ([], [], False, True, True),
        ([], [], True, True, True),
        ([], [(None,)], False, False, False),
        ([(1,)], [], False, False, False),
        # unhashable values (PostgreSQL arrays, JSON) still compare
        ([([1, 2],)], [((1, 2),)], False, True, True),
        ([({"k": 1},)], [({"k": 1},)], False, True, True),
        ([(float("nan"),)], [(float("nan"),)], False, True, True),
    ],
)
def test_official_verdicts(gold, predicted, ordered, spider, bird):
    assert results_match(gold, predicted, "spider", ordered=ordered) is spider
    assert results_match(gold, predicted, "bird", ordered=ordered) is bird


@pytest.mark.parametrize(
    ("gold", "predicted", "digits", "same"),
    [
        ([(0.1 + 0.2,)], [(0.3,)], 12, True),
        ([(231220.2599999971,)], [(231220.26,)], 12, True),
        ([(Decimal("1201.86"),)], [(1201.8600000000001,)], 12, True),
        ([(56.67421052631571,)], [(56.67,)], 12, False),
        ([(56.67421052631571,)], [(56.67,)], 4, True),
        ([(3.33,)], [(3.333,)], 12, False),
        ([(1e-20,)], [(0.0,)], 12, False),
        ([((0.1 + 0.2, 1),)], [((0.3, 1),)], 12, True),  # inside arrays too
    ],
)
def test_tolerance_rounds_numbers_to_significant_digits(gold, predicted, digits, same):
    for metric in ("spider", "bird"):
        assert results_match(gold, predicted, metric, tolerance=digits) is same


@pytest.mark.parametrize(
    ("sql", "ordered"),
    [
        ("SELECT a FROM t ORDER BY a", True),
        ("select a from t order by a desc limit 3", True),
        ("SELECT a FROM t", False),
        # the words anywhere: a sorted subquery, a CTE, even a string
        ("SELECT a FROM (SELECT a FROM t ORDER BY a) AS s", True),
        ("WITH s AS (SELECT a FROM t ORDER BY a) SELECT a FROM s", True),
        ("SELECT 'order by' AS words FROM t", True),
        # and only as written with one space
        ("SELECT a FROM t ORDER  BY a", False),
        ("SELECT a FROM t ORDER\nBY a", False),
    ],
)
def test_spider_order_rule_reads_the_gold_text(sql, ordered):
    assert spider_order_matters(sql) is ordered
    assert Comparison("spider").order_matters(sql) is ordered
    assert Comparison("bird").order_matters(sql) is False


@pytest.mark.parametrize(
    ("sql", "expected"),
    [
        ("SELECT DISTINCT a FROM t", "SELECT  a FROM t"),
        ("select count(distinct a), b from t", "select count( a), b from t"),
        ("SELECT \"distinct\", 'distinct' FROM t", "SELECT \"distinct\", 'distinct' FROM t"),
        ("SELECT distinct_a FROM t", "SELECT distinct_a FROM t"),
    ],
)
def test_distinct_is_cut_from_the_text(sql, expected):
    assert without_distinct(sql, "sqlite") == expected
    assert Comparison("spider", drop_distinct=True).prepared(sql) == expected
    assert Comparison("spider").prepared(sql) == sql


@pytest.mark.parametrize(
    ("comparison", "name", "official"),
    [
        (Comparison("spider"), "spider", True),
        (Comparison("bird"), "bird", True),
        (Comparison("spider", drop_distinct=True), "spider-drop-distinct", True),
        (Comparison("spider", tolerance=12), "spider-tolerant-12", False),
        (Comparison("bird", tolerance=6), "bird-tolerant-6", False),
    ],
)
def test_only_the_official_comparison_bears_the_bare_name(comparison, name, official):
    assert (comparison.name, comparison.official) == (name, official)
    assert ("not the official comparison" in comparison.describe()) is not official


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ({"metric": "exact"}, "spider, bird"),
        ({"metric": "spider", "tolerance": 0}, "1 to 17"),
        ({"metric": "bird", "drop_distinct": True}, "rule of Spider"),
    ],
)
def test_impossible_comparisons_are_refused(arguments, message):
    with pytest.raises(ValueError, match=message):
        Comparison(**arguments)


def exhaustive_spider(gold, predicted, ordered):
    """Spider's rule read plainly: every column permutation tried, no pruning."""
    if not gold and not predicted:
        return True
    if len(gold) != len(predicted) or len(gold[0]) != len(predicted[0]):
        return False

    def sort_values(row):
        return tuple(sorted(row, key=lambda value: str(value) + str(type(value))))

    gold_sorted, predicted_sorted = map(sort_values, gold), map(sort_values, predicted)
    if ordered and list(gold_sorted) != list(predicted_sorted):
        return False
    if not ordered and set(gold_sorted) != set(predicted_sorted):
        return False
    for order in itertools.permutations(range(len(gold[0]))):
        permuted = [tuple(row[i] for i in order) for row in predicted]
        if permuted == gold if ordered else Counter(permuted) == Counter(gold):
            return True
    return False


def test_column_search_agrees_with_trying_every_permutation():
    chance = random.Random(33)
    agreed = Counter()
    for _ in range(400):
        width, height = chance.randint(1, 4), chance.randint(1, 5)
        gold = [tuple(chance.choice((0, 1, 2.0)) for _ in range(width)) for _ in range(height)]
        order = chance.sample(range(width), width)
        predicted = [tuple(row[i] for i in order) for row in gold]
        chance.shuffle(predicted)
        if chance.random() < 0.4:
            row = chance.randrange(height)
            predicted[row] = (*predicted[row][:-1], chance.choice((0, 1, 2)))
        ordered = chance.random() < 0.3
        expected = exhaustive_spider(gold, predicted, ordered)
        assert results_match(gold, predicted, "spider", ordered=ordered) is expected, (
            gold,
            predicted,
            ordered,
        )
        agreed[expected] += 1
    assert agreed[True] > 50 and agreed[False] > 50  # both verdicts were exercised
