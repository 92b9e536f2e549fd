"""Whether this process traces, and the tracer its spans come from.

Nothing here imports the OpenTelemetry SDK: with tracing off (no ``OTEL_*`` or Azure Monitor
variable set), every hook in the code asks ``enabled()``, a module global, and does nothing else.
"""

from __future__ import annotations

from typing import Any

# Set by install(); None while this process does not trace.
_tracer: Any = None
_provider: Any = None

TRACER_NAME = "quorlix"


def enabled() -> bool:
    return _tracer is not None


def tracer() -> Any:
    """The tracer spans start from; None when tracing is off."""
    return _tracer


def install(provider: Any) -> None:
    """Trace from now on through ``provider`` (an SDK ``TracerProvider`` or the global one)."""
    global _tracer, _provider
    from quorlix import __version__

    _provider = provider
    _tracer = provider.get_tracer(TRACER_NAME, __version__)


def uninstall() -> None:
    """Stop tracing (the provider is left as it is; flush or shut it down yourself)."""
    global _tracer, _provider
    _tracer = _provider = None


def flush(timeout_millis: int = 5_000) -> None:
    """Send the spans still buffered; a process about to leave without ``atexit`` needs this."""
    flush_spans = getattr(_provider, "force_flush", None)
    if flush_spans is not None:
        flush_spans(timeout_millis)


def content_recorded() -> bool:
    """Prompt and completion texts go into spans only when QUORLIX_TRACE_CONTENT=1: they hold
    users' questions and their data."""
    from quorlix import config

    return config.setting("trace_content") == "1"


def provider() -> Any:
    """The tracer provider in use; None when tracing is off."""
    return _provider


def request_context() -> Any:
    """The current OpenTelemetry context (a request's) to hand to a run answered elsewhere;
    None with tracing off."""
    if not enabled():
        return None
    from opentelemetry import context

    return context.get_current()
