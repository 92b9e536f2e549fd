"""The knowledge a command-line run uses: a one-off file, else the local store's.

``quorlix ask --knowledge FILE`` (and ``quorlix eval --knowledge FILE``) use the file's
examples and glossary for the run's database and nothing else; without it the local store's
accepted examples and glossary for the database are used, if the store exists (a run never
creates it). A file's SQL passes the same walls as the store's.
"""

from __future__ import annotations

from pathlib import Path

from .files import read_knowledge_file
from .records import GlossaryEntry, VerifiedExample
from .store import KNOWLEDGE_FILE, Knowledge, KnowledgeStore, local_store_url
from .walls import check_fragment, check_query


def file_knowledge(path: str | Path, database: str) -> Knowledge:
    """The examples and glossary of ``path`` that belong to ``database``, numbered by line."""
    found = read_knowledge_file(path, database)
    examples: list[VerifiedExample] = []
    for number, example in enumerate(found.examples, start=1):
        if example.database != database:
            continue
        check_query(example.sql, database)
        examples.append(_numbered(example, number))
    glossary: list[GlossaryEntry] = []
    for number, entry in enumerate(found.glossary, start=1):
        if entry.database != database:
            continue
        if entry.sql:
            check_fragment(entry.sql, database)
        glossary.append(_numbered(entry, number))
    return Knowledge(examples=tuple(examples), glossary=tuple(glossary))


def _numbered(item, number: int):
    from dataclasses import replace

    return replace(item, id=number)


def stored_knowledge(database: str) -> Knowledge:
    """The local store's knowledge of ``database``; none when there is no store yet."""
    from quorlix.service.store import quorlix_home

    if not (quorlix_home() / KNOWLEDGE_FILE).is_file():
        return Knowledge()
    store = KnowledgeStore(local_store_url())
    try:
        return store.knowledge(database)
    finally:
        store.close()


def run_knowledge(database: str, path: str | Path | None) -> Knowledge:
    if path is not None:
        return file_knowledge(path, database)
    return stored_knowledge(database)
