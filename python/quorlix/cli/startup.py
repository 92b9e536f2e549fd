"""Start-up of the commands that run the graph: what can proceed beside the import.

The analysis sandbox's warm parent is a process of its own that imports pandas and matplotlib
and draws one chart, about a second of work. Started first (``start_analysis_sandbox``), it does
that on another core while this process imports the graph module and waits for the model,
instead of after the fourth model call, when the first analysis program needs it. It shares
nothing with this interpreter, so unlike a background import on a thread it cannot meet this
process's imports half-way.

The database's first statement starts a worker process and loads the dialect's parser (about
60 ms, after the third model call). ``prepare_database`` does both as soon as the database has
answered: the worker opens it on another core while this process imports the graph module.

``prepare_answering`` does, once the graph is built, what its run would otherwise do first after
the question: switch the answer's model to streaming and build the model client's reply types
(their validators are built on first use, about 10 ms across the calls, the answer's stream
among them). Both are done on this thread, before the question is shown.
"""

from __future__ import annotations

import sys
import typing

from quorlix import config

SANDBOX_VARIABLE = "QUORLIX_ANALYSIS_SANDBOX"


def analysis_runs_in_process() -> bool:
    return config.setting("analysis_sandbox") == "off"


def start_analysis_sandbox() -> None:
    """Boot the analysis sandbox's warm parent now, unless analysis runs in this interpreter.

    Returns at once: the parent boots on its own. A sandbox that cannot start is reported by
    the analysis step, where the run needs it.
    """
    if analysis_runs_in_process():
        return
    try:
        from quorlix import _sandbox

        _sandbox.prestart()
    except Exception:
        pass


def prepare_database(db) -> None:
    """Start what the run's first statement needs (``CustomSQLDatabase.prestart``); a wrapper
    without it, or one that fails, is left to do so when the statement runs."""
    prestart = getattr(db, "prestart", None)
    if prestart is None:
        return
    try:
        prestart()
    except Exception:
        pass


# Validators built ahead are kept: a parametrized generic model lives only while referred to.
_prepared: list[type] = []


def prepare_answering(graph, streamed: bool) -> None:
    """What a run of ``graph`` sets up on first use, done now (``streamed``: the answer is shown
    as it is written). A step that fails is left for the run, which does it again."""
    if streamed:
        try:
            from quorlix.answering import stream_answers

            stream_answers(graph)
        except Exception:
            pass
    try:
        _build_reply_types()
    except Exception:
        pass


def _build_reply_types() -> None:
    """The OpenAI client's chat replies: whole, parsed into a schema, and streamed. Only if the
    graph's models already brought the client in: no import for the sake of a warm-up."""
    if "openai" not in sys.modules:
        return
    from openai.lib._parsing._completions import ResponseFormatT
    from openai.types.chat import ChatCompletion, ChatCompletionChunk, ParsedChatCompletion

    seen: set = set()
    for model in (ChatCompletion, ParsedChatCompletion[ResponseFormatT], ChatCompletionChunk):
        _build_model(model, seen)
    _prepared.extend(seen)


def _build_model(model: type, seen: set) -> None:
    if model in seen or not hasattr(model, "model_rebuild"):
        return
    seen.add(model)
    model.model_rebuild()
    for field in model.model_fields.values():
        for inner in _model_types(field.annotation):
            _build_model(inner, seen)


def _model_types(annotation: typing.Any):
    """The classes an annotation names, through List[...], Optional[...] and the like."""
    if isinstance(annotation, type):
        yield annotation
    for argument in typing.get_args(annotation):
        yield from _model_types(argument)
