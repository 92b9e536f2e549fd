"""A run's saves, made beside the run: in order, and what a save found reaches the run."""

from __future__ import annotations

import threading

import pytest
from quorlix.service.run_writer import RunWriter


class StoreDown(Exception):
    pass


def _save(done: list[int], number: int, outcome):
    def save() -> bool:
        done.append(number)
        if outcome == "fails":
            raise StoreDown(number)
        return outcome == "saved"

    return save


@pytest.mark.parametrize(
    ("outcomes", "done", "raised"),
    [
        (["saved", "saved", "saved"], [0, 1, 2], None),
        # The run ended elsewhere: nothing after that save is written.
        (["saved", "ended", "saved", "saved"], [0, 1], None),
        # The store failed: the run hears of it once, and nothing more is written.
        (["saved", "fails", "saved"], [0, 1], StoreDown),
    ],
)
def test_saves_keep_their_order_and_the_run_hears_what_they_found(outcomes, done, raised):
    writer = RunWriter("run-id")
    hold = threading.Event()
    writer.write(lambda: hold.wait(10))  # everything queues up behind it
    seen: list[int] = []
    answers = [
        writer.write(_save(seen, number, outcome)) for number, outcome in enumerate(outcomes)
    ]
    hold.set()
    assert all(answers)  # queued before any of them ran
    if raised:
        with pytest.raises(raised):
            writer.close()
    else:
        writer.close()
    writer.close()  # the error is the run's once
    assert seen == done
    if raised or "ended" in outcomes:
        assert writer.write(lambda: True) is False  # the run stops at its next node
