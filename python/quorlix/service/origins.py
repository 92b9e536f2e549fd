"""Which names the server answers to, and which pages may change anything on it.

A server without tokens trusts whoever reaches it, which on a loopback address means this
machine. A web page elsewhere can still reach it through the visitor's browser: by DNS
rebinding (its own name, resolving to 127.0.0.1, so the browser sends its requests here as
same-origin) or by plain cross-origin requests. The first is refused by the Host check, the
second by the Origin check. Programs send no Origin; browsers always do on a request that
changes something.
"""

from __future__ import annotations

from collections.abc import Iterable
from urllib.parse import urlsplit

from .auth import is_loopback
from .refusals import send_refusal

SAFE_METHODS = frozenset({"GET", "HEAD", "OPTIONS"})


def is_loopback_name(host: str) -> bool:
    """``host`` as a Host header names it (an IPv6 address in brackets, no port)."""
    name = host.lower().rstrip(".")
    return is_loopback(name.removeprefix("[").removesuffix("]")) or name.endswith(".localhost")


def split_host(value: str) -> tuple[str, str]:
    """A Host header's (host, port); port is '' when the header names none."""
    value = value.strip().lower()
    if value.startswith("["):
        host, _, rest = value.partition("]")
        return host + "]", rest.removeprefix(":")
    host, _, port = value.partition(":")
    return host, port


class HostAndOrigin:
    """Pure ASGI middleware.

    Host: with ``loopback_only`` (a server without tokens), or when names are listed, the
    request's Host must be a loopback name or one of ``allowed_hosts`` (``*.example.com`` for
    every name under it); else 400. Origin: a request that may change something (any method
    but GET, HEAD, OPTIONS) sent by a page of another origin is refused with 403.
    """

    def __init__(self, app, loopback_only: bool, allowed_hosts: Iterable[str] = ()) -> None:
        self.app = app
        self.allowed = tuple(name.strip().lower().rstrip(".") for name in allowed_hosts if name)
        self.check_host = loopback_only or bool(self.allowed)

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = dict(scope.get("headers") or ())
        host_header = headers.get(b"host", b"").decode("latin-1")
        if self.check_host and not self._known(split_host(host_header)[0]):
            shown = host_header or "(none)"
            await send_refusal(
                send,
                400,
                f"this server does not answer to the name {shown!r}: it answers to "
                + self._names()
                + "; start it with --allowed-hosts to add the name",
            )
            return
        if scope["method"] not in SAFE_METHODS and _cross_origin(headers, host_header):
            origin = headers.get(b"origin", b"").decode("latin-1") or "another site"
            await send_refusal(
                send,
                403,
                f"a page of {origin} may not change anything on this server; "
                "use the quorlix page itself, or send the request from a program",
            )
            return
        await self.app(scope, receive, send)

    def _known(self, host: str) -> bool:
        name = host.rstrip(".")
        if is_loopback_name(name):
            return True
        return any(
            name == pattern or (pattern.startswith("*.") and name.endswith(pattern[1:]))
            for pattern in self.allowed
        )

    def _names(self) -> str:
        return ", ".join(("localhost", "127.0.0.1", "[::1]", *self.allowed))


def _cross_origin(headers: dict[bytes, bytes], host_header: str) -> bool:
    origin = headers.get(b"origin")
    if origin is not None:
        parts = urlsplit(origin.decode("latin-1").strip())
        if parts.scheme not in ("http", "https") or not parts.hostname:
            return True  # "null": a sandboxed frame, a file, a redirect across origins
        default = "443" if parts.scheme == "https" else "80"
        origin_host, origin_port = split_host(parts.netloc)
        host, port = split_host(host_header)
        return (origin_host, origin_port or default) != (host, port or default)
    # Browsers that send no Origin still say where a request comes from.
    site = headers.get(b"sec-fetch-site", b"").decode("latin-1").strip().lower()
    return site not in ("", "same-origin", "none")
