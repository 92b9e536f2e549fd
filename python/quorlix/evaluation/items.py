"""One question of an evaluation set, whatever file format it came from."""

from __future__ import annotations

from dataclasses import dataclass


class QuestionSetError(ValueError):
    """A question file that cannot be read; the message says what was expected."""


@dataclass(frozen=True)
class Question:
    id: str
    question: str
    gold_sql: str
    db: str  # SQLAlchemy URL of the database the question is about
    db_name: str  # how reports name that database
    difficulty: str | None = None
    evidence: str | None = None
    # A conversational item's earlier questions, oldest first: the question is a follow-up to
    # them and is scored alone.
    turns: tuple[str, ...] = ()

    def graph_question(self) -> str:
        """The text handed to the graph: the question, and the set's hint when it has one.

        The graph takes a single question text, so evidence (BIRD's "external knowledge") is
        appended on a line of its own, the way a user would add a remark to a question.
        """
        if self.evidence and self.evidence.strip():
            return f"{self.question.strip()}\nHint: {self.evidence.strip()}"
        return self.question.strip()


@dataclass(frozen=True)
class QuestionSet:
    name: str  # the file, or "built-in shop gold set"
    format: str  # "jsonl", "spider" or "bird"
    questions: list[Question]
