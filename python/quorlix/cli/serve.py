"""``quorlix serve``: answer questions over HTTP for a team, with a web page and run history."""

from __future__ import annotations

import argparse
import os
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
        TOKENS_FILE_VARIABLE,
        TOKENS_VARIABLE,
        TokenError,
        is_loopback,
        load_tokens,
    )

    _check_numbers(args)
    _check_ray_options(args)
    try:
        tokens = load_tokens()
    except TokenError as exc:
        usage_error(str(exc))
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
        os.environ.setdefault(SANDBOX_VARIABLE, "required")

    stdout = sys.stdout  # for the line saying where the server listens
    if args.verbose:
        sys.stdout = sys.stderr  # diagnostics go to stderr, as everywhere in the command
    else:
        _quiet_graph()

    if args.ray:
        from .serve_ray import run_on_ray

        return run_on_ray(args, tokens, stdout)

    # The analysis sandbox's warm parent boots beside the imports, not in the first run.
    start_analysis_sandbox()
    import uvicorn

    from quorlix.service import Limits, RunStore, Service, StoreError, create_app
    from quorlix.service.database import ServiceDatabase
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
    querymesh = import_graph_module()
    graph = querymesh.SQLGraph(db, config_35, config_4)
    try:
        store = RunStore(args.store)
    except StoreError as exc:
        usage_error(str(exc))
    progress(f"Run store: {store.shown_url}")
    limits = Limits(
        max_runs=args.max_runs, queue=args.queue, run_deadline=args.run_deadline, grace=args.grace
    )
    service = Service(
        graph,
        db,
        store,
        limits,
        tokens=tokens,
        model_endpoint=config_4.azure_endpoint,
        model_timeout=config_4.timeout,
        lease_seconds=args.lease or LEASE_SECONDS,
    )
    app = create_app(service)
    config = uvicorn.Config(
        app,
        host=args.host,
        port=args.port,
        log_level="warning",
        timeout_graceful_shutdown=max(1, int(args.grace)),
        proxy_headers=False,
    )
    try:
        sock = config.bind_socket()
    except SystemExit:
        usage_error(f"cannot listen on {args.host}:{args.port} (in use, or not an address here)")
    host = f"[{args.host}]" if ":" in args.host else args.host
    url = f"http://{host}:{sock.getsockname()[1]}/"
    if not tokens:
        progress("No API tokens are set: anyone on this machine can use the server.")
    server = _Server(config, service.manager.begin_shutdown, url, stdout)
    server.run(sockets=[sock])
    store.close()
    if service.manager.busy():
        # A run outlived the grace period; it is recorded as interrupted. Its thread may be
        # inside native code, which must not meet the interpreter's shutdown: leave now.
        stdout.flush()
        sys.stderr.flush()
        os._exit(EXIT_OK)
    return EXIT_OK


def _quiet_graph() -> None:
    """The nodes print diagnostics (whole prompts, with users' data) and log progress; without
    --verbose they go nowhere. This is set once for the process, before any run starts: a
    per-run redirection would mix up the output of concurrent runs."""
    from loguru import logger

    sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - lives as long as the process
    logger.remove()
    logger.add(sys.stderr, level="WARNING")


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


def _Server(config, on_exit, url: str, stdout):
    """uvicorn's server, saying where it listens once it takes connections, and telling the run
    manager the moment a stop signal arrives, so the grace period counts from then and no new
    run starts while connections drain."""
    import uvicorn

    class Server(uvicorn.Server):
        async def startup(self, sockets=None):
            await super().startup(sockets=sockets)
            if self.started:
                print(f"quorlix: serving on {url} (Ctrl+C stops)", file=stdout, flush=True)

        def handle_exit(self, sig, frame):
            on_exit()
            super().handle_exit(sig, frame)
            # uvicorn raises the signal again once it has stopped, so the process would die of
            # it; a clean stop exits 0 instead.
            captured = getattr(self, "_captured_signals", None)
            if isinstance(captured, list):
                captured.clear()

    return Server(config)


__all__ = ["add_parser", "run"]
