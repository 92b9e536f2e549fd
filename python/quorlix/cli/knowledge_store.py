"""The command line's knowledge store: ``knowledge.db`` under QUORLIX_HOME, or ``--store``.

Its file holds a team's questions and SQL, so it is private to the user (0600 in a 0700 folder),
as the run store is. ``quorlix ask`` reads it only if it exists: a question never creates it.
"""

from __future__ import annotations

from pathlib import Path

KNOWLEDGE_FILE = "knowledge.db"


def local_store_path() -> Path:
    from quorlix.service.store import quorlix_home

    return (quorlix_home() / KNOWLEDGE_FILE).resolve()


def open_store(url: str | None = None):
    """The store at ``url`` (default the local one), its SQLite file made private first."""
    from sqlalchemy.engine import make_url

    from quorlix.knowledge.store import KnowledgeStore
    from quorlix.service.private_files import private_folder, private_sqlite_file
    from quorlix.service.store import quorlix_home

    if url is None:
        url = f"sqlite:///{local_store_path()}"
    parsed = make_url(url)
    database = parsed.database or ""
    if parsed.get_backend_name() == "sqlite" and database not in ("", ":memory:"):
        if not database.startswith("file:"):
            path = Path(database).expanduser().resolve()
            private_folder(path.parent, tighten=path.parent == quorlix_home().resolve())
            private_sqlite_file(path)
    return KnowledgeStore(url)


def stored_knowledge(database: str):
    """The local store's knowledge of ``database``; none when there is no store yet."""
    from quorlix.knowledge.store import Knowledge

    if not local_store_path().is_file():
        return Knowledge()
    store = open_store()
    try:
        return store.knowledge(database)
    finally:
        store.close()


def run_knowledge(database: str, file: str | None):
    """What a run on ``database`` may use: the file's knowledge if one is given, else the
    local store's."""
    from quorlix.knowledge.files import file_knowledge

    return file_knowledge(file, database) if file is not None else stored_knowledge(database)
