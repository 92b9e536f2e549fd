"""SQLite files opened so that nothing can create or change them.

A read-only wrapper over ``sqlite:///shop.db`` reads through connections that SQLite itself
opens read-only (``mode=ro``): a file moved away is then an error, not a new empty database
made in its place, and no statement, whatever the other walls let through, can write.
"""

from __future__ import annotations

from pathlib import Path
from urllib.parse import unquote, urlsplit

from sqlalchemy.engine import URL


def plain_sqlite_file(url: URL) -> Path | None:
    """The file a ``sqlite:///path`` URL names; None for memory, ``file:`` URIs and others."""
    if url.get_backend_name() != "sqlite" or url.query.get("uri"):
        return None
    database = url.database or ""
    if database in ("", ":memory:") or database.startswith("file:"):
        return None
    return Path(database).expanduser().absolute()


def read_only_url(url: URL) -> URL:
    """``url`` with its SQLite file opened read-only; any other URL as it is."""
    path = plain_sqlite_file(url)
    if path is None:
        return url
    return url.set(database=path.as_uri(), query={**url.query, "mode": "ro", "uri": "true"})


def sqlite_file(url: URL) -> Path | None:
    """The file an SQLite URL reads, in either form (``sqlite:///path`` or a ``file:`` URI)."""
    if url.get_backend_name() != "sqlite":
        return None
    database = url.database or ""
    if database.startswith("file:"):
        path = unquote(urlsplit(database).path)
        return Path(path) if path and path != ":memory:" else None
    return plain_sqlite_file(url)
