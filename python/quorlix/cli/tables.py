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
        "--db", metavar="URL", help="SQLAlchemy database URL; default: the sample shop database"
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
    from sqlalchemy import inspect

    # The wrapper keeps its engine as LangChain's SQLDatabase does; column types come from
    # SQLAlchemy's inspector, which reads them the same way for every dialect.
    inspector = inspect(db._engine)
    schema = getattr(db, "_schema", None)
    listing: dict[str, list[dict[str, str]]] = {}
    for table in db.get_usable_table_names():
        columns = inspector.get_columns(table, schema=schema)
        listing[table] = [{"name": c["name"], "type": _type_name(c["type"])} for c in columns]
    return listing


def _type_name(column_type) -> str:
    try:
        return str(column_type)
    except Exception:  # a dialect type that cannot render itself without its dialect
        return type(column_type).__name__
