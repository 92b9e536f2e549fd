"""One run of a question: the graph's inputs, its stream turned into described steps, the
model's usage, and the outcome (answer, SQL, rows, chart, status, why it failed).

The command (``quorlix ask``), the service's workers and the evaluation all run questions
through ``answer_question``; what a run starts from can be changed for every run at one place
(``RUN_PREPARERS``, see ``setup``).

The names below load with their module on first use: ``quorlix --help`` and the error
messages of ``errors`` need none of LangChain.
"""

from __future__ import annotations

import importlib
from typing import Any

_HOMES = {
    "AnswerStream": "answer_stream",
    "answer_so_far": "answer_stream",
    "stream_answers": "answer_stream",
    "describe": "errors",
    "explain_failure": "errors",
    "failure_kind": "errors",
    "FAILED": "outcome",
    "NO_ANSWER": "outcome",
    "SUCCEEDED": "outcome",
    "Outcome": "outcome",
    "OnStep": "run",
    "Stopped": "run",
    "answer_question": "run",
    "RUN_PREPARERS": "setup",
    "Preparer": "setup",
    "RunSetup": "setup",
    "build_inputs": "setup",
    "Step": "steps",
    "Turn": "follow_up",
    "follow_up_preparer": "follow_up",
    "thread_context": "follow_up",
    "describe_step": "steps",
}

__all__ = sorted(_HOMES)


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(f"{__name__}.{home}"), name)
