"""Spans of the code under test, kept in memory.

Usage::

    def test_something(finished_spans):
        ...                      # code that traces
        spans = finished_spans() # every span ended so far, in start order

``otlp_receiver`` is an OTLP/HTTP endpoint on 127.0.0.1 for exporters (in this process or a
server's) to send to.

Tracing is on for the test only, through a provider of its own: the process-wide provider is
never set, so no test leaves tracing on for the next.
"""

from __future__ import annotations

import contextlib
import threading
from collections.abc import Callable, Iterator
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

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


class Receiver(BaseHTTPRequestHandler):
    """An OTLP/HTTP trace receiver: keeps each export request it is sent."""

    received: list

    def do_POST(self) -> None:
        from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import (
            ExportTraceServiceRequest,
            ExportTraceServiceResponse,
        )

        body = self.rfile.read(int(self.headers["Content-Length"]))
        request = ExportTraceServiceRequest()
        request.ParseFromString(body)
        self.received.append((self.path, request))
        reply = ExportTraceServiceResponse().SerializeToString()
        self.send_response(200)
        self.send_header("Content-Type", "application/x-protobuf")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args) -> None:
        pass


@contextlib.contextmanager
def running_receiver() -> Iterator[tuple[str, list]]:
    """An OTLP/HTTP receiver on 127.0.0.1: yields its URL and the export requests it got."""
    handler = type("RecordingReceiver", (Receiver,), {"received": []})
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}", handler.received
    finally:
        server.shutdown()
        server.server_close()


@pytest.fixture
def otlp_receiver() -> Iterator[tuple[str, list]]:
    with running_receiver() as receiver:
        yield receiver


def exported_spans(received: list) -> list:
    """The spans of export requests, in the order received."""
    return [
        span
        for _, request in received
        for resource_spans in request.resource_spans
        for scope_spans in resource_spans.scope_spans
        for span in scope_spans.spans
    ]


def exported_services(received: list) -> set[str]:
    return {
        attribute.value.string_value
        for _, request in received
        for resource_spans in request.resource_spans
        for attribute in resource_spans.resource.attributes
        if attribute.key == "service.name"
    }
