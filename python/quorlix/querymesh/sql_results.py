"""Turning fetched rows into the text the chat model reads, within a size budget.

The format is LangChain ``SQLDatabase.run``'s: ``str`` of a list of tuples (or of dicts with
``include_columns``), long strings shortened word-wise, ``""`` for no rows. A result that was
cut says so at its end, so the model does not mistake a sample for the whole answer.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from langchain_community.utilities.sql_database import truncate_word

ROWS_MARKER = "\n[result truncated: first {shown} rows shown; more rows were available]"
CHARS_MARKER = "...[truncated to {limit} characters]"

# Small enough for any sensible budget, large enough that both markers always fit.
MIN_RESULT_CHARS = 200


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


def render_rows(
    rows: Sequence[Any],
    keys: Sequence[str],
    *,
    include_columns: bool,
    max_string_length: int,
) -> str:
    if not rows:
        return ""
    if include_columns:
        return str(row_dicts(rows, keys, max_string_length))
    # Tuples straight from the row keep every column, also when two share a name.
    return str(
        [tuple(truncate_word(value, length=max_string_length) for value in row) for row in rows]
    )


def cap_result(body: str, *, rows_cut: bool, shown: int, max_chars: int) -> str:
    """Append the row marker if rows were left out, and keep the whole text within max_chars."""
    rows_note = ROWS_MARKER.format(shown=shown) if rows_cut else ""
    if len(body) + len(rows_note) <= max_chars:
        return body + rows_note
    chars_note = CHARS_MARKER.format(limit=max_chars)
    keep = max(0, max_chars - len(chars_note) - len(rows_note))
    return body[:keep] + chars_note + rows_note
