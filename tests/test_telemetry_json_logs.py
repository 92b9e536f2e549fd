"""Log lines as JSON: one object a line from loguru, the logging module and the command's own
lines, carrying the run's id and the current trace."""

from __future__ import annotations

import io
import json
import logging
import sys

import pytest
from loguru import logger
from quorlix import telemetry
from quorlix.cli import common
from quorlix.telemetry.json_logs import line_writer, run_logged, use_json_logs


@pytest.fixture
def json_stream():
    root = logging.getLogger()
    handlers, level = list(root.handlers), root.level
    stream = io.StringIO()
    use_json_logs("INFO", stream)
    common.log_lines_with(line_writer(stream))
    try:
        yield stream
    finally:
        common.log_lines_with(None)
        logger.remove()
        logger.add(sys.stderr)
        for handler in list(root.handlers):
            root.removeHandler(handler)
        for handler in handlers:
            root.addHandler(handler)
        root.setLevel(level)


WRITERS = {
    "loguru": lambda text: logger.warning("{}", text),
    "logging": lambda text: logging.getLogger("quorlix.sql").warning("%s", text),
    "command": common.warn,
}


@pytest.mark.parametrize("source", sorted(WRITERS))
def test_a_line_is_one_json_object_with_run_and_trace_ids(json_stream, finished_spans, source):
    tracer = telemetry.tracing.tracer()
    with run_logged("run-42"), tracer.start_as_current_span("work") as span:
        WRITERS[source]('a "quoted"\nmessage')
    WRITERS[source]("outside")

    inside, outside = [json.loads(line) for line in json_stream.getvalue().splitlines()]
    assert inside["level"] == "WARNING" and inside["message"] == 'a "quoted"\nmessage'
    assert inside["time"].endswith("Z") and inside["logger"]
    assert inside["run_id"] == "run-42"
    assert inside["trace_id"] == format(span.get_span_context().trace_id, "032x")
    assert inside["span_id"] == format(span.get_span_context().span_id, "016x")
    assert not {"run_id", "trace_id", "span_id"} & set(outside)
