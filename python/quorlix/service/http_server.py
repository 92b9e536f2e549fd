"""The HTTP server the service answers on: granian (Rust, on hyper), run inside this process.

uvicorn gives a client all the time it wants to send a request head, and accepts connections
until the process runs out of file descriptors: a few hundred sockets that never finish their
headers stopped it answering anyone. Here a request head must arrive within ``header_timeout``
(hyper's own timer: it runs from the connection's start, and for a kept-alive connection from
the end of its last response, so neither trickling bytes nor idling holds a connection), and at
most ``max_connections`` connections are open at once: the rest wait in the kernel's listen
queue, where they cost the process nothing, until one ends. A request body has its own deadline
in the app (``limits.BodyLimit``), where every server, Ray's proxy included, runs it.

HTTP/1.1 only: with HTTP/2 on the same port, a connection is read first to tell the protocols
apart, and that first read has no deadline.
"""

from __future__ import annotations

import asyncio
import os
import resource
import socket
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from granian.constants import HTTPModes, Interfaces
from granian.http import HTTP1Settings
from granian.log import LogLevels
from granian.net import SocketHolder
from granian.server.embed import Server as _EmbeddedServer

from quorlix.telemetry.json_logs import granian_log_config

from .limits import BODY_SECONDS

HEADER_SECONDS = 10.0
BACKLOG = 1024


def default_max_connections() -> int:
    """Open connections allowed by default: what the descriptor limit leaves once the rest of
    the process (store, database, analysis sandbox, charts, pipes) has a quarter, at least 64."""
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        soft = 65536
    return max(16, soft - max(64, soft // 4))


@dataclass(frozen=True)
class ConnectionLimits:
    header_timeout: float = HEADER_SECONDS
    body_timeout: float = BODY_SECONDS
    max_connections: int = field(default_factory=default_max_connections)


class HTTPServer:
    """Serves ``app`` on an already listening socket until ``stop``; ``serve`` runs the app's
    lifespan around it, and calls ``on_started`` once the app has started."""

    def __init__(
        self,
        app: Any,
        sock: socket.socket,
        limits: ConnectionLimits | None = None,
        on_started: Callable[[], None] | None = None,
        log_format: str = "human",
    ) -> None:
        self.limits = limits or ConnectionLimits()
        self.started = False
        self._on_started = on_started
        self._server = _OnSocket(self._announcing(app), sock, self.limits, log_format)
        self._loop: asyncio.AbstractEventLoop | None = None

    async def serve(self) -> None:
        self._loop = asyncio.get_running_loop()
        await self._server.serve()

    def stop(self) -> None:
        """Stops taking connections and ends the lifespan; safe from any thread."""
        loop = self._loop
        if loop is None or loop.is_closed():
            return
        if _running_in(loop):
            self._server.stop()
        else:
            loop.call_soon_threadsafe(self._server.stop)

    def _announcing(self, app: Any) -> Any:
        """``app``, telling this server when its lifespan startup has completed: the worker
        takes requests right after."""

        async def wrapped(scope, receive, send):
            if scope["type"] != "lifespan":
                return await app(scope, receive, send)

            async def watched_send(message):
                await send(message)
                if message["type"] == "lifespan.startup.complete":
                    self.started = True
                    if self._on_started is not None:
                        self._on_started()

            return await app(scope, receive, watched_send)

        return wrapped


def _running_in(loop: asyncio.AbstractEventLoop) -> bool:
    try:
        return asyncio.get_running_loop() is loop
    except RuntimeError:
        return False


class _OnSocket(_EmbeddedServer):
    """granian's in-process server, on a socket bound by the caller (so a port of 0 works and
    the caller knows the port) rather than one it binds itself."""

    def __init__(
        self, app: Any, sock: socket.socket, limits: ConnectionLimits, log_format: str
    ) -> None:
        host, port = sock.getsockname()[:2]
        super().__init__(
            app,
            address=host,
            port=port,
            interface=Interfaces.ASGI,
            http=HTTPModes.http1,
            websockets=False,
            backlog=BACKLOG,
            backpressure=limits.max_connections,
            http1_settings=HTTP1Settings(header_read_timeout=int(limits.header_timeout * 1000)),
            # Errors (an app that fails a request) go to stderr; below that level it would say,
            # at every start, that the embedded server is experimental.
            log_level=LogLevels.error,
            log_dictconfig=granian_log_config(log_format),
        )
        self._socket = sock

    def _init_shared_socket(self) -> None:
        # The worker reads the socket from the holder (the path granian takes where it cannot
        # share a listener spec); a duplicate, so the holder and the caller each close their own.
        fd = os.dup(self._socket.fileno())
        self._shd = SocketHolder(fd, False, BACKLOG)
        self._sfd = fd
        self._ssp = None
