"""Spans of the code under test, kept in memory.

Usage::

    def test_something(finished_spans):
        ...                      # code that traces
        spans = finished_spans() # every span ended so far, in start order

Tracing is on for the test only, through a provider of its own: the process-wide provider is
never set, so no test leaves tracing on for the next.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator

import pytest


@pytest.fixture
def finished_spans() -> Iterator[Callable[[], list]]:
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
    from quorlix import telemetry

    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    telemetry.install(provider)
    try:
        yield lambda: sorted(exporter.get_finished_spans(), key=lambda span: span.start_time)
    finally:
        telemetry.uninstall()
        provider.shutdown()


def parent_of(span, spans) -> object | None:
    """The span among ``spans`` that ``span`` hangs from, if any."""
    if span.parent is None:
        return None
    return next((other for other in spans if other.context.span_id == span.parent.span_id), None)


def texts_in(span) -> list[str]:
    """Every text a span carries: its name, attribute values and event attribute values."""
    found = [span.name]
    values = list(span.attributes.values())
    for event in span.events:
        values.extend(event.attributes.values())
    for value in values:
        found.extend(str(item) for item in (value if isinstance(value, tuple) else (value,)))
    return found
