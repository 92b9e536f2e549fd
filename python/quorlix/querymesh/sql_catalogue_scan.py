"""Columns, comments and foreign keys of a whole schema in a few catalogue queries.

Reflecting table by table costs a round of queries per table (SQLAlchemy's bulk reflection
does the same on SQLite and MySQL: over two seconds for the foreign keys of 5,000 SQLite
tables). Ranking tables against a question needs only names, so each dialect gets one or two
queries over its own catalogue; any other dialect, or a catalogue query that fails, falls back
to SQLAlchemy's inspector.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field

from sqlalchemy import inspect, text
from sqlalchemy.engine import Connection, Engine
from sqlalchemy.exc import SQLAlchemyError


@dataclass
class TableSketch:
    """What ranking needs of one table: column names, comment words, joined tables."""

    columns: list[str] = field(default_factory=list)
    keys: list[str] = field(default_factory=list)  # primary- and foreign-key columns
    comments: list[str] = field(default_factory=list)
    neighbours: set[str] = field(default_factory=set)


Row = tuple  # (table, column, is_key, comment)
Link = tuple  # (table, referred table, column)

_SQLITE_COLUMNS = """
SELECT m.name, p.name, p.pk > 0, NULL
FROM sqlite_master AS m JOIN pragma_table_info(m.name) AS p
WHERE m.type IN ('table', 'view') AND m.name NOT LIKE 'sqlite~_%' ESCAPE '~'
ORDER BY m.name, p.cid
"""
_SQLITE_LINKS = """
SELECT m.name, f."table", f."from"
FROM sqlite_master AS m JOIN pragma_foreign_key_list(m.name) AS f
WHERE m.type = 'table'
"""

_PG_COLUMNS = """
SELECT c.relname, a.attname,
       EXISTS (SELECT 1 FROM pg_constraint k
               WHERE k.conrelid = c.oid AND k.contype IN ('p', 'f') AND a.attnum = ANY (k.conkey)),
       col_description(c.oid, a.attnum)
FROM pg_class c
JOIN pg_namespace n ON n.oid = c.relnamespace
JOIN pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped
WHERE n.nspname = COALESCE(CAST(:schema AS text), current_schema())
  AND c.relkind IN ('r', 'p', 'v', 'm', 'f')
ORDER BY c.relname, a.attnum
"""
_PG_TABLE_COMMENTS = """
SELECT c.relname, obj_description(c.oid, 'pg_class')
FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace
WHERE n.nspname = COALESCE(CAST(:schema AS text), current_schema())
  AND c.relkind IN ('r', 'p', 'v', 'm', 'f') AND obj_description(c.oid, 'pg_class') IS NOT NULL
"""
_PG_LINKS = """
SELECT c.relname, r.relname, a.attname
FROM pg_constraint k
JOIN pg_class c ON c.oid = k.conrelid
JOIN pg_class r ON r.oid = k.confrelid
JOIN pg_namespace n ON n.oid = c.relnamespace
JOIN pg_attribute a ON a.attrelid = c.oid AND a.attnum = k.conkey[1]
WHERE k.contype = 'f' AND n.nspname = COALESCE(CAST(:schema AS text), current_schema())
"""

_MYSQL_COLUMNS = """
SELECT TABLE_NAME, COLUMN_NAME, COLUMN_KEY IN ('PRI', 'MUL'), NULLIF(COLUMN_COMMENT, '')
FROM information_schema.COLUMNS
WHERE TABLE_SCHEMA = COALESCE(:schema, DATABASE())
ORDER BY TABLE_NAME, ORDINAL_POSITION
"""
_MYSQL_TABLE_COMMENTS = """
SELECT TABLE_NAME, NULLIF(TABLE_COMMENT, '') FROM information_schema.TABLES
WHERE TABLE_SCHEMA = COALESCE(:schema, DATABASE()) AND TABLE_COMMENT <> ''
"""
_MYSQL_LINKS = """
SELECT TABLE_NAME, REFERENCED_TABLE_NAME, COLUMN_NAME FROM information_schema.KEY_COLUMN_USAGE
WHERE TABLE_SCHEMA = COALESCE(:schema, DATABASE()) AND REFERENCED_TABLE_NAME IS NOT NULL
"""

_DUCKDB_COLUMNS = """
SELECT table_name, column_name, FALSE, comment FROM duckdb_columns()
WHERE schema_name = COALESCE(CAST(:schema AS VARCHAR), current_schema())
  AND database_name = current_database()
ORDER BY table_name, column_index
"""
_DUCKDB_LINKS = """
SELECT table_name, referenced_table, constraint_column_names[1] FROM duckdb_constraints()
WHERE constraint_type = 'FOREIGN KEY'
  AND schema_name = COALESCE(CAST(:schema AS VARCHAR), current_schema())
  AND database_name = current_database()
"""

_QUERIES: dict[str, tuple[str, str | None, str | None]] = {
    # dialect: (columns, table comments, foreign keys)
    "sqlite": (_SQLITE_COLUMNS, None, _SQLITE_LINKS),
    "postgresql": (_PG_COLUMNS, _PG_TABLE_COMMENTS, _PG_LINKS),
    "mysql": (_MYSQL_COLUMNS, _MYSQL_TABLE_COMMENTS, _MYSQL_LINKS),
    "mariadb": (_MYSQL_COLUMNS, _MYSQL_TABLE_COMMENTS, _MYSQL_LINKS),
    "duckdb": (_DUCKDB_COLUMNS, None, _DUCKDB_LINKS),
}


def scan_catalogue(engine: Engine, schema: str | None, views: bool) -> dict[str, TableSketch]:
    """``{table: TableSketch}`` for the tables (and views) of ``schema``."""
    queries = _QUERIES.get(engine.dialect.name)
    if queries is not None and (engine.dialect.name != "sqlite" or schema is None):
        try:
            with engine.connect() as conn:
                return _scan_with(conn, queries, schema)
        except SQLAlchemyError:
            pass  # a catalogue the queries do not fit (old server, no rights): ask SQLAlchemy
    return _scan_with_inspector(engine, schema, views)


def _scan_with(conn: Connection, queries: tuple, schema: str | None) -> dict[str, TableSketch]:
    columns_sql, comments_sql, links_sql = queries
    params = {"schema": schema} if conn.dialect.name != "sqlite" else {}
    sketches: dict[str, TableSketch] = {}
    for table, column, is_key, comment in conn.execute(text(columns_sql), params):
        sketch = sketches.setdefault(table, TableSketch())
        sketch.columns.append(column)
        if is_key:
            sketch.keys.append(column)
        if comment:
            sketch.comments.append(comment)
    if comments_sql:
        for table, comment in conn.execute(text(comments_sql), params):
            if table in sketches and comment:
                sketches[table].comments.append(comment)
    if links_sql:
        _add_links(sketches, conn.execute(text(links_sql), params))
    return sketches


def _add_links(sketches: dict[str, TableSketch], links: Iterable[Link]) -> None:
    for table, referred, column in links:
        if table not in sketches or not referred:
            continue
        sketches[table].neighbours.add(referred)
        if column and column not in sketches[table].keys:
            sketches[table].keys.append(column)
        if referred in sketches:
            sketches[referred].neighbours.add(table)


def _scan_with_inspector(engine: Engine, schema: str | None, views: bool) -> dict[str, TableSketch]:
    from sqlalchemy.engine.reflection import ObjectKind

    inspector = inspect(engine)
    kind = ObjectKind.ANY if views else ObjectKind.TABLE
    sketches: dict[str, TableSketch] = {}
    for (_, table), columns in inspector.get_multi_columns(schema=schema, kind=kind).items():
        sketch = sketches.setdefault(table, TableSketch())
        for column in columns:
            sketch.columns.append(column["name"])
            if column.get("comment"):
                sketch.comments.append(column["comment"])
    try:
        keys = inspector.get_multi_foreign_keys(schema=schema, kind=kind)
    except (SQLAlchemyError, NotImplementedError):
        return sketches
    _add_links(
        sketches,
        (
            (table, fk["referred_table"], (fk["constrained_columns"] or [None])[0])
            for (_, table), fks in keys.items()
            for fk in fks
        ),
    )
    return sketches
