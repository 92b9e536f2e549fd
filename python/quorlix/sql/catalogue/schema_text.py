"""Keeping schema text within what a prompt can carry.

Two bounds: a table with more columns than ``max_columns`` shows its key columns (primary and
foreign keys, what joins need) and then its other columns in their order, and names the ones
left out; the text of several tables stops before ``max_chars`` and names the tables that did
not fit, so that the model knows they exist and can be asked about separately.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable

from sqlalchemy import Table

# Room kept for the closing note that names the tables left out.
_NOTE_ROOM = 400


def keep_key_columns_first(table: Table, max_columns: int) -> list[str]:
    """Reduce ``table`` to at most ``max_columns`` columns; return the names taken out.

    The columns kept stay in their table order; the key columns are kept first.
    """
    columns = list(table.columns)
    if len(columns) <= max_columns:
        return []
    keys = [c for c in columns if c.primary_key or c.foreign_keys]
    others = [c for c in columns if not (c.primary_key or c.foreign_keys)]
    kept = set(keys[:max_columns]) | set(others[: max(0, max_columns - len(keys))])
    left_out = [c for c in columns if c not in kept]
    for column in left_out:
        table._columns.remove(column)
    # Constraints that name a removed column would render it anyway; keep only whole ones.
    for constraint in list(table.constraints):
        names = {c.name for c in getattr(constraint, "columns", [])}
        if names and not names.issubset({c.name for c in table.columns}):
            table.constraints.discard(constraint)
    return [c.name for c in left_out]


def join_bounded(names: Iterable[str], render: Callable[[str], str], max_chars: int) -> str:
    """Join the tables' texts as LangChain does (sorted, blank-line separated), stopping before
    ``max_chars`` characters; the tables that did not fit are named in a closing note and
    never rendered.

    The first table is always shown, cut at the limit if it alone is longer.
    """
    kept: list[str] = []
    left_out: list[str] = []
    used = 0
    budget = max(max_chars - _NOTE_ROOM, max_chars // 2)
    for name in names:
        if left_out:
            left_out.append(name)
            continue
        text = render(name)
        if not text:
            continue
        cost = len(text) + (2 if kept else 0)
        if kept and used + cost > budget:
            left_out.append(name)
            continue
        if not kept and cost > budget:
            marker = f"\n/* table text cut at {budget} characters */"
            text = text[: budget - len(marker)] + marker
            cost = len(text)
        kept.append(text)
        used += cost
    body = "\n\n".join(sorted(kept))
    if not left_out:
        return body
    note = f"\n\n/* {len(left_out)} more tables not shown, to stay within {max_chars} characters: "
    names = ", ".join(left_out)
    room = max_chars - len(body) - len(note) - 3
    if len(names) > room:
        names = names[: max(0, room - 5)].rsplit(", ", 1)[0] + ", ..."
    return body + note + names + " */"
