"""``quorlix serve --ray``: deploy the service on Ray Serve and keep it up until stopped."""

from __future__ import annotations

import argparse
import os
import signal
import socket
import sys
import threading

from .common import (
    EXIT_OK,
    database_url,
    model_settings,
    progress,
    shown_url,
    usage_error,
    warn,
)

DEFAULT_REPLICAS = 2


def run_on_ray(
    args: argparse.Namespace,
    tokens: dict[str, str],
    allowed_hosts: list[str],
    stdout,
    admins: frozenset[str] = frozenset(),
) -> int:
    try:
        import ray
        from ray import serve
    except ImportError:
        usage_error(
            "--ray needs Ray Serve, which is not installed: pip install 'quorlix[ray]' "
            "(or pip install 'ray[serve]')"
        )
    from quorlix.service import Limits, RunStore, StoreError, ray_serve
    from quorlix.service.auth import is_loopback
    from quorlix.service.lease import LEASE_SECONDS
    from quorlix.service.store import default_store_url

    model_settings()  # the same configuration errors as without --ray, before any deployment
    db_url = database_url(args.db)
    progress(f"Database: {shown_url(db_url)}")
    store_url = args.store or default_store_url()
    try:
        RunStore(store_url).close()  # creates the schema once and checks its version
    except StoreError as exc:
        usage_error(str(exc))
    progress(f"Run store: {shown_url(store_url)}")
    autoscale = None
    if args.autoscale:
        try:
            autoscale = ray_serve.parse_autoscale(args.autoscale)
        except ValueError as exc:
            usage_error(str(exc))
    spec = ray_serve.ReplicaSpec(
        db_url=db_url,
        store_url=store_url,
        limits=Limits(
            max_runs=args.max_runs,
            queue=args.queue,
            run_deadline=args.run_deadline,
            grace=args.grace,
        ),
        tokens=tokens,
        admins=admins,
        allowed_hosts=allowed_hosts,
        body_timeout=args.body_timeout,
        lease_seconds=args.lease or LEASE_SECONDS,
        verbose=args.verbose,
        log_format=args.log_format,
    )
    if not is_loopback(args.host):
        warn(
            f"Ray Serve's HTTP proxy on {args.host} neither times out slow clients nor caps "
            "connections; put a reverse proxy that does (nginx, HAProxy, a cloud load balancer) "
            "in front of it"
        )
    address = os.environ.get("RAY_ADDRESS") or None
    if address is not None:
        progress(f"Ray: {address}")  # a running cluster keeps its own usage-reporting choice
    elif ray_serve.keep_local_usage_private():
        progress(
            "Ray: a local instance (Ray's usage reporting off; RAY_USAGE_STATS_ENABLED=1 "
            "turns it on)"
        )
    else:
        progress("Ray: a local instance")
    env = ray_serve.forwarded_environment()
    if address is None:
        # Replicas of a local instance run this very installation: give them our import path.
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p)
    ray.init(address=address, include_dashboard=False, log_to_driver=args.verbose)
    try:
        try:
            ray_serve.check_store_for_cluster(store_url, ray_serve.alive_nodes())
        except StoreError as exc:
            usage_error(str(exc))
        port = args.port or _free_port(args.host)
        serve.start(http_options={"host": args.host, "port": port})
        application = ray_serve.application(
            spec,
            replicas=args.replicas or DEFAULT_REPLICAS,
            autoscale=autoscale,
            replica_cpus=args.replica_cpus or ray_serve.REPLICA_CPUS,
            env=env,
        )
        stop = threading.Event()
        for sig in (signal.SIGINT, signal.SIGTERM):
            signal.signal(sig, lambda *_: stop.set())
        serve.run(application, name=ray_serve.APP_NAME, route_prefix="/")
        listen_host, port = _serve_address(args.host, port)
        host = f"[{listen_host}]" if ":" in listen_host else listen_host
        shape = f"{autoscale[0]}-{autoscale[1]}" if autoscale else args.replicas or DEFAULT_REPLICAS
        print(
            f"quorlix: serving on http://{host}:{port}/ with {shape} replicas on Ray "
            "(Ctrl+C stops)",
            file=stdout,
            flush=True,
        )
        while not stop.wait(0.5):  # a bounded wait lets the signal handlers run promptly
            pass
        progress("Stopping: replicas finish their runs within the grace period")
        serve.delete(ray_serve.APP_NAME)
    finally:
        if address is None:
            serve.shutdown()
        ray.shutdown()
    return EXIT_OK


def _serve_address(host: str, port: int) -> tuple[str, int]:
    """Where Serve's proxy listens: a cluster already running Serve keeps its own address."""
    try:
        # Ray 2 has no public call for this; the client's copy of the controller's settings.
        from ray.serve.context import _get_global_client

        config = _get_global_client().http_config
        return str(config.host), int(config.port)
    except Exception:  # an older or newer Ray: what was asked for is the best guess
        return host, port


def _free_port(host: str) -> int:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as sock:
        sock.bind((host, 0))
        return sock.getsockname()[1]
