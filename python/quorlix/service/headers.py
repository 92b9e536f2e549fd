"""Security headers on every response, as a pure ASGI middleware.

Pure ASGI rather than an ``@app.middleware("http")`` function: that form runs each request
through extra tasks and memory streams, a cost paid by every poll and event stream.
"""

from __future__ import annotations

# The page shows only text from models and databases, and this keeps it that way even if a
# mistake ever put markup into the document: no inline script, nothing from elsewhere.
PAGE_POLICY = (
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"
)
# The interactive API docs load their viewer from its project's CDN. Only these two pages: a
# prefix would also let through whatever is ever served below them.
DOCS_PATHS = frozenset({"/docs", "/redoc"})

_ALWAYS = ((b"x-content-type-options", b"nosniff"), (b"referrer-policy", b"no-referrer"))
_OUTSIDE_DOCS = (
    (b"content-security-policy", PAGE_POLICY.encode()),
    (b"x-frame-options", b"DENY"),
)


class SecurityHeaders:
    """Adds each header the response does not set itself."""

    def __init__(self, app) -> None:
        self.app = app

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        wanted = _ALWAYS if scope["path"] in DOCS_PATHS else _ALWAYS + _OUTSIDE_DOCS

        async def send_with_headers(message):
            if message["type"] == "http.response.start":
                headers = list(message.get("headers", ()))
                present = {name.lower() for name, _ in headers}
                headers.extend(item for item in wanted if item[0] not in present)
                message = {**message, "headers": headers}
            await send(message)

        await self.app(scope, receive, send_with_headers)
