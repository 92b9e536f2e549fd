"""The team's knowledge in a run of a question, through the run's preparers.

``KnowledgeForRun`` is a preparer for ``quorlix.answering.answer_question``: before the graph
runs it retrieves the question's examples and glossary entries and has the run entered in
``applied(...)``, so that they reach the table picker and the SQL writer of this run and of no
other. Make one for each run: it keeps what it retrieved (``retrieved``), for whoever reports
on the run.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from .applied import applied
from .records import VerifiedExample
from .retrieval import DEFAULT_EXAMPLES, Retrieved, retrieve
from .section import DEFAULT_SECTION_CHARS
from .store import Knowledge


class KnowledgeForRun:
    """``load()`` gives the knowledge of the run's database; ``announce(retrieved)``, if given,
    is told what the question gets before the graph runs. ``leave_out`` drops the examples of
    the question itself (an evaluation that measures what knowledge buys must not hand a
    question its own answer)."""

    def __init__(
        self,
        load: Callable[[], Knowledge],
        *,
        k: int = DEFAULT_EXAMPLES,
        max_chars: int = DEFAULT_SECTION_CHARS,
        leave_out: str | None = None,
        announce: Callable[[Retrieved], None] | None = None,
    ) -> None:
        self._load = load
        self._k = k
        self._max_chars = max_chars
        self._leave_out = _plain(leave_out) if leave_out else None
        self._announce = announce
        self.retrieved = Retrieved()
        self.left_out = 0

    def __call__(self, setup: Any) -> None:
        knowledge = self._load()
        if self._leave_out is not None:
            kept = tuple(e for e in knowledge.examples if not self._is_left_out(e))
            self.left_out = len(knowledge.examples) - len(kept)
            knowledge = Knowledge(examples=kept, glossary=knowledge.glossary)
        self.retrieved = retrieve(knowledge, setup.question, self._k, self._max_chars)
        if self._announce is not None:
            self._announce(self.retrieved)
        setup.contexts.append(applied(self.retrieved))

    def _is_left_out(self, example: VerifiedExample) -> bool:
        return _plain(example.question) == self._leave_out


def _plain(question: str) -> str:
    return " ".join(question.casefold().split())
