"""The service's log lines as JSON, one object a line, for log collectors.

Every line has ``time`` (UTC, ISO 8601), ``level``, ``logger`` and ``message``; ``run_id`` while
a run is being answered, ``trace_id`` and ``span_id`` while a span is current (so a line leads
to its trace), and ``exception`` with the traceback when one is logged. The same shape comes
from loguru (quorlix's own logs), the standard ``logging`` module (libraries, the HTTP server)
and the command's progress lines.
"""

from __future__ import annotations

import contextlib
import datetime
import json
import logging
import sys
import traceback
from collections.abc import Iterator
from contextvars import ContextVar
from typing import Any, TextIO

from . import tracing

FORMATS = ("human", "json")

_run_id: ContextVar[str | None] = ContextVar("quorlix_logged_run_id", default=None)


@contextlib.contextmanager
def run_logged(run_id: str) -> Iterator[None]:
    """Log lines written inside the block (and on the graph's threads) carry ``run_id``."""
    token = _run_id.set(run_id)
    try:
        yield
    finally:
        _run_id.reset(token)


def json_line(
    level: str,
    message: str,
    logger: str,
    when: datetime.datetime | None = None,
    exception: str | None = None,
) -> str:
    entry: dict[str, Any] = {
        "time": (when or datetime.datetime.now(datetime.UTC))
        .astimezone(datetime.UTC)
        .isoformat(timespec="milliseconds")
        .replace("+00:00", "Z"),
        "level": level,
        "logger": logger,
        "message": message,
    }
    run_id = _run_id.get()
    if run_id:
        entry["run_id"] = run_id
    entry.update(_trace_ids())
    if exception:
        entry["exception"] = exception
    return json.dumps(entry, ensure_ascii=False, default=str)


def _trace_ids() -> dict[str, str]:
    if not tracing.enabled():
        return {}
    from opentelemetry import trace

    span_context = trace.get_current_span().get_span_context()
    if not span_context.is_valid:
        return {}
    return {
        "trace_id": format(span_context.trace_id, "032x"),
        "span_id": format(span_context.span_id, "016x"),
    }


class JsonFormatter(logging.Formatter):
    """For the standard ``logging`` module's handlers."""

    def format(self, record: logging.LogRecord) -> str:
        exception = self.formatException(record.exc_info) if record.exc_info else None
        return json_line(
            record.levelname,
            record.getMessage(),
            record.name,
            datetime.datetime.fromtimestamp(record.created, datetime.UTC),
            exception,
        )


def loguru_sink(stream: TextIO):
    """A loguru sink writing each message as a JSON line to ``stream``."""

    def write(message: Any) -> None:
        record = message.record
        exception = None
        if record["exception"] is not None:
            kind, value, trace_back = record["exception"]
            exception = "".join(traceback.format_exception(kind, value, trace_back))
        stream.write(
            json_line(
                record["level"].name,
                record["message"],
                record["name"] or "quorlix",
                record["time"],
                exception,
            )
            + "\n"
        )
        stream.flush()

    return write


def line_writer(stream: TextIO, logger: str = "quorlix"):
    """``write(level, message)`` for the command's own progress and warning lines."""

    def write(level: str, message: str) -> None:
        stream.write(json_line(level, message, logger) + "\n")
        stream.flush()

    return write


def use_json_logs(level: str = "WARNING", stream: TextIO | None = None) -> None:
    """Send loguru's and the ``logging`` module's lines to ``stream`` (stderr) as JSON."""
    from loguru import logger

    stream = stream or sys.stderr
    logger.remove()
    logger.add(loguru_sink(stream), level=level)
    handler = logging.StreamHandler(stream)
    handler.setFormatter(JsonFormatter())
    root = logging.getLogger()
    for old in list(root.handlers):
        root.removeHandler(old)
    root.addHandler(handler)
    # Libraries talk at INFO and below about their own business; warnings are the service's.
    root.setLevel(logging.WARNING)


def granian_log_config(log_format: str) -> dict[str, Any]:
    """The HTTP server's logging configuration: to stderr, as JSON when asked."""
    handlers: dict[str, Any] = {
        "console": {"class": "logging.StreamHandler", "stream": "ext://sys.stderr"},
        "access": {"class": "logging.StreamHandler", "stream": "ext://sys.stderr"},
    }
    if log_format != "json":
        return {"handlers": handlers}
    for handler in handlers.values():
        handler["formatter"] = "json"
    return {
        "formatters": {"json": {"()": f"{__name__}.JsonFormatter"}},
        "handlers": handlers,
    }
