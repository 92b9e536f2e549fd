"""Data that is not a database server: DuckDB files, and CSV, Parquet or JSON files as tables.

Both are served through DuckDB and its SQLAlchemy dialect, opened read-only and with every
file outside the given data out of reach (see ``duckdb_source``).
"""

from .duckdb_source import (
    DATA_FILE_SUFFIXES,
    DataSourceError,
    duckdb_database_engine,
    files_engine,
    is_data_path,
)

__all__ = [
    "DATA_FILE_SUFFIXES",
    "DataSourceError",
    "duckdb_database_engine",
    "files_engine",
    "is_data_path",
]
