"""The SQL walls: how the graph's database wrapper runs a chat model's SQL safely.

``database`` holds ``CustomSQLDatabase`` (imported by users and the graph from
``quorlix.querymesh.custom_sql``), which runs every statement through the layers below:

* ``check``: the statement check, before anything reaches the database (one read-only query,
  functions and relations refused by name, code fences removed);
* ``catalogue``: the table list, read when first needed, and the schema text the model reads;
* ``session``: the walls a database session keeps around each statement, and the watchdog
  that holds a whole call to its time limit;
* ``results``: at most so many rows and characters, long values cut as they are fetched;
* ``workers``: the processes SQLite and DuckDB statements run in, with a memory cap;
* ``engines``: one package per database engine (SQLite, PostgreSQL, MySQL/MariaDB, DuckDB)
  with that engine's walls, bounds, refusals, reader and reflection, found by dialect name.

Besides: ``errors`` (what the wrapper raises), ``options`` (its options, checked when it is
built), ``recording`` (a run's queries and rows, kept for the service and ``quorlix ask``),
``privileges`` (what the database account could do beyond reading).

Nothing is imported here: the worker processes import their engine's reader from this package
without SQLAlchemy or LangChain.
"""
