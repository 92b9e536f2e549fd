"""Events a live stream takes from the wake-up instead of the store: only while none is missing."""

from __future__ import annotations

import asyncio

import pytest
from quorlix.service.changes import Changes


def _published(after: int, seqs: list[int]) -> list[int] | None:
    async def follow():
        changes = Changes()
        with changes.subscribe("run") as follower:
            for seq in seqs:
                changes.publish("run", event={"seq": seq, "kind": "step", "data": {}})
            taken = follower.take_events(after)
            return None if taken is None else [event["seq"] for event in taken]

    return asyncio.run(follow())


@pytest.mark.parametrize(
    ("after", "seqs", "taken"),
    [
        (4, [5, 6, 7], [5, 6, 7]),
        # Already read from the store when the stream started.
        (6, [5, 6, 7], [7]),
        # 6 was written without being published here (another process, a cancel): the store
        # must be read, or the stream would skip it for good.
        (4, [5, 7], None),
        (4, [6], None),
        (4, [], []),
    ],
)
def test_published_events_are_taken_only_without_a_gap(after, seqs, taken):
    assert _published(after, seqs) == taken
