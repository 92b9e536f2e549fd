"""What a team teaches quorlix about one database: verified examples and glossary entries."""

from __future__ import annotations

from dataclasses import dataclass, field

CANDIDATE = "candidate"
ACCEPTED = "accepted"
REJECTED = "rejected"
STATUSES = (CANDIDATE, ACCEPTED, REJECTED)

# Where an example came from: a file or a person typing it counts as verified by whoever gave
# it; feedback on a run has to be verified first (it becomes a candidate).
ORIGIN_FILE = "file"
ORIGIN_MANUAL = "manual"
ORIGIN_THUMBS_UP = "thumbs-up"
ORIGIN_CORRECTION = "correction"

# Field limits: knowledge is shown to the model, so one entry cannot swamp a prompt, and the
# store's columns have to hold it on every engine.
MAX_QUESTION_CHARS = 2_000
MAX_SQL_CHARS = 20_000
MAX_NOTES_CHARS = 2_000
MAX_TERM_CHARS = 200
MAX_DEFINITION_CHARS = 2_000
MAX_SYNONYMS = 20


class KnowledgeError(ValueError):
    """An example or glossary entry that cannot be stored as given; the message says why."""


@dataclass(frozen=True)
class VerifiedExample:
    """A question and the SQL that answers it on ``database``, with optional notes."""

    question: str
    sql: str
    database: str
    notes: str | None = None
    origin: str = ORIGIN_MANUAL
    status: str = ACCEPTED
    id: int | None = None
    run_id: str | None = None  # the run it was learnt from, for feedback candidates
    created_at: float | None = None
    updated_at: float | None = None

    def checked(self) -> VerifiedExample:
        _require_text("question", self.question, MAX_QUESTION_CHARS)
        _require_text("sql", self.sql, MAX_SQL_CHARS)
        _require_text("database", self.database, 500)
        if self.notes is not None:
            _require_text("notes", self.notes, MAX_NOTES_CHARS, allow_empty=True)
        if self.status not in STATUSES:
            raise KnowledgeError(
                f"status must be one of {', '.join(STATUSES)}, not {self.status!r}"
            )
        return self

    def as_line(self) -> dict:
        """The example as a line of an exported file."""
        line = {"question": self.question, "sql": self.sql}
        if self.notes:
            line["notes"] = self.notes
        return line


@dataclass(frozen=True)
class GlossaryEntry:
    """A word of the business: what ``term`` means, and optionally the SQL that computes it.

    ``synonyms`` are other words people use for the same thing; a question using any of them
    is taken to use the term.
    """

    term: str
    definition: str
    database: str
    sql: str | None = None
    synonyms: tuple[str, ...] = field(default_factory=tuple)
    id: int | None = None
    created_at: float | None = None
    updated_at: float | None = None

    def checked(self) -> GlossaryEntry:
        _require_text("term", self.term, MAX_TERM_CHARS)
        _require_text("definition", self.definition, MAX_DEFINITION_CHARS)
        _require_text("database", self.database, 500)
        if self.sql is not None:
            _require_text("sql", self.sql, MAX_SQL_CHARS, allow_empty=True)
        if len(self.synonyms) > MAX_SYNONYMS:
            raise KnowledgeError(f"a glossary entry takes at most {MAX_SYNONYMS} synonyms")
        for synonym in self.synonyms:
            _require_text("synonym", synonym, MAX_TERM_CHARS)
        return self

    def as_line(self) -> dict:
        line: dict = {"term": self.term, "definition": self.definition}
        if self.sql:
            line["sql"] = self.sql
        if self.synonyms:
            line["synonyms"] = list(self.synonyms)
        return line


def _require_text(name: str, value: object, limit: int, allow_empty: bool = False) -> None:
    if not isinstance(value, str) or (not allow_empty and not value.strip()):
        raise KnowledgeError(f"{name!r} must be a non-empty string")
    if len(value) > limit:
        raise KnowledgeError(f"{name!r} is {len(value):,} characters long; at most {limit:,}")
