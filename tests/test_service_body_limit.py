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


def test_a_body_beyond_what_was_declared_still_meets_the_size_limit():
    sent = []

    async def reads_all(scope, receive, send):
        while (await receive()).get("more_body"):
            pass
        await send({"type": "http.response.start", "status": 200, "headers": []})

    async def endless_body():
        await anyio.sleep(0.001)
        return {"type": "http.request", "body": b"x" * 100, "more_body": True}

    async def record(message):
        sent.append(message)

    async def request():
        scope = {"type": "http", "method": "POST", "headers": [(b"content-length", b"0")]}
        with anyio.fail_after(10):  # unbounded, it would read for ever
            await BodyLimit(reads_all, limit=1024, timeout=DEADLINE)(scope, endless_body, record)

    anyio.run(request)
    assert sent[0]["status"] == 413
