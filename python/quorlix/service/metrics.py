"""Prometheus metrics of one server, in a registry of its own (several apps may share a
process, as in the tests)."""

from __future__ import annotations

from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram


class Metrics:
    def __init__(self) -> None:
        self.registry = CollectorRegistry()
        self.runs = Counter(
            "quorlix_runs",
            "Runs by status: accepted, refused (queue full) and each way a run ends",
            ["status"],
            registry=self.registry,
        )
        self.node_seconds = Histogram(
            "quorlix_node_duration_seconds",
            "Time each graph node took",
            ["node"],
            buckets=(0.01, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120),
            registry=self.registry,
        )
        self.run_seconds = Histogram(
            "quorlix_run_duration_seconds",
            "Time from a run's start to its end",
            buckets=(0.5, 1, 2.5, 5, 10, 30, 60, 120, 300, 600),
            registry=self.registry,
        )
        self.in_flight = Gauge(
            "quorlix_runs_in_flight", "Runs being answered now", registry=self.registry
        )
        self.queued = Gauge(
            "quorlix_queue_length", "Accepted runs waiting for a worker", registry=self.registry
        )
