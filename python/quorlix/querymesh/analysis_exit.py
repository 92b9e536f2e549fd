"""The analysis program's own SystemExit or KeyboardInterrupt, told apart from a real request to
stop.

The analysis node lets both leave it, as the graph's definition says, after noting on them that
the program raised them. A host of a run (the service's workers, ``quorlix ask``, ``quorlix
eval``) ends such a run as failed with ``program_exit``'s message and carries on; a real Ctrl-C or
exit carries no note and goes on unwinding.
"""

from __future__ import annotations

# The note the analysis node adds (cpp/querymesh/nodewright/analysis_output.cpp).
PROGRAM_EXIT_NOTE = "raised by the analysis program"
# A SystemExit code can be any object the program made: only its start is shown.
SHOWN_CODE_CHARS = 200


def program_exit(exc: BaseException) -> str | None:
    """The run's error message when the analysis program raised ``exc`` to stop, else None."""
    if not isinstance(exc, SystemExit | KeyboardInterrupt):
        return None
    if PROGRAM_EXIT_NOTE not in getattr(exc, "__notes__", ()):
        return None
    raised = type(exc).__name__
    if isinstance(exc, SystemExit) and exc.code is not None:
        code = repr(exc.code)
        if len(code) > SHOWN_CODE_CHARS:
            code = code[:SHOWN_CODE_CHARS] + "…"
        raised += f"({code})"
    return f"the analysis program exited: it raised {raised}"
