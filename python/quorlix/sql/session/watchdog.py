"""One wall-clock limit for a whole call, whatever the database does with its own limits.

A server's own limit restarts with every statement it is sent (PostgreSQL's
``statement_timeout`` counts ``DECLARE`` and each ``FETCH`` anew) and SQLite's progress handler
only runs between virtual-machine steps. A watchdog thread measures the call as the caller sees
it and, at the deadline, asks the database to stop whatever it is doing on that connection.
"""

from __future__ import annotations

import contextlib
import logging
import threading
from collections.abc import Callable, Iterator

from .walls import StatementWatch

_log = logging.getLogger(__name__)


@contextlib.contextmanager
def watchdog(
    time_limit: float | None, watch: StatementWatch, interrupt: Callable[[], None]
) -> Iterator[None]:
    """Call ``interrupt`` once ``time_limit`` seconds after entry, unless the block has ended.

    ``watch.fired`` says afterwards whether it did. The block never leaves while an interrupt
    is on its way, so one cannot land on the next statement of the connection.
    """
    if time_limit is None:
        yield
        return

    def fire() -> None:
        watch.fired = True
        try:
            interrupt()
        except Exception:  # the database's own limit still applies; keep the reason
            _log.warning("could not interrupt a statement at its time limit", exc_info=True)

    timer = threading.Timer(time_limit, fire)
    timer.daemon = True
    timer.start()
    try:
        yield
    finally:
        timer.cancel()
        timer.join()
