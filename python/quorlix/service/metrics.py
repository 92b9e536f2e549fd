"""Prometheus metrics of one server, in a registry of its own (several apps may share a
process, as in the tests)."""

from __future__ import annotations

import threading
from typing import Any
from uuid import UUID

from langchain_core.callbacks import BaseCallbackHandler
from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram

from quorlix.usage import deployment_of, reported_tokens


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
        self.model_calls = Counter(
            "quorlix_model_calls",
            "Model calls that returned, by deployment",
            ["deployment"],
            registry=self.registry,
        )
        self.model_tokens = Counter(
            "quorlix_model_tokens",
            "Tokens the model service reported, by deployment and direction (input, output)",
            ["deployment", "direction"],
            registry=self.registry,
        )
        self.token_counter = TokenCounter(self)


class TokenCounter(BaseCallbackHandler):
    """Counts each model call's tokens as it returns, so a run stopped half-way still counts
    what it spent. One per server, shared by every run."""

    run_inline = True
    # Only model calls count: LangChain skips this handler for every other kind of event.
    ignore_chain = ignore_agent = ignore_retriever = ignore_custom_event = True

    def __init__(self, metrics: Metrics) -> None:
        super().__init__()
        self._metrics = metrics
        self._lock = threading.Lock()
        self._deployments: dict[UUID, str] = {}

    def on_chat_model_start(self, serialized: Any, messages: Any, *, run_id: UUID, **kw) -> None:
        with self._lock:
            self._deployments[run_id] = deployment_of(kw)

    def on_llm_start(self, serialized: Any, prompts: Any, *, run_id: UUID, **kw) -> None:
        with self._lock:
            self._deployments[run_id] = deployment_of(kw)

    def on_llm_end(self, response: Any, *, run_id: UUID, **kwargs: Any) -> None:
        with self._lock:
            deployment = self._deployments.pop(run_id, "unknown")
        self._metrics.model_calls.labels(deployment).inc()
        prompt, completion, _ = reported_tokens(response)
        if prompt is not None:
            self._metrics.model_tokens.labels(deployment, "input").inc(prompt)
            self._metrics.model_tokens.labels(deployment, "output").inc(completion or 0)

    def on_llm_error(self, error: BaseException, *, run_id: UUID, **kwargs: Any) -> None:
        with self._lock:
            self._deployments.pop(run_id, None)
