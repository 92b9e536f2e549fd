"""Result rows as CSV that a spreadsheet opens as data, never as formulas.

Values come from the database, so anyone who can write a row can write a cell that Excel,
LibreOffice or Google Sheets would run as a formula (``=HYPERLINK(...)``, ``+cmd|...``,
``@SUM(...)``). Text beginning with ``=``, ``+``, ``-``, ``@``, a tab or a carriage return gets
a leading ``'``, as the common spreadsheet-safety rule has it; numbers, and text that is just a
number (``-12.50`` from a decimal column), are left as they are.
"""

from __future__ import annotations

import csv
import io
import re
from collections.abc import Iterable, Sequence
from typing import Any

FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")
_NUMBER = re.compile(r"[+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?")


def inert(value: Any) -> Any:
    """The cell as a spreadsheet should show it."""
    if isinstance(value, str) and value.startswith(FORMULA_STARTS) and not _NUMBER.fullmatch(value):
        return "'" + value
    return value


def csv_text(columns: Sequence[Any], rows: Iterable[Sequence[Any]]) -> str:
    out = io.StringIO()
    writer = csv.writer(out)
    writer.writerow([inert(name) for name in columns])
    writer.writerows([inert(value) for value in row] for row in rows)
    return out.getvalue()
