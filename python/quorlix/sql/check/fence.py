"""Take the SQL out of a chat model's markdown answer.

Models like to wrap a query in a ```sql fence and add a sentence before or after it; the
database should see only the statement. Text without a fence is returned as it is (stripped).
"""

from __future__ import annotations

import re

from ..errors import UnsafeSQLError

# The language tag is only taken when the line ends after it, so a one-line ```SELECT 1```
# keeps its first word. An unclosed fence (a reply cut short) runs to the end of the text.
_FENCE = re.compile(r"```(?:[A-Za-z0-9_+-]*[ \t]*\r?\n)?(.*?)(?:```|\Z)", re.DOTALL)

# "```sql SELECT ..." on one line: no statement starts with one of these words.
_LANGUAGE_WORD = re.compile(
    r"^(?:sql|postgresql|postgres|pgsql|psql|mysql|mariadb|sqlite|sqlite3|tsql|plsql)\s+",
    re.IGNORECASE,
)


def strip_code_fence(text: str) -> str:
    """Return the statement inside the one fenced block of ``text``, or ``text`` stripped."""
    if "```" not in text:
        return text.strip()
    blocks = [block.strip() for block in _FENCE.findall(text)]
    blocks = [_LANGUAGE_WORD.sub("", block, count=1) for block in blocks if block]
    if not blocks:
        return ""
    if len(blocks) > 1:
        raise UnsafeSQLError(
            f"Refused: the text holds {len(blocks)} separate code blocks, so it is unclear which"
            " one to run. Send exactly one SQL statement.",
            statement=text,
        )
    return blocks[0]
