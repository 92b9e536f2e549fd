"""A run in a thread: its question is restated from the thread's earlier runs (as the store
keeps them) before the graph runs, and what it was understood as is stored with the run."""

from __future__ import annotations

from typing import Any

from quorlix.answering.follow_up import Turn, follow_up_preparer
from quorlix.answering.setup import Preparer, RunSetup

from .store import RunStore


def thread_turns(store: RunStore, thread_id: str, run_id: str | None = None) -> list[Turn]:
    """The turns of the runs asked in the thread (before ``run_id``), oldest first."""
    return [
        Turn.of_record(row["question"], row["standalone_question"], row["record"] or {})
        for row in store.thread_runs(thread_id, before=run_id)
    ]


def follow_up_preparers(
    store: RunStore, graph: Any, run_id: str, thread_id: str | None
) -> list[Preparer]:
    """What prepares a run of a thread; nothing for a run of its own or a thread's first."""
    if thread_id is None:
        return []
    restate = follow_up_preparer(graph.pandas_ai_model, thread_turns(store, thread_id, run_id))
    if restate is None:
        return []

    def keep(setup: RunSetup) -> None:
        # Stored as soon as it is known, so whoever follows the run can show it.
        store.set_standalone_question(run_id, setup.question)

    return [restate, keep]
