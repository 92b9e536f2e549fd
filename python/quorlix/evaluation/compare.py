"""Deciding whether a predicted query's rows equal the gold query's rows.

Two conventions of the text-to-SQL community:

* ``spider``: results are multisets of rows; row order counts only when the gold query has an
  outer ``ORDER BY``; the predicted columns may come in any order (a permutation of the gold
  columns is searched for).
* ``bird``: results are sets of rows (duplicates and row order ignored); each row is compared
  as it stands, so column order counts.

Values compare as Python values (``1 == 1.0``, ``None == None``), after drivers' types are
brought to a common form: ``Decimal`` becomes ``int`` or ``float``, arrays become tuples.
Floating-point numbers are compared to 12 significant digits: a ``SUM`` over the same rows
joined in another order differs in its last bits, and that noise is no wrong answer. Beyond
that numbers compare exactly, as in both conventions: ``3.33`` and ``3.333`` differ, and a
result rounded by one query but not by the other is a different result.
"""

from __future__ import annotations

import json
import math
from collections import Counter
from collections.abc import Iterable, Sequence
from decimal import Decimal
from typing import Any

import sqlglot
from sqlglot import exp

METRICS = ("spider", "bird")
FLOAT_DIGITS = 12

Row = tuple[Any, ...]


def canonical_value(value: Any) -> Any:
    """A hashable value that compares equal across the types drivers use for the same datum."""
    if isinstance(value, Decimal):
        if not value.is_finite():
            return str(value)
        if value == value.to_integral_value():
            return int(value)
        return canonical_value(float(value))
    if isinstance(value, float):
        if math.isnan(value):
            return "NaN"  # so that NaN equals NaN, as it does for a reader of the two results
        return float(f"{value:.{FLOAT_DIGITS}g}")
    if isinstance(value, (list, tuple)):
        return tuple(canonical_value(item) for item in value)
    if isinstance(value, memoryview | bytearray):
        return bytes(value)
    if isinstance(value, dict):
        return json.dumps(value, sort_keys=True, default=str)
    try:
        hash(value)
    except TypeError:
        return repr(value)
    return value


def canonical_rows(rows: Iterable[Sequence[Any]]) -> list[Row]:
    return [tuple(canonical_value(value) for value in row) for row in rows]


def has_outer_order_by(sql: str, dialect: str | None = None) -> bool:
    """Whether the outermost query sorts its rows (an ``ORDER BY`` inside a subquery does not
    fix the order of the result)."""
    try:
        tree = sqlglot.parse_one(sql, read=dialect)
    except Exception:
        # Unparseable here; the community's own tools look for the words anywhere.
        return "order by" in " ".join(sql.lower().split())
    while isinstance(tree, exp.Subquery | exp.Paren):
        if tree.args.get("order"):
            return True
        tree = tree.this
    return bool(tree is not None and tree.args.get("order"))


def results_match(
    gold: Sequence[Sequence[Any]],
    predicted: Sequence[Sequence[Any]],
    metric: str,
    *,
    ordered: bool = False,
) -> bool:
    """Whether ``predicted`` counts as the same result as ``gold`` under ``metric``.

    ``ordered`` (spider only) says the gold query fixes the row order.
    """
    gold_rows, predicted_rows = canonical_rows(gold), canonical_rows(predicted)
    if metric == "bird":
        return set(gold_rows) == set(predicted_rows)
    if metric == "spider":
        return _spider_match(gold_rows, predicted_rows, ordered)
    raise ValueError(f"metric must be one of {', '.join(METRICS)}, not {metric!r}")


def _spider_match(gold: list[Row], predicted: list[Row], ordered: bool) -> bool:
    if not gold and not predicted:
        return True
    if len(gold) != len(predicted):
        return False
    width = len(gold[0])
    if any(len(row) != width for row in gold) or any(len(row) != width for row in predicted):
        return False
    if not ordered and Counter(gold) == Counter(predicted):
        return True
    if ordered and gold == predicted:
        return True
    if width == 1:
        return False
    for order in _column_orders(gold, predicted, width):
        permuted = [tuple(row[column] for column in order) for row in predicted]
        if permuted == gold if ordered else Counter(permuted) == Counter(gold):
            return True
    return False


def _column_orders(gold: list[Row], predicted: list[Row], width: int):
    """Orders of the predicted columns worth trying: each gold column may only be matched by a
    predicted column holding the same values, and of several identical predicted columns only
    one is tried (swapping them changes nothing)."""
    gold_columns = [Counter(row[i] for row in gold) for i in range(width)]
    predicted_columns = [tuple(row[j] for row in predicted) for j in range(width)]
    predicted_counts = [Counter(column) for column in predicted_columns]
    candidates = [
        [j for j in range(width) if predicted_counts[j] == gold_columns[i]] for i in range(width)
    ]
    if any(not options for options in candidates):
        return
    chosen: list[int] = []
    used: set[int] = set()

    def extend(position: int):
        if position == width:
            yield list(chosen)
            return
        tried: set[tuple] = set()
        for j in candidates[position]:
            if j in used or predicted_columns[j] in tried:
                continue
            tried.add(predicted_columns[j])
            used.add(j)
            chosen.append(j)
            yield from extend(position + 1)
            chosen.pop()
            used.discard(j)

    yield from extend(0)
