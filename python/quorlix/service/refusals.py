"""A refusal sent straight from a pure ASGI middleware: a status and a JSON ``detail``."""

from __future__ import annotations

import json


async def send_refusal(send, status: int, detail: str, headers: dict[str, str] | None = None):
    body = json.dumps({"detail": detail}).encode()
    start_headers = [
        (b"content-type", b"application/json"),
        (b"content-length", str(len(body)).encode()),
    ]
    start_headers += [
        (name.lower().encode(), value.encode()) for name, value in (headers or {}).items()
    ]
    await send({"type": "http.response.start", "status": status, "headers": start_headers})
    await send({"type": "http.response.body", "body": body})
