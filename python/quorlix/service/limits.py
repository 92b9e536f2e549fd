"""Refuses request bodies over a size limit before they are read into memory."""

from __future__ import annotations

import json

from starlette.exceptions import HTTPException


class BodyLimit:
    """Pure ASGI middleware: 413 for a declared or streamed body over ``limit`` bytes."""

    def __init__(self, app, limit: int) -> None:
        self.app = app
        self.limit = limit

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        declared = dict(scope.get("headers") or ()).get(b"content-length")
        if declared is not None and (not declared.isdigit() or int(declared) > self.limit):
            await self._refuse(send)
            return
        seen = 0
        started = False

        async def counted_receive():
            nonlocal seen
            message = await receive()
            if message["type"] == "http.request":
                seen += len(message.get("body", b""))
                if seen > self.limit:
                    raise _TooLarge
            return message

        async def tracked_send(message):
            nonlocal started
            if message["type"] == "http.response.start":
                started = True
            await send(message)

        try:
            await self.app(scope, counted_receive, tracked_send)
        except _TooLarge:
            if not started:
                await self._refuse(send)

    async def _refuse(self, send) -> None:
        body = json.dumps(
            {"detail": f"the request body is larger than {self.limit // 1024} KiB"}
        ).encode()
        await send(
            {
                "type": "http.response.start",
                "status": 413,
                "headers": [
                    (b"content-type", b"application/json"),
                    (b"content-length", str(len(body)).encode()),
                ],
            }
        )
        await send({"type": "http.response.body", "body": body})


class _TooLarge(HTTPException):
    # An HTTP error, so the framework's body parsing passes it on as a 413 rather than
    # turning it into a generic parse failure.
    def __init__(self) -> None:
        super().__init__(413, "the request body is too large")
