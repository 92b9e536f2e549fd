"""HEAD answered wherever GET is: the GET response's status and headers, without its body."""

from __future__ import annotations

import anyio
import anyio.lowlevel


class HeadAsGet:
    """Pure ASGI middleware. The app sees a GET; once it has sent its status and headers, the
    response ends and the app is stopped, so a HEAD on an event stream waits for nothing."""

    def __init__(self, app) -> None:
        self.app = app

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http" or scope["method"] != "HEAD":
            await self.app(scope, receive, send)
            return
        with anyio.CancelScope() as scope_of_app:

            async def headers_only(message):
                if message["type"] != "http.response.start":
                    return
                await send(message)
                await send({"type": "http.response.body", "body": b"", "more_body": False})
                scope_of_app.cancel()
                await anyio.lowlevel.checkpoint()

            await self.app({**scope, "method": "GET"}, receive, headers_only)
