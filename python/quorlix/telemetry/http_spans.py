"""The server span of each HTTP request, by OpenTelemetry's maintained FastAPI instrumentation.

A ``traceparent`` header on the request (a client's, or Ray Serve's proxy passing the client's
on to a replica) makes the request, and the run it asks for, part of the caller's trace.
"""

from __future__ import annotations

from typing import Any

from . import tracing

# Probes and scrapes: frequent, and nothing an operator follows as a trace.
UNTRACED_PATHS = "/healthz,/readyz,/metrics,/static"


def instrument(app: Any) -> None:
    """Give ``app`` a server span per request while tracing is on; nothing otherwise."""
    if not tracing.enabled():
        return
    from opentelemetry.instrumentation.fastapi import FastAPIInstrumentor

    FastAPIInstrumentor.instrument_app(
        app,
        tracer_provider=tracing.provider(),
        excluded_urls=UNTRACED_PATHS,
        # One span per request: a streamed answer would otherwise add one per event sent.
        exclude_spans=["receive", "send"],
    )
