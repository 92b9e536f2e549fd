"""Team knowledge: verified question-SQL examples and a glossary, retrieved into each question.

* ``records``: ``VerifiedExample`` and ``GlossaryEntry``, the statuses and origins.
* ``store``: ``KnowledgeStore`` on SQLite or PostgreSQL (the service's run store database, or
  the command line's file under QUORLIX_HOME).
* ``files``: JSON Lines in and out, evaluation sets in, an evaluation set out.
* ``retrieval``: ``retrieve(knowledge, question)`` gives a ``Retrieved``: the best examples,
  the glossary entries the question uses, and the prompt section that shows them.
* ``applied``: ``applied(retrieved)`` makes it the knowledge of the run entered in its block;
  its section becomes the run's reference section (``quorlix.prompts.reference``), which the
  database wrapper's table information (shown by the SQL writer's prompts) and the
  relevant-table picker add while it is applied.
* ``verification``: a candidate's SQL must pass the read-only wrapper and return rows.

Nothing is imported here but ``applied``; the rest load when asked for by name.
"""

from __future__ import annotations

from importlib import import_module
from typing import Any

from .applied import applied, current, current_section

_LAZY = {
    "VerifiedExample": "records",
    "GlossaryEntry": "records",
    "KnowledgeError": "records",
    "KnowledgeStore": "store",
    "Knowledge": "store",
    "Retrieved": "retrieval",
    "KnowledgeIndex": "retrieval",
    "retrieve": "retrieval",
    "database_key": "database_keys",
    "read_knowledge_file": "files",
}

__all__ = ["applied", "current", "current_section", *_LAZY]


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'quorlix.knowledge' has no attribute {name!r}")
    return getattr(import_module(f".{module}", __name__), name)
