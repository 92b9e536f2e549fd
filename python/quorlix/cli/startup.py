"""Start-up overlap for ``quorlix ask``: work that would otherwise run one step after another.

Two kinds of overlap:

- ``in_background(fn)`` runs a start-up step (importing the graph module) on a thread while the
  main thread reads the settings, signs in and opens the database;
- ``start_warm_ups()`` starts the ``WARM_UPS`` when the run begins, so they proceed while the
  first model requests are in flight instead of after them: the SQL review's chain classes and
  the analysis libraries, imported otherwise only when those steps first run, after two and
  four model calls.

Warm-ups only make later work cheaper; a failing warm-up is ignored (the same work fails again,
and is reported, where the run really needs it). ``QUORLIX_STARTUP_OVERLAP=1`` turns both on;
they are off by default, because imports on two threads at once can meet a circular import
half-way.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable
from typing import Any

OVERLAP_VARIABLE = "QUORLIX_STARTUP_OVERLAP"


def overlap_enabled() -> bool:
    # Off unless asked for: imports on two threads at once can meet a circular import half-way
    # ("partially initialized module"), which a clean-clone test run hit once.
    return os.environ.get(OVERLAP_VARIABLE, "").strip().lower() in ("1", "true", "yes", "on")


def _import_sql_review() -> None:
    # The SQL review step runs LangChain's query checker, which loads its chain classes on
    # first use, after two model calls.
    import langchain_classic.chains.llm  # noqa: F401


def _import_analysis_libraries() -> None:
    # What generated analysis programs import and draw with; the graph module has already
    # chosen the non-interactive backend, so pyplot loads no GUI toolkit on this thread.
    # Imports only: nothing here touches pyplot's figures or matplotlib's font caches, which
    # are not thread-safe, so a warm-up still running when the program starts is harmless.
    import importlib

    for name in (
        "pandas",
        "matplotlib.pyplot",
        "matplotlib.backends.backend_agg",
        "pandas.plotting._matplotlib",  # what DataFrame.plot loads on its first call
    ):
        importlib.import_module(name)


def _analysis_runs_in_process() -> bool:
    return os.environ.get("QUORLIX_ANALYSIS_SANDBOX", "").strip().lower() == "off"


def _prepare_analysis() -> None:
    # Analysis programs run in a sandbox worker forked from a warm parent process unless the
    # sandbox is off: boot that parent (it imports pandas and matplotlib itself) while the model
    # writes the SQL, instead of after the fourth model call. In-process analysis needs the
    # libraries in this interpreter instead.
    if _analysis_runs_in_process():
        _import_analysis_libraries()
        return
    from quorlix import _sandbox

    _sandbox.prestart()


# (name, callable) pairs started together when the run begins, each on its own daemon thread.
WARM_UPS: list[tuple[str, Callable[[], Any]]] = [
    ("sql review", _import_sql_review),
    ("analysis", _prepare_analysis),
]


class Background:
    """One call on a daemon thread; ``result()`` waits for it and re-raises what it raised."""

    def __init__(self, name: str, function: Callable[[], Any]) -> None:
        self.name = name
        self._function = function
        self._value: Any = None
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name=f"quorlix-{name}", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        try:
            self._value = self._function()
        except BaseException as exc:  # handed to whoever asks for the result
            self._error = exc

    def result(self) -> Any:
        self._thread.join()
        if self._error is not None:
            raise self._error
        return self._value


class _Inline(Background):
    """The same interface, run at once on the calling thread (overlap switched off)."""

    def __init__(self, name: str, function: Callable[[], Any]) -> None:
        self.name = name
        self._value, self._error = None, None
        try:
            self._value = function()
        except BaseException as exc:
            self._error = exc

    def result(self) -> Any:
        if self._error is not None:
            raise self._error
        return self._value


def in_background(name: str, function: Callable[[], Any]) -> Background:
    """Start ``function`` on a thread (or, with the overlap off, run it now)."""
    return Background(name, function) if overlap_enabled() else _Inline(name, function)


def start_warm_ups() -> list[Background]:
    """Start every warm-up; nothing waits for them (their threads are daemons)."""
    if not overlap_enabled():
        return []
    return [Background(name, _quietly(function)) for name, function in WARM_UPS]


def _quietly(function: Callable[[], Any]) -> Callable[[], None]:
    def run() -> None:
        try:
            function()
        except Exception:
            pass  # the run repeats this work where it needs it and reports a failure there

    return run
