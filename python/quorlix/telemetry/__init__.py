"""Traces of runs, nodes, model calls, queries and HTTP requests (OpenTelemetry), and the
service's log lines as JSON.

Importing this package costs nothing: the OpenTelemetry SDK is imported by ``setup_tracing``
only when the environment asks for traces (see ``setup``), and every hook in the code checks
``enabled()`` first.
"""

from __future__ import annotations

from .tracing import content_recorded, enabled, flush, install, uninstall

__all__ = [
    "content_recorded",
    "enabled",
    "flush",
    "install",
    "uninstall",
]
