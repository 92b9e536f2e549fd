"""The service on a Ray cluster: the same ASGI app as a Ray Serve deployment.

Each replica is a process of its own with its own graph, worker pool and lease in the run store.
Replicas share nothing but the store: runs, events, charts and result rows all live there, so a
request may reach any replica, and a replica that dies leaves nothing behind but runs that the
others end as interrupted once its lease runs out.
"""

from __future__ import annotations

import json
import os
from collections.abc import MutableMapping
from dataclasses import dataclass, field
from typing import Any

from sqlalchemy.engine import make_url

from .lease import LEASE_SECONDS, replica_of
from .limits import BODY_SECONDS
from .manager import Limits
from .store import StoreError

APP_NAME = "quorlix"
# Two replicas and Serve's own actors fit a 2-core machine.
REPLICA_CPUS = 0.5
# Variables a replica needs to reach the model service and to behave like this command; they
# are handed over explicitly because replicas on other machines do not share our environment.
FORWARDED_PREFIXES = ("AZURE_", "OPENAI_", "QUORLIX_", "OTEL_", "APPLICATIONINSIGHTS_")
NOT_FORWARDED = ("QUORLIX_API_TOKENS", "QUORLIX_API_TOKENS_FILE")
# Server-Sent Event streams and ?wait=true requests hold a request slot for a run's length.
SLOTS_BEYOND_QUEUE = 64


@dataclass
class ReplicaSpec:
    """Everything a replica needs to build its server; sent to every replica."""

    db_url: str
    store_url: str
    limits: Limits = field(default_factory=Limits)
    tokens: dict[str, str] = field(default_factory=dict)
    admins: frozenset[str] = frozenset()
    allowed_hosts: list[str] = field(default_factory=list)
    body_timeout: float = BODY_SECONDS
    lease_seconds: float = LEASE_SECONDS
    verbose: bool = False
    log_format: str = "human"


class QuorlixReplica:
    """One replica: builds its graph once, then serves the app."""

    def __init__(self, spec: ReplicaSpec) -> None:
        from quorlix import config

        # A replica reads its settings once, from the environment it was handed, and refuses
        # to start on one it cannot use.
        config.install(config.Config.from_environ())

        from quorlix.answering.graph_build import build_graph, chat_settings, quiet_graph
        from quorlix.telemetry.setup import setup_tracing

        from .app import create_app
        from .build import build_service
        from .database import ServiceDatabase
        from .store import RunStore

        if not spec.verbose:
            # A replica's output goes to Ray's log files: the same rule as the plain server.
            quiet_graph()
        if spec.log_format == "json":
            from quorlix.telemetry.json_logs import use_json_logs

            use_json_logs("DEBUG" if spec.verbose else "WARNING")
        # Each replica exports its own spans; the caller's trace reaches it in the request's
        # traceparent header, which Serve's proxy passes on, so a run's spans join that trace
        # whichever replica answers.
        setup_tracing()
        config_35, config_4 = chat_settings()
        db = ServiceDatabase.from_uri(spec.db_url)
        graph = build_graph(db, config_35, config_4)
        self.service = build_service(
            graph,
            db,
            RunStore(spec.store_url),
            spec.limits,
            config_4,
            tokens=spec.tokens,
            lease_seconds=spec.lease_seconds,
            admins=spec.admins,
        )
        self._app = create_app(
            self.service, body_timeout=spec.body_timeout, allowed_hosts=spec.allowed_hosts
        )
        replica = replica_of(self.service.manager.server_id) or {}
        served_by = f"{replica.get('host')} {replica.get('pid')}"

        @self._app.middleware("http")
        async def _served_by(request, call_next):
            # Which replica answered: what an operator needs when one replica misbehaves.
            response = await call_next(request)
            response.headers["X-Quorlix-Replica"] = served_by
            return response

    def __serve_build_asgi_app__(self):
        return self._app


def parse_autoscale(text: str) -> tuple[int, int]:
    low, comma, high = text.partition(",")
    if not comma or not low.strip().isdigit() or not high.strip().isdigit():
        raise ValueError(f"--autoscale takes MIN,MAX (two whole numbers), got {text!r}")
    low_n, high_n = int(low), int(high)
    if not 1 <= low_n <= high_n:
        raise ValueError(f"--autoscale needs 1 <= MIN <= MAX, got {text!r}")
    return low_n, high_n


def forwarded_environment(environ: dict[str, str] | None = None) -> dict[str, str]:
    environ = dict(os.environ if environ is None else environ)
    return {
        name: value
        for name, value in environ.items()
        if name.startswith(FORWARDED_PREFIXES) and name not in NOT_FORWARDED
    }


USAGE_STATS_VARIABLE = "RAY_USAGE_STATS_ENABLED"


def keep_local_usage_private(environ: MutableMapping[str, str] | None = None) -> bool:
    """Turns off Ray's usage reporting (to its makers, over the internet) for an instance this
    process starts, unless the user chose it: ``RAY_USAGE_STATS_ENABLED`` set either way, or
    ``ray enable-usage-stats`` (which writes ``"usage_stats"`` into Ray's config file).
    True when it was turned off here."""
    environ = os.environ if environ is None else environ
    if environ.get(USAGE_STATS_VARIABLE) is not None:
        return False
    config = environ.get("RAY_USAGE_STATS_CONFIG_PATH") or os.path.expanduser("~/.ray/config.json")
    try:
        with open(config, encoding="utf-8") as handle:
            if isinstance(json.load(handle).get("usage_stats"), bool):
                return False
    except (OSError, ValueError, AttributeError):
        pass  # no choice written down (or none Ray could read either)
    environ[USAGE_STATS_VARIABLE] = "0"
    return True


def check_store_for_cluster(store_url: str, nodes: int) -> None:
    """A file store cannot be shared by replicas on several machines."""
    if nodes > 1 and make_url(store_url).get_backend_name() == "sqlite":
        raise StoreError(
            f"the Ray cluster has {nodes} nodes, and replicas on other machines cannot share the "
            f"SQLite run store {make_url(store_url).database}: each would keep its own runs, so "
            "a run asked through one replica could not be followed through another. Give a "
            "PostgreSQL store every node reaches: --store postgresql+psycopg2://user@host/dbname"
        )


def alive_nodes() -> int:
    import ray

    return sum(1 for node in ray.nodes() if node.get("Alive"))


def application(
    spec: ReplicaSpec,
    replicas: int = 1,
    autoscale: tuple[int, int] | None = None,
    replica_cpus: float = REPLICA_CPUS,
    env: dict[str, str] | None = None,
) -> Any:
    """The bound Serve application, ready for ``serve.run``."""
    from ray import serve

    actor_options: dict[str, Any] = {"num_cpus": replica_cpus}
    if env:
        actor_options["runtime_env"] = {"env_vars": dict(env)}
    options: dict[str, Any] = {
        "name": APP_NAME,
        "ray_actor_options": actor_options,
        "max_ongoing_requests": spec.limits.max_runs + spec.limits.queue + SLOTS_BEYOND_QUEUE,
        # A replica told to stop lets its runs finish within the grace period first.
        "graceful_shutdown_timeout_s": spec.limits.grace + 5,
    }
    if autoscale is not None:
        low, high = autoscale
        options["autoscaling_config"] = {
            "min_replicas": low,
            "max_replicas": high,
            # A replica answers max_runs questions at once; more ongoing requests than that
            # (streams aside) means a queue, which another replica would serve sooner.
            "target_ongoing_requests": max(1, spec.limits.max_runs),
        }
    else:
        options["num_replicas"] = replicas
    deployment = serve.deployment(**options)(serve.ingress()(QuorlixReplica))
    return deployment.bind(spec)
