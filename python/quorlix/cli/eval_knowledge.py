"""``quorlix eval --knowledge FILE``: what a team's knowledge buys, on the same questions.

Every question is scored twice, without knowledge and with the file's, and both summaries are
reported with the difference. An example whose question is the question being scored is left
out for that question: handing a question its own verified answer would measure the file's
overlap with the set, not what the knowledge teaches.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from .common import usage_error


class KnowledgeSide:
    """The preparers of the scoring run with knowledge, and what they left out."""

    def __init__(self, path: str, questions: list[Any]) -> None:
        from quorlix.knowledge.database_keys import database_key
        from quorlix.knowledge.files import file_knowledge
        from quorlix.knowledge.records import KnowledgeError

        self.path = path
        self._key = database_key
        self._knowledge: dict[str, Any] = {}
        for question in questions:
            key = database_key(question.db)
            if key not in self._knowledge:
                try:
                    self._knowledge[key] = file_knowledge(path, key)
                except KnowledgeError as exc:
                    usage_error(f"--knowledge {path}: {exc}")
        self._made: list[Any] = []

    def preparers(self, question: Any) -> list[Any]:
        from quorlix.knowledge.for_runs import KnowledgeForRun

        knowledge = self._knowledge[self._key(question.db)]
        preparer = KnowledgeForRun(lambda: knowledge, leave_out=question.question)
        self._made.append(preparer)
        return [preparer]

    def scorer(self, evaluator: Any) -> Callable[[Any], dict]:
        return lambda question: evaluator.score(question, self.preparers(question))

    def report(self) -> dict[str, Any]:
        # Of the questions scored in this invocation (a resumed one skips those already done).
        return {
            "file": self.path,
            "examples": sum(len(k.examples) for k in self._knowledge.values()),
            "glossary": sum(len(k.glossary) for k in self._knowledge.values()),
            "questions_given_knowledge": sum(1 for p in self._made if p.retrieved),
            "questions_whose_own_example_was_left_out": sum(1 for p in self._made if p.left_out),
        }


def compared(without: dict[str, Any], with_: dict[str, Any], knowledge: dict[str, Any]) -> str:
    """One paragraph: both accuracies, the difference, and what the knowledge held."""

    def figure(summary: dict[str, Any]) -> str:
        accuracy = summary["accuracy"]
        return "n/a" if accuracy is None else f"{100 * accuracy:.1f}%"

    change = ""
    if without["accuracy"] is not None and with_["accuracy"] is not None:
        change = f" ({100 * (with_['accuracy'] - without['accuracy']):+.1f} points)"
    return (
        f"Team knowledge from {knowledge['file']} ({knowledge['examples']} examples, "
        f"{knowledge['glossary']} glossary entries): accuracy {figure(without)} without, "
        f"{figure(with_)} with{change}, on the same {with_['scored']} questions. Of those scored "
        f"now, {knowledge['questions_given_knowledge']} were given knowledge and "
        f"{knowledge['questions_whose_own_example_was_left_out']} had their own example left out."
    )
