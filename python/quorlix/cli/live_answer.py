"""The answer on the terminal while the model writes it, indented as the other sections are."""

from __future__ import annotations

import threading
from typing import TextIO

PREFIX = "  "


class LiveAnswer:
    """Prints the growing answer text under an ``Answer:`` heading. When a run writes its
    answer again (after failed analysis code), the new one is printed under a heading of its
    own. ``shown`` is the last text printed in full."""

    def __init__(self, out: TextIO) -> None:
        self.out = out
        self.shown = ""
        self._open = False
        self._lock = threading.Lock()

    def __call__(self, text: str) -> None:
        with self._lock:
            if self._open and text.startswith(self.shown):
                fresh = text[len(self.shown) :]
            else:
                self._end()
                self.out.write(f"Answer:\n{PREFIX}")
                self._open, fresh = True, text
            self.shown = text
            self.out.write(fresh.replace("\n", f"\n{PREFIX}"))
            self.out.flush()

    def close(self) -> None:
        """Ends the answer's section (before the step that wrote it is reported)."""
        with self._lock:
            self._end()

    def _end(self) -> None:
        if self._open:
            self.out.write("\n\n")
            self.out.flush()
            self._open = False
