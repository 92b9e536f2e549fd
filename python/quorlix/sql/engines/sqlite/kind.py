"""SQLite as the wrapper serves it: its walls, its catalogue queries, and only existing files."""

from __future__ import annotations

from pathlib import Path

from sqlalchemy.engine import URL, make_url

from ..kind import CatalogueQueries, EngineKind
from .read_only import read_only_url
from .session import SQLiteWalls

_COLUMNS = """
SELECT m.name, p.name, p.pk > 0, NULL
FROM sqlite_master AS m JOIN pragma_table_info(m.name) AS p
WHERE m.type IN ('table', 'view') AND m.name NOT LIKE 'sqlite~_%' ESCAPE '~'
ORDER BY m.name, p.cid
"""
_LINKS = """
SELECT m.name, f."table", f."from"
FROM sqlite_master AS m JOIN pragma_foreign_key_list(m.name) AS f
WHERE m.type = 'table'
"""


class SQLite(EngineKind):
    names = ("sqlite",)
    walls = SQLiteWalls
    # The pragma functions read the main database only.
    catalogue_queries = CatalogueQueries(_COLUMNS, links=_LINKS, takes_schema=False)
    system_table_prefix = "sqlite_"

    def url(self, url: str | URL, *, read_only: bool) -> str | URL:
        if not read_only:
            return url
        parsed = make_url(url)
        require_existing_file(parsed)
        # Opened read-only by SQLite itself: nothing can create or change the file.
        return read_only_url(parsed)


def require_existing_file(url: URL) -> None:
    """A read-only wrapper must not leave an empty database behind for a mistyped path."""
    if url.query.get("uri"):
        return
    database = url.database or ""
    if database in ("", ":memory:") or database.startswith("file:"):
        return
    if not Path(database).exists():
        raise FileNotFoundError(
            f"SQLite database file {database!r} does not exist (resolved against"
            f" {Path.cwd()}). Check the path in the URI: sqlite:///relative/path.db or"
            " sqlite:////absolute/path.db."
        )
