"""Wakes event streams when a run they follow has something new in the store.

The store stays the source of truth: a wake-up says "read again", and may carry the event just
written, which a stream that has seen every event before it sends without reading the store.
Streams also re-read on a timer, so a change written by another process sharing the store is
seen too, a little later.
"""

from __future__ import annotations

import asyncio
import threading
from collections import deque
from collections.abc import Iterator
from contextlib import contextmanager


class Follower:
    """One stream's view of a run: ``wake`` is set at every change, ``ended`` once the process
    that ended the run said so (a run ended elsewhere is seen on the timer), ``row`` is the
    ended run's row as the store wrote it, when the one who ended it had it, and ``events``
    the events published with the changes, in the order they were written."""

    __slots__ = ("loop", "wake", "ended", "row", "events")

    def __init__(self) -> None:
        self.loop = asyncio.get_running_loop()
        self.wake = asyncio.Event()
        self.ended = False
        self.row: dict | None = None
        self.events: deque[dict] = deque(maxlen=256)

    def take_events(self, after: int) -> list[dict] | None:
        """The published events that follow event ``after`` without a gap; None when one is
        missing (written without being published here), so the store must be read."""
        taken: list[dict] = []
        while self.events:
            event = self.events.popleft()
            if event["seq"] <= after:
                continue  # already read from the store
            if event["seq"] != after + 1:
                self.events.clear()
                return None
            taken.append(event)
            after = event["seq"]
        return taken


class Changes:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._followers: dict[str, set[Follower]] = {}

    def publish(
        self, run_id: str, ended: bool = False, row: dict | None = None, event: dict | None = None
    ) -> None:
        """Safe to call from any thread. ``event`` is the event the change wrote, if any: each
        publisher of a run publishes its events in the order it wrote them."""
        with self._lock:
            followers = list(self._followers.get(run_id, ()))
        for follower in followers:
            if row is not None:
                follower.row = row
            if ended:
                follower.ended = True
            if event is not None:
                follower.events.append(event)
            try:
                follower.loop.call_soon_threadsafe(follower.wake.set)
            except RuntimeError:  # the loop has closed: its streams are gone
                pass

    @contextmanager
    def subscribe(self, run_id: str) -> Iterator[Follower]:
        """A follower of the run, for the calling event loop."""
        follower = Follower()
        with self._lock:
            self._followers.setdefault(run_id, set()).add(follower)
        try:
            yield follower
        finally:
            with self._lock:
                followers = self._followers.get(run_id)
                if followers is not None:
                    followers.discard(follower)
                    if not followers:
                        del self._followers[run_id]


async def wait_for(wake: asyncio.Event, timeout: float) -> bool:
    """Waits for a wake-up or the timeout; True when woken."""
    try:
        await asyncio.wait_for(wake.wait(), timeout)
        woken = True
    except TimeoutError:
        woken = False
    wake.clear()
    return woken
