"""Where the graph's printed lines go, for an application that embeds it.

The graph's nodes print diagnostics to standard output with the built-in ``print``: a marker line
and the whole prompt of the final answer, with the question, the SQL, the result rows and the
analysis output. That is part of the graph's defined behaviour, and unwelcome on the standard
output of an application that has its own use for it. ``graph_output`` sends what is printed in
the calling context elsewhere::

    with graph_output(None):  # or graph_output(sys.stderr), or a log file
        state = graph.invoke(inputs)

The calling context is the calling thread (or asyncio task) and the threads LangGraph runs nodes
on for it, which inherit it. Everything printed outside such a context goes where it always went,
so the application's own output and other threads' runs keep apart.

It works by putting, once, a small router in place of ``sys.stdout`` that sends each write where
the writer's context says. The extension modules capture what an analysis program prints in the
same way, with a router of their own (by thread) that puts itself on top whenever it captures;
beneath it, this router sees only what is not captured, so a program's printed output still
reaches the answer, whatever the route.
"""

from __future__ import annotations

import contextlib
import sys
import threading
from collections.abc import Iterator
from contextvars import ContextVar
from typing import Any, TextIO

_UNROUTED: Any = object()
_route: ContextVar[Any] = ContextVar("quorlix_graph_output", default=_UNROUTED)
_install_lock = threading.Lock()

# The extension modules' capture router (cpp/core/qx/output_capture.cpp): recognised by this class
# attribute, it keeps the stream it replaced in this instance attribute (read, never changed).
_CORE_ROUTER_MARKER = "__qx_output_router__"
_CORE_ROUTER_STREAM = "_qx_stream"


@contextlib.contextmanager
def graph_output(to: TextIO | None) -> Iterator[None]:
    """Within the block, what the calling context prints goes to ``to`` (a text stream), or
    nowhere when ``to`` is None."""
    _install()
    token = _route.set(to)
    try:
        yield
    finally:
        _route.reset(token)


class _Router:
    """Stands in for ``sys.stdout``: a write goes where the writer's context routes it, else to
    the stream this router replaced."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream

    def _target(self) -> Any:
        target = _route.get()
        return self._stream if target is _UNROUTED else target

    def write(self, text: str) -> int:
        target = self._target()
        if target is None:
            return len(text)
        return target.write(text)

    def writelines(self, lines: Any) -> None:
        target = self._target()
        if target is not None:
            target.writelines(lines)

    def flush(self) -> None:
        target = self._target()
        if target is not None:
            target.flush()

    def __getattr__(self, name: str) -> Any:
        # encoding, isatty, fileno, buffer...: those of where the output goes.
        target = self._target()
        return getattr(self._stream if target is None else target, name)


def _install() -> None:
    with _install_lock:
        while True:
            current = sys.stdout
            if _in_place(current):
                return
            router = _Router(current)
            # Another thread may have replaced sys.stdout meanwhile (the capture router): then
            # look again rather than drop its replacement.
            if sys.stdout is current:
                sys.stdout = router
                return


def _in_place(stream: Any) -> bool:
    """Whether writes to ``stream`` pass this module's router: it is the router, or the
    extension modules' capture router put itself on top of it (as it does whenever it finds
    something else on top), which is as good and must not be wrapped again and again."""
    if isinstance(stream, _Router):
        return True
    if getattr(type(stream), _CORE_ROUTER_MARKER, None) is None:
        return False
    return isinstance(getattr(stream, _CORE_ROUTER_STREAM, None), _Router)
