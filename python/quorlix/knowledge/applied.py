"""The knowledge of the run under way.

A run enters ``applied(retrieved)`` around its graph run: the examples and terms are kept for
whoever reports on the run (``current()``), and their section becomes the run's reference
section (``quorlix.prompts.reference``), which the database wrapper's table information and
the relevant-table picker add to their prompts. Both are context variables, so concurrent runs
never see one another's knowledge; outside ``applied`` there is none.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import TYPE_CHECKING

from quorlix.prompts.reference import reference_section, with_reference

if TYPE_CHECKING:
    from .retrieval import Retrieved

_current: ContextVar[Retrieved | None] = ContextVar("quorlix_knowledge", default=None)


@contextmanager
def applied(retrieved: Retrieved | None) -> Iterator[Retrieved | None]:
    """Makes ``retrieved`` the knowledge of everything run in this block (None: none)."""
    token = _current.set(retrieved if retrieved else None)
    try:
        with with_reference(retrieved.section if retrieved else ""):
            yield retrieved
    finally:
        _current.reset(token)


def current() -> Retrieved | None:
    return _current.get()


def current_section() -> str:
    """The reference section in force now ("" outside a run with knowledge)."""
    return reference_section()
