"""DuckDB as the wrapper serves it: its walls, its own catalogue, and databases opened locked.

SQLAlchemy's reflection goes through the dialect's imitation of PostgreSQL's catalogue, which
fails on current DuckDB (``reflection``), and a DuckDB database is opened by ``sources``, with
its limits, rather than by ``create_engine``.
"""

from __future__ import annotations

from sqlalchemy import Table
from sqlalchemy.engine import URL, Engine

from ..kind import CatalogueQueries, EngineKind
from .reflection import duckdb_columns, reflect_duckdb_table
from .session import DuckDBWalls
from .sources import duckdb_database_engine

_COLUMNS = """
SELECT table_name, column_name, FALSE, comment FROM duckdb_columns()
WHERE schema_name = COALESCE(CAST(:schema AS VARCHAR), current_schema())
  AND database_name = current_database()
ORDER BY table_name, column_index
"""
_LINKS = """
SELECT table_name, referenced_table, constraint_column_names[1] FROM duckdb_constraints()
WHERE constraint_type = 'FOREIGN KEY'
  AND schema_name = COALESCE(CAST(:schema AS VARCHAR), current_schema())
  AND database_name = current_database()
"""


class DuckDB(EngineKind):
    names = ("duckdb",)
    walls = DuckDBWalls
    catalogue_queries = CatalogueQueries(_COLUMNS, links=_LINKS)

    def open_engine(self, url: URL, *, read_only: bool, engine_args: dict) -> Engine | None:
        return duckdb_database_engine(url.database or "", read_only=read_only, **engine_args)

    def reflect_table(self, engine: Engine, name: str, schema: str | None) -> Table | None:
        return reflect_duckdb_table(engine, name, schema)

    def describe_columns(
        self, engine: Engine, schema: str | None
    ) -> dict[str, list[tuple[str, str]]] | None:
        return duckdb_columns(engine, schema)
