"""Checked statements of SQLite and DuckDB run in worker processes, not in the host.

Both engines compute inside the process that calls them, and neither can be held to a bound
there: DuckDB's memory_limit leaves out what its functions make (``length(repeat('x', 2e9))``
took 3.8 GiB under a 1 GiB limit), one such call runs seconds past an interrupt, an SQLite row
of 2,000 columns is built whole, and an SQLite call blocked by another connection's lock waits
out its busy timeout whatever the interrupt. So a checked statement is sent to a worker
process (``workers.main``) that holds a read-only session of the same database:

* its memory is capped by the operating system (``RLIMIT_DATA``): a statement that needs more
  fails with an error there, and the host receives only rows whose values are already cut;
* at the call's time limit the worker is killed, so the call ends then, whatever it was doing;
* it starts from a clean environment and ends when the host ends.

A pool keeps up to ``MAX_WORKERS`` of them per wrapper; one serves one call at a time, and one
that has grown (a process's heap rarely shrinks) or was killed is replaced by a new one.
"""

from __future__ import annotations

import contextlib
import logging
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from multiprocessing.connection import Connection
from pathlib import Path
from typing import Any, NoReturn

from sqlalchemy.exc import DBAPIError, OperationalError

_log = logging.getLogger(__name__)

MAX_WORKERS = 4
# What a worker holds past its start beyond which it is replaced rather than reused: the
# engine keeps freed memory mapped, and the cap counts it.
_RETIRE_FRACTION = 0.5
# A worker that does not say it is ready within this long is given up (the call's own limit
# applies too).
_START_SECONDS = 30.0
_PACKAGE_ROOT = str(Path(__file__).resolve().parents[3])
_BOOT = "import sys; from quorlix.sql.workers.main import main; main(int(sys.argv[1]))"
# The worker's environment: what Python and the engines need to start, no credentials.
_KEPT_VARIABLES = ("PATH", "HOME", "LANG", "LC_ALL", "LC_CTYPE", "TZ", "TMPDIR", "LD_LIBRARY_PATH")


class WorkerTimeout(OperationalError):
    """The call reached its time limit; the worker running it was stopped."""


class WorkerUnavailable(RuntimeError):
    """No worker process could be started; the message says why.

    ``lasting`` when no worker will start in this process (the interpreter cannot be run), not
    when one could not open the database this time.
    """

    def __init__(self, message: str, *, lasting: bool) -> None:
        super().__init__(message)
        self.lasting = lasting


@dataclass(frozen=True)
class WorkerSpec:
    """What a worker opens: ``reader`` (a class the worker imports, without SQLAlchemy) is
    built with ``options``; ``engine`` names it in messages."""

    engine: str
    reader: type
    options: dict[str, Any] = field(hash=False)
    memory_cap: int  # bytes the worker's data segment may grow past its start
    spill_folder: bool = False  # a private folder per worker, as options["temp_directory"]


def workers_supported() -> str | None:
    """Why worker processes cannot be used here, or None when they can."""
    if os.name != "posix":
        return "worker processes need a POSIX system"
    if not sys.executable:
        return "the Python interpreter's path is unknown (sys.executable is empty)"
    return None


class _Worker:
    def __init__(self, spec: WorkerSpec, *, wait: bool = True) -> None:
        """Start the process; with ``wait``, return once it has opened the database, else at
        once (``finish_start`` waits, when the worker is first wanted)."""
        self.spec = spec
        self.started_at = time.monotonic()
        self.ready = False
        self.folder = tempfile.mkdtemp(prefix="quorlix-sql-worker-") if spec.spill_folder else None
        options = dict(spec.options)
        if self.folder is not None:
            options["temp_directory"] = self.folder
        ours, theirs = socket.socketpair()
        try:
            self.process = subprocess.Popen(
                [sys.executable, "-c", _BOOT, str(theirs.fileno())],
                pass_fds=(theirs.fileno(),),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                env=_worker_environment(),
                start_new_session=True,
            )
        except BaseException:
            ours.close()
            self._remove_folder()
            raise
        finally:
            theirs.close()
        self.channel = Connection(ours.detach())
        try:
            self.channel.send(
                {
                    "reader": f"{spec.reader.__module__}:{spec.reader.__qualname__}",
                    "options": options,
                    "memory_cap": spec.memory_cap,
                }
            )
        except BaseException as error:
            self._failed_start(error)
        if wait:
            self.finish_start()

    def finish_start(self) -> None:
        """Wait until the worker has opened the database; raise as a failed start does."""
        spec = self.spec
        try:
            reply = self.receive(time.monotonic() + _START_SECONDS)
        except BaseException as error:
            self._failed_start(error)
        if reply[0] != "ready":
            self.kill()
            raise WorkerUnavailable(
                f"the {spec.engine} worker could not open the database: {reply[1]}",
                lasting=False,
            )
        self.started_kib = reply[2]
        self.ready_at = time.monotonic()
        self.calls = 0
        self.ready = True

    def _failed_start(self, error: BaseException) -> NoReturn:
        """Stop the process and raise what its failed start means (within ``except``)."""
        if isinstance(error, WorkerTimeout):
            self.kill()
            raise error
        if isinstance(error, (OperationalError, OSError)):
            how = _how_it_ended(self.kill())
            raise WorkerUnavailable(
                f"the {self.spec.engine} worker process {how} as it started", lasting=True
            ) from error
        self.kill()
        raise error

    def request(self, message: tuple, deadline: float | None) -> tuple:
        self.channel.send(message)
        return self.receive(deadline)

    def receive(self, deadline: float | None) -> tuple:
        timeout = None if deadline is None else max(0.0, deadline - time.monotonic())
        if not self.channel.poll(timeout):
            self.kill()
            raise WorkerTimeout("the call reached its time limit", None, None)
        try:
            return self.channel.recv()
        except (EOFError, OSError) as error:
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(timeout=1)  # it has closed its end: it is ending
            raise _ended(self.kill()) from error

    def grown_kib(self, reply_kib: int | None) -> int:
        if reply_kib is None or self.started_kib is None:
            return 0
        return reply_kib - self.started_kib

    def alive(self) -> bool:
        return self.process.poll() is None

    def kill(self) -> int | None:
        """Stop the process; its exit code if it has already ended, else None.

        A process holding much memory takes a while to go, so it is reaped (and its folder
        removed) in the background: the call that stopped it ends at once.
        """
        with contextlib.suppress(OSError):
            self.channel.close()
        code = self.process.poll()
        if code is None:
            with contextlib.suppress(OSError):
                self.process.kill()
            folder, self.folder = self.folder, None
            threading.Thread(
                target=_reap, args=(self.process, folder), name="quorlix-worker-reaper", daemon=True
            ).start()
            return None
        self._remove_folder()
        return code

    def _remove_folder(self) -> None:
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None


def _started(worker: _Worker) -> bool:
    """Whether a worker started ahead (``prestart``) is ready now; one that is not is
    stopped. Its wait counts as the start's, not the call's (``WorkerPool.run``)."""
    worker.started_at = time.monotonic()
    try:
        worker.finish_start()
    except Exception:
        return False
    return True


def _reap(process: subprocess.Popen, folder: str | None) -> None:
    with contextlib.suppress(subprocess.TimeoutExpired):
        process.wait(timeout=60)
    if folder is not None:
        shutil.rmtree(folder, ignore_errors=True)


class WorkerPool:
    """Worker processes for one wrapper's database; ``run`` sends one statement to one."""

    def __init__(self, spec: WorkerSpec, max_workers: int = MAX_WORKERS) -> None:
        self.spec = spec
        self._max_workers = max_workers
        self._reset()

    def _reset(self) -> None:
        # Also after a fork: the child must not share the parent's workers.
        self._pid = os.getpid()
        self._lock = threading.Lock()
        self._free = threading.BoundedSemaphore(self._max_workers)
        self._idle: list[_Worker] = []
        self._generation = 0

    def run(
        self,
        statement: str,
        *,
        limit: int,
        min_chars: int,
        max_chars: int,
        deadline: float | None,
        check_columns: Any,
    ) -> tuple[list[str], list[tuple], bool]:
        """(keys, rows, more) of ``statement``; ``check_columns(n)`` may refuse it once the
        engine has said how many columns it reads, before anything runs."""
        worker, generation = self._acquire(deadline)
        if deadline is not None and worker.calls == 0:
            # Starting a worker is this system's own cost, not the query's: the query still
            # gets its whole time limit.
            deadline += worker.ready_at - worker.started_at
        worker.calls += 1
        keep = False
        try:
            seconds = None if deadline is None else max(0.0, deadline - time.monotonic())
            reply = worker.request(
                ("run", statement, limit, min_chars, max_chars, seconds), deadline
            )
            if reply[0] == "columns":
                try:
                    check_columns(reply[1])
                except BaseException:
                    keep = worker.request(("stop",), deadline)[0] == "stopped"
                    raise
                reply = worker.request(("go",), deadline)
            keep = reply[-1] is None or (
                worker.grown_kib(reply[-1]) * 1024 < self.spec.memory_cap * _RETIRE_FRACTION
            )
            return _outcome(statement, reply, self.spec)
        finally:
            self._release(worker, generation, keep)

    def prestart(self) -> None:
        """Start one worker now, without waiting for it: it opens the database beside the
        host's own work, and the first call takes it. A worker that fails to start is
        dropped here; the call then starts one of its own and reports what went wrong."""
        if os.getpid() != self._pid:
            self._reset()
        with self._lock:
            if self._idle:
                return
        try:
            worker = _Worker(self.spec, wait=False)
        except Exception:
            return
        with self._lock:
            self._idle.append(worker)

    def close(self) -> None:
        """Stop the idle workers; busy ones stop when their call ends."""
        if os.getpid() != self._pid:
            self._reset()
            return
        with self._lock:
            idle, self._idle = self._idle, []
            self._generation += 1
        for worker in idle:
            worker.kill()

    def _acquire(self, deadline: float | None) -> tuple[_Worker, int]:
        if os.getpid() != self._pid:
            self._reset()
        timeout = None if deadline is None else max(0.0, deadline - time.monotonic())
        # Waiting for a free worker counts against the call; starting one does not (run).
        if not self._free.acquire(timeout=timeout):
            raise WorkerTimeout("no database worker became free within the time limit", None, None)
        try:
            worker = None
            with self._lock:
                generation = self._generation
                while self._idle and worker is None:
                    worker = self._idle.pop()
                    if not worker.alive():
                        worker.kill()
                        worker = None
            if worker is not None and not worker.ready and not _started(worker):
                worker = None
            return worker or _Worker(self.spec), generation
        except BaseException:
            self._free.release()
            raise

    def _release(self, worker: _Worker, generation: int, keep: bool) -> None:
        try:
            with self._lock:
                if keep and generation == self._generation and worker.alive():
                    self._idle.append(worker)
                    return
            worker.kill()
        finally:
            self._free.release()


def _outcome(statement: str, reply: tuple, spec: WorkerSpec) -> tuple[list[str], list[tuple], bool]:
    if reply[0] == "rows":
        return reply[1], reply[2], reply[3]
    _, kind, detail, _ = reply
    if kind == "timeout":
        raise WorkerTimeout(statement, None, _as_exception(detail))
    if kind == "memory":
        cap = spec.memory_cap // (1024 * 1024)
        raise OperationalError(
            statement,
            None,
            MemoryError(
                f"the query ran out of memory in its database worker process (which may grow"
                f" by {cap} MiB): {_first_line(detail)}. Select fewer or shorter columns,"
                " aggregate earlier, or add a LIMIT."
            ),
        )
    if kind == "refused":
        raise OperationalError(statement, None, _as_exception(detail))
    error = _as_exception(detail)
    base = next((cls for cls in type(error).__mro__ if cls.__name__ == "Error"), None)
    if base is not None:
        raise DBAPIError.instance(statement, None, error, base)
    raise OperationalError(statement, None, error)


class WorkerError(Exception):
    """An error the worker's engine raised that could not be carried over as itself."""


def _as_exception(detail: Any) -> BaseException:
    if isinstance(detail, BaseException):
        return detail
    name, message = detail
    return WorkerError(f"({name}) {message}")


def _first_line(detail: Any) -> str:
    text = str(_as_exception(detail)).strip().splitlines()
    return text[0] if text else "out of memory"


def _ended(code: int | None) -> OperationalError:
    return OperationalError(
        None,
        None,
        WorkerError(
            f"the database worker process {_how_it_ended(code)} during the call; the call was"
            " not answered. Run the query again; if it keeps happening, make it cheaper."
        ),
    )


def _how_it_ended(code: int | None) -> str:
    if code is None:
        return "stopped answering"
    if code < 0:
        return f"was killed by signal {-code}"
    return f"exited with code {code}"


def _worker_environment() -> dict[str, str]:
    env = {name: os.environ[name] for name in _KEPT_VARIABLES if name in os.environ}
    paths = [_PACKAGE_ROOT, *(entry for entry in sys.path if entry)]
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))
    return env
