"""The DuckDB session of the worker process that runs checked statements.

It opens the databases the host's engine has open, each read-only and under the same name,
with the host's limits (memory, threads, spill space in a folder of its own), the same files
allowed, then external access off and the configuration locked: no statement can read another
file, write one, or raise a limit. No SQLAlchemy here: the worker imports this module.
"""

from __future__ import annotations

import json
from typing import Any

from ...results.cuts import fetch_bounded, restore, rows_to_fetch
from .bounds import cut_statement, describe

_FETCH_BATCH = 16  # values arrive cut by DuckDB already


def _literal(text: str) -> str:
    return "'" + str(text).replace("'", "''") + "'"


def _identifier(name: str) -> str:
    return '"' + str(name).replace('"', '""') + '"'


def _list(values: Any) -> str:
    return "[" + ", ".join(_literal(value) for value in values or ()) + "]"


def _parse_json(row: tuple, columns: list[int]) -> tuple:
    """JSON values as Python values, as SQLAlchemy's DuckDB dialect gives them."""
    values = list(row)
    for index in columns:
        if isinstance(values[index], str):
            values[index] = json.loads(values[index])
    return tuple(values)


class DuckDBReader:
    def __init__(self, options: dict[str, Any]) -> None:
        import duckdb

        config = {
            "threads": int(options["threads"]),
            "memory_limit": f"{int(options['memory_limit'])}B",
            "max_temp_directory_size": f"{int(options['temp_limit'])}B",
            "temp_directory": options["temp_directory"],
            "autoinstall_known_extensions": False,
            "autoload_known_extensions": False,
        }
        self._connection = duckdb.connect(":memory:", config=config)
        execute = self._connection.execute
        execute("SET enable_progress_bar = false")
        for name, path in options["databases"]:
            execute(f"ATTACH {_literal(path)} AS {_identifier(name)} (READ_ONLY)")
        database, schema = options["current"]
        execute(f"USE {_identifier(database)}.{_identifier(schema)}")
        execute(f"SET allowed_paths = {_list(options.get('allowed_paths'))}")
        execute(f"SET allowed_directories = {_list(options.get('allowed_directories'))}")
        execute("SET enable_external_access = false")
        execute("SET lock_configuration = true")

    def describe(self, statement: str) -> list[tuple[str, str]]:
        return describe(self._connection, statement)

    def fetch(
        self,
        statement: str,
        columns: list[tuple[str, str]],
        limit: int,
        min_chars: int,
        max_chars: int,
        seconds: float | None,
    ) -> tuple[list[str], list[tuple], bool]:
        # The host stops this process at the time limit: DuckDB's own interrupt is checked
        # only between chunks, and one function call (repeat() of a billion characters) can
        # run for seconds before the next check.
        limit = rows_to_fetch(limit, len(columns), min_chars, max_chars)
        wrapped, plan = cut_statement(columns, statement, limit + 1, min_chars)
        result = self._connection.execute(wrapped)  # the connection itself, holding the result
        keys = [column[0] for column in result.description]
        rows, more = fetch_bounded(result.fetchmany, plan.columns, limit, min_chars, _FETCH_BATCH)
        json_columns = [index for index, (_, kind) in enumerate(columns) if kind == "json"]
        if json_columns:
            rows = [_parse_json(row, json_columns) for row in rows]
        keys, rows = restore(keys, rows, plan)
        return keys, rows, more

    def timed_out(self, error: BaseException) -> bool:
        return False
