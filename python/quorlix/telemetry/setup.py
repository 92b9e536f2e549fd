"""Tracing set up from the environment: OpenTelemetry's standard variables, or Azure Monitor.

* ``APPLICATIONINSIGHTS_CONNECTION_STRING``: spans go to Azure Monitor through Microsoft's
  OpenTelemetry distro (``pip install 'quorlix[azure-monitor]'``), which reads the variable.
* ``OTEL_TRACES_EXPORTER`` (``otlp``, ``console``, ``none``; comma-separated), or, without it,
  ``OTEL_EXPORTER_OTLP_ENDPOINT`` / ``OTEL_EXPORTER_OTLP_TRACES_ENDPOINT``: spans go to those
  exporters. The OTLP exporter speaks ``http/protobuf`` and reads its own variables (endpoint,
  headers, timeout, compression); the batch processor reads ``OTEL_BSP_*``, the provider
  ``OTEL_TRACES_SAMPLER``, the resource ``OTEL_SERVICE_NAME`` and ``OTEL_RESOURCE_ATTRIBUTES``.
* none of them, or ``OTEL_SDK_DISABLED=true``: nothing is traced and the SDK is not imported.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Mapping
from typing import Any

from . import tracing

AZURE_VARIABLE = "APPLICATIONINSIGHTS_CONNECTION_STRING"
DEFAULT_SERVICE_NAME = "quorlix"
ENDPOINT_VARIABLES = ("OTEL_EXPORTER_OTLP_TRACES_ENDPOINT", "OTEL_EXPORTER_OTLP_ENDPOINT")
PROTOCOL_VARIABLES = ("OTEL_EXPORTER_OTLP_TRACES_PROTOCOL", "OTEL_EXPORTER_OTLP_PROTOCOL")


class TelemetryError(Exception):
    """The tracing variables ask for something this installation cannot do."""


def setup_tracing() -> str | None:
    """Start tracing as the environment asks; returns where spans go ("otlp", "Azure Monitor",
    ...), or None when it asks for nothing. Raises TelemetryError with a one-line reason."""
    environ = os.environ
    if environ.get("OTEL_SDK_DISABLED", "").strip().lower() == "true":
        return None
    if environ.get(AZURE_VARIABLE, "").strip():
        return _azure_monitor()
    built = tracer_provider()
    if built is None:
        return None
    from opentelemetry import trace

    provider, names = built
    # Global too, so that the HTTP instrumentation and libraries that trace join the same traces.
    trace.set_tracer_provider(provider)
    tracing.install(provider)
    return ", ".join(names)


def tracer_provider() -> tuple[Any, list[str]] | None:
    """A tracer provider with the exporters the OTEL_* variables name, and their names; None
    when they name none. The exporters and the resource read their own variables too."""
    environ = os.environ
    names = exporter_names(environ)
    if not names:
        return None
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import BatchSpanProcessor, SimpleSpanProcessor

    exporters = [_exporter(name, environ) for name in names]
    provider = TracerProvider(resource=_resource())
    for name, exporter in zip(names, exporters, strict=True):
        # The console is for looking at spans as they end; the network gets batches.
        processor = SimpleSpanProcessor if name == "console" else BatchSpanProcessor
        provider.add_span_processor(processor(exporter))
    return provider, names


def exporter_names(environ: Mapping[str, str]) -> list[str]:
    """The span exporters the environment names; an OTLP endpoint alone means ``otlp``."""
    listed = environ.get("OTEL_TRACES_EXPORTER", "").strip()
    if not listed:
        return ["otlp"] if any(environ.get(name, "").strip() for name in ENDPOINT_VARIABLES) else []
    names = []
    for name in (part.strip().lower() for part in listed.split(",")):
        if name and name != "none" and name not in names:
            names.append(name)
    return names


def _exporter(name: str, environ: Mapping[str, str]):
    if name == "console":
        from opentelemetry.sdk.trace.export import ConsoleSpanExporter

        # Standard output carries the command's answers; spans are diagnostics.
        return ConsoleSpanExporter(out=sys.stderr)
    if name != "otlp":
        raise TelemetryError(
            f"OTEL_TRACES_EXPORTER names {name!r}, which quorlix does not offer: use otlp, "
            "console or none"
        )
    protocol = next(
        (environ[v].strip() for v in PROTOCOL_VARIABLES if environ.get(v, "").strip()),
        "http/protobuf",
    )
    if protocol == "http/protobuf":
        from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter

        return OTLPSpanExporter()
    if protocol == "grpc":
        try:
            from opentelemetry.exporter.otlp.proto.grpc.trace_exporter import (
                OTLPSpanExporter as GrpcSpanExporter,
            )
        except ImportError:
            raise TelemetryError(
                "OTEL_EXPORTER_OTLP_PROTOCOL=grpc needs opentelemetry-exporter-otlp-proto-grpc, "
                "which is not installed: install it, or use http/protobuf"
            ) from None
        return GrpcSpanExporter()
    raise TelemetryError(
        f"OTEL_EXPORTER_OTLP_PROTOCOL={protocol!r} is not one quorlix speaks: use http/protobuf "
        "(the default) or grpc"
    )


def _resource():
    from opentelemetry.sdk.resources import SERVICE_NAME, SERVICE_VERSION, Resource

    from quorlix import __version__

    # OTEL_SERVICE_NAME and OTEL_RESOURCE_ATTRIBUTES are read here; without a name of theirs
    # the service is "quorlix", not the SDK's "unknown_service".
    resource = Resource.create({SERVICE_VERSION: __version__})
    if str(resource.attributes.get(SERVICE_NAME, "")).startswith("unknown_service"):
        resource = resource.merge(Resource({SERVICE_NAME: DEFAULT_SERVICE_NAME}))
    return resource


def _azure_monitor() -> str:
    try:
        from azure.monitor.opentelemetry import configure_azure_monitor
    except ImportError:
        raise TelemetryError(
            f"{AZURE_VARIABLE} is set, but Azure Monitor's OpenTelemetry distro is not "
            "installed: pip install 'quorlix[azure-monitor]', or unset the variable"
        ) from None
    from opentelemetry import trace

    # The service instruments its HTTP app itself; the distro's own FastAPI hook would add a
    # second server span per request.
    configure_azure_monitor(instrumentation_options={"fastapi": {"enabled": False}})
    tracing.install(trace.get_tracer_provider())
    return "Azure Monitor"
