"""SQLAlchemy engines over DuckDB that cannot reach any file but the data they were given.

Every engine shares one DuckDB database, opened read-only; each pooled connection is a cursor
of it (DuckDB's way to use one database from several threads). Before the engine is handed out
the database is locked down: ``allowed_paths`` lists the data files, then external access is
turned off and the configuration locked, so that ``read_csv('/etc/passwd')``, ``COPY ... TO``,
``ATTACH``, ``INSTALL`` and ``LOAD`` fail inside DuckDB whatever the statement check let pass,
and no later ``SET`` can undo it. Before that it gets limits of its own (``duckdb_settings``):
memory, threads, and spill space in a private folder.

Files become tables by way of a small catalogue database in a private temporary folder: one
view per file, written once, then opened read-only like any DuckDB file. The views read their
files when queried, so nothing is copied.
"""

from __future__ import annotations

import re
import shutil
import tempfile
import weakref
from collections.abc import Iterable
from pathlib import Path
from typing import Any

from sqlalchemy import create_engine
from sqlalchemy.engine import Engine

from .settings import DuckDBSettings, split_settings

# Suffix -> DuckDB table function that reads it.
DATA_FILE_SUFFIXES: dict[str, str] = {
    ".csv": "read_csv",
    ".tsv": "read_csv",
    ".parquet": "read_parquet",
    ".json": "read_json",
    ".jsonl": "read_json",
    ".ndjson": "read_json",
}


class DataSourceError(ValueError):
    """The data given cannot be served as a database; the message says what to change."""


def is_data_path(value: str) -> bool:
    """Whether ``value`` names a data file or a folder rather than a database URL."""
    if "://" in value:
        return False
    path = Path(value).expanduser()
    return path.is_dir() or path.suffix.lower() in DATA_FILE_SUFFIXES


def files_engine(location: str | Path, **engine_args: Any) -> Engine:
    """An engine whose tables are the data files at ``location`` (a file, or a folder of them).

    Each file is a table named after it (``sales.csv`` is ``sales``): lower-cased, with every
    character other than a letter, a digit or ``_`` replaced by ``_``. ``memory_limit``,
    ``threads`` and ``temp_directory_limit`` among ``engine_args`` set DuckDB's limits
    (``duckdb_settings``); the rest go to ``create_engine``.
    """
    settings, engine_args = split_settings(engine_args)
    limits = DuckDBSettings.resolve(**settings)
    tables = _tables_of(Path(location).expanduser())
    workdir = Path(tempfile.mkdtemp(prefix="quorlix-files-"))
    catalogue = workdir / "catalogue.duckdb"
    try:
        _write_catalogue(catalogue, tables)
        spill = workdir / "spill"
        engine = _locked_engine(
            catalogue, allowed=tables.values(), limits=limits, spill=spill, **engine_args
        )
    except BaseException:
        shutil.rmtree(workdir, ignore_errors=True)
        raise
    weakref.finalize(engine, shutil.rmtree, workdir, True)
    return engine


def duckdb_database_engine(database: str, *, read_only: bool = True, **engine_args: Any) -> Engine:
    """An engine over an existing DuckDB database file (``duckdb:///path.duckdb``).

    ``engine_args`` as for ``files_engine``.
    """
    settings, engine_args = split_settings(engine_args)
    limits = DuckDBSettings.resolve(**settings)
    path = Path(database).expanduser()
    if database in ("", ":memory:") or not path.is_file():
        raise DataSourceError(
            f"DuckDB database file {database!r} does not exist (resolved against {Path.cwd()})."
            " Check the path in the URL: duckdb:///relative/path.duckdb or"
            " duckdb:////absolute/path.duckdb."
        )
    if not read_only:
        # Writing asks for the ordinary dialect: a shared, locked, read-only database is what
        # this module is for.
        return create_engine(f"duckdb:///{path}", **engine_args)
    spill = Path(tempfile.mkdtemp(prefix="quorlix-duckdb-spill-"))
    try:
        engine = _locked_engine(path, allowed=(), limits=limits, spill=spill, **engine_args)
    except BaseException:
        shutil.rmtree(spill, ignore_errors=True)
        raise
    weakref.finalize(engine, shutil.rmtree, spill, True)
    return engine


def _tables_of(location: Path) -> dict[str, Path]:
    if location.is_dir():
        files = sorted(
            p for p in location.iterdir() if p.is_file() and p.suffix.lower() in DATA_FILE_SUFFIXES
        )
        if not files:
            raise DataSourceError(
                f"the folder {location} holds no data files; expected files ending in"
                f" {', '.join(DATA_FILE_SUFFIXES)}"
            )
    elif location.is_file():
        if location.suffix.lower() not in DATA_FILE_SUFFIXES:
            raise DataSourceError(
                f"{location} is not a data file; expected a name ending in"
                f" {', '.join(DATA_FILE_SUFFIXES)}"
            )
        files = [location]
    else:
        raise DataSourceError(f"there is no file or folder at {location}")
    tables: dict[str, Path] = {}
    for file in files:
        name = table_name_for(file)
        if name in tables:
            raise DataSourceError(
                f"{tables[name].name} and {file.name} would both be the table {name!r};"
                " rename one of them"
            )
        tables[name] = file.resolve()
    return tables


def table_name_for(file: Path) -> str:
    name = re.sub(r"[^a-z0-9_]", "_", file.stem.lower())
    return name if name and not name[0].isdigit() else f"t_{name}"


def _quoted_literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def _write_catalogue(catalogue: Path, tables: dict[str, Path]) -> None:
    import duckdb

    with duckdb.connect(str(catalogue)) as connection:
        for name, file in tables.items():
            reader = DATA_FILE_SUFFIXES[file.suffix.lower()]
            source = f"{reader}({_quoted_literal(str(file))})"
            try:
                # Reading the header now reports an unreadable file here, not at the first
                # question; the view itself still reads the file only when queried.
                connection.execute(f'CREATE VIEW "{name}" AS SELECT * FROM {source}')
                connection.execute(f'SELECT * FROM "{name}" LIMIT 0')
            except duckdb.Error as err:
                raise DataSourceError(f"cannot read {file} as {reader}: {err}") from err


def lock_down(connection: Any, allowed: Iterable[Path]) -> None:
    """Allow only ``allowed`` files, then turn external access off for good; the limits set
    before stay as they are."""
    paths = ", ".join(_quoted_literal(str(path)) for path in allowed)
    connection.execute(f"SET allowed_paths = [{paths}]")
    connection.execute("SET enable_external_access = false")
    connection.execute("SET lock_configuration = true")


def _locked_engine(
    database: Path,
    *,
    allowed: Iterable[Path],
    limits: DuckDBSettings,
    spill: Path,
    **engine_args: Any,
) -> Engine:
    import duckdb
    from duckdb_engine import ConnectionWrapper

    spill.mkdir(exist_ok=True)
    shared = duckdb.connect(str(database), read_only=True)
    try:
        for statement in limits.statements(str(spill)):
            shared.execute(statement)
        lock_down(shared, allowed)
    except BaseException:
        shared.close()
        raise

    def new_connection() -> ConnectionWrapper:
        return ConnectionWrapper(shared.cursor())

    engine = create_engine(f"duckdb:///{database}", creator=new_connection, **engine_args)
    weakref.finalize(engine, shared.close)
    return engine
