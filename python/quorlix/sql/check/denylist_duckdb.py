"""DuckDB functions a read-only query may not call, on top of ``denylist``.

DuckDB reads files, URLs and other databases through table functions, and ``query()`` runs an
SQL text behind the statement check's back. The database quorlix opens has external access
turned off, so these fail there anyway; refusing them by name says why before anything runs,
and keeps the same rule for a DuckDB engine opened some other way.
"""

from __future__ import annotations

DUCKDB_DENIED_FUNCTIONS: frozenset[str] = frozenset(
    {
        "query",
        "query_table",
        "read_csv",
        "read_csv_auto",
        "sniff_csv",
        "read_parquet",
        "parquet_scan",
        "parquet_metadata",
        "parquet_schema",
        "parquet_file_metadata",
        "parquet_kv_metadata",
        "parquet_bloom_probe",
        "read_json",
        "read_json_auto",
        "read_json_objects",
        "read_json_objects_auto",
        "read_ndjson",
        "read_ndjson_auto",
        "read_ndjson_objects",
        "read_text",
        "read_blob",
        "read_xlsx",
        "glob",
        "iceberg_scan",
        "iceberg_metadata",
        "iceberg_snapshots",
        "delta_scan",
        "sqlite_scan",
        "sqlite_attach",
        "postgres_scan",
        "postgres_scan_pushdown",
        "postgres_attach",
        "postgres_query",
        "postgres_execute",
        "mysql_query",
        "mysql_execute",
        "duckdb_secrets",
        "which_secret",
        "getenv",
        "load_extension",
    }
)


def is_duckdb_denied_function(name: str) -> bool:
    bare = name.rsplit(".", 1)[-1].strip('"`[]').lower()
    return bare in DUCKDB_DENIED_FUNCTIONS
