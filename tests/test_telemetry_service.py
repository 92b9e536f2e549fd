"""``quorlix serve`` traced and logging as JSON: a question asked with a ``traceparent`` header
ends up as one trace (the HTTP request, the run, its nodes) at an OTLP receiver, and the
server's log lines are JSON objects."""

from __future__ import annotations

import json
import signal

import pytest
from quorlix.answering.run_span import RUN_SPAN
from quorlix.querymesh import graph_names
from service_support import Answers, feed, start_server_process
from support.traces import exported_spans

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

CALLER_TRACE = "4bf92f3577b34da6a3ce929d0e0e4736"
CALLER_SPAN = "00f067aa0ba902b7"


def test_a_served_question_is_one_trace_from_the_request_and_logs_are_json(
    stub_azure_env, sqlite_sample_db, tmp_path, otlp_receiver
):
    url, received = otlp_receiver
    feed(stub_azure_env, Answers())
    server = start_server_process(
        stub_azure_env,
        tmp_path,
        "--db",
        sqlite_sample_db.url,
        "--log-format",
        "json",
        env_changes={"OTEL_EXPORTER_OTLP_ENDPOINT": url, "QUORLIX_ANALYSIS_SANDBOX": "off"},
    )
    try:
        with server.client() as client:
            response = client.post(
                "/v1/runs?wait=true",
                json={"question": "Orders per city? [[traced]]"},
                headers={"traceparent": f"00-{CALLER_TRACE}-{CALLER_SPAN}-01"},
            )
        assert response.json()["status"] == "succeeded"
    finally:
        assert server.stop(signal.SIGTERM) == 0
    log_lines = [json.loads(line) for line in server.process.stderr.read().splitlines()]

    spans = exported_spans(received)
    by_id = {span.span_id: span for span in spans}
    assert {span.trace_id.hex() for span in spans} == {CALLER_TRACE}
    (request,) = [span for span in spans if span.parent_span_id.hex() == CALLER_SPAN]
    assert request.name.startswith("POST /v1/runs")
    (run,) = [span for span in spans if span.name == RUN_SPAN]
    assert by_id[run.parent_span_id] is request
    nodes = [span for span in spans if span.name in graph_names.NODES]
    assert nodes and all(by_id[span.parent_span_id] is run for span in nodes)

    assert log_lines and all(
        {"time", "level", "logger", "message"} <= set(line) for line in log_lines
    )
    assert any(line["message"] == "Traces: sent to otlp" for line in log_lines)
