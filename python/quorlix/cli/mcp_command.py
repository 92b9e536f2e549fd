"""``quorlix mcp``: quorlix as a tool of other agents, over the Model Context Protocol.

Over stdio (the default) a local client (an IDE agent, a desktop assistant) starts the command
and talks to it on its standard input and output; with ``--http`` it serves the protocol's
streamable HTTP transport at ``/mcp`` on the service's address, behind the service's API tokens.
Runs of ``ask`` go through the service's run manager and store: they are limited, time-limited
and kept like every run of ``quorlix serve``.
"""

from __future__ import annotations

import argparse
import sys

from .common import (
    EXIT_OK,
    connection_problem,
    database_url,
    import_graph_module,
    model_settings,
    progress,
    shown_url,
    usage_error,
    warn,
)
from .startup import start_analysis_sandbox

HELP = "serve quorlix's tools to other agents over the Model Context Protocol"
DESCRIPTION = """\
Offer the tools ask, list_tables, describe_tables and run_sql to an MCP client: over stdio for a
client that starts this command, or with --http over streamable HTTP at /mcp, behind the API
tokens of QUORLIX_API_TOKENS (a remote client sends 'Authorization: Bearer <token>')."""


def add_parser(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser("mcp", help=HELP, description=DESCRIPTION)
    parser.add_argument(
        "--http", action="store_true", help="serve streamable HTTP at /mcp instead of stdio"
    )
    parser.add_argument(
        "--host",
        default="127.0.0.1",
        help="with --http: address to listen on (default: %(default)s)",
    )
    parser.add_argument(
        "--port",
        type=int,
        default=8000,
        help="with --http: port (default: %(default)s; 0 picks a free one)",
    )
    parser.add_argument(
        "--db",
        metavar="URL",
        help="SQLAlchemy URL of the database to answer over; default: the sample shop database",
    )
    parser.add_argument(
        "--store",
        metavar="URL",
        help="where runs are kept (as for quorlix serve); default: runs.db in QUORLIX_HOME",
    )
    parser.add_argument(
        "--max-runs",
        type=int,
        default=2,
        metavar="N",
        help="runs answered at once (default: %(default)s)",
    )
    parser.add_argument(
        "--run-deadline",
        type=float,
        default=300.0,
        metavar="SECONDS",
        help="a run still going after this long fails (default: %(default)g)",
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from quorlix.service.auth import TOKENS_VARIABLE, TokenError, is_loopback, load_tokens

    if not 0 <= args.port <= 65535:
        usage_error(f"--port must be between 0 and 65535, got {args.port}")
    if args.max_runs < 1:
        usage_error(f"--max-runs must be 1 or more, got {args.max_runs}")
    if not args.run_deadline > 0:
        usage_error(f"--run-deadline must be more than 0 seconds, got {args.run_deadline:g}")
    try:
        tokens = load_tokens() if args.http else {}
    except TokenError as exc:
        usage_error(str(exc))
    if args.http and not is_loopback(args.host) and not tokens:
        usage_error(
            f"refusing to listen on {args.host} without API tokens: anyone who can reach it could "
            f"use it. Set {TOKENS_VARIABLE}, or listen on 127.0.0.1"
        )
    service = _service(args, tokens)
    if args.http:
        return _serve_http(args, service)
    return _serve_stdio(args, service)


def _service(args: argparse.Namespace, tokens: dict[str, str]):
    from quorlix.service import Limits, RunStore, StoreError
    from quorlix.service.build import build_service
    from quorlix.service.database import ServiceDatabase

    from .serve import _open

    config_35, config_4 = model_settings()
    url = database_url(args.db)
    progress(f"Database: {shown_url(url)}")
    db = _open(ServiceDatabase, url)
    problem = connection_problem(db)
    if problem:
        warn(f"the database does not answer ({problem}); tools fail until it does")
    import_graph_module()
    from quorlix.answering.graph_build import build_graph

    graph = build_graph(db, config_35, config_4)
    try:
        store = RunStore(args.store)
    except StoreError as exc:
        usage_error(str(exc))
    progress(f"Run store: {store.shown_url}")
    limits = Limits(max_runs=args.max_runs, run_deadline=args.run_deadline)
    return build_service(graph, db, store, limits, config_4, tokens=tokens)


def _quiet(args: argparse.Namespace) -> None:
    from quorlix.answering.graph_build import quiet_graph

    if args.verbose:
        sys.stdout = sys.stderr
    else:
        quiet_graph()


def _serve_stdio(args: argparse.Namespace, service) -> int:
    import anyio
    from mcp.server.stdio import stdio_server

    from quorlix.mcp_server.server import build_server
    from quorlix.service.auth import LOCAL_USER

    server = build_server(service, lambda ctx: LOCAL_USER)

    async def serve() -> None:
        # The wire owns the real standard output from here on: what anything else prints
        # (the graph's diagnostics, the analysis sandbox, a library) must not reach it.
        async with stdio_server() as (read, write):
            _quiet(args)
            start_analysis_sandbox()
            await anyio.to_thread.run_sync(service.manager.start)
            try:
                await server.run(read, write, server.create_initialization_options())
            finally:
                await anyio.to_thread.run_sync(service.manager.shutdown)

    anyio.run(serve)
    service.store.close()
    return EXIT_OK


def _serve_http(args: argparse.Namespace, service) -> int:
    from quorlix.mcp_server.http_transport import PATH, http_app, user_of_request
    from quorlix.mcp_server.server import build_server
    from quorlix.service.http_server import BACKLOG, ConnectionLimits, HTTPServer

    from .serve import _listen, serve_until_stopped

    stdout = sys.stdout
    _quiet(args)
    start_analysis_sandbox()
    server = build_server(service, user_of_request)
    app = http_app(server, service.auth, args.host)
    sock = _listen(args.host, args.port, BACKLOG)
    host = f"[{args.host}]" if ":" in args.host else args.host
    url = f"http://{host}:{sock.getsockname()[1]}{PATH}"
    if not service.auth.required:
        progress("No API tokens are set: anyone on this machine can use the server.")

    def started() -> None:
        print(f"quorlix: serving MCP on {url} (Ctrl+C stops)", file=stdout, flush=True)

    http_server = HTTPServer(app, sock, ConnectionLimits(), on_started=started)
    service.manager.start()
    serve_until_stopped(http_server, service.manager)
    service.manager.shutdown()
    sock.close()
    service.store.close()
    return EXIT_OK


__all__ = ["add_parser", "run"]
