"""``quorlix mcp --http``: the protocol's streamable HTTP transport at ``/mcp``, behind the
service's API tokens (``Authorization: Bearer <token>``; without tokens only this machine may
connect, as with ``quorlix serve``). A run asked for over HTTP is the token's user's."""

from __future__ import annotations

import json
from typing import Any

from mcp.server import Server
from mcp.server.transport_security import TransportSecuritySettings

from quorlix.service.auth import LOCAL_USER, Authenticator, is_loopback

PATH = "/mcp"
USER_KEY = "quorlix_user"


def http_app(server: Server, auth: Authenticator, host: str) -> Any:
    """The ASGI app serving ``server`` at ``/mcp``, refusing requests without a valid token."""
    security = None
    if not is_loopback(host):
        # With tokens required, a request from any host name carries its own proof.
        security = TransportSecuritySettings(enable_dns_rebinding_protection=False)
    app = server.streamable_http_app(
        streamable_http_path=PATH, host=host, transport_security=security
    )
    return TokenCheck(app, auth)


def user_of_request(ctx: Any) -> str:
    """The token's user the HTTP layer put on the request."""
    request = getattr(ctx, "request", None)
    scope = getattr(request, "scope", None) or {}
    return (scope.get("state") or {}).get(USER_KEY) or LOCAL_USER


class TokenCheck:
    """ASGI middleware: a request without a valid bearer token is answered 401."""

    def __init__(self, app: Any, auth: Authenticator) -> None:
        self.app = app
        self.auth = auth

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = {name.decode("latin-1").lower(): value for name, value in scope["headers"]}
        header = headers.get("authorization")
        user = self.auth.user_for(header.decode("latin-1") if header else None)
        if user is None:
            body = json.dumps(
                {"detail": "a valid API token is required: send 'Authorization: Bearer <token>'"}
            ).encode()
            await send(
                {
                    "type": "http.response.start",
                    "status": 401,
                    "headers": [
                        (b"content-type", b"application/json"),
                        (b"www-authenticate", b"Bearer"),
                        (b"content-length", str(len(body)).encode()),
                    ],
                }
            )
            await send({"type": "http.response.body", "body": body})
            return
        scope.setdefault("state", {})[USER_KEY] = user
        await self.app(scope, receive, send)
