"""Newest-first pages of a user's runs or threads, each page naming where the next begins."""

from __future__ import annotations

import re
from collections.abc import Callable

from fastapi import HTTPException

# Run numbers and event ids are integers of the stores (at most 2**63 - 1): up to 18 ASCII
# digits always fit. Python's isdigit() would also take '²' or '٣'.
STORE_NUMBER = re.compile(r"[0-9]{1,18}")


def newest_first(
    read: Callable[[int, int | None], list[dict]], limit: int, cursor: str | None
) -> tuple[list[dict], str | None]:
    """One page of ``read(count, before)`` after ``cursor``, and the cursor of the next one."""
    before = None
    if cursor is not None:
        if not STORE_NUMBER.fullmatch(cursor):
            raise HTTPException(422, detail="cursor must be the next_cursor of an earlier page")
        before = int(cursor)
    # One more than the page tells whether another page follows.
    rows = read(limit + 1, before)
    page = rows[:limit]
    return page, str(page[-1]["number"]) if len(rows) > limit else None
