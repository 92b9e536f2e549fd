"""DuckDB: database files and data files (CSV, Parquet, JSON) served read-only and locked.

``sources`` opens them (a folder of data files becomes a catalogue of views) with external
access off and the limits of ``settings`` (memory, spill space, threads). ``session`` holds the
walls: writable databases refused, the same limits on an engine opened some other way, checked
statements in worker processes whose session ``reader`` opens (no SQLAlchemy there).
``bounds`` has DuckDB's own parser read each statement and cut long values inside DuckDB;
``reflection`` describes tables from DuckDB's catalogue functions. The functions a query may
not call are refused by the statement check (``quorlix.sql.check.denylist_duckdb``).
"""
