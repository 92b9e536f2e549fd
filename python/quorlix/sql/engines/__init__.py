"""The database engines the wrapper walls in, one package each, found by dialect name.

An engine package holds everything that differs for that engine: the session walls that hold
each statement read-only and inside its time limit (``session``), the cutting of long values
inside the database (``bounds``), what its catalog says a query may not touch (``refusals``),
the session of the worker process that runs its statements (``reader``), how its tables are
reflected, and its ``kind`` module, the ``EngineKind`` that ties these together.

``find`` imports an engine's ``kind`` module the first time a database of that dialect is
wrapped, so an engine costs nothing until it is used. Adding an engine is adding a package with
a ``kind`` module. Nothing is imported here: the worker processes load their reader modules
from these packages without SQLAlchemy.
"""

from __future__ import annotations

import functools
import importlib
import pkgutil
import threading
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .kind import EngineKind

_lock = threading.RLock()
_all_loaded = False


def find(dialect: str) -> EngineKind:
    """The kind of the SQLAlchemy dialect named ``dialect``; the plain ``EngineKind`` for one
    without a package here."""
    from . import kind

    with _lock:
        found = kind.registered(dialect)
        if found is None and dialect in _packages():
            importlib.import_module(f"{__name__}.{dialect}.kind")
            found = kind.registered(dialect)
        if found is None:
            _load_all()  # a second name of an engine (mariadb is served by mysql)
            found = kind.registered(dialect)
        return found if found is not None else kind.PLAIN


@functools.cache
def _packages() -> frozenset[str]:
    return frozenset(module.name for module in pkgutil.iter_modules(__path__) if module.ispkg)


def _load_all() -> None:
    global _all_loaded
    if not _all_loaded:
        for package in _packages():
            importlib.import_module(f"{__name__}.{package}.kind")
        _all_loaded = True
