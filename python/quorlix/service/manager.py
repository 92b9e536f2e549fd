"""Runs questions on a fixed pool of worker threads, with a bounded queue and a deadline.

A run is in the store before it is queued, and every change of state is a conditional update,
so whoever ends a run first (the worker, the deadline, shutdown) decides how it ended.
"""

from __future__ import annotations

import contextlib
import copy
import heapq
import queue
import secrets
import tempfile
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from loguru import logger

from quorlix.answering import AnswerStream
from quorlix.telemetry.json_logs import run_logged
from quorlix.telemetry.tracing import request_context

from .answer_events import AnswerEvents
from .changes import Changes
from .follow_ups import follow_up_preparers
from .lease import LEASE_SECONDS, Lease, new_server_id
from .metrics import Metrics
from .run_writer import RunWriter
from .runner import Stopped, answer, read_chart
from .store import RunStore

STOPPED_BY_SHUTDOWN = "the server stopped before the run finished; ask again"


class Busy(Exception):
    """Every worker is busy and the queue is full."""

    def __init__(self, retry_after: int) -> None:
        super().__init__("too many runs at once")
        self.retry_after = retry_after


class Closing(Exception):
    """The server is shutting down and takes no new runs."""


@dataclass
class Limits:
    max_runs: int = 4
    queue: int = 32
    run_deadline: float = 300.0
    grace: float = 30.0


@dataclass
class _Job:
    run_id: str
    question: str
    options: dict
    owner: str = ""
    thread_id: str | None = None
    stopped: threading.Event = field(default_factory=threading.Event)
    started: float | None = None
    # The trace of the request that asked for the run (None with tracing off): the run is
    # answered on a worker thread, and its spans belong to that request's trace.
    trace_parent: Any = None
    # The thread the run belongs to, as stored (``thread_id`` is only the one asked for).
    thread_label: str | None = None


class RunManager:
    def __init__(
        self,
        store: RunStore,
        graph: Any,
        limits: Limits,
        metrics: Metrics,
        changes: Changes,
        explain: Callable[[BaseException], str] | None = None,
        lease_seconds: float = LEASE_SECONDS,
        knowledge_for_run: Callable[[], Any] | None = None,
    ) -> None:
        self.explain = explain
        # A fresh preparer per run that gives it the team's knowledge (runner.answer).
        self.knowledge_for_run = knowledge_for_run
        self.store = store
        self.graph = graph
        self.limits = limits
        self.metrics = metrics
        self.changes = changes
        self._lock = threading.Lock()
        self._queue: queue.Queue[_Job | None] = queue.Queue()
        self._accepted = 0  # queued + running, counted before the store write
        self._running: dict[str, _Job] = {}
        self._closing = False
        # Any number of servers may share the store; each ends only the runs of servers whose
        # lease ran out, never those of a live one (see lease.py).
        self.server_id = new_server_id()
        self.lease = Lease(store, self.server_id, lease_seconds, self._publish_all)
        self._shutdown_began = 0.0
        self._recent: list[float] = []  # durations of the last runs, for Retry-After
        self._deadlines: list[tuple[float, str]] = []
        self._deadline_wake = threading.Condition(self._lock)
        self._workers = [
            threading.Thread(target=self._work, name=f"quorlix-run-{n}", daemon=True)
            for n in range(limits.max_runs)
        ]
        self._watchdog = threading.Thread(
            target=self._watch_deadlines, name="quorlix-deadlines", daemon=True
        )

    def start(self) -> None:
        self.lease.start()
        for worker in self._workers:
            worker.start()
        self._watchdog.start()

    # --- accepting -------------------------------------------------------------------------

    def submit(
        self, owner: str, question: str, options: dict, thread_id: str | None = None
    ) -> dict:
        with self._lock:
            if self._closing:
                raise Closing
            if self._accepted >= self.limits.max_runs + self.limits.queue:
                self.metrics.runs.labels("refused").inc()
                raise Busy(self._retry_after())
            self._accepted += 1
        run_id = secrets.token_hex(16)
        try:
            row = self.store.create_run(
                run_id, owner, question, options, self.server_id, thread_id=thread_id
            )
        except BaseException:
            with self._lock:
                self._accepted -= 1
            raise
        self.metrics.runs.labels("accepted").inc()
        self._queue.put(
            _Job(
                run_id,
                question,
                options,
                owner,
                thread_id,
                trace_parent=request_context(),
                # A run asked on its own starts a thread: the store says which.
                thread_label=row["thread_id"],
            )
        )
        self._update_gauges()
        return row

    def _retry_after(self) -> int:
        typical = sorted(self._recent)[len(self._recent) // 2] if self._recent else 5.0
        waves = (self._accepted - self.limits.max_runs) / max(1, self.limits.max_runs) + 1
        return max(1, min(300, round(typical * waves)))

    def busy(self) -> bool:
        """Whether any worker is still inside a run."""
        with self._lock:
            return bool(self._running)

    @property
    def closing(self) -> bool:
        return self._closing

    def counts(self) -> tuple[int, int]:
        """(running, waiting)."""
        with self._lock:
            running = len(self._running)
            return running, max(0, self._accepted - running)

    def _update_gauges(self) -> None:
        running, waiting = self.counts()
        self.metrics.in_flight.set(running)
        self.metrics.queued.set(waiting)

    # --- working ---------------------------------------------------------------------------

    def _work(self) -> None:
        while True:
            job = self._queue.get()
            if job is None:
                return
            try:
                self._run(job)
            # A store failure: the run stays open and is interrupted later. Nothing ends this
            # thread but shutdown.
            except BaseException:
                logger.exception("run {} could not be recorded", job.run_id)
            finally:
                with self._lock:
                    self._accepted -= 1
                    self._running.pop(job.run_id, None)
                self._update_gauges()

    def _run(self, job: _Job) -> None:
        if self._closing:
            self._end(job, "interrupted", error=STOPPED_BY_SHUTDOWN)
            return
        if not self.store.mark_running(job.run_id):
            return
        job.started = time.monotonic()
        with self._lock:
            self._running[job.run_id] = job
            heapq.heappush(self._deadlines, (job.started + self.limits.run_deadline, job.run_id))
            self._deadline_wake.notify()
        self._update_gauges()
        self.changes.publish(job.run_id)

        writer = RunWriter(job.run_id)

        def published(event: dict | None) -> bool:
            if event is not None:
                self.changes.publish(job.run_id, event=event)
            return event is not None

        def save_answer(text: str) -> bool:
            if job.stopped.is_set():
                return False
            return writer.write(lambda: published(self.store.set_answer(job.run_id, text)))

        answer_events = AnswerEvents(save_answer)

        def on_step(record: dict, step: dict) -> bool:
            if job.stopped.is_set():
                return False
            answer_events.flush()
            self.metrics.node_seconds.labels(step["node"]).observe(step["duration_s"])
            # The record goes on growing while the save waits its turn.
            saved_record = copy.deepcopy(record)
            return writer.write(
                lambda: published(self.store.add_step(job.run_id, saved_record, step))
            )

        with (
            contextlib.closing(writer),
            run_logged(job.run_id),
            tempfile.TemporaryDirectory(prefix="quorlix-run-") as work,
        ):
            save_path = Path(work) / "chart.png"
            try:
                prepare = follow_up_preparers(self.store, self.graph, job.run_id, job.thread_id)
                status, record = answer(
                    self.graph,
                    job.question,
                    job.options,
                    save_path,
                    on_step,
                    self.explain,
                    prepare=prepare,
                    knowledge=self.knowledge_for_run() if self.knowledge_for_run else None,
                    callbacks=[self.metrics.token_counter, AnswerStream(answer_events)],
                    user=job.owner,
                    run_id=job.run_id,
                    trace_parent=job.trace_parent,
                    thread=job.thread_label,
                )
            except Stopped:
                return
            writer.close()  # every step saved before the run's end is
            chart = read_chart(save_path) if job.options.get("chart", True) else None
        ended = self.store.finish_run(job.run_id, status, record, chart, from_statuses=("running",))
        if ended:
            self.metrics.runs.labels(status).inc()
            duration = time.monotonic() - job.started
            self.metrics.run_seconds.observe(duration)
            with self._lock:
                self._recent = (self._recent + [duration])[-50:]
        self.changes.publish(job.run_id, ended=True, row=ended)

    def _end(self, job: _Job, status: str, error: str) -> None:
        ended = self.store.finish_run(job.run_id, status, error=error)
        if ended:
            self.metrics.runs.labels(status).inc()
        job.stopped.set()
        self.changes.publish(job.run_id, ended=True, row=ended)

    def _watch_deadlines(self) -> None:
        with self._lock:
            while True:
                now = time.monotonic()
                while self._deadlines and self._deadlines[0][0] <= now:
                    _, run_id = heapq.heappop(self._deadlines)
                    job = self._running.get(run_id)
                    if job is not None and not job.stopped.is_set():
                        job.stopped.set()
                        threading.Thread(
                            target=self._end,
                            args=(job, "failed", self._deadline_message()),
                            daemon=True,
                        ).start()
                timeout = self._deadlines[0][0] - now if self._deadlines else None
                self._deadline_wake.wait(timeout)

    def _deadline_message(self) -> str:
        seconds = self.limits.run_deadline
        shown = f"{seconds:g}"
        return (
            f"the run did not finish within {shown} s (the server's --run-deadline) and was "
            "stopped; ask a narrower question or raise the limit"
        )

    # --- stopping --------------------------------------------------------------------------

    def begin_shutdown(self) -> None:
        """Stop taking runs; queued ones will not start."""
        with self._lock:
            if not self._closing:
                self._closing = True
                self._shutdown_began = time.monotonic()

    def shutdown(self) -> None:
        """Lets running runs finish within the grace period (counted from the moment the server
        stopped taking runs), then marks the rest interrupted."""
        self.begin_shutdown()
        ends_at = self._shutdown_began + self.limits.grace
        while True:
            try:
                job = self._queue.get_nowait()
            except queue.Empty:
                break
            if job is not None:
                self._end(job, "interrupted", STOPPED_BY_SHUTDOWN)
                with self._lock:
                    self._accepted -= 1
        while time.monotonic() < ends_at:
            with self._lock:
                if not self._running:
                    break
            time.sleep(0.05)
        with self._lock:
            left = list(self._running.values())
        for job in left:
            job.stopped.set()
            self._end(job, "interrupted", STOPPED_BY_SHUTDOWN)
        for _ in self._workers:
            self._queue.put(None)
        self._update_gauges()
        self.lease.stop()

    def _publish_all(self, run_ids: list[str]) -> None:
        for run_id in run_ids:
            self.changes.publish(run_id, ended=True)
