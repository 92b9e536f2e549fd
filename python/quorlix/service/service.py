"""What one server holds: the graph over its database, the store, the workers, the tokens."""

from __future__ import annotations

import socket
from typing import Any
from urllib.parse import urlsplit

from sqlalchemy import text

from quorlix.answering.errors import describe, explain_failure
from quorlix.knowledge.database_keys import database_key
from quorlix.knowledge.for_runs import KnowledgeForRun
from quorlix.knowledge.store import KnowledgeStore

from .auth import Authenticator
from .changes import Changes
from .database import FileChanged, ServedFile
from .lease import LEASE_SECONDS
from .manager import Limits, RunManager
from .metrics import Metrics
from .store import RunStore


class Unreachable(Exception):
    """A service the server needs does not answer; the message says which and why."""


class Service:
    def __init__(
        self,
        graph: Any,
        db: Any,
        store: RunStore,
        limits: Limits | None = None,
        tokens: dict[str, str] | None = None,
        model_endpoint: str | None = None,
        model_timeout: float | None = None,
        lease_seconds: float = LEASE_SECONDS,
        admins: set[str] | frozenset[str] = frozenset(),
    ) -> None:
        self.graph = graph
        self.db = db
        self.store = store
        self.limits = limits or Limits()
        self.auth = Authenticator(tokens or {}, admins)
        # The team's knowledge lives beside the runs, so servers sharing a store share it too.
        self.knowledge = KnowledgeStore(store.engine)
        self.knowledge_key = database_key(db._engine.url.render_as_string(hide_password=False))
        self.metrics = Metrics()
        self.changes = Changes()
        self.model_endpoint = model_endpoint
        self.model_timeout = model_timeout
        self.served_file = ServedFile.of(db)
        self.manager = RunManager(
            store,
            graph,
            self.limits,
            self.metrics,
            self.changes,
            explain=self.explain,
            lease_seconds=lease_seconds,
            knowledge_for_run=self.knowledge_for_run,
        )

    def knowledge_for_run(self) -> KnowledgeForRun:
        """A run's preparer: the accepted examples and the glossary of the served database,
        read from the store when the run starts (so an example accepted a moment ago counts)."""
        return KnowledgeForRun(lambda: self.knowledge.knowledge(self.knowledge_key))

    def explain(self, exc: BaseException) -> str:
        """Why a run failed, in one sentence a person asking can act on."""
        return explain_failure(exc, self.model_timeout)

    def readiness(self) -> dict[str, str]:
        """'ok' or the reason, for the database, the store and the model service."""
        checks = {
            "database": self._check_database,
            "store": self.store.ping,
            "model": self._check_model,
        }
        report = {}
        for name, check in checks.items():
            try:
                check()
                report[name] = "ok"
            except (Unreachable, FileChanged) as exc:
                report[name] = str(exc)
            except Exception as exc:  # any failure is the answer here
                report[name] = describe(exc)
        return report

    def _check_database(self) -> None:
        if self.served_file is not None:
            self.served_file.check()
        with self.db._engine.connect() as conn:
            conn.execute(text("SELECT 1"))

    def _check_model(self) -> None:
        # Reaching the endpoint is what can be checked without spending a request.
        if not self.model_endpoint:
            return
        parts = urlsplit(self.model_endpoint)
        port = parts.port or (443 if parts.scheme == "https" else 80)
        try:
            socket.create_connection((parts.hostname, port), timeout=3).close()
        except OSError as exc:
            raise Unreachable(
                f"cannot reach the model service at {parts.hostname}:{port}: {exc.strerror or exc}"
            ) from None
