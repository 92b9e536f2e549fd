"""A run's answer, as the model writes it, on the run's event stream.

The first text is written at once (it is what a person waits for); later ones at most every
``INTERVAL`` seconds, the newest winning, and whatever is still pending just before the node's
step event, so the last answer event always precedes the step that ends the answer.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable

INTERVAL = 0.05


class AnswerEvents:
    """``save(text)`` writes the answer so far and tells the run's followers."""

    def __init__(self, save: Callable[[str], object], interval: float = INTERVAL) -> None:
        self._save = save
        self._interval = interval
        self._lock = threading.Lock()
        self._pending: str | None = None
        self._written_at = -float("inf")

    def __call__(self, text: str) -> None:
        with self._lock:
            self._pending = text
            due = time.monotonic() - self._written_at >= self._interval
        if due:
            self.flush()

    def flush(self) -> None:
        with self._lock:
            text, self._pending = self._pending, None
            if text is None:
                return
            self._written_at = time.monotonic()
        self._save(text)
