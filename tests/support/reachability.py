"""Whether a local database server answers, asked afresh until it has answered once.

A refused or timed-out probe is tried again a few times, and a later test asks again: one early
hiccup (a server still starting, a connection slot briefly full) must not skip every database
test of the session. A server that has answered once is taken as up for the rest of it.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import Any

import pytest

ATTEMPTS = 3
PAUSE_SECONDS = 0.5

_answered: set[str] = set()


def skip_unless_reachable(key: str, probe: Callable[[], Any]) -> None:
    """Skip the calling test with the last failure when `probe()` cannot connect."""
    if key in _answered:
        return
    failure = ""
    for attempt in range(ATTEMPTS):
        if attempt:
            time.sleep(PAUSE_SECONDS)
        try:
            probe().close()
        except Exception as error:  # any driver failure means: no usable server right now
            failure = f"{type(error).__name__}: {error}".strip()
            continue
        _answered.add(key)
        return
    pytest.skip(f"{key} is not reachable: {failure}")
