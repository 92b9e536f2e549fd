"""``quorlix graph``: draw the question-answering graph, as text or as a PNG file."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from .common import EXIT_OK, import_graph_module, open_database, placeholder_settings, usage_error

HELP = "draw the question-answering graph"
DESCRIPTION = """\
Print the question-answering graph (its nodes and routes) as a text drawing, or write it as a
PNG image with --png. Needs no model credentials and no network."""


def add_parser(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser("graph", help=HELP, description=DESCRIPTION)
    parser.add_argument("--png", metavar="PATH", help="write the drawing to this PNG file")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    target = None
    if args.png is not None:
        target = Path(args.png).expanduser().resolve()
        if target.suffix.lower() != ".png":
            usage_error(f"--png {args.png!r} must end in .png")
        if not target.parent.is_dir():
            usage_error(f"--png {args.png!r}: the directory {target.parent} does not exist")

    from quorlix.sample import default_database_uri

    # The drawing depends only on the wiring, so any database and settings will do; the
    # models are built but never called.
    config_35, config_4 = placeholder_settings()
    db = open_database(default_database_uri())
    querymesh = import_graph_module()
    graph = querymesh.SQLGraph(db, config_35, config_4)
    if target is None:
        graph.visualize_graph()
    else:
        graph.visualize_graph("png", str(target))
        print(f"Wrote {target}")
    sys.stdout.flush()
    return EXIT_OK
