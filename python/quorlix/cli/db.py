"""``quorlix db``: the database utilities' settings check and schema listing.

These work on the connection settings of ``quorlix.dbkeeper``, which come from the environment
variables db_user, db_password, db_host and db_name (read when the module is first imported),
not on a --db URL.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import sys
from typing import Any

from .common import (
    EXIT_FAILED,
    EXIT_OK,
    EXIT_USAGE,
    error,
    print_json,
    progress,
    usage_error,
    warn,
)

HELP = "check the database utilities' settings or list a schema"
DESCRIPTION = """\
The database utilities (quorlix.dbkeeper) connect to MySQL or PostgreSQL with the settings of
the environment variables db_user, db_password, db_host and db_name; the port is --port."""

ENGINES = {
    # CLI name: (name the connection test knows, schema function, usual port)
    "mysql": ("MySQL", "get_mysql_database_schema", 3306),
    "postgresql": ("PostgreSQL", "get_pgdb_schema", 5432),
}
SETTINGS = ("db_name", "db_user", "db_password", "db_host", "db_port")


def add_parser(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser("db", help=HELP, description=DESCRIPTION)
    actions = parser.add_subparsers(dest="db_command", metavar="{check,schema}", required=True)

    check = actions.add_parser(
        "check",
        help="report which settings are missing (and, with --engine, try to connect)",
        description="Show the database settings and report the missing ones. With --engine, "
        "also try to connect with them.",
    )
    _common_options(check, engine_default=None)
    check.set_defaults(run=run_check)

    schema = actions.add_parser(
        "schema",
        help="list the tables and columns of the configured database",
        description="List every table of the configured database with its columns and types.",
    )
    _common_options(schema, engine_default="mysql")
    schema.set_defaults(run=run_schema)


def _common_options(parser: argparse.ArgumentParser, engine_default: str | None) -> None:
    parser.add_argument(
        "--engine",
        choices=sorted(ENGINES),
        default=engine_default,
        help="database engine" + (f" (default: {engine_default})" if engine_default else ""),
    )
    parser.add_argument(
        "--port",
        type=int,
        metavar="N",
        help="server port (default: 3306 for mysql, 5432 for postgresql)",
    )
    parser.add_argument("--json", action="store_true", help="print the result as JSON")


def _dbkeeper(args: argparse.Namespace):
    import quorlix.dbkeeper as dbkeeper

    port = args.port
    if port is None:
        port = ENGINES[args.engine][2] if args.engine else dbkeeper.db_port
    if not 0 < port < 65536:
        usage_error(f"--port must be between 1 and 65535, got {port}")
    # The module's functions read its globals at each call, so this is how a port is given.
    dbkeeper.db_port = port
    return dbkeeper


@contextlib.contextmanager
def _captured():
    """The utilities report on stdout; collect their lines to show them our way."""
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        yield buffer


def _lines(buffer: io.StringIO) -> list[str]:
    return [line for line in buffer.getvalue().splitlines() if line.strip()]


def _settings(dbkeeper) -> dict[str, Any]:
    return {name: getattr(dbkeeper, name) for name in SETTINGS}


def _shown(name: str, value: Any) -> str:
    if value is None:
        return "(not set)"
    if value == "":
        return "(empty)"
    if name == "db_password":
        return "********"
    return str(value)


def run_check(args: argparse.Namespace) -> int:
    dbkeeper = _dbkeeper(args)
    with _captured() as said:
        invalid = list(dbkeeper.check_db_config_variables())
    settings = _settings(dbkeeper)
    status = None
    if args.engine and not invalid:
        engine = ENGINES[args.engine][0]
        with _captured():
            status = dbkeeper.get_db_connection(
                engine,
                settings["db_user"],
                settings["db_password"],
                settings["db_host"],
                settings["db_port"],
                settings["db_name"],
            )
    if status is not None:
        # Driver messages span lines; a status is shown as one.
        status = " ".join(str(status).split())
    connected = status is not None and status.startswith("Success")

    if args.json:
        shown = {**settings, "db_password": None if settings["db_password"] is None else "***"}
        print_json({"settings": shown, "invalid": invalid, "connection": status})
    else:
        print("Database settings (environment variables db_user, db_password, db_host, db_name):")
        for name, value in settings.items():
            print(f"  {name:<12} {_shown(name, value)}")
        for line in _lines(said):
            print(line)
        if status is not None:
            print(f"Connection ({args.engine}): {status}")
    if invalid:
        error(f"set the environment variable(s) {', '.join(invalid)}")
        return EXIT_USAGE
    if status is not None and not connected:
        error(status)
        return EXIT_FAILED
    return EXIT_OK


def run_schema(args: argparse.Namespace) -> int:
    dbkeeper = _dbkeeper(args)
    with _captured():
        invalid = list(dbkeeper.check_db_config_variables())
    # Without a host or a database there is nothing to connect to; an empty user or password
    # may be exactly what a local server wants, so those are only pointed out.
    blocking = [name for name in invalid if name in ("db_host", "db_name")]
    if blocking:
        usage_error(
            "the database settings are incomplete; set the environment variable(s) "
            + ", ".join(blocking)
        )
    for name in invalid:
        if name not in blocking:
            warn(f"{name} is empty; trying to connect anyway")
    function = getattr(dbkeeper, ENGINES[args.engine][1])
    with _captured() as said:
        schema = function()
    problems = _lines(said)
    if schema is None:
        error(f"could not connect to the {args.engine} database: " + " ".join(problems))
        return EXIT_FAILED
    if args.json:
        print_json(schema)
    else:
        if not schema:
            print("(no tables)")
        for table, columns in schema.items():
            print(table)
            width = max((len(str(column["name"])) for column in columns), default=0)
            for column in columns:
                print(f"  {str(column['name']):<{width}}  {column['type']}")
    if problems:
        # The listing stops at the table that failed; what came before is still shown.
        for line in problems:
            progress(line)
        error("the schema listing is incomplete: " + " ".join(problems))
        return EXIT_FAILED
    sys.stdout.flush()
    return EXIT_OK
