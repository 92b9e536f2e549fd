"""Deciding whether a predicted query's rows equal the gold query's rows.

By default the verdicts are the official ones of the two conventions of the text-to-SQL
community, as their own evaluation scripts reach them:

* ``spider`` (the Spider test suite's execution match): results are multisets of rows; row order
  counts only when the gold query's text contains "order by" (anywhere, a subquery included:
  the script looks at the words, not at the query's structure); the predicted columns may come
  in any order (a permutation of the gold columns is searched for).
* ``bird``: results are sets of rows (duplicates and row order ignored); each row is compared as
  it stands, so column order counts.

Values compare as Python values, exactly (``1 == 1.0``, ``None == None``, ``0.3 != 0.1 + 0.2``),
after the types drivers other than SQLite use are brought to what SQLite would return for the
same datum: ``Decimal`` becomes ``int`` or ``float``, arrays become tuples.

``tolerance`` asks for the tolerant comparison instead: floating-point numbers are rounded to
that many significant digits first, which absorbs the noise of a sum taken in another order
and also forgives a result rounded by one query but not by the other. Its verdicts are not the
official ones and are never reported under the bare metric name.
"""

from __future__ import annotations

import json
import math
from collections import Counter
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from decimal import Decimal
from typing import Any

from sqlglot.dialects.dialect import Dialect
from sqlglot.tokens import TokenType

METRICS = ("spider", "bird")
# Beyond 17 significant digits every double prints exactly: no tolerance is left.
MAX_TOLERANCE = 17

Row = tuple[Any, ...]


@dataclass(frozen=True)
class Comparison:
    """How results are compared: the metric's rules, and what departs from their defaults."""

    metric: str
    # Significant digits numbers are rounded to before comparing; None: exact, as the metric's
    # own script compares.
    tolerance: int | None = None
    # spider only: DISTINCT deleted from both queries before they run, as Spider's evaluation
    # script does unless it is given --keep_distinct.
    drop_distinct: bool = False

    def __post_init__(self) -> None:
        if self.metric not in METRICS:
            raise ValueError(f"metric must be one of {', '.join(METRICS)}, not {self.metric!r}")
        if self.tolerance is not None and not 1 <= self.tolerance <= MAX_TOLERANCE:
            raise ValueError(
                f"the tolerance is 1 to {MAX_TOLERANCE} significant digits, not {self.tolerance}"
            )
        if self.drop_distinct and self.metric != "spider":
            raise ValueError(
                "dropping DISTINCT is a rule of Spider's script, not of " + self.metric
            )

    @property
    def official(self) -> bool:
        return self.tolerance is None

    @property
    def name(self) -> str:
        """The label results are reported under: the bare metric name only for its own rules."""
        name = self.metric + ("-drop-distinct" if self.drop_distinct else "")
        return name if self.tolerance is None else f"{name}-tolerant-{self.tolerance}"

    def describe(self) -> str:
        """The label with what it means, for a line a person reads."""
        if self.tolerance is not None:
            return (
                f"{self.name}: numbers to {self.tolerance} significant digits, "
                "not the official comparison"
            )
        if self.drop_distinct:
            return f"{self.name}: the official comparison, DISTINCT dropped from both queries"
        return f"{self.name}: the official comparison"

    def prepared(self, sql: str, dialect: str | None = None) -> str:
        """The query as it is run for the comparison."""
        return without_distinct(sql, dialect) if self.drop_distinct else sql

    def order_matters(self, gold_sql: str) -> bool:
        return self.metric == "spider" and spider_order_matters(gold_sql)

    def matches(
        self, gold: Sequence[Sequence[Any]], predicted: Sequence[Sequence[Any]], *, ordered: bool
    ) -> bool:
        return results_match(
            gold, predicted, self.metric, ordered=ordered, tolerance=self.tolerance
        )


def canonical_value(value: Any, tolerance: int | None = None) -> Any:
    """A hashable value that compares as SQLite's value for the same datum would; numbers
    rounded to ``tolerance`` significant digits when one is given."""
    if isinstance(value, Decimal):
        if not value.is_finite():
            return str(value)
        if value == value.to_integral_value():
            return int(value)
        return canonical_value(float(value), tolerance)
    if isinstance(value, float):
        if math.isnan(value):
            return "NaN"  # so that NaN equals NaN, as it does for a reader of the two results
        return value if tolerance is None else float(f"{value:.{tolerance}g}")
    if isinstance(value, (list, tuple)):
        return tuple(canonical_value(item, tolerance) for item in value)
    if isinstance(value, memoryview | bytearray):
        return bytes(value)
    if isinstance(value, dict):
        return json.dumps(value, sort_keys=True, default=str)
    try:
        hash(value)
    except TypeError:
        return repr(value)
    return value


def canonical_rows(rows: Iterable[Sequence[Any]], tolerance: int | None = None) -> list[Row]:
    return [tuple(canonical_value(value, tolerance) for value in row) for row in rows]


def spider_order_matters(gold_sql: str) -> bool:
    """Spider's rule: row order counts when the gold text holds the words "order by", wherever
    they stand (a sorted subquery, even a string literal) and only with one space between."""
    return "order by" in gold_sql.lower()


def without_distinct(sql: str, dialect: str | None = None) -> str:
    """``sql`` with every DISTINCT keyword cut out (``COUNT(DISTINCT x)`` becomes
    ``COUNT( x)``), as Spider's script does by default; quoted names and strings stay."""
    try:
        tokens = Dialect.get_or_raise(dialect).tokenize(sql)
    except Exception:
        return sql  # not SQL the tokenizer knows; the query fails or passes as written
    kept, start = [], 0
    for token in tokens:
        if token.token_type == TokenType.DISTINCT:
            kept.append(sql[start : token.start])
            start = token.end + 1
    kept.append(sql[start:])
    return "".join(kept)


def results_match(
    gold: Sequence[Sequence[Any]],
    predicted: Sequence[Sequence[Any]],
    metric: str,
    *,
    ordered: bool = False,
    tolerance: int | None = None,
) -> bool:
    """Whether ``predicted`` counts as the same result as ``gold`` under ``metric``.

    ``ordered`` (spider only) says the gold query fixes the row order.
    """
    gold_rows = canonical_rows(gold, tolerance)
    predicted_rows = canonical_rows(predicted, tolerance)
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
    # Spider's first test: the rows with their values sorted must agree (as lists when order
    # counts, as sets otherwise). It is meant to be implied by the column search below, but it
    # sorts values by their text and type name, so equal numbers of two types (1 and 1.0) can
    # sort apart and fail it: the script then counts the answer wrong, and so does this.
    gold_sorted = [_values_sorted(row) for row in gold]
    predicted_sorted = [_values_sorted(row) for row in predicted]
    if ordered and gold_sorted != predicted_sorted:
        return False
    if not ordered and set(gold_sorted) != set(predicted_sorted):
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


def _values_sorted(row: Row) -> Row:
    return tuple(sorted(row, key=lambda value: f"{value}{type(value)}"))


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
