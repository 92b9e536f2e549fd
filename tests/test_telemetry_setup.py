"""Tracing set up from the environment: which variables turn it on, the one-line refusals, and
spans exported over OTLP/HTTP to a receiver on 127.0.0.1."""

from __future__ import annotations

import importlib.util
import re
import subprocess
import sys

import pytest
from quorlix import telemetry
from quorlix.answering.run_span import RUN_SPAN, traced_run
from quorlix.telemetry.setup import TelemetryError, setup_tracing, tracer_provider
from support.traces import exported_services, exported_spans

ENDPOINT = {"OTEL_EXPORTER_OTLP_ENDPOINT": "http://127.0.0.1:9"}


def installed(module: str) -> bool:
    try:
        return importlib.util.find_spec(module) is not None
    except ModuleNotFoundError:
        return False


@pytest.mark.parametrize(
    ("environment", "destination", "refusal"),
    [
        ({}, None, None),
        (ENDPOINT, "otlp", None),
        ({"OTEL_EXPORTER_OTLP_TRACES_ENDPOINT": "http://127.0.0.1:9/v1/traces"}, "otlp", None),
        ({**ENDPOINT, "OTEL_TRACES_EXPORTER": "none"}, None, None),
        ({**ENDPOINT, "OTEL_SDK_DISABLED": "true"}, None, None),
        ({"OTEL_TRACES_EXPORTER": "console, otlp"}, "console, otlp", None),
        ({"OTEL_TRACES_EXPORTER": "zipkin"}, None, "OTEL_TRACES_EXPORTER names 'zipkin'"),
        (
            {**ENDPOINT, "OTEL_EXPORTER_OTLP_PROTOCOL": "http/json"},
            None,
            "is not one quorlix speaks",
        ),
        pytest.param(
            {**ENDPOINT, "OTEL_EXPORTER_OTLP_PROTOCOL": "grpc"},
            None,
            "needs opentelemetry-exporter-otlp-proto-grpc",
            marks=pytest.mark.skipif(
                installed("opentelemetry.exporter.otlp.proto.grpc"), reason="gRPC exporter here"
            ),
        ),
        pytest.param(
            {"APPLICATIONINSIGHTS_CONNECTION_STRING": "InstrumentationKey=00000000-0000"},
            None,
            "pip install 'quorlix[azure-monitor]'",
            marks=pytest.mark.skipif(
                installed("azure.monitor.opentelemetry"), reason="the distro is installed"
            ),
        ),
    ],
)
def test_the_environment_decides_where_spans_go(monkeypatch, environment, destination, refusal):
    providers = []
    monkeypatch.setattr("opentelemetry.trace.set_tracer_provider", providers.append)
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    try:
        if refusal:
            with pytest.raises(TelemetryError, match=re.escape(refusal)) as caught:
                setup_tracing()
            assert "\n" not in str(caught.value)
            assert not telemetry.enabled()
            return
        assert setup_tracing() == destination
        assert telemetry.enabled() is (destination is not None)
        assert len(providers) == (destination is not None)
    finally:
        telemetry.uninstall()
        for provider in providers:
            provider.shutdown()


def test_spans_reach_an_otlp_http_receiver(otlp_receiver, monkeypatch, sqlite_sample_db):
    from quorlix.querymesh.custom_sql import CustomSQLDatabase

    url, received = otlp_receiver
    monkeypatch.setenv("OTEL_EXPORTER_OTLP_ENDPOINT", url)
    monkeypatch.setenv("OTEL_SERVICE_NAME", "orders-bot")
    provider, names = tracer_provider()
    telemetry.install(provider)
    db = CustomSQLDatabase.from_uri(sqlite_sample_db.url)
    try:
        with traced_run("How many customers?", user="ana") as run:
            db.run("SELECT COUNT(*) FROM customers")
            run.finish("succeeded")
        provider.force_flush()
    finally:
        telemetry.uninstall()
        provider.shutdown()
        db._engine.dispose()

    assert names == ["otlp"] and received
    assert {path for path, _ in received} == {"/v1/traces"}
    spans = {span.name: span for span in exported_spans(received)}
    assert exported_services(received) == {"orders-bot"}
    assert set(spans) == {RUN_SPAN, "SELECT customers"}
    assert spans["SELECT customers"].parent_span_id == spans[RUN_SPAN].span_id
    assert spans["SELECT customers"].trace_id == spans[RUN_SPAN].trace_id


def test_with_no_variable_set_a_query_loads_no_span_code_and_no_provider(sqlite_sample_db):
    # A fresh interpreter: this one has loaded the SDK for other tests.
    program = f"""
import sys
from quorlix.service.app import create_app
from quorlix.answering import answer_question
from quorlix.querymesh.custom_sql import CustomSQLDatabase
from quorlix.telemetry.setup import setup_tracing

assert setup_tracing() is None
db = CustomSQLDatabase.from_uri({sqlite_sample_db.url!r})
assert db.run("SELECT COUNT(*) FROM customers")
from opentelemetry import trace
from quorlix import telemetry

# FastAPI and LangSmith import OpenTelemetry themselves; no provider, exporter, instrumentation
# or span code of ours is there.
assert not telemetry.enabled()
assert type(trace.get_tracer_provider()).__name__ == "ProxyTracerProvider"
loaded = [name for name in sys.modules
          if name.startswith(("opentelemetry.exporter", "opentelemetry.instrumentation",
                              "quorlix.telemetry.run_spans"))
          or name in ("quorlix.sql.query_spans", "quorlix.answering.graph_spans")]
print(loaded)
"""
    done = subprocess.run(
        [sys.executable, "-c", program], capture_output=True, text=True, timeout=120, check=False
    )
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip() == "[]"
