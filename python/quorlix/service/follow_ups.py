"""A run in a thread: its question is restated from the thread's earlier runs (as the store
keeps them) before the graph runs, and what it was understood as is stored with the run.

Only the runs the model can be shown are read (the last ``thread_turns``), so a long thread's
follow-up reads no more than a short one's."""

from __future__ import annotations

from typing import Any

from quorlix import config
from quorlix.answering.follow_up import Turn, follow_up_preparer
from quorlix.answering.setup import Preparer, RunSetup

from .store import OPEN_STATUSES, RunStore


def thread_turns(
    store: RunStore, thread_id: str, run_id: str | None = None
) -> tuple[list[Turn], int]:
    """The latest turns of the runs asked in the thread (before ``run_id``), oldest first,
    and how many earlier runs were not read."""
    last = config.setting("thread_turns")
    rows = store.thread_runs(thread_id, before=run_id, last=last)
    skipped = store.count_thread_runs(thread_id, before=run_id) - len(rows) if rows else 0
    return [_turn(row) for row in rows], max(0, skipped)


def _turn(row: dict) -> Turn:
    if row["status"] in OPEN_STATUSES:
        # Asked, not yet answered: its question is all there is to show.
        return Turn(row["question"], row["standalone_question"])
    return Turn.of_record(row["question"], row["standalone_question"], row["record"] or {})


def follow_up_preparers(
    store: RunStore, graph: Any, run_id: str, thread_id: str | None
) -> list[Preparer]:
    """What prepares a run of a thread; nothing for a run of its own or a thread's first."""
    if thread_id is None:
        return []
    turns, skipped = thread_turns(store, thread_id, run_id)
    restate = follow_up_preparer(graph.pandas_ai_model, turns, skipped=skipped)
    if restate is None:
        return []

    def keep(setup: RunSetup) -> None:
        # Stored as soon as it is known, so whoever follows the run can show it.
        store.set_standalone_question(run_id, setup.question)

    return [restate, keep]
