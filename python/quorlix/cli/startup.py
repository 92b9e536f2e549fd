"""Start-up of the commands that run the graph: what can proceed beside the import.

The analysis sandbox's warm parent is a process of its own that imports pandas and matplotlib
and draws one chart, about a second of work. Started first (``start_analysis_sandbox``), it does
that on another core while this process imports the graph module and waits for the model,
instead of after the fourth model call, when the first analysis program needs it. It shares
nothing with this interpreter, so unlike a background import on a thread it cannot meet this
process's imports half-way.

The database's first statement starts a worker process and loads the dialect's parser (about
60 ms, after the third model call). ``prepare_database`` does both as soon as the database has
answered: the worker opens it on another core while this process imports the graph module.
"""

from __future__ import annotations

from quorlix import config

SANDBOX_VARIABLE = "QUORLIX_ANALYSIS_SANDBOX"


def analysis_runs_in_process() -> bool:
    return config.setting("analysis_sandbox") == "off"


def start_analysis_sandbox() -> None:
    """Boot the analysis sandbox's warm parent now, unless analysis runs in this interpreter.

    Returns at once: the parent boots on its own. A sandbox that cannot start is reported by
    the analysis step, where the run needs it.
    """
    if analysis_runs_in_process():
        return
    try:
        from quorlix import _sandbox

        _sandbox.prestart()
    except Exception:
        pass


def prepare_database(db) -> None:
    """Start what the run's first statement needs (``CustomSQLDatabase.prestart``); a wrapper
    without it, or one that fails, is left to do so when the statement runs."""
    prestart = getattr(db, "prestart", None)
    if prestart is None:
        return
    try:
        prestart()
    except Exception:
        pass
