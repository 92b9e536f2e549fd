"""What the wrapper knows of one kind of database beyond what SQLAlchemy's dialect knows.

Each engine package beside this module has a ``kind`` module with one subclass of
``EngineKind``: its session walls, its catalogue queries, what it does with a URL, how it
reflects a table and what its account's rights say. Defining the subclass registers it under
its ``names`` (SQLAlchemy dialect names), where ``quorlix.sql.engines.find`` looks it up.

A database with no engine package gets this class as it is: the statement check and the bounds
on results, nothing enforced inside the database, SQLAlchemy's own reflection.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, ClassVar

from sqlalchemy import Table
from sqlalchemy.engine import URL, Connection, Engine

from ..session.walls import SessionWalls

_REGISTERED: dict[str, EngineKind] = {}


@dataclass(frozen=True)
class CatalogueQueries:
    """The queries that read a whole schema's catalogue at once, for ranking tables.

    ``columns`` gives rows (table, column, is a key column, comment), ``table_comments``
    (table, comment) and ``links`` (table, referred table, column). They take the schema as
    ``:schema`` (NULL for the current one) unless ``takes_schema`` is False, in which case they
    read only the default schema and another one is read through SQLAlchemy's inspector.
    """

    columns: str
    table_comments: str | None = None
    links: str | None = None
    takes_schema: bool = True


class EngineKind:
    # The SQLAlchemy dialect names this kind serves.
    names: ClassVar[tuple[str, ...]] = ()
    walls: ClassVar[type[SessionWalls]] = SessionWalls
    catalogue_queries: ClassVar[CatalogueQueries | None] = None
    # Tables of the engine's own whose information is never shown (listed all the same).
    system_table_prefix: ClassVar[str | None] = None
    # Sentences about rights the account should not have, read over a connection; None where
    # the engine's rights are not read.
    account_warnings: ClassVar[Callable[[Connection], list[str]] | None] = None

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        found = cls()
        for name in cls.names:
            _REGISTERED[name] = found

    def url(self, url: str | URL, *, read_only: bool) -> str | URL:
        """The URL SQLAlchemy is given for ``url``; may refuse one that cannot be served."""
        return url

    def open_engine(self, url: URL, *, read_only: bool, engine_args: dict) -> Engine | None:
        """An engine opened the engine's own way; None to let SQLAlchemy open it."""
        return None

    def reflect_table(self, engine: Engine, name: str, schema: str | None) -> Table | None:
        """``name`` as a ``Table`` with the tables its foreign keys name; None to use
        SQLAlchemy's reflection. Raises ``NoSuchTableError`` for a table that is not there."""
        return None

    def describe_columns(
        self, engine: Engine, schema: str | None
    ) -> dict[str, list[tuple[str, str]]] | None:
        """``{table: [(column, type), ...]}`` of ``schema``; None to ask SQLAlchemy."""
        return None


# What a database without an engine package gets.
PLAIN = EngineKind()


def registered(name: str) -> EngineKind | None:
    return _REGISTERED.get(name)
