"""DuckDB: one query per call, read by DuckDB's own parser, with long values cut in the engine.

DuckDB's parser splits the text into statements without running anything; a text that is not
exactly one query is refused here, whatever the statement check saw. The query is then bound
(columns and types, still not run) and wrapped so that DuckDB itself cuts every long value and
stops after the rows the call may fetch:

    SELECT <cut c1> AS "name 1", ... FROM (
        SELECT *, <size of c3> FROM (SELECT * FROM (<query>) LIMIT <rows>) AS qx_rows(c1, ...)
    ) AS qx_cut

Strings keep their type and are shortened, and so are byte strings. A value of another
unbounded type (LIST, ARRAY, STRUCT, MAP, UNION, JSON, BIGNUM, BIT, ...) cannot be shortened and
stay what it is, so one whose text is over the cut is sent as NULL with its size in an extra
column, and ``results.cuts.restore`` puts a note in its place, as on PostgreSQL.

No SQLAlchemy here: the worker process that runs DuckDB statements uses this module too.
"""

from __future__ import annotations

from typing import Any

from ...results.cuts import CutPlan, value_cut

# DuckDB type ids whose values are short whatever they hold.
_BOUNDED_TYPES = frozenset(
    {
        "boolean",
        "tinyint",
        "smallint",
        "integer",
        "bigint",
        "hugeint",
        "utinyint",
        "usmallint",
        "uinteger",
        "ubigint",
        "uhugeint",
        "float",
        "double",
        "decimal",
        "date",
        "time",
        "time_ns",
        "time with time zone",
        "timestamp",
        "timestamp_s",
        "timestamp_ms",
        "timestamp_ns",
        "timestamp with time zone",
        "interval",
        "uuid",
        "enum",
        "null",
    }
)


class NotOneQuery(ValueError):
    """The text is not exactly one query in DuckDB's own reading."""


def describe(connection: Any, statement: str) -> list[tuple[str, str]]:
    """(name, type id) of each column of ``statement``, read by DuckDB without running it.

    JSON, which DuckDB counts as a VARCHAR, is "json": a cut would leave it unreadable.
    """
    import duckdb

    statements = connection.extract_statements(statement)
    if len(statements) != 1:
        raise NotOneQuery(
            f"DuckDB reads {len(statements)} statements in this text; one query may run per call"
        )
    if statements[0].type != duckdb.StatementType.SELECT:
        kind = str(statements[0].type).rsplit(".", 1)[-1]
        raise NotOneQuery(f"DuckDB reads this text as a {kind} statement, not as a query")
    relation = connection.sql(statement)
    return [
        (name, "json" if str(kind) == "JSON" else kind.id)
        for name, kind in zip(relation.columns, relation.types, strict=True)
    ]


def cut_statement(
    columns: list[tuple[str, str]], statement: str, rows: int, min_chars: int
) -> tuple[str, CutPlan]:
    cut = value_cut(len(columns), rows, min_chars)
    selects, sizes, sized = [], [], []
    for index, (name, type_id) in enumerate(columns):
        ref = f"qx_cut.c{index + 1}"
        if type_id in _BOUNDED_TYPES:
            expr = ref
        elif type_id == "varchar":
            expr = f"CASE WHEN strlen({ref}) > {cut} THEN left({ref}, {cut}) ELSE {ref} END"
        elif type_id == "blob":
            expr = f"CASE WHEN octet_length({ref}) > {cut} THEN {ref}[1:{cut}] ELSE {ref} END"
        else:
            size = f"qx_cut.qx_size{index + 1}"
            expr = f"CASE WHEN {size} > {cut} THEN NULL ELSE {ref} END"
            sized.append((index, len(columns) + len(sizes)))
            sizes.append((index, f"CASE WHEN {size} > {cut} THEN {size} END"))
        selects.append(f"{expr} AS {_quote(name)}")
    names = ", ".join(f"c{i + 1}" for i in range(len(columns)))
    measured = "".join(
        f", strlen(CAST(c{index + 1} AS VARCHAR)) AS qx_size{index + 1}" for index, _ in sizes
    )
    limited = f"SELECT * FROM (\n{statement}\n) AS qx_query LIMIT {rows}"
    inner = f"SELECT *{measured} FROM ({limited}) AS qx_rows({names})"
    outer = ", ".join(selects + [expression for _, expression in sizes])
    return f"SELECT {outer} FROM ({inner}) AS qx_cut", CutPlan(len(columns), tuple(sized), cut)


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'
