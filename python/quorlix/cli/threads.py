"""Threads of the command line, kept in a run store (the service's own by default), so that
``quorlix chat`` and ``quorlix ask --thread`` continue one another's threads and the service's.

A run the command answers is written to the store once it has ended: an open run without a
server would be taken by a server sharing the store for one whose server died."""

from __future__ import annotations

import secrets
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .common import Failure, usage_error

# Whose threads the command keeps: the service's user when it runs without tokens, so its page
# lists them.
LOCAL_OWNER = "local"


@dataclass
class LocalThread:
    store: Any  # a RunStore
    thread_id: str | None
    owner: str = LOCAL_OWNER
    # The latest turns so far, oldest first (Turn), read from the store once, and how many
    # earlier ones were not read.
    turns: list = field(default_factory=list)
    skipped: int = 0

    @classmethod
    def open(cls, store_url: str | None, thread_id: str) -> LocalThread:
        """A stored thread, to be continued; an unknown id is a usage error."""
        from quorlix.service.follow_ups import thread_turns

        store = _store(store_url)
        row = store.get_thread(thread_id)
        if row is None:
            usage_error(
                f"--thread {thread_id!r}: the run store {store.shown_url} holds no such thread; "
                "`quorlix chat` prints a thread's id when it starts one (or give --store)"
            )
        turns, skipped = thread_turns(store, thread_id)
        return cls(store, thread_id, row["owner"], turns, skipped)

    @classmethod
    def new(cls, store_url: str | None) -> LocalThread:
        """A thread started with its first question (nothing is stored before)."""
        return cls(_store(store_url), None)

    def preparers(self, graph: Any) -> list:
        from quorlix.answering.follow_up import follow_up_preparer

        restate = follow_up_preparer(graph.pandas_ai_model, self.turns, skipped=self.skipped)
        return [] if restate is None else [restate]

    def record(self, question: str, outcome: Any, options: dict) -> None:
        """Add the ended run to the thread (starting the thread with its first run)."""
        from quorlix.answering.follow_up import Turn
        from quorlix.service.runner import finished_record, read_chart
        from quorlix.service.store import empty_record

        self.turns.append(Turn.of_outcome(question, outcome))
        if self.thread_id is None:
            self.thread_id = secrets.token_hex(16)
            self.store.create_thread(self.thread_id, self.owner)
        run_id = secrets.token_hex(16)
        record = finished_record(empty_record(), outcome, None)
        written = outcome.chart()
        chart = read_chart(Path(written)) if written else None
        self.store.create_run(run_id, self.owner, question, options, thread_id=self.thread_id)
        understood = str(outcome.state.get("user_question") or question)
        if understood != question:
            self.store.set_standalone_question(run_id, understood)
        self.store.mark_running(run_id)
        self.store.finish_run(run_id, outcome.status, record, chart)


def _store(url: str | None):
    from sqlalchemy.exc import SQLAlchemyError

    from quorlix.service.store import RunStore, StoreError

    try:
        return RunStore(url)
    except StoreError as exc:
        raise Failure(str(exc)) from None
    except SQLAlchemyError as exc:
        from .common import database_reason

        raise Failure(
            f"cannot open the run store {url or 'in $QUORLIX_HOME'}: {database_reason(exc)}"
        ) from None
