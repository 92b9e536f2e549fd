"""How much of the machine one DuckDB database may use: memory, spill space and threads.

DuckDB's own defaults take 80 % of the machine's memory, every core, and spill space up to
90 % of the free disk. A database that answers questions gets limits of its own instead:

    QUORLIX_DUCKDB_MEMORY_LIMIT  DuckDB's memory_limit (default 1 GiB)
    QUORLIX_DUCKDB_TEMP_LIMIT    most spill data in its temporary folder (default 4 GiB)
    QUORLIX_DUCKDB_THREADS       threads per query (default: the cores, at most 4)

Sizes are bytes, or a number with a K, M, G or T suffix (powers of 1024: ``512M``, ``2G``,
``1.5GiB``). The same names in lower case are keyword arguments of the engine functions
(``files_engine(path, memory_limit="2G")``) and of ``CustomSQLDatabase.from_uri``'s
``engine_args``.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from typing import Any

from quorlix import config

MiB = 1024 * 1024
GiB = 1024 * MiB
DEFAULT_MEMORY_LIMIT = 1 * GiB
DEFAULT_TEMP_LIMIT = 4 * GiB
MAX_DEFAULT_THREADS = 4
MIN_MEMORY_LIMIT = 64 * MiB

_ENVIRONMENT = {
    "memory_limit": "QUORLIX_DUCKDB_MEMORY_LIMIT",
    "temp_directory_limit": "QUORLIX_DUCKDB_TEMP_LIMIT",
    "threads": "QUORLIX_DUCKDB_THREADS",
}
_SIZE = re.compile(r"^\s*(\d+(?:\.\d+)?)\s*(?:([KMGT])(?:I?B)?|B)?\s*$", re.IGNORECASE)
_UNITS = {None: 1, "K": 1024, "M": MiB, "G": GiB, "T": 1024 * GiB}
# DuckDB's own spelling of a size, as current_setting() shows it: '1.0 GiB', '953.6 MiB'.
_SHOWN = re.compile(r"^\s*(\d+(?:\.\d+)?)\s*([KMGTP]?i?B|bytes)\s*$", re.IGNORECASE)
_SHOWN_UNITS = {"B": 1, "BYTES": 1, "KB": 1000, "MB": 1000**2, "GB": 1000**3, "TB": 1000**4}
_SHOWN_UNITS |= {"KIB": 1024, "MIB": MiB, "GIB": GiB, "TIB": 1024 * GiB}


@dataclass(frozen=True)
class DuckDBSettings:
    memory_limit: int  # bytes
    temp_directory_limit: int  # bytes
    threads: int

    @classmethod
    def resolve(cls, **given: Any) -> DuckDBSettings:
        """The settings: the keyword arguments given (not None), else the environment, else
        the defaults. A value that cannot be read is a ``ValueError`` naming it."""
        values = {}
        for name, variable in _ENVIRONMENT.items():
            value = given.get(name)
            source = name
            if value is None:
                value, source = config.setting(config.field_of(variable)), variable
            values[name] = _read(name, value, source)
        return cls(**values)

    def statements(self, temp_directory: str) -> list[str]:
        """The SET statements that apply these settings, spilling into ``temp_directory``."""
        return [
            f"SET memory_limit = '{self.memory_limit}B'",
            f"SET threads = {self.threads}",
            f"SET temp_directory = '{temp_directory.replace(chr(39), chr(39) * 2)}'",
            f"SET max_temp_directory_size = '{self.temp_directory_limit}B'",
        ]


def split_settings(engine_args: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
    """(the DuckDB settings among ``engine_args``, the rest for ``create_engine``)."""
    settings = {name: engine_args[name] for name in _ENVIRONMENT if name in engine_args}
    rest = {name: value for name, value in engine_args.items() if name not in _ENVIRONMENT}
    return settings, rest


def shown_size(text: str) -> int | None:
    """Bytes of a size as DuckDB shows it ('1.0 GiB'); None for anything else."""
    match = _SHOWN.match(str(text))
    if not match:
        return None
    unit = _SHOWN_UNITS.get(match.group(2).upper())
    return None if unit is None else int(float(match.group(1)) * unit)


def _read(name: str, value: Any, source: str) -> int:
    if value is None or value == "":
        return _default(name)
    if name == "threads":
        number = _whole_number(value)
        if number is None or number < 1:
            raise ValueError(
                f"{source} must be a whole number of threads of at least 1; got {value!r}"
            )
        return number
    size = _size(value)
    minimum = MIN_MEMORY_LIMIT if name == "memory_limit" else 0
    if size is None or size < minimum:
        floor = f" of at least {minimum // MiB}M" if minimum else ""
        raise ValueError(
            f"{source} must be a size{floor}: bytes, or a number with a K, M, G or T suffix"
            f" (for example 512M or 2G); got {value!r}"
        )
    return size


def _default(name: str) -> int:
    if name == "memory_limit":
        return DEFAULT_MEMORY_LIMIT
    if name == "temp_directory_limit":
        return DEFAULT_TEMP_LIMIT
    return max(1, min(MAX_DEFAULT_THREADS, os.cpu_count() or 1))


def _whole_number(value: Any) -> int | None:
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        return value
    if isinstance(value, str) and value.strip().isdigit():
        return int(value)
    return None


def _size(value: Any) -> int | None:
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        return value
    match = _SIZE.match(str(value))
    if not match:
        return None
    unit = match.group(2).upper() if match.group(2) else None
    return int(float(match.group(1)) * _UNITS[unit])
