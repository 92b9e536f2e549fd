"""Database URLs as people write them, mapped to the drivers quorlix installs.

SQLAlchemy picks a default driver for a URL that names none: ``postgresql://`` means psycopg
(3), which quorlix depends on, but ``mysql://`` and ``mariadb://`` mean mysqlclient, a C
extension that needs the MySQL client libraries to build. quorlix ships PyMySQL instead, so a
URL without a driver is read as PyMySQL; a URL that names its driver is left alone.
"""

from __future__ import annotations

from sqlalchemy.engine import URL, make_url

_DEFAULT_DRIVERS = {"mysql": "mysql+pymysql", "mariadb": "mariadb+pymysql"}


def with_default_driver(url: str | URL) -> str | URL:
    """``url`` with PyMySQL named for a MySQL or MariaDB URL that names no driver."""
    parsed = make_url(url)
    drivername = _DEFAULT_DRIVERS.get(parsed.drivername)
    if drivername is None:
        return url
    return parsed.set(drivername=drivername)
