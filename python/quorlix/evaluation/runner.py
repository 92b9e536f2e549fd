"""Scoring questions: the graph writes a query, then the query and the gold query are run and
their rows compared.

The graph is stopped once its SQL part is over (before the analysis program and the written
answer): execution accuracy judges the query, and the later steps would only add model calls
and time. One database wrapper and one graph are built per database and shared by the worker
threads.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Iterable
from concurrent.futures import ThreadPoolExecutor, as_completed
from typing import Any

from quorlix.answering import answer_question
from quorlix.answering.follow_up import Turn, follow_up_preparer
from quorlix.querymesh.custom_sql import CustomSQLDatabase
from quorlix.sql.check.guard import sqlglot_dialect

from .compare import Comparison
from .execute import QueryFailed, fetch_rows
from .items import Question
from .usage_tally import UsageTally

DEFAULT_TIME_LIMIT = 30.0
DEFAULT_MAX_ROWS = 100_000
PREVIEW_ROWS = 5
# The nodes after the SQL part of the graph; the run stops before whichever comes first.
STOP_BEFORE = ["pandas_generator_node", "final_response_generation_node"]

CORRECT, WRONG, BROKEN = "correct", "wrong", "broken"


class Evaluator:
    """Scores one question at a time; safe to call from several threads."""

    def __init__(
        self,
        make_graph: Callable[[CustomSQLDatabase], Any],
        comparison: Comparison,
        *,
        time_limit: float = DEFAULT_TIME_LIMIT,
        max_rows: int = DEFAULT_MAX_ROWS,
        describe: Callable[[BaseException], str] = lambda exc: f"{type(exc).__name__}: {exc}",
    ) -> None:
        self._make_graph = make_graph
        self.comparison = comparison
        self._time_limit = time_limit
        self._max_rows = max_rows
        self._describe = describe
        self._lock = threading.Lock()
        self._locks: dict[str, threading.Lock] = {}
        self._databases: dict[str, CustomSQLDatabase] = {}
        self._graphs: dict[str, Any] = {}

    def close(self) -> None:
        for db in self._databases.values():
            db._engine.dispose()

    def score(self, item: Question, prepare: Iterable[Any] = ()) -> dict[str, Any]:
        """The verdict on ``item``; ``prepare``: preparers of its run (see ``answer_question``)."""
        outcome = Outcome(item, self.comparison)
        try:
            db = self._database(item.db)
        except Exception as exc:
            return outcome.broken("database", f"cannot open the database: {self._describe(exc)}")
        # A graph that cannot be built fails every question alike: that ends the evaluation
        # instead of being scored as wrong answers. Building it (once per database, while other
        # threads wait) is not part of any question's time.
        graph = self._graph(item.db, db)
        dialect = sqlglot_dialect(db.dialect)
        started = time.monotonic()
        try:
            gold = fetch_rows(db, self.comparison.prepared(item.gold_sql, dialect), self._max_rows)
        except QueryFailed as failed:
            return outcome.broken(f"gold {failed.kind}", f"the gold query failed: {failed}")
        outcome.gold = gold.rows
        tally = UsageTally()
        # A follow-up is restated from the earlier questions alone, as the conversational sets
        # are scored: earlier turns are not answered again, only the last one's SQL counts.
        restate = (
            follow_up_preparer(graph.pandas_ai_model, [Turn(turn) for turn in item.turns])
            if item.turns
            else None
        )
        run = answer_question(
            graph,
            item.graph_question(),
            callbacks=[tally],
            explain=self._describe,
            stop_before=STOP_BEFORE,
            prepare=[*([restate] if restate else []), *prepare],
        )
        outcome.usage(tally)
        if item.turns:
            outcome.record["standalone_question"] = run.state.get("user_question")
        if run.raised:
            return outcome.wrong(run.error_kind, run.error, started)
        predicted_sql = run.sql
        outcome.predicted_sql = predicted_sql
        if not predicted_sql:
            return outcome.wrong("no sql", "the graph wrote no SQL query", started)
        try:
            predicted = fetch_rows(
                db, self.comparison.prepared(predicted_sql, dialect), self._max_rows
            )
        except QueryFailed as failed:
            return outcome.wrong(f"sql {failed.kind}", str(failed), started)
        outcome.predicted = predicted.rows
        ordered = self.comparison.order_matters(item.gold_sql)
        if self.comparison.matches(gold.rows, predicted.rows, ordered=ordered):
            return outcome.correct(started)
        reason = "the rows differ"
        if ordered:
            reason += " (row order counts: the gold query has ORDER BY)"
        return outcome.wrong("wrong result", reason, started)

    def _database(self, url: str) -> CustomSQLDatabase:
        with self._lock_for(url):
            if url not in self._databases:
                self._databases[url] = CustomSQLDatabase.from_uri(
                    url, statement_timeout=self._time_limit, max_rows=100
                )
            return self._databases[url]

    def _graph(self, url: str, db: CustomSQLDatabase) -> Any:
        with self._lock_for(url):
            if url not in self._graphs:
                self._graphs[url] = self._make_graph(db)
            return self._graphs[url]

    def _lock_for(self, url: str) -> threading.Lock:
        with self._lock:
            return self._locks.setdefault(url, threading.Lock())


class Outcome:
    """What is written for one question: the verdict, why, and what both queries returned."""

    def __init__(self, item: Question, comparison: Comparison) -> None:
        self.record: dict[str, Any] = {
            "id": item.id,
            "db": item.db_name,
            "question": item.question,
            **({"turns": list(item.turns)} if item.turns else {}),
            "evidence": item.evidence,
            "difficulty": item.difficulty,
            "metric": comparison.name,
            "official": comparison.official,
            "gold_sql": item.gold_sql,
            "predicted_sql": None,
        }
        self.gold: list[tuple] | None = None
        self.predicted: list[tuple] | None = None
        self.predicted_sql: str | None = None

    def usage(self, tally: UsageTally) -> None:
        self.record["model_calls"] = tally.calls
        self.record["tokens"] = tally.tokens()

    def correct(self, started: float) -> dict[str, Any]:
        return self._finish(CORRECT, None, None, started)

    def wrong(self, kind: str, reason: str, started: float) -> dict[str, Any]:
        return self._finish(WRONG, kind, reason, started)

    def broken(self, kind: str, reason: str) -> dict[str, Any]:
        self.record.update(model_calls=0, tokens=None)
        return self._finish(BROKEN, kind, reason, None)

    def _finish(self, verdict: str, kind: str | None, reason: str | None, started) -> dict:
        self.record.update(
            predicted_sql=self.predicted_sql,
            verdict=verdict,
            error_kind=kind,
            reason=reason,
            gold_rows=_preview(self.gold),
            gold_row_count=None if self.gold is None else len(self.gold),
            predicted_rows=_preview(self.predicted),
            predicted_row_count=None if self.predicted is None else len(self.predicted),
            seconds=None if started is None else round(time.monotonic() - started, 3),
        )
        return self.record


def _preview(rows: list[tuple] | None) -> list[list[Any]] | None:
    return None if rows is None else [list(row) for row in rows[:PREVIEW_ROWS]]


def evaluate(
    questions: Iterable[Question],
    score: Callable[[Question], dict[str, Any]],
    concurrency: int,
    on_result: Callable[[dict[str, Any]], None],
) -> None:
    """Score every question on ``concurrency`` threads, handing each outcome to ``on_result``
    on the calling thread as soon as it is ready (so a file written there survives an
    interruption with every finished question in it)."""
    if concurrency <= 1:
        for item in questions:
            on_result(score(item))
        return
    pool = ThreadPoolExecutor(max_workers=concurrency, thread_name_prefix="quorlix-eval")
    try:
        futures = [pool.submit(score, item) for item in questions]
        for future in as_completed(futures):
            on_result(future.result())
    except BaseException:
        # Questions not started yet are dropped; those running finish on their own.
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown()
