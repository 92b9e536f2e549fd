"""The knowledge of the run under way, for the places where it enters the graph.

A run enters ``applied(retrieved)`` around its graph run; the database wrapper's table
information and the relevant-table picker read ``current_section()`` while the run's nodes
build their prompts. It is a context variable: LangGraph carries the caller's context into the
threads it runs nodes on, and concurrent runs (each in its own context) never see one
another's knowledge. Outside ``applied`` there is none, and nothing is added anywhere.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    # Only for annotations: the database wrapper imports this module, and retrieval imports
    # the table shortlist, which imports the wrapper's package.
    from .retrieval import Retrieved

_current: ContextVar[Retrieved | None] = ContextVar("quorlix_knowledge", default=None)


@contextmanager
def applied(retrieved: Retrieved | None) -> Iterator[Retrieved | None]:
    """Makes ``retrieved`` the knowledge of everything run in this block (None: none)."""
    token = _current.set(retrieved if retrieved else None)
    try:
        yield retrieved
    finally:
        _current.reset(token)


def current() -> Retrieved | None:
    return _current.get()


def current_section() -> str:
    """The section to add to a prompt now: "" outside a run with knowledge."""
    retrieved = _current.get()
    return retrieved.section if retrieved is not None else ""
