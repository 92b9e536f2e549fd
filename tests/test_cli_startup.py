"""What ask and chat prepare before the question is shown never fails the command: a step that
goes wrong is left to the run, which meets it again."""

from __future__ import annotations

import pytest
from quorlix import answering
from quorlix.cli import startup


class BrokenDatabase:
    def prestart(self):
        raise RuntimeError("no worker")


def _broken(*args, **kwargs):
    raise RuntimeError("broken warm-up")


@pytest.mark.parametrize(
    "prepare, broken",
    [
        (lambda: startup.prepare_database(BrokenDatabase()), None),
        (lambda: startup.prepare_database(object()), None),
        (lambda: startup.prepare_answering(object(), streamed=True), "stream_answers"),
        (lambda: startup.prepare_answering(object(), streamed=False), "_build_reply_types"),
    ],
)
def test_a_failing_warm_up_is_left_to_the_run(monkeypatch, prepare, broken):
    if broken == "stream_answers":
        monkeypatch.setattr(answering, "stream_answers", _broken)
    elif broken:
        monkeypatch.setattr(startup, broken, _broken)
    assert prepare() is None
