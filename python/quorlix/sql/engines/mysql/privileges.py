"""MySQL / MariaDB: the global and other databases' privileges of the graph's account."""

from __future__ import annotations

from sqlalchemy import text
from sqlalchemy.engine import Connection

_GLOBAL_PRIVILEGES = {
    "SUPER": "change server settings and end other sessions",
    "FILE": "read and write files on the server",
    "PROCESS": "see every session's running statements",
    "SELECT": "read every database on the server",
}
_WRITES = ("INSERT", "UPDATE", "DELETE", "CREATE", "DROP", "ALTER", "TRUNCATE")


def account_warnings(conn: Connection) -> list[str]:
    user = conn.execute(text("SELECT CURRENT_USER()")).scalar()
    account, _, host = str(user).partition("@")
    grantee = f"'{account}'@'{host}'"
    rows = conn.execute(
        text("SELECT privilege_type FROM information_schema.user_privileges WHERE grantee = :g"),
        {"g": grantee},
    ).all()
    granted = {str(row[0]).upper() for row in rows}
    powers = [power for privilege, power in _GLOBAL_PRIVILEGES.items() if privilege in granted]
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
