"""A server's parts built from its settings, alike for ``quorlix serve`` and each Ray replica:
the graph over the database, and the service around it."""

from __future__ import annotations

from typing import Any

from .lease import LEASE_SECONDS
from .manager import Limits
from .service import Service
from .store import RunStore


def build_service(
    graph: Any,
    db: Any,
    store: RunStore,
    limits: Limits,
    model_settings: Any,
    *,
    tokens: dict[str, str] | None = None,
    lease_seconds: float = LEASE_SECONDS,
    admins: frozenset[str] = frozenset(),
) -> Service:
    """The service answering with ``graph``; readiness and timeout messages name the model
    service of ``model_settings`` (the larger model's, which every run reaches)."""
    return Service(
        graph,
        db,
        store,
        limits,
        tokens=tokens,
        model_endpoint=model_settings.endpoint,
        model_timeout=model_settings.timeout,
        lease_seconds=lease_seconds,
        admins=admins,
    )
