"""Worker processes for engines that compute inside the calling process (SQLite, DuckDB):
``pool`` starts and reuses them from the host, ``main`` is the worker's side."""
