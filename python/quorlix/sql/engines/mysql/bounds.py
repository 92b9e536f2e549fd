"""MySQL / MariaDB: have the server cut long values before it sends them.

The server describes the query through the binary protocol's COM_STMT_PREPARE, which neither
runs it nor accepts a text holding more than one statement. When a column can hold long strings
or blobs, the query is wrapped so that each of them arrives at most ``cut`` characters long:

    SELECT LEFT(qx_cut.`name 1`, <cut>) AS `name 1`, ... FROM (<query> LIMIT <rows>) AS qx_cut

(a query whose columns share a name is read as ``WITH qx_cut (c1, ...) AS (...)`` instead).

The inner LIMIT is added only when the query has none: the wrapper fetches no more rows anyway,
and without a LIMIT MariaDB drops the ORDER BY of a query it reads from.
"""

from __future__ import annotations

import struct
from typing import Any

import sqlglot
from sqlglot import exp

from ...results.cuts import value_cut

_COM_STMT_PREPARE = 0x16
_COM_STMT_CLOSE = 0x19
# VARCHAR, JSON, TINY/MEDIUM/LONG/BLOB, VAR_STRING, STRING, GEOMETRY
_LONG_TYPES = frozenset({15, 245, 249, 250, 251, 252, 253, 254, 255})


def describe(raw: Any, statement: str) -> list[tuple[str, int]] | None:
    """(name, type code) of each column, without running the statement; None if unknown.

    PyMySQL has no public call for this, so the prepare request is sent with its packet
    helpers; a driver without them is not described.
    """
    if not all(hasattr(raw, name) for name in ("_execute_command", "_read_packet")):
        return None
    from pymysql.protocol import FieldDescriptorPacket

    raw._execute_command(_COM_STMT_PREPARE, statement)
    head = raw._read_packet()  # raises the server's error, e.g. for a second statement
    statement_id, columns, params = struct.unpack("<xIHH", head.read(9))
    try:
        if params:
            for _ in range(params):
                raw._read_packet()
            raw._read_packet()  # EOF
        described = []
        if columns:
            for _ in range(columns):
                field = raw._read_packet(FieldDescriptorPacket)
                described.append((field.name, field.type_code))
            raw._read_packet()  # EOF
        return described
    finally:
        raw._execute_command(_COM_STMT_CLOSE, struct.pack("<I", statement_id))


def cut_statement(columns: list[tuple[str, int]], statement: str, rows: int, min_chars: int) -> str:
    if not any(code in _LONG_TYPES for _, code in columns):
        return statement
    cut = value_cut(len(columns), rows, min_chars)
    # Names are compared as the server does, without regard to case.
    unique = len({name.lower() for name, _ in columns}) == len(columns)
    selects = []
    for index, (name, code) in enumerate(columns):
        ref = f"qx_cut.{_quote(name)}" if unique else f"qx_cut.c{index + 1}"
        expr = f"LEFT({ref}, {cut})" if code in _LONG_TYPES else ref
        selects.append(f"{expr} AS {_quote(name)}")
    inner = statement if _has_limit(statement) else f"{statement}\nLIMIT {rows}"
    if unique:
        return f"SELECT {', '.join(selects)} FROM (\n{inner}\n) AS qx_cut"
    names = ", ".join(f"c{i + 1}" for i in range(len(columns)))
    return f"WITH qx_cut ({names}) AS (\n{inner}\n) SELECT {', '.join(selects)} FROM qx_cut"


def _quote(name: str) -> str:
    return "`" + name.replace("`", "``") + "`"


def _has_limit(statement: str) -> bool:
    try:
        tree = sqlglot.parse_one(statement, read="mysql")
    except Exception:  # unknown shape: a second LIMIT would only make it fail
        return True
    while isinstance(tree, exp.Subquery) and tree.this is not None:
        tree = tree.this
    return not isinstance(tree, exp.Query) or tree.args.get("limit") is not None
