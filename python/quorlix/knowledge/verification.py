"""Candidates from feedback are checked before anyone is asked to accept them.

A candidate's SQL goes through the served database's read-only wrapper, the same walls the
graph's own queries pass: a statement they refuse is never stored, and one that fails or
returns no rows is not stored either (it could not have answered the question). What passes is
stored as a candidate, to be accepted or rejected by a person.
"""

from __future__ import annotations

from typing import Any

from .records import CANDIDATE, KnowledgeError, VerifiedExample
from .store import KnowledgeStore
from .walls import RefusedSQL


class CandidateRefused(KnowledgeError):
    """The candidate's SQL was refused, failed or returned no rows; it was not stored."""


def verify_sql(db: Any, sql: str) -> None:
    """Raises ``CandidateRefused`` unless ``sql`` passes ``db``'s walls and returns rows."""
    from sqlalchemy.exc import SQLAlchemyError

    from quorlix.sql.errors import UnsafeSQLError

    try:
        rows = db.run(sql, fetch="all")
    except UnsafeSQLError as err:
        raise CandidateRefused(f"the SQL was refused and is not kept: {err}") from None
    except SQLAlchemyError as err:
        reason = " ".join(str(getattr(err, "orig", None) or err).split("(Background")[0].split())
        raise CandidateRefused(
            f"the SQL failed on the database and is not kept: {reason}"
        ) from None
    if not rows:
        raise CandidateRefused("the SQL returned no rows, so it cannot answer the question")


def add_candidate(
    store: KnowledgeStore, db: Any, example: VerifiedExample
) -> tuple[VerifiedExample, bool]:
    """Verifies ``example``'s SQL on ``db`` and stores it as a candidate."""
    example = VerifiedExample(
        question=example.question,
        sql=example.sql,
        notes=example.notes,
        database=example.database,
        origin=example.origin,
        status=CANDIDATE,
        run_id=example.run_id,
    ).checked()
    verify_sql(db, example.sql)
    try:
        return store.add_example(example)
    except RefusedSQL as err:  # the store's own check, in the example's dialect
        raise CandidateRefused(str(err)) from None
