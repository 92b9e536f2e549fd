"""MySQL and MariaDB as the wrapper serves them: walls, catalogue queries, PyMySQL by default.

SQLAlchemy picks a default driver for a URL that names none: ``postgresql://`` means psycopg
(3), which quorlix depends on, but ``mysql://`` and ``mariadb://`` mean mysqlclient, a C
extension that needs the MySQL client libraries to build. quorlix ships PyMySQL instead, so a
URL without a driver is read as PyMySQL; a URL that names its driver is left alone.
"""

from __future__ import annotations

from sqlalchemy.engine import URL, make_url

from ..kind import CatalogueQueries, EngineKind
from . import privileges
from .session import MySQLWalls

_DEFAULT_DRIVERS = {"mysql": "mysql+pymysql", "mariadb": "mariadb+pymysql"}

_COLUMNS = """
SELECT TABLE_NAME, COLUMN_NAME, COLUMN_KEY IN ('PRI', 'MUL'), NULLIF(COLUMN_COMMENT, '')
FROM information_schema.COLUMNS
WHERE TABLE_SCHEMA = COALESCE(:schema, DATABASE())
ORDER BY TABLE_NAME, ORDINAL_POSITION
"""
_TABLE_COMMENTS = """
SELECT TABLE_NAME, NULLIF(TABLE_COMMENT, '') FROM information_schema.TABLES
WHERE TABLE_SCHEMA = COALESCE(:schema, DATABASE()) AND TABLE_COMMENT <> ''
"""
_LINKS = """
SELECT TABLE_NAME, REFERENCED_TABLE_NAME, COLUMN_NAME FROM information_schema.KEY_COLUMN_USAGE
WHERE TABLE_SCHEMA = COALESCE(:schema, DATABASE()) AND REFERENCED_TABLE_NAME IS NOT NULL
"""


class MySQL(EngineKind):
    names = ("mysql", "mariadb")
    walls = MySQLWalls
    catalogue_queries = CatalogueQueries(_COLUMNS, _TABLE_COMMENTS, _LINKS)
    account_warnings = staticmethod(privileges.account_warnings)

    def url(self, url: str | URL, *, read_only: bool) -> str | URL:
        return with_default_driver(url)


def with_default_driver(url: str | URL) -> str | URL:
    """``url`` with PyMySQL named for a MySQL or MariaDB URL that names no driver."""
    parsed = make_url(url)
    drivername = _DEFAULT_DRIVERS.get(parsed.drivername)
    if drivername is None:
        return url
    return parsed.set(drivername=drivername)
