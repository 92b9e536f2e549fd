"""Checks of the wrapper's options, made when it is built rather than when a query fails."""

from __future__ import annotations

import warnings
from typing import Any

from .results.render import MIN_RESULT_CHARS
from .session.walls import SessionWalls

# Room for any query a question needs; below it ordinary queries would be refused.
MIN_STATEMENT_CHARS = 1_000


def check_flag(name: str, value: Any) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return value


def check_timeout(value: Any) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
        raise ValueError(
            "statement_timeout must be a positive number of seconds, or None for no limit;"
            f" got {value!r}"
        )
    return float(value)


def check_count(name: str, value: Any, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < minimum:
        raise ValueError(f"{name} must be a whole number of at least {minimum}; got {value!r}")
    return value


def check_result_chars(value: Any) -> int:
    return check_count("max_result_chars", value, MIN_RESULT_CHARS)


def check_statement_chars(value: Any) -> int:
    return check_count("max_statement_chars", value, MIN_STATEMENT_CHARS)


def warn_if_unguarded(
    dialect: str, walls: SessionWalls, read_only: bool, timeout: float | None
) -> None:
    gaps = []
    if read_only and not walls.enforces_read_only:
        gaps.append("read-only sessions")
    if timeout is not None and not walls.enforces_time_limit:
        gaps.append("the statement time limit")
    if gaps:
        warnings.warn(
            f"CustomSQLDatabase cannot enforce {' or '.join(gaps)} on {dialect} databases;"
            " only the statement check applies. Connect with a read-only database account.",
            RuntimeWarning,
            stacklevel=4,
        )
