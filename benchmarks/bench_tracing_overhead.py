"""What tracing costs a whole question: the same `SQLGraph` run as it ran before tracing existed,
with tracing off (no OTEL_* variable set), and with tracing on into an in-memory exporter.

The question, database and instant chat model are those of `bench_graph_run.py` (five model
calls, one query, one analysis program in this interpreter), so what is measured is the graph's
own work plus what tracing adds to it. Three sides, interleaved run by run:

- before: the body of `answer_question` as it was before tracing (`quorlix.answering.run._answer`,
  which `answer_question` now wraps in the run's span), with the database wrapper's `run`
  replaced, on the instance and for that call, by its body without the tracing check
  (`CustomSQLDatabase._run`, what `run` was).
- off: `answer_question` as every host calls it, tracing off: its `traced_run` and the wrapper's
  check are inert.
- on: the same with tracing on: a span for the run, each node, each model call, the query and
  the analysis program, through the SDK's batch processor into an in-memory exporter.

Reported: p50 and p90 milliseconds per question, and off/before and on/before at both (1.00 means
no cost; the target for off is at most 1.02).

    PYTHONPATH=python python benchmarks/bench_tracing_overhead.py [--runs N] [--quick]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import random
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_graph_run as shared  # noqa: E402  (sets QUORLIX_ANALYSIS_SANDBOX=off first)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=300, help="questions per side (default 300)")
    parser.add_argument("--warmup", type=int, default=20, help="untimed questions per side first")
    parser.add_argument("--quick", action="store_true", help="a tiny run, for the smoke test")
    options = parser.parse_args()
    if options.quick:
        options.runs, options.warmup = 5, 2

    from loguru import logger
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import BatchSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
    from quorlix import telemetry
    from quorlix.answering import answer_question, describe
    from quorlix.answering.run import _answer
    from quorlix.querymesh.custom_sql import CustomSQLDatabase

    logger.remove()
    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(BatchSpanProcessor(exporter))

    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "shop.db"
        shared.build_database(path)
        db = CustomSQLDatabase.from_uri(f"sqlite:///{path}")
        graph = shared.quorlix_graph(db, shared.InstantChatModel(respond=shared.graph_respond))
        chart = Path(directory) / "chart.png"

        def untraced_run(
            command, fetch="all", include_columns=False, *, parameters=None, execution_options=None
        ):
            return db._run(command, fetch, include_columns, parameters, execution_options)

        def before() -> Any:
            # The wrapper's run as it was, for this call only: set on the instance, so nothing
            # else (the class, the graph) differs between the sides.
            db.run = untraced_run
            try:
                return _answer(
                    graph,
                    shared.QUESTION,
                    save_path=chart,
                    analysis_tries=2,
                    on_step=None,
                    callbacks=(),
                    prices=None,
                    explain=describe,
                    stop_before=None,
                    prepare=(),
                ).state
            finally:
                del db.run

        def hosted() -> Any:
            return answer_question(graph, shared.QUESTION, save_path=chart, analysis_tries=2).state

        def traced() -> Any:
            telemetry.install(provider)
            try:
                return hosted()
            finally:
                telemetry.uninstall()

        sides: dict[str, Callable[[], Any]] = {"before": before, "off": hosted, "on": traced}
        times: dict[str, list[float]] = {side: [] for side in sides}
        order = list(sides)
        with contextlib.redirect_stdout(io.StringIO()) as sink:
            for side, run in sides.items():
                for _ in range(options.warmup):
                    shared.check(side, run())
            for _ in range(options.runs):
                random.shuffle(order)
                for side in order:
                    started = time.perf_counter()
                    result = sides[side]()
                    times[side].append(time.perf_counter() - started)
                    shared.check(side, result)
                sink.seek(0)
                sink.truncate()
        provider.force_flush()
        spans = len(exporter.get_finished_spans())
        provider.shutdown()
        db._engine.dispose()

    traced_runs = options.warmup + options.runs
    print(f"Python {sys.version.split()[0]}, {options.runs} questions per side, interleaved")
    print(f"tracing on: {spans / traced_runs:.0f} spans per question")
    print(f"{'side':<10}{'p50 ms':>10}{'p90 ms':>10}")
    summary = {}
    for side, values in times.items():
        summary[side] = (statistics.median(values) * 1e3, shared.percentile(values, 0.9) * 1e3)
        print(f"{side:<10}{summary[side][0]:>10.2f}{summary[side][1]:>10.2f}")
    for side in ("off", "on"):
        p50 = summary[side][0] / summary["before"][0]
        p90 = summary[side][1] / summary["before"][1]
        print(f"{side} / before  p50 {p50:.3f}x   p90 {p90:.3f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
