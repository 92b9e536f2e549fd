"""The body deadline bounds only a request's body: an answer under way is never cut by it."""

from __future__ import annotations

import anyio
import pytest
from quorlix.service.limits import BodyLimit

DEADLINE = 0.05


async def streaming_app(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await anyio.sleep(3 * DEADLINE)
    with anyio.move_on_after(0.01):  # as an event stream checks whether its client left
        await receive()
    await send({"type": "http.response.body", "body": b"rest", "more_body": False})


@pytest.mark.parametrize(
    "method, headers",
    [
        ("GET", []),  # no body at all
        ("POST", [(b"content-length", b"2")]),  # a body the answer never waited for
    ],
)
def test_an_answer_under_way_outlives_the_body_deadline(method, headers):
    sent = []

    async def silent_client():
        await anyio.sleep_forever()

    async def record(message):
        sent.append(message)

    scope = {"type": "http", "method": method, "headers": headers}
    anyio.run(BodyLimit(streaming_app, limit=1024, timeout=DEADLINE), scope, silent_client, record)
    assert sent[-1] == {"type": "http.response.body", "body": b"rest", "more_body": False}
