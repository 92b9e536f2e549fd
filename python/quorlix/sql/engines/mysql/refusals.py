"""MySQL / MariaDB: the ``information_schema`` tables that show other sessions or locks.

Read once per wrapper from the server's own column catalog: a table with a column that names
a thread, a connection, a transaction, a lock or a query (``trx_mysql_thread_id``,
``lock_trx_id``, ``QUERY_ID``, ...) describes other sessions' work, as ``INNODB_TRX`` does with
their running statements. Which such tables exist depends on the server and its plugins
(``INNODB_LOCKS``, ``METADATA_LOCK_INFO``, ``THREAD_POOL_QUEUES``), so they are not listed here.
"""

from __future__ import annotations

from sqlalchemy import text
from sqlalchemy.engine import Connection

from ...check.denylist import CatalogDenials

_SESSION_TABLES = """
SELECT DISTINCT LOWER(TABLE_NAME) FROM information_schema.COLUMNS
WHERE TABLE_SCHEMA = 'information_schema'
  AND COLUMN_NAME REGEXP '(^|_)(thread|trx|lock|connection|query)_id$'
"""


def read_denials(conn: Connection) -> CatalogDenials:
    tables = frozenset(str(name) for (name,) in conn.execute(text(_SESSION_TABLES)))
    return CatalogDenials(relations=tables)
