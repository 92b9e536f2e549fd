"""What a question may be: the same for the command line and the service."""

from __future__ import annotations

MAX_QUESTION_CHARS = 2000


def question_problem(question: str) -> str | None:
    """Why ``question`` (already stripped) cannot be asked, or None."""
    if not question:
        return "the question is empty"
    if len(question) > MAX_QUESTION_CHARS:
        return (
            f"the question is {len(question)} characters long; at most {MAX_QUESTION_CHARS} "
            "are taken"
        )
    return None
