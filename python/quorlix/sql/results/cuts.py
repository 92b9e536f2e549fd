"""How long a fetched value may be and how many rows one call fetches, before rendering.

Kept free of SQLAlchemy and LangChain imports: the worker processes that run SQLite and DuckDB
statements (``workers``) cut values with these same rules.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

# Characters (or bytes) of values one call may hold in memory at once, summed over the rows it
# fetches; each value is cut to its share before the database sends it where the engine
# allows, and as soon as it arrives otherwise. A character takes up to four bytes in a Python
# string, so this is at most 32 MiB.
VALUE_BUDGET = 8 * 1024 * 1024

# A value is never rendered shorter than this ("1"), and two characters separate it from the
# next (", "): a row of n columns takes at least 3 * n characters of a result's text.
_MIN_RENDERED_CHARS_PER_COLUMN = 3

# Rows of the default row cap: the width at which results count as too wide for the budget.
WIDE_ROWS = 100

TOO_LARGE = "[value of {size} bytes not fetched: longer than {cut}]"


def value_cut(columns: int, rows: int, min_chars: int) -> int:
    """How long one value may be: its share of ``VALUE_BUDGET``, never below ``min_chars``.

    ``min_chars`` is what rendering needs to look the same as for the whole value (strings are
    shortened word-wise to ``max_string_length`` anyway).
    """
    return max(min_chars, VALUE_BUDGET // max(1, columns * rows))


def rows_to_fetch(limit: int, columns: int, min_chars: int, max_chars: int) -> int:
    """At most ``limit`` rows; fewer when the rows are too wide for ``VALUE_BUDGET``, that is
    when even ``WIDE_ROWS`` of them would outgrow it with each value at its floor of
    ``min_chars`` (more than about 270 columns).

    Then only the rows that could still be seen within ``max_chars`` characters of text are
    fetched (and one more, to learn that more exist): the character cap would cut every row
    after them, so the text a caller reads is the same.
    """
    if columns * (min(limit, WIDE_ROWS) + 1) * min_chars <= VALUE_BUDGET:
        return limit
    visible = max_chars // (_MIN_RENDERED_CHARS_PER_COLUMN * max(1, columns)) + 1
    return max(1, min(limit, visible))


def cut_row(row: Sequence[Any], limit: int) -> tuple[Any, ...]:
    """The row with every string or byte value longer than ``limit`` cut to ``limit``."""
    return tuple(
        value[:limit]
        if isinstance(value, (str, bytes, bytearray, memoryview)) and len(value) > limit
        else value
        for value in row
    )


def fetch_bounded(
    fetchmany: Callable[[int], Sequence[Sequence[Any]]],
    columns: int,
    limit: int,
    min_chars: int,
    batch: int,
) -> tuple[list[tuple], bool]:
    """(at most ``limit`` rows, whether there were more), every value cut as its row arrives.

    ``limit`` is what ``rows_to_fetch`` allows. At most ``batch`` rows are held whole at once:
    give 1 where the engine may send a row of uncut values.
    """
    cut = value_cut(columns, limit + 1, min_chars)
    rows: list[tuple] = []
    while len(rows) <= limit:
        arrived = fetchmany(min(limit + 1 - len(rows), batch))
        if not arrived:
            break
        rows.extend(cut_row(row, cut) for row in arrived)
    return rows[:limit], len(rows) > limit


@dataclass(frozen=True)
class CutPlan:
    """What a statement wrapped to cut values added to the caller's columns.

    A value that cannot be shortened and stay what it is (an array, a struct, json) is sent as
    NULL when it is over the cut, with its size in an extra column at the end of the row.
    """

    columns: int
    sized: tuple[tuple[int, int], ...]  # (column, its size column)
    cut: int


def restore(keys: list[str], rows: list[tuple], plan: CutPlan | None):
    """The caller's columns and rows from what a statement wrapped by ``plan`` gave."""
    if plan is None:
        return keys, rows
    restored = []
    for row in rows:
        values = list(row[: plan.columns])
        for column, size_column in plan.sized:
            size = row[size_column]
            if size is not None:
                values[column] = TOO_LARGE.format(size=size, cut=plan.cut)
        restored.append(tuple(values))
    return keys[: plan.columns], restored
