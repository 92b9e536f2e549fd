"""Reflecting a DuckDB table from DuckDB's own catalogue functions.

The DuckDB dialect reflects through imitations of PostgreSQL's catalogue, and the queries that
SQLAlchemy 2.1 sends there (collations, ``regclass`` casts) fail on DuckDB 2.0. ``duckdb_columns()``
and ``duckdb_constraints()`` hold everything a table description needs, and the column types
are shown exactly as DuckDB names them.
"""

from __future__ import annotations

from typing import Any

from sqlalchemy import Column, ForeignKeyConstraint, MetaData, Table, text
from sqlalchemy.engine import Connection, Engine
from sqlalchemy.exc import NoSuchTableError
from sqlalchemy.types import UserDefinedType

_WHERE = (
    " WHERE table_name = :table"
    " AND schema_name = COALESCE(CAST(:schema AS VARCHAR), current_schema())"
    " AND database_name = current_database()"
)
_COLUMNS = (
    "SELECT column_name, data_type, is_nullable, comment FROM duckdb_columns()"
    + _WHERE
    + " ORDER BY column_index"
)
_CONSTRAINTS = (
    "SELECT constraint_type, constraint_column_names, referenced_table, referenced_column_names"
    " FROM duckdb_constraints()" + _WHERE + " AND constraint_type IN ('PRIMARY KEY', 'FOREIGN KEY')"
)


class DuckDBType(UserDefinedType):
    """A column type rendered as DuckDB's own name for it."""

    cache_ok = True

    def __init__(self, spec: str) -> None:
        self.spec = spec

    def get_col_spec(self, **kw: Any) -> str:
        return self.spec


def duckdb_columns(engine: Engine, schema: str | None) -> dict[str, list[tuple[str, str]]]:
    """``{table: [(column, type), ...]}`` of every table and view of ``schema``."""
    query = (
        "SELECT table_name, column_name, data_type FROM duckdb_columns()"
        " WHERE schema_name = COALESCE(CAST(:schema AS VARCHAR), current_schema())"
        " AND database_name = current_database() ORDER BY table_name, column_index"
    )
    found: dict[str, list[tuple[str, str]]] = {}
    with engine.connect() as conn:
        for table, column, spec in conn.execute(text(query), {"schema": schema}):
            found.setdefault(table, []).append((column, spec))
    return found


def reflect_duckdb_table(engine: Engine, name: str, schema: str | None) -> Table:
    """``name`` as a ``Table`` in a new ``MetaData``, with the tables its foreign keys name."""
    metadata = MetaData()
    with engine.connect() as conn:
        return _table(conn, metadata, name, schema, with_keys=True)


def _table(conn: Connection, metadata: MetaData, name: str, schema: str | None, *, with_keys):
    key = f"{schema}.{name}" if schema else name
    if key in metadata.tables:
        return metadata.tables[key]
    params = {"table": name, "schema": schema}
    rows = conn.execute(text(_COLUMNS), params).fetchall()
    if not rows:
        raise NoSuchTableError(name)
    constraints = conn.execute(text(_CONSTRAINTS), params).fetchall()
    primary = {c for kind, cols, _, _ in constraints if kind == "PRIMARY KEY" for c in cols}
    columns = [
        Column(column, DuckDBType(spec), nullable=bool(nullable), primary_key=column in primary)
        for column, spec, nullable, _ in rows
    ]
    for column, (_, _, _, comment) in zip(columns, rows, strict=True):
        column.comment = comment or None
    table = Table(name, metadata, *columns, schema=schema)
    if not with_keys:
        return table
    for kind, cols, referred, referred_cols in constraints:
        if kind != "FOREIGN KEY" or not referred:
            continue
        other = _table(conn, metadata, referred, schema, with_keys=False)
        table.append_constraint(
            ForeignKeyConstraint(list(cols), [other.c[c] for c in referred_cols])
        )
    return table
