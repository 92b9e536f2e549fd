"""Feedback that teaches: a rated run becomes a candidate example for someone to review.

A thumbs-up offers the run's question with the SQL it ran; a thumbs-down with corrected SQL
offers the question with the correction. Either is verified first (``quorlix.knowledge.
verification``): SQL that the walls refuse, that fails or that returns no rows is not kept,
and the person rating is told why. A candidate is used only once an admin accepts it.
"""

from __future__ import annotations

from typing import Any

from quorlix.knowledge.records import (
    ORIGIN_CORRECTION,
    ORIGIN_THUMBS_UP,
    KnowledgeError,
    VerifiedExample,
)
from quorlix.knowledge.verification import add_candidate


def offered_example(key: str, row: dict, feedback: dict) -> VerifiedExample | None:
    """The example a rating offers, or None when it offers none."""
    if feedback.get("rating") == "down" and feedback.get("corrected_sql", "").strip():
        sql, origin = feedback["corrected_sql"].strip(), ORIGIN_CORRECTION
    elif feedback.get("rating") == "up" and row["status"] == "succeeded":
        sql, origin = ((row["record"] or {}).get("final_sql") or "").strip(), ORIGIN_THUMBS_UP
    else:
        return None
    if not sql:
        return None
    return VerifiedExample(row["question"], sql, key, origin=origin, run_id=row["id"])


def learn_from_feedback(service: Any, row: dict, feedback: dict) -> dict | None:
    """Stores the candidate a rating offers: ``{"id", "status"}``, ``{"refused": reason}``, or
    None when the rating offers nothing to learn."""
    example = offered_example(service.knowledge_key, row, feedback)
    if example is None:
        return None
    try:
        stored, _ = add_candidate(service.knowledge, service.db, example)
    except KnowledgeError as exc:
        return {"refused": str(exc)}
    return {"id": stored.id, "status": stored.status}
