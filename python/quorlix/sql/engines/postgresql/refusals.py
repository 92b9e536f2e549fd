"""PostgreSQL: what the server's own catalog says reaches other sessions or reads relations.

Read once per wrapper from ``pg_proc`` and the definitions of views, so that a server version
with one more function of a family is covered without a new name here:

* the XML export families (``table_to_xml``, ``schema_to_xmlschema``, ``database_to_xml``, ...):
  they dump any relation they are given, refused catalogs included;
* functions that take a relation (a ``regclass`` or an argument named ``relname``) and return
  its content rather than a number or a flag (``pg_relation_size`` stays allowed);
* the statistics functions (``pg_stat_get_*``), functions with an argument or result column
  named ``pid`` (another backend: ``pg_stat_get_activity``, ``pg_lock_status``), and functions
  returning a column named ``query`` (other sessions' statements: ``pg_stat_statements``);
* every view whose definition calls one of those, or reads such a view (``pg_stat_activity``,
  ``pg_locks``, ``pg_stat_user_tables``, ...). Views are found by their definition's text: the
  server records no dependency on its own built-in functions.
"""

from __future__ import annotations

import re

from sqlalchemy import text
from sqlalchemy.engine import Connection

from ...check.denylist import CatalogDenials

_FUNCTIONS = r"""
SELECT DISTINCT lower(p.proname) FROM pg_catalog.pg_proc AS p
WHERE p.proname ~ '_to_xml(schema|_and_xmlschema)?$'
   OR p.proname LIKE 'pg\_stat\_get\_%'
   OR (('regclass'::regtype::oid = ANY (p.proargtypes) OR 'relname' = ANY (p.proargnames))
       AND (p.proretset OR p.prorettype IN ('xml'::regtype, 'text'::regtype, 'bytea'::regtype,
            'json'::regtype, 'jsonb'::regtype, 'record'::regtype)))
   OR EXISTS (
       SELECT 1 FROM unnest(p.proargnames) WITH ORDINALITY AS a(name, i)
       WHERE a.name = 'pid' OR (a.name = 'query' AND p.proargmodes[a.i] IN ('o', 't', 'b')))
"""
_VIEWS = """
SELECT lower(c.relname), pg_catalog.pg_get_viewdef(c.oid) FROM pg_catalog.pg_class AS c
WHERE c.relkind IN ('v', 'm')
"""


def read_denials(conn: Connection) -> CatalogDenials:
    functions = frozenset(name for (name,) in conn.execute(text(_FUNCTIONS)))
    views = [(name, definition or "") for name, definition in conn.execute(text(_VIEWS))]
    return CatalogDenials(functions=functions, relations=_views_over(functions, views))


def _views_over(functions: frozenset[str], views: list[tuple[str, str]]) -> frozenset[str]:
    """The views that call one of ``functions``, or read such a view, at any depth."""
    # Each definition read once: the names it calls, and every name it mentions.
    read = {
        name: (set(_CALL.findall(definition.lower())), set(_NAME.findall(definition.lower())))
        for name, definition in views
    }
    refused = {name for name, (calls, _) in read.items() if calls & functions}
    while True:
        found = {
            name for name, (_, names) in read.items() if name not in refused and names & refused
        }
        if not found:
            return frozenset(refused)
        refused |= found


_NAME = re.compile(r"[a-z_][a-z0-9_$]*")
_CALL = re.compile(r"([a-z_][a-z0-9_$]*)\s*\(")
