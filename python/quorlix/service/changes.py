"""Wakes event streams when a run they follow has something new in the store.

The store stays the source of truth: a wake-up only says "read again". Streams also re-read on a
timer, so a change written by another process sharing the store is seen too, a little later.
"""

from __future__ import annotations

import asyncio
import threading
from collections.abc import Iterator
from contextlib import contextmanager


class Changes:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._waiters: dict[str, set[tuple[asyncio.AbstractEventLoop, asyncio.Event]]] = {}

    def publish(self, run_id: str) -> None:
        """Safe to call from any thread."""
        with self._lock:
            waiters = list(self._waiters.get(run_id, ()))
        for loop, wake in waiters:
            try:
                loop.call_soon_threadsafe(wake.set)
            except RuntimeError:  # the loop has closed: its streams are gone
                pass

    @contextmanager
    def subscribe(self, run_id: str) -> Iterator[asyncio.Event]:
        """An event set on every change of the run, for the calling event loop."""
        entry = (asyncio.get_running_loop(), asyncio.Event())
        with self._lock:
            self._waiters.setdefault(run_id, set()).add(entry)
        try:
            yield entry[1]
        finally:
            with self._lock:
                waiters = self._waiters.get(run_id)
                if waiters is not None:
                    waiters.discard(entry)
                    if not waiters:
                        del self._waiters[run_id]


async def wait_for(wake: asyncio.Event, timeout: float) -> None:
    try:
        await asyncio.wait_for(wake.wait(), timeout)
    except TimeoutError:
        pass
    wake.clear()
