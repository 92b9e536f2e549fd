"""PostgreSQL: the roles and grants of the graph's account that questions do not need."""

from __future__ import annotations

from sqlalchemy import text
from sqlalchemy.engine import Connection

_ROLES = {
    "pg_read_server_files": "read any file the server can read",
    "pg_write_server_files": "write files on the server",
    "pg_execute_server_program": "run programs on the server",
    "pg_read_all_data": "read every table of every database",
    "pg_signal_backend": "cancel or end other sessions",
}


def account_warnings(conn: Connection) -> list[str]:
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
    for role, power in _ROLES.items():
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
