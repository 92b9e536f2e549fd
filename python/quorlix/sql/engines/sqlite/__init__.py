"""SQLite: sessions that only read, and checked statements in worker processes.

``session`` holds the host's walls, ``reader`` the locked-down connection that both the host
and the worker processes open (no SQLAlchemy there), ``kind`` what else the wrapper knows of
SQLite (catalogue queries, database files that must exist).
"""
