"""Bounds on request bodies: their size, and how long they may take to arrive."""

from __future__ import annotations

import math

import anyio
from starlette.exceptions import HTTPException

from .refusals import send_refusal

BODY_SECONDS = 10.0


class BodyLimit:
    """Pure ASGI middleware: 413 for a declared or streamed body over ``limit`` bytes, and 408
    (closing the connection) for a body not all there ``timeout`` seconds after the request
    began. The HTTP server bounds the request head; the body is bounded here, so it is bounded
    whichever server or proxy runs the app."""

    def __init__(self, app, limit: int, timeout: float) -> None:
        self.app = app
        self.limit = limit
        self.timeout = timeout

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = dict(scope.get("headers") or ())
        declared = headers.get(b"content-length")
        if declared is not None and (
            not declared.isdigit() or len(declared) > 12 or int(declared) > self.limit
        ):
            await _refuse(send, _TooLarge(self.limit))
            return
        seen = 0
        complete = False
        started = False
        # Without a length or a chunked coding a request has no body, so nothing to wait for:
        # a GET's event stream may then listen for the client leaving as long as it runs.
        has_body = declared not in (None, b"0") or b"transfer-encoding" in headers
        deadline = anyio.current_time() + self.timeout if has_body else math.inf

        async def bounded_receive():
            nonlocal seen, complete
            if complete:  # the body is in: what is left to hear is the client leaving
                return await receive()
            # Once the answer has begun the deadline is over (a refusal could no longer be
            # sent); whatever body still comes is counted against the size limit all the same.
            wait = math.inf if started else deadline - anyio.current_time()
            with anyio.move_on_after(wait):
                message = await receive()
                if message["type"] == "http.request":
                    seen += len(message.get("body", b""))
                    if seen > self.limit:
                        raise _TooLarge(self.limit)
                    complete = not message.get("more_body", False)
                return message
            raise _TooSlow(self.timeout)

        async def tracked_send(message):
            nonlocal started
            if message["type"] == "http.response.start":
                started = True
            await send(message)

        try:
            await self.app(scope, bounded_receive, tracked_send)
        except (_TooLarge, _TooSlow) as refusal:
            if not started:
                await _refuse(send, refusal)


# HTTP errors, so the framework's body parsing passes them on as they are rather than turning
# them into a generic parse failure.
class _TooLarge(HTTPException):
    def __init__(self, limit: int) -> None:
        super().__init__(413, f"the request body is larger than {limit // 1024} KiB")


class _TooSlow(HTTPException):
    def __init__(self, seconds: float) -> None:
        super().__init__(
            408,
            f"the request body did not arrive within {seconds:g} s; send it again",
            # The rest of the body may still come: the connection cannot be used again.
            headers={"Connection": "close"},
        )


async def _refuse(send, refusal: HTTPException) -> None:
    await send_refusal(send, refusal.status_code, refusal.detail, refusal.headers)
