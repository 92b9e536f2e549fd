"""The verdict rules of both conventions, on the cases that decide them."""

from __future__ import annotations

from decimal import Decimal

import pytest
from quorlix.evaluation.compare import has_outer_order_by, results_match

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
        ([(3.33,)], [(3.333,)], False, False, False),
        # summation-order noise is no difference; rounding to cents is
        ([(0.1 + 0.2,)], [(0.3,)], False, True, True),
        ([(231220.2599999971,)], [(231220.26,)], False, True, True),
        ([(56.67421052631571,)], [(56.67,)], False, False, False),
        ([(1e-20,)], [(0.0,)], False, False, False),
        ([("1",)], [(1,)], False, False, False),
        # empty results
        ([], [], False, True, True),
        ([], [], True, True, True),
        ([], [(None,)], False, False, False),
        ([(1,)], [], False, False, False),
        # unhashable values (PostgreSQL arrays, JSON) still compare
        ([([1, 2],)], [((1, 2),)], False, True, True),
        ([({"k": 1},)], [({"k": 1},)], False, True, True),
    ],
)
def test_verdicts(gold, predicted, ordered, spider, bird):
    assert results_match(gold, predicted, "spider", ordered=ordered) is spider
    assert results_match(gold, predicted, "bird", ordered=ordered) is bird


@pytest.mark.parametrize(
    ("sql", "ordered"),
    [
        ("SELECT a FROM t ORDER BY a", True),
        ("select a from t order  by a desc limit 3", True),
        ("SELECT a FROM t", False),
        ("SELECT a FROM (SELECT a FROM t ORDER BY a) AS s", False),
        ("SELECT a FROM t WHERE a IN (SELECT a FROM u ORDER BY a LIMIT 2)", False),
        ("WITH s AS (SELECT a FROM t ORDER BY a) SELECT a FROM s", False),
        ("WITH s AS (SELECT a FROM t) SELECT a FROM s ORDER BY a", True),
        ("SELECT a FROM t UNION SELECT a FROM u ORDER BY a", True),
        ("SELECT 'order by' AS words FROM t", False),
        ("(SELECT a FROM t ORDER BY a)", True),
    ],
)
def test_outer_order_by(sql, ordered):
    assert has_outer_order_by(sql, "sqlite") is ordered


def test_unknown_metric_is_refused():
    with pytest.raises(ValueError, match="spider, bird"):
        results_match([], [], "exact")
