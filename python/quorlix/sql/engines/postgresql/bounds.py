"""PostgreSQL: have the server cut long values before it sends them.

The query is parsed and described through the extended protocol (which also refuses a text
holding more than one statement) without running it. When a column can hold long values, the
query is wrapped so that each of them arrives at most ``cut`` characters or bytes long:

    SELECT <cut c1> AS "name 1", ... FROM (SELECT * FROM (<query>) ... OFFSET 0) AS qx_cut(c1, ...)

Strings and byte strings keep their type and are shortened. A value of another unbounded type
(numeric, arrays, json, xml, ...) cannot be shortened and stay what it is, so one over the cut
is sent as NULL with its size in an extra column, and ``results.cuts.restore`` puts a note in its
place.
"""

from __future__ import annotations

from typing import Any

from sqlalchemy.exc import DBAPIError

from ...results.cuts import CutPlan, value_cut

# Types whose values are short whatever they hold (fixed-size numbers, times, flags,
# addresses, ...). Not numeric: it holds up to 131,072 digits before the point.
_BOUNDED_TYPES = frozenset(
    {16, 18, 19, 20, 21, 23, 24, 26, 28, 650, 700, 701, 774, 790, 829, 869, 1082, 1083, 1114}
    | {1184, 1186, 1266, 2205, 2206, 2278, 2950, 3220, 5069}
)
_STRING_TYPES = {25: "text", 1043: "varchar", 1042: "bpchar"}
_BYTEA = 17


def describe(raw: Any, statement: str) -> list[tuple[str, int]]:
    """(name, type oid) of each column ``statement`` returns, without running it."""
    encoding = raw.info.encoding
    pgconn = raw.pgconn
    parsed = pgconn.prepare(b"", statement.encode(encoding), None)
    _raise_for(parsed, statement, encoding)
    described = pgconn.describe_prepared(b"")
    _raise_for(described, statement, encoding)
    return [
        (described.fname(i).decode(encoding), described.ftype(i)) for i in range(described.nfields)
    ]


def cut_statement(
    columns: list[tuple[str, int]], statement: str, rows: int, min_chars: int
) -> tuple[str, CutPlan | None]:
    if all(oid in _BOUNDED_TYPES for _, oid in columns):
        return statement, None
    cut = value_cut(len(columns), rows, min_chars)
    selects, sizes, sized = [], [], []
    for index, (name, oid) in enumerate(columns):
        ref = f"qx_cut.c{index + 1}"
        if oid in _BOUNDED_TYPES:
            expr = ref
        elif oid in _STRING_TYPES:
            shorter = f"left({ref}::text, {cut})::{_STRING_TYPES[oid]}"
            # Bytes are counted, not characters: far quicker, and never fewer than characters.
            expr = f"CASE WHEN octet_length({ref}) > {cut} THEN {shorter} ELSE {ref} END"
        elif oid == _BYTEA:
            expr = (
                f"CASE WHEN octet_length({ref}) > {cut} THEN substr({ref}, 1, {cut}) ELSE {ref} END"
            )
        else:
            size = f"octet_length({ref}::text)"
            expr = f"CASE WHEN {size} > {cut} THEN NULL ELSE {ref} END"
            sized.append((index, len(columns) + len(sizes)))
            sizes.append(f"CASE WHEN {size} > {cut} THEN {size} END")
        selects.append(f"{expr} AS {_quote(name)}")
    names = ", ".join(f"c{i + 1}" for i in range(len(columns)))
    # OFFSET 0 keeps the planner from copying each column's expression into every place that
    # reads it, which would compute a costly value two or three times.
    inner = f"SELECT * FROM (\n{statement}\n) AS qx_query OFFSET 0"
    wrapped = f"SELECT {', '.join(selects + sizes)} FROM ({inner}) AS qx_cut({names})"
    return wrapped, CutPlan(len(columns), tuple(sized), cut)


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _raise_for(result: Any, statement: str, encoding: str) -> None:
    import psycopg  # only PostgreSQL engines get here

    if result.status == psycopg.pq.ExecStatus.COMMAND_OK:
        return
    error = psycopg.errors.error_from_result(result, encoding=encoding)
    raise DBAPIError.instance(statement, None, error, psycopg.Error)
