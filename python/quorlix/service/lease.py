"""A server's lease in a shared store: proof of life, and the sweep for servers that died.

Several server processes (plain servers or Ray replicas) may share one store. Each renews its
lease every few seconds; every one of them also ends, as interrupted, the open runs of servers
whose lease has run out, and never those of a live one. So a server killed mid-run has its run
ended within about ``seconds`` plus one renewal period by whichever server is alive (or the next
to start), and the run's event stream ends instead of hanging.
Leases compare wall clocks of the machines involved, which must agree to within a few seconds
(as NTP keeps them).
"""

from __future__ import annotations

import os
import secrets
import socket
import threading
from collections.abc import Callable

from loguru import logger

from .store import RunStore

LEASE_SECONDS = 15.0
ORPHANED = (
    "the server process answering this run stopped (it did not renew its lease in the store "
    "within {seconds:g} s); ask again"
)


def new_server_id() -> str:
    """host:pid:random; the random part tells apart a process that reuses a dead one's pid."""
    return f"{socket.gethostname()}:{os.getpid()}:{secrets.token_hex(4)}"


def replica_of(server_id: str | None) -> dict | None:
    """The host and process id a server id names, for a run's record."""
    if not server_id:
        return None
    host, _, rest = server_id.partition(":")
    pid = rest.partition(":")[0]
    return {"host": host, "pid": int(pid) if pid.isdigit() else None}


class Lease:
    def __init__(
        self,
        store: RunStore,
        server_id: str,
        seconds: float = LEASE_SECONDS,
        on_interrupted: Callable[[list[str]], None] | None = None,
    ) -> None:
        self.store = store
        self.server_id = server_id
        self.seconds = seconds
        self.period = max(0.2, seconds / 3)
        self.on_interrupted = on_interrupted
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._keep, name="quorlix-lease", daemon=True)

    def start(self) -> None:
        """Takes the lease, ends what dead servers left open, and keeps renewing."""
        self.renew()
        self.sweep()
        self._thread.start()

    def renew(self) -> None:
        replica = replica_of(self.server_id) or {}
        self.store.renew_lease(self.server_id, replica.get("host", ""), replica.get("pid") or 0)

    def sweep(self) -> list[str]:
        ended = self.store.interrupt_orphans(self.seconds, ORPHANED.format(seconds=self.seconds))
        if ended:
            logger.warning("{} run(s) of stopped servers marked interrupted", len(ended))
            if self.on_interrupted is not None:
                self.on_interrupted(ended)
        return ended

    def stop(self) -> None:
        """Gives the lease back: a clean stop leaves nothing for the others to sweep."""
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join(timeout=10)
        try:
            self.store.drop_lease(self.server_id)
        except Exception as exc:  # the lease then runs out by itself
            logger.warning("could not give back the server's lease: {}", exc)

    def _keep(self) -> None:
        while not self._stop.wait(self.period):
            try:
                self.renew()
                self.sweep()
            except Exception as exc:  # the store may be down for a while; keep trying
                logger.warning("could not renew the server's lease in the store: {}", exc)
