"""The worker process: one read-only session of SQLite or DuckDB, one call at a time.

Started by ``workers.pool`` with one end of a socket pair. It reads the session's options, opens
the database (the ``reader`` module its engine names), caps its own memory, says it is
ready, and then answers one request after another until the socket closes:

    host: ("run", statement, limit, min_chars, max_chars, seconds)
    worker, where the engine describes queries: ("columns", n); host: ("go",) or ("stop",)
    worker: ("rows", keys, rows, more, data_kib) or ("error", kind, detail, data_kib)

Only what the reader modules import is imported here: no SQLAlchemy, no LangChain.
"""

from __future__ import annotations

import importlib
import os
import pickle
import signal
import sys
import threading
import time
from multiprocessing.connection import Connection
from typing import Any

_OUT_OF_MEMORY_NAMES = ("OutOfMemoryException", "MemoryError")


def main(fd: int) -> None:
    # Ctrl-C in the host's terminal is the host's to handle; this process ends with it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    channel = Connection(fd)
    options: dict[str, Any] = channel.recv()
    _leave_with(os.getppid())
    try:
        module, _, name = options["reader"].partition(":")
        reader = getattr(importlib.import_module(module), name)(options["options"])
    except BaseException as error:  # the host reports it and runs the statement itself
        channel.send(("failed", f"{type(error).__name__}: {error}"))
        return
    _cap_memory(options["memory_cap"])
    channel.send(("ready", os.getpid(), data_kib()))
    while True:
        try:
            message = channel.recv()
        except (EOFError, OSError):
            return
        if message[0] != "run":
            return
        channel.send(_serve(reader, channel, *message[1:]))


def _serve(
    reader: Any,
    channel: Connection,
    statement: str,
    limit: int,
    min_chars: int,
    max_chars: int,
    seconds: float | None,
) -> tuple:
    try:
        columns = reader.describe(statement)
        if columns is not None:
            channel.send(("columns", len(columns)))
            if channel.recv()[0] != "go":
                return ("stopped", data_kib())
        keys, rows, more = reader.fetch(statement, columns, limit, min_chars, max_chars, seconds)
        return ("rows", keys, rows, more, data_kib())
    except BaseException as error:
        error = error.with_traceback(None)  # its frames hold what the call fetched
        return ("error", _kind(reader, error), _portable(error), data_kib())


def _kind(reader: Any, error: BaseException) -> str:
    if type(error).__name__ == "NotOneQuery":
        return "refused"
    if any(cls.__name__ in _OUT_OF_MEMORY_NAMES for cls in type(error).__mro__):
        return "memory"
    if reader.timed_out(error):
        return "timeout"
    return "database"


def _portable(error: BaseException) -> Any:
    """The error itself where it survives pickling, else (its class's name, its text)."""
    try:
        pickle.loads(pickle.dumps(error))
        return error
    except Exception:
        return (f"{type(error).__module__}.{type(error).__qualname__}", str(error))


def data_kib() -> int | None:
    """The data segment's size (VmData, KiB): what RLIMIT_DATA counts; None off Linux."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmData:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _cap_memory(cap: int) -> None:
    """Let the data segment grow at most ``cap`` bytes past what it holds now.

    An allocation past it fails inside the engine (DuckDB reports "Out of Memory", Python raises
    MemoryError), so the call fails and the process lives on.
    """
    try:
        import resource
    except ImportError:  # not on this platform: the host's time limit still holds
        return
    current = data_kib()
    if current is None or not hasattr(resource, "RLIMIT_DATA"):
        return
    limit = current * 1024 + cap
    resource.setrlimit(resource.RLIMIT_DATA, (limit, limit))


def _leave_with(parent: int) -> None:
    """End this process when the host is gone, even in the middle of a statement."""

    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(1)
        os._exit(0)

    threading.Thread(target=watch, name="quorlix-parent-watch", daemon=True).start()


if __name__ == "__main__":
    main(int(sys.argv[1]))
