"""What the graph's database account could do beyond answering questions.

The walls of ``CustomSQLDatabase`` stop the statements this system sends; the account's own
rights are what is left if a wall ever fails. ``account_warnings`` names the rights a
question-answering account does not need, each as a sentence saying what to do instead.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from sqlalchemy import text
from sqlalchemy.engine import Connection

if TYPE_CHECKING:
    from .custom_sql import CustomSQLDatabase

_PG_ROLES = {
    "pg_read_server_files": "read any file the server can read",
    "pg_write_server_files": "write files on the server",
    "pg_execute_server_program": "run programs on the server",
    "pg_read_all_data": "read every table of every database",
    "pg_signal_backend": "cancel or end other sessions",
}
_MYSQL_GLOBAL = {
    "SUPER": "change server settings and end other sessions",
    "FILE": "read and write files on the server",
    "PROCESS": "see every session's running statements",
    "SELECT": "read every database on the server",
}
_WRITES = ("INSERT", "UPDATE", "DELETE", "CREATE", "DROP", "ALTER", "TRUNCATE")


def account_warnings(db: CustomSQLDatabase) -> list[str]:
    """Sentences about rights the database account should not have; empty when it is fine."""
    engine = db._engine
    name = engine.dialect.name
    if name not in ("postgresql", "mysql", "mariadb"):
        return []
    with engine.connect() as conn:
        try:
            if name == "postgresql":
                return _postgres(conn)
            return _mysql(conn)
        finally:
            conn.rollback()


def _postgres(conn: Connection) -> list[str]:
    user, superuser = conn.execute(
        text("SELECT current_user, rolsuper FROM pg_roles WHERE rolname = current_user")
    ).one()
    if superuser:
        return [
            f"The database account {user!r} is a PostgreSQL superuser: it can read every"
            " database, credentials and server files, and run programs on the server. Connect"
            " with a role that has only SELECT on the tables questions need."
        ]
    warnings = []
    for role, power in _PG_ROLES.items():
        held = conn.execute(
            text(
                "SELECT pg_has_role(current_user, oid, 'MEMBER') FROM pg_roles WHERE rolname = :r"
            ),
            {"r": role},
        ).scalar()
        if held:
            warnings.append(
                f"The database account {user!r} is a member of {role}, so it can {power}."
                f" Revoke {role} from it: questions need only SELECT on their tables."
            )
    writable = conn.execute(
        text(
            "SELECT count(DISTINCT (table_schema, table_name))"
            " FROM information_schema.table_privileges"
            " WHERE grantee = current_user AND privilege_type IN"
            " ('INSERT', 'UPDATE', 'DELETE', 'TRUNCATE')"
        )
    ).scalar()
    if writable:
        warnings.append(
            f"The database account {user!r} can change the data of {writable} table(s) (INSERT,"
            " UPDATE, DELETE or TRUNCATE). Use a role with only SELECT on the tables questions"
            " need."
        )
    return warnings


def _mysql(conn: Connection) -> list[str]:
    user = conn.execute(text("SELECT CURRENT_USER()")).scalar()
    account, _, host = str(user).partition("@")
    grantee = f"'{account}'@'{host}'"
    rows = conn.execute(
        text("SELECT privilege_type FROM information_schema.user_privileges WHERE grantee = :g"),
        {"g": grantee},
    ).all()
    granted = {str(row[0]).upper() for row in rows}
    powers = [power for privilege, power in _MYSQL_GLOBAL.items() if privilege in granted]
    global_writes = sorted(granted.intersection(_WRITES))
    if global_writes:
        powers.append(f"{', '.join(global_writes)} in every database")
    warnings = []
    if powers:
        warnings.append(
            f"The database account {user} has global privileges, so it can {'; '.join(powers)}."
            " Connect with an account that has only SELECT on the database questions are about."
        )
    others = conn.execute(
        text(
            "SELECT DISTINCT table_schema FROM information_schema.schema_privileges"
            " WHERE grantee = :g AND table_schema <> DATABASE() ORDER BY 1"
        ),
        {"g": grantee},
    ).all()
    if others and "SELECT" not in granted:
        names = ", ".join(str(row[0]) for row in others)
        warnings.append(
            f"The database account {user} can read other databases ({names}). Grant it SELECT"
            " only on the database questions are about."
        )
    return warnings
