"""``quorlix tables``: the tables the graph may query, with their columns."""

from __future__ import annotations

import argparse

from .common import EXIT_OK, database_url, open_database, print_json

HELP = "list the usable tables and their columns"
DESCRIPTION = """\
List the tables of a database that questions can be answered from, with each column's type.
Without --db, the built-in sample shop database is used."""


def add_parser(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser("tables", help=HELP, description=DESCRIPTION)
    parser.add_argument(
        "--db",
        metavar="URL",
        help="SQLAlchemy database URL, or a .csv, .parquet or .json file or a folder of them;"
        " default: the sample shop database",
    )
    parser.add_argument("--json", action="store_true", help="print the listing as JSON")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    db = open_database(database_url(args.db))
    listing = describe_tables(db)
    if args.json:
        print_json(listing)
        return EXIT_OK
    if not listing:
        print("(no usable tables)")
    for table, columns in listing.items():
        print(table)
        width = max((len(column["name"]) for column in columns), default=0)
        for column in columns:
            print(f"  {column['name']:<{width}}  {column['type']}")
    return EXIT_OK


def describe_tables(db) -> dict[str, list[dict[str, str]]]:
    """``{table: [{"name": ..., "type": ...}, ...]}`` for the wrapper's usable tables."""
    return {
        table: [{"name": name, "type": kind} for name, kind in columns]
        for table, columns in db.describe_columns().items()
    }
