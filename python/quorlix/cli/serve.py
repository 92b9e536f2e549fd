"""``quorlix serve``: answer questions over HTTP for a team, with a web page and run history."""

from __future__ import annotations

import argparse
import asyncio
import os
import signal
import socket
import sys
from dataclasses import replace
from typing import Any

from quorlix import config
from quorlix.answering.graph_build import quiet_graph
from quorlix.telemetry import flush as flush_traces

from .common import (
    EXIT_OK,
    connection_problem,
    database_url,
    import_graph_module,
    log_lines_with,
    model_settings,
    progress,
    shown_url,
    start_tracing,
    usage_error,
    warn,
    warn_about_account,
)
from .startup import SANDBOX_VARIABLE, start_analysis_sandbox

HELP = "serve questions over HTTP, with a web page, run history and API tokens"
DESCRIPTION = """\
Answer questions over one database for many people: an HTTP API with streamed progress, a web
page at /, a history of every run in a store, API tokens and limits. Stop it with Ctrl+C or
SIGTERM: running questions get a grace period to finish."""


def add_parser(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser("serve", help=HELP, description=DESCRIPTION)
    parser.add_argument(
        "--host", default="127.0.0.1", help="address to listen on (default: %(default)s)"
    )
    parser.add_argument(
        "--port", type=int, default=8000, help="port (default: %(default)s; 0 picks a free one)"
    )
    parser.add_argument(
        "--db",
        metavar="URL",
        help="SQLAlchemy URL of the database to answer over; default: the sample shop database",
    )
    parser.add_argument(
        "--store",
        metavar="URL",
        help="where runs are kept: sqlite:///path/runs.db or postgresql://...; "
        "default: runs.db in QUORLIX_HOME",
    )
    parser.add_argument(
        "--max-runs",
        type=int,
        default=4,
        metavar="N",
        help="runs answered at once (default: %(default)s)",
    )
    parser.add_argument(
        "--queue",
        type=int,
        default=32,
        metavar="N",
        help="runs waiting beyond those (default: %(default)s)",
    )
    parser.add_argument(
        "--run-deadline",
        type=float,
        default=300.0,
        metavar="SECONDS",
        help="a run still going after this long fails (default: %(default)g)",
    )
    parser.add_argument(
        "--grace",
        type=float,
        default=30.0,
        metavar="SECONDS",
        help="on shutdown, how long running runs may take to finish (default: %(default)g)",
    )
    parser.add_argument(
        "--lease",
        type=float,
        default=None,
        metavar="SECONDS",
        help="servers sharing the run store prove they are alive by renewing a lease in it; one "
        "silent this long is taken as dead, and its runs end interrupted (default: 15)",
    )
    parser.add_argument(
        "--allowed-hosts",
        metavar="NAMES",
        help="comma-separated host names the server answers to besides localhost, 127.0.0.1 and "
        "[::1] ('*.example.com' for every name under it); without API tokens those three are "
        "all it answers to, with tokens it answers to any name unless this is given",
    )
    connections = parser.add_argument_group(
        "connections",
        "bounds on what one client can hold, so that slow or idle connections cannot lock others "
        "out",
    )
    connections.add_argument(
        "--header-timeout",
        type=float,
        default=None,
        metavar="SECONDS",
        help="a request's headers must arrive within this time, or the connection is closed "
        "(default: 10)",
    )
    connections.add_argument(
        "--body-timeout",
        type=float,
        default=10.0,
        metavar="SECONDS",
        help="a request's body must arrive within this time, or it is answered 408 "
        "(default: %(default)g)",
    )
    connections.add_argument(
        "--max-connections",
        type=int,
        default=None,
        metavar="N",
        help="connections open at once; more wait until one ends (default: what the open-file "
        "limit leaves after a quarter, at least 64, is kept for the rest of the server)",
    )
    parser.add_argument(
        "--log-format",
        choices=("human", "json"),
        default="human",
        help="the server's log lines on stderr: text to read, or one JSON object a line with "
        "trace and run ids, for a log collector (default: %(default)s)",
    )
    scale = parser.add_argument_group(
        "on a Ray cluster",
        "replicas on the cluster named by RAY_ADDRESS, or on a local Ray instance this command "
        "starts and stops; every replica shares the run store, which on several machines must "
        "be PostgreSQL",
    )
    scale.add_argument(
        "--ray", action="store_true", help="serve through Ray Serve (needs quorlix[ray])"
    )
    count = scale.add_mutually_exclusive_group()
    count.add_argument(
        "--replicas",
        type=int,
        default=None,
        metavar="N",
        help="a fixed number of replicas (default: 2)",
    )
    count.add_argument(
        "--autoscale",
        metavar="MIN,MAX",
        help="let Ray Serve scale between MIN and MAX replicas with the load",
    )
    scale.add_argument(
        "--replica-cpus",
        type=float,
        default=None,
        metavar="X",
        help="CPUs Ray reserves for each replica, fractions allowed (default: 0.5)",
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from quorlix.service.auth import (
        ADMIN,
        TOKENS_FILE_VARIABLE,
        TOKENS_VARIABLE,
        TokenError,
        is_loopback,
        load_tokens,
    )

    _check_numbers(args)
    _check_ray_options(args)
    hosts = allowed_hosts(args.allowed_hosts)
    roles: dict[str, str] = {}
    try:
        tokens = load_tokens(roles=roles)
    except TokenError as exc:
        usage_error(str(exc))
    # Who may change the team's knowledge: the names whose token entry says admin.
    admins = frozenset(name for name, role in roles.items() if role == ADMIN)
    loopback = is_loopback(args.host)
    if not loopback:
        if not tokens:
            usage_error(
                f"refusing to listen on {args.host} without API tokens: anyone who can reach it "
                f"could use it. Set {TOKENS_VARIABLE} (comma-separated name:token pairs) or "
                f"{TOKENS_FILE_VARIABLE} (a file with one name:token a line), or listen on "
                "127.0.0.1"
            )
        # Other people's questions make the model write the code this server runs.
        if SANDBOX_VARIABLE not in os.environ:
            os.environ[SANDBOX_VARIABLE] = "required"  # for the Ray replicas too
            config.install(replace(config.current(), analysis_sandbox="required"))

    stdout = sys.stdout  # for the line saying where the server listens
    if args.verbose:
        sys.stdout = sys.stderr  # diagnostics go to stderr, as everywhere in the command
    else:
        quiet_graph()
    if args.log_format == "json":
        _json_logs(args.verbose)
    start_tracing()

    if args.ray:
        from .serve_ray import run_on_ray

        return run_on_ray(args, tokens, hosts, stdout, admins)

    # The analysis sandbox's warm parent boots beside the imports, not in the first run.
    start_analysis_sandbox()

    from quorlix.service import Limits, RunStore, StoreError, create_app
    from quorlix.service.build import build_service
    from quorlix.service.database import ServiceDatabase
    from quorlix.service.http_server import BACKLOG, ConnectionLimits, HTTPServer
    from quorlix.service.lease import LEASE_SECONDS

    config_35, config_4 = model_settings()
    url = database_url(args.db)
    progress(f"Database: {shown_url(url)}")
    db = _open(ServiceDatabase, url)
    problem = connection_problem(db)
    if problem:
        # It may come up after the server (containers start in any order): /readyz tells.
        warn(f"the database does not answer ({problem}); runs fail until it does")
    elif not loopback:
        warn_about_account(db)
    import_graph_module()
    from quorlix.answering.graph_build import build_graph

    graph = build_graph(db, config_35, config_4)
    try:
        store = RunStore(args.store)
    except StoreError as exc:
        usage_error(str(exc))
    progress(f"Run store: {store.shown_url}")
    limits = Limits(
        max_runs=args.max_runs, queue=args.queue, run_deadline=args.run_deadline, grace=args.grace
    )
    service = build_service(
        graph,
        db,
        store,
        limits,
        config_4,
        tokens=tokens,
        lease_seconds=args.lease or LEASE_SECONDS,
        admins=admins,
    )
    app = create_app(service, body_timeout=args.body_timeout, allowed_hosts=hosts)
    connections = ConnectionLimits()
    if args.header_timeout is not None:
        connections = replace(connections, header_timeout=args.header_timeout)
    if args.max_connections is not None:
        connections = replace(connections, max_connections=args.max_connections)
    sock = _listen(args.host, args.port, BACKLOG)
    host = f"[{args.host}]" if ":" in args.host else args.host
    url = f"http://{host}:{sock.getsockname()[1]}/"
    if not tokens:
        progress("No API tokens are set: anyone on this machine can use the server.")

    def started() -> None:
        print(f"quorlix: serving on {url} (Ctrl+C stops)", file=stdout, flush=True)

    server = HTTPServer(app, sock, connections, on_started=started, log_format=args.log_format)
    serve_until_stopped(server, service.manager)
    sock.close()
    store.close()
    flush_traces()
    if service.manager.busy():
        # A run outlived the grace period; it is recorded as interrupted. Its thread may be
        # inside native code, which must not meet the interpreter's shutdown: leave now.
        stdout.flush()
        sys.stderr.flush()
        os._exit(EXIT_OK)
    return EXIT_OK


def allowed_hosts(text: str | None) -> list[str]:
    names = [name.strip() for name in (text or "").split(",") if name.strip()]
    for name in names:
        if "*" in name[1:] or (name.startswith("*") and not name.startswith("*.")):
            usage_error(
                f"--allowed-hosts: {name!r} is not a host name or a pattern like '*.example.com'"
            )
    return names


def _listen(host: str, port: int, backlog: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, port))
        sock.listen(backlog)
    except OSError as exc:
        sock.close()
        usage_error(
            f"cannot listen on {host}:{port}: {exc.strerror or exc} (in use, or not an address "
            "here)"
        )
    return sock


def _json_logs(verbose: bool) -> None:
    from quorlix.telemetry.json_logs import line_writer, use_json_logs

    use_json_logs("DEBUG" if verbose else "WARNING")
    log_lines_with(line_writer(sys.stderr))


def _check_numbers(args: argparse.Namespace) -> None:
    if not 0 <= args.port <= 65535:
        usage_error(f"--port must be between 0 and 65535, got {args.port}")
    if args.max_runs < 1:
        usage_error(f"--max-runs must be 1 or more, got {args.max_runs}")
    if args.queue < 0:
        usage_error(f"--queue must be 0 or more, got {args.queue}")
    if not args.run_deadline > 0:
        usage_error(f"--run-deadline must be more than 0 seconds, got {args.run_deadline:g}")
    if not args.grace >= 0:
        usage_error(f"--grace must be 0 or more seconds, got {args.grace:g}")
    if args.lease is not None and not args.lease >= 1:
        usage_error(f"--lease must be at least 1 second, got {args.lease:g}")
    for option, seconds in (
        ("--header-timeout", args.header_timeout),
        ("--body-timeout", args.body_timeout),
    ):
        if seconds is not None and not 0 < seconds <= 3600:
            usage_error(f"{option} must be more than 0 and at most 3600 seconds, got {seconds:g}")
    if args.max_connections is not None and args.max_connections < 1:
        usage_error(f"--max-connections must be 1 or more, got {args.max_connections}")


def _check_ray_options(args: argparse.Namespace) -> None:
    given = [
        name
        for name, value in (
            ("--replicas", args.replicas),
            ("--autoscale", args.autoscale),
            ("--replica-cpus", args.replica_cpus),
        )
        if value is not None
    ]
    if given and not args.ray:
        usage_error(f"{', '.join(given)} only apply with --ray")
    proxied = [
        name
        for name, value in (
            ("--header-timeout", args.header_timeout),
            ("--max-connections", args.max_connections),
        )
        if value is not None
    ]
    if proxied and args.ray:
        usage_error(
            f"{', '.join(proxied)} do not apply with --ray: Ray Serve's proxy holds the "
            "connections there (see the README on putting a proxy in front)"
        )
    if args.replicas is not None and args.replicas < 1:
        usage_error(f"--replicas must be 1 or more, got {args.replicas}")
    if args.replica_cpus is not None and not args.replica_cpus > 0:
        usage_error(f"--replica-cpus must be more than 0, got {args.replica_cpus:g}")


def _open(cls, url: str):
    from sqlalchemy.exc import NoSuchModuleError

    try:
        return cls.from_uri(url)
    except NoSuchModuleError as exc:
        usage_error(f"the database URL names a driver that is not available: {exc}")


__all__ = ["add_parser", "run"]


def serve_until_stopped(server: Any, manager: Any) -> None:
    """Runs ``server`` until SIGINT or SIGTERM. The run manager hears of the stop at once, so
    its grace period counts from then and no new run starts while connections drain."""

    async def serve() -> None:
        loop = asyncio.get_running_loop()

        def stop() -> None:
            manager.begin_shutdown()
            server.stop()

        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(sig, stop)
        await server.serve()

    asyncio.run(serve())
