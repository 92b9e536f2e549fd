"""What a run starts from: the graph's inputs and the callbacks on its config, and the hook
point where a capability changes them before the graph runs (a rewritten follow-up question,
knowledge for this run's context, a handler streaming tokens or tracing the run)."""

from __future__ import annotations

from collections.abc import Callable, Iterable
from contextlib import AbstractContextManager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any


@dataclass
class RunSetup:
    """One run's starting point; preparers may change any of it in place."""

    question: str
    # The graph's input record (``build_inputs``).
    inputs: dict
    # LangChain callback handlers attached to this run's config, after the graph's own.
    callbacks: list[Any] = field(default_factory=list)
    # Nodes before which the run stops (None: the whole graph).
    stop_before: list[str] | None = None
    # Context managers the graph runs inside, entered in order after the preparers and left
    # when the run ends: per-run values that the graph's outside modules read (a run's
    # knowledge, say) without another run seeing them.
    contexts: list[AbstractContextManager] = field(default_factory=list)


Preparer = Callable[[RunSetup], None]

# Applied to every run, in order, before those a caller passes to ``answer_question``.
RUN_PREPARERS: list[Preparer] = []


def prepare_run(setup: RunSetup, extra: Iterable[Preparer] = ()) -> None:
    """Apply ``RUN_PREPARERS`` (as they are now), then ``extra``, to the run's setup."""
    for preparer in (*RUN_PREPARERS, *extra):
        preparer(setup)


def build_inputs(question: str, save_path: Path | str | None, analysis_tries: int) -> dict:
    """The graph's input record for a question (an empty save path: no chart is wanted)."""
    return {
        "user_question": question,
        "save_path": "" if save_path is None else str(save_path),
        "max_iterations_pandas": int(analysis_tries),
        "pandas_code": "",
        "python_executed_output": "",
    }


def run_config(graph: Any, callbacks: list[Any]) -> dict:
    """The graph's run configuration with this run's handlers added to any it has."""
    config = dict(graph.runnable_config)
    present = config.get("callbacks")
    config["callbacks"] = [*present, *callbacks] if isinstance(present, list) else list(callbacks)
    return config
