"""PostgreSQL as the wrapper serves it: its walls, catalogue queries and the account's roles."""

from __future__ import annotations

from ..kind import CatalogueQueries, EngineKind
from . import privileges
from .session import PostgresWalls

_COLUMNS = """
SELECT c.relname, a.attname,
       EXISTS (SELECT 1 FROM pg_constraint k
               WHERE k.conrelid = c.oid AND k.contype IN ('p', 'f') AND a.attnum = ANY (k.conkey)),
       col_description(c.oid, a.attnum)
FROM pg_class c
JOIN pg_namespace n ON n.oid = c.relnamespace
JOIN pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped
WHERE n.nspname = COALESCE(CAST(:schema AS text), current_schema())
  AND c.relkind IN ('r', 'p', 'v', 'm', 'f')
ORDER BY c.relname, a.attnum
"""
_TABLE_COMMENTS = """
SELECT c.relname, obj_description(c.oid, 'pg_class')
FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace
WHERE n.nspname = COALESCE(CAST(:schema AS text), current_schema())
  AND c.relkind IN ('r', 'p', 'v', 'm', 'f') AND obj_description(c.oid, 'pg_class') IS NOT NULL
"""
_LINKS = """
SELECT c.relname, r.relname, a.attname
FROM pg_constraint k
JOIN pg_class c ON c.oid = k.conrelid
JOIN pg_class r ON r.oid = k.confrelid
JOIN pg_namespace n ON n.oid = c.relnamespace
JOIN pg_attribute a ON a.attrelid = c.oid AND a.attnum = k.conkey[1]
WHERE k.contype = 'f' AND n.nspname = COALESCE(CAST(:schema AS text), current_schema())
"""


class PostgreSQL(EngineKind):
    names = ("postgresql",)
    walls = PostgresWalls
    catalogue_queries = CatalogueQueries(_COLUMNS, _TABLE_COMMENTS, _LINKS)
    account_warnings = staticmethod(privileges.account_warnings)
