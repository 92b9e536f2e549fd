"""Columns, comments and foreign keys of a whole schema in a few catalogue queries.

Reflecting table by table costs a round of queries per table (SQLAlchemy's bulk reflection
does the same on SQLite and MySQL: over two seconds for the foreign keys of 5,000 SQLite
tables). Ranking tables against a question needs only names, so each engine brings one or two
queries over its own catalogue (its kind's ``catalogue_queries``); any other dialect, or a
catalogue query that fails, falls back to SQLAlchemy's inspector.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from sqlalchemy import inspect, text
from sqlalchemy.engine import Connection, Engine
from sqlalchemy.exc import SQLAlchemyError

from .. import engines

if TYPE_CHECKING:
    from ..engines.kind import CatalogueQueries


@dataclass
class TableSketch:
    """What ranking needs of one table: column names, comment words, joined tables."""

    columns: list[str] = field(default_factory=list)
    keys: list[str] = field(default_factory=list)  # primary- and foreign-key columns
    comments: list[str] = field(default_factory=list)
    neighbours: set[str] = field(default_factory=set)


Row = tuple  # (table, column, is_key, comment)
Link = tuple  # (table, referred table, column)


def scan_catalogue(engine: Engine, schema: str | None, views: bool) -> dict[str, TableSketch]:
    """``{table: TableSketch}`` for the tables (and views) of ``schema``."""
    queries = engines.find(engine.dialect.name).catalogue_queries
    if queries is not None and (queries.takes_schema or schema is None):
        try:
            with engine.connect() as conn:
                return _scan_with(conn, queries, schema)
        except SQLAlchemyError:
            pass  # a catalogue the queries do not fit (old server, no rights): ask SQLAlchemy
    return _scan_with_inspector(engine, schema, views)


def _scan_with(
    conn: Connection, queries: CatalogueQueries, schema: str | None
) -> dict[str, TableSketch]:
    columns_sql, comments_sql, links_sql = queries.columns, queries.table_comments, queries.links
    params = {"schema": schema} if queries.takes_schema else {}
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
