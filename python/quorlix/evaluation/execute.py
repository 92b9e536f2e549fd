"""Running gold and predicted queries for comparison: read-only, time-limited, bounded.

They go through the same database wrapper as the graph's own queries, so the same statement
check refuses anything but one read-only query, and the same session walls stop a query at the
time limit. Unlike the graph, the comparison needs the rows themselves rather than their text,
and all of them up to a bound, hence the wrapper's row-fetching path.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from sqlalchemy.exc import SQLAlchemyError

from quorlix.querymesh.custom_sql import CustomSQLDatabase, QueryTimeoutError, UnsafeSQLError

ERROR, TIMEOUT, TOO_LARGE, REFUSED = "error", "timeout", "too many rows", "refused"


class QueryFailed(Exception):
    def __init__(self, kind: str, message: str) -> None:
        super().__init__(message)
        self.kind = kind


@dataclass(frozen=True)
class Rows:
    columns: list[str]
    rows: list[tuple[Any, ...]]


def fetch_rows(db: CustomSQLDatabase, sql: str, max_rows: int) -> Rows:
    """All rows of ``sql``, or ``QueryFailed`` naming why there are none to compare."""
    try:
        statement = db._checked(sql)
        columns, rows, more = db._fetch(statement, max_rows, None, None)
    except QueryTimeoutError as err:
        raise QueryFailed(TIMEOUT, _first_line(err)) from err
    except UnsafeSQLError as err:
        raise QueryFailed(REFUSED, _first_line(err)) from err
    except SQLAlchemyError as err:
        orig = getattr(err, "orig", None)
        raise QueryFailed(ERROR, _first_line(orig if orig is not None else err)) from err
    except Exception as err:  # a driver or parser fault is still this query's failure
        raise QueryFailed(ERROR, f"{type(err).__name__}: {_first_line(err)}") from err
    if more:
        raise QueryFailed(TOO_LARGE, f"the result has more than {max_rows} rows")
    return Rows(columns, rows)


def _first_line(err: BaseException) -> str:
    text = str(err).split("(Background on this error")[0].strip()
    return " ".join(text.split()) or type(err).__name__
