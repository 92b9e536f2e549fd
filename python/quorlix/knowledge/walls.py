"""Knowledge never holds SQL that the walls refuse, whatever its source.

An example's SQL is shown to the model as the way to answer a question, so it must be what the
read-only wrapper would let run: one read-only query, checked by the same statement check, in
the dialect of the database the example is filed under. A glossary entry's SQL is a fragment (an
expression or a condition); it must pass that check as the list of a SELECT or as its WHERE.
"""

from __future__ import annotations

from .records import KnowledgeError

# The backend part of a database key (see database_keys) -> the SQLAlchemy dialect name.
_SAMPLE_DIALECT = "sqlite"
_FILES_DIALECT = "duckdb"


class RefusedSQL(KnowledgeError):
    """SQL the wrapper's statement check refuses; it is not stored."""


def dialect_of(database: str) -> str | None:
    if database.startswith("sample:"):
        return _SAMPLE_DIALECT
    if database.startswith("files:"):
        return _FILES_DIALECT
    backend = database.split(":", 1)[0].split("+", 1)[0]
    return backend or None


def _check(statement: str, database: str) -> None:
    from quorlix.sql.check.fence import strip_code_fence
    from quorlix.sql.check.guard import check_read_only, sqlglot_dialect

    dialect = dialect_of(database)
    check_read_only(strip_code_fence(statement), sqlglot_dialect(dialect) if dialect else None)


def check_query(sql: str, database: str) -> None:
    """Raises ``RefusedSQL`` unless ``sql`` is one read-only query the wrapper would run."""
    from quorlix.sql.errors import UnsafeSQLError

    try:
        _check(sql, database)
    except UnsafeSQLError as err:
        raise RefusedSQL(f"the SQL is not kept: {err}") from None


def check_fragment(sql: str, database: str) -> None:
    """Raises ``RefusedSQL`` unless ``sql`` reads as an expression or condition of a query."""
    from quorlix.sql.errors import UnsafeSQLError

    refusal: UnsafeSQLError | None = None
    for statement in (f"SELECT {sql}", f"SELECT 1 WHERE {sql}"):
        try:
            _check(statement, database)
            return
        except UnsafeSQLError as err:
            refusal = refusal or err
    raise RefusedSQL(f"the glossary entry's SQL is not kept: {refusal}")
