"""Turning fetched rows into the text the chat model reads, within a size budget.

The format is LangChain ``SQLDatabase.run``'s: ``str`` of a list of tuples (or of dicts with
``include_columns``), long strings shortened word-wise, ``""`` for no rows. A result that was
cut says so at its end, so the model does not mistake a sample for the whole answer.
"""

from __future__ import annotations

import json
from bisect import bisect_right
from collections.abc import Sequence
from typing import Any

from langchain_community.utilities.sql_database import truncate_word

ROWS_MARKER = "\n[result truncated: first {shown} rows shown; more rows were available]"
CHARS_MARKER = "...[truncated to {limit} characters]"

# Small enough for any sensible budget, large enough that both markers always fit.
MIN_RESULT_CHARS = 200
# Ends a string cell that was cut to fit a JSON result.
CELL_MARKER = "…"


def row_dicts(
    rows: Sequence[Any], keys: Sequence[str], max_string_length: int
) -> list[dict[str, Any]]:
    return [
        {
            key: truncate_word(value, length=max_string_length)
            for key, value in zip(keys, row, strict=True)
        }
        for row in rows
    ]


def render_rows_with_ends(
    rows: Sequence[Any],
    keys: Sequence[str],
    *,
    include_columns: bool,
    max_string_length: int,
    max_chars: int | None = None,
) -> tuple[str, list[int]]:
    """The rows as text and, for each row, the offset just past its text in it.

    With ``max_chars``, rendering stops after the first row that ends beyond it: ``cap_result``
    shows no more than that, and the rest would only cost memory (a byte string's text is up to
    four times its size).
    """
    if not rows:
        return "", []
    if include_columns:
        items: list[Any] = row_dicts(rows, keys, max_string_length)
    else:
        # Tuples straight from the row keep every column, also when two share a name.
        items = [
            tuple(truncate_word(value, length=max_string_length) for value in row) for row in rows
        ]
    # Exactly str(items), built piecewise to learn where each row ends.
    texts, ends, end = [], [], 1
    for item in items:
        texts.append(repr(item))
        end += len(texts[-1])
        ends.append(end)
        if max_chars is not None and end > max_chars and len(texts) < len(items):
            return "[" + ", ".join(texts), ends
        end += 2
    return "[" + ", ".join(texts) + "]", ends


def cap_result(
    body: str,
    *,
    rows_cut: bool,
    shown: int,
    max_chars: int,
    row_ends: Sequence[int] | None = None,
) -> str:
    """Append the row marker if rows were left out, and keep the whole text within max_chars.

    When the character cap cuts too, the row marker counts only the rows whose text is complete
    (``row_ends`` says where each ends), never rows the reader cannot see.
    """
    rows_note = ROWS_MARKER.format(shown=shown) if rows_cut else ""
    if len(body) + len(rows_note) <= max_chars:
        return body + rows_note
    chars_note = CHARS_MARKER.format(limit=max_chars)
    keep = max(0, max_chars - len(chars_note) - len(rows_note))
    if rows_cut:
        visible = bisect_right(row_ends, keep) if row_ends is not None else 0
        rows_note = ROWS_MARKER.format(shown=visible)
    return body[:keep] + chars_note + rows_note


def json_rows_within(
    columns: Sequence[str], rows: Sequence[Sequence[Any]], max_chars: int
) -> tuple[list[list], bool]:
    """Rows of JSON-ready cells that, with the column names, take at most about ``max_chars``
    characters of JSON text, and whether any row was left out.

    A string cell longer than its share of ``max_chars`` is cut and ends in ``CELL_MARKER``; the
    first row is always kept, the others while they fit.
    """
    if not rows:
        return [], False
    budget = max_chars - len(json.dumps(list(columns), ensure_ascii=False))
    # Each cell also costs its quotes and the separator after it.
    share = max(20, budget // max(1, len(rows[0])) - 4)
    kept: list[list] = []
    used = 2  # the brackets of the list
    for row in rows:
        cells = [_cut_cell(cell, share) for cell in row]
        cost = len(json.dumps(cells, ensure_ascii=False)) + 2
        if kept and used + cost > budget:
            return kept, True
        kept.append(cells)
        used += cost
    return kept, False


def _cut_cell(cell: Any, share: int) -> Any:
    if isinstance(cell, str) and len(cell) > share:
        return cell[: share - len(CELL_MARKER)] + CELL_MARKER
    return cell
