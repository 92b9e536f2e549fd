"""Fewer garbage collections while the command starts up.

Start-up creates a few hundred thousand objects that live as long as the process (modules,
classes, pydantic schemas, the graph) and little garbage. At CPython's default threshold the
cyclic collector walks those objects again and again while they are made, about a fifth of the
time it takes to import the graph module. The command raises the threshold until the graph
module is in, then moves everything made so far out of the collector's sight (``gc.freeze``) and
restores the threshold, so later collections see only what the run itself creates.

Only the ``quorlix`` command does this; a program that imports quorlix keeps its own settings.
"""

from __future__ import annotations

import gc

START_UP_THRESHOLD = 50_000

_saved: tuple[int, int, int] | None = None


def fewer_collections_during_start_up() -> None:
    global _saved
    if _saved is None:
        _saved = gc.get_threshold()
        gc.set_threshold(START_UP_THRESHOLD, _saved[1], _saved[2])


def start_up_done() -> None:
    """Freeze what start-up made and restore the threshold (nothing if it was never raised)."""
    global _saved
    if _saved is not None:
        gc.freeze()
        gc.set_threshold(*_saved)
        _saved = None
