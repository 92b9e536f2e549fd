"""Errors raised by the database wrapper.

Both are ``SQLAlchemyError`` subclasses on purpose: the graph's execution step catches
``SQLAlchemyError`` and hands the text back to the chat model, so a refusal or a time-out
becomes something the model can correct instead of something that ends the run.
"""

from __future__ import annotations

from sqlalchemy.exc import OperationalError, SQLAlchemyError


class UnsafeSQLError(SQLAlchemyError):
    """A statement was refused before it reached the database.

    ``str(error)`` is written for the chat model: what was refused, why, and what to send
    instead. ``statement`` is the text that was checked (after code fences were removed).
    """

    def __init__(self, message: str, statement: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.statement = statement

    def __str__(self) -> str:
        return self.message


class QueryTimeoutError(OperationalError):
    """The database cancelled a query that ran past the wrapper's time limit.

    It keeps ``OperationalError``'s constructor (statement, params, orig) so that it pickles and
    behaves like the driver error it replaces; ``time_limit`` is set by the wrapper.
    """

    time_limit: float | None = None

    def __str__(self) -> str:
        if self.time_limit is None:
            limit = "its limit"
        else:
            limit = f"{self.time_limit:g} second{'' if self.time_limit == 1 else 's'}"
        reason = str(self.orig).strip().splitlines()[0] if self.orig is not None else ""
        detail = f" The database said: {reason}." if reason else ""
        return (
            f"Query stopped: it ran longer than the time limit of {limit} and was cancelled."
            f"{detail} Make the query cheaper: filter or aggregate earlier, avoid cross joins"
            " and repeated scans of large tables, or add a LIMIT."
        )
