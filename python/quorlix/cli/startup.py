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
    """The OpenAI client's chat replies: whole, parsed into a schema, and streamed; those
    types only that a run builds (more would add to the command's time). Only if the graph's
    models already brought the client in: no import for the sake of a warm-up."""
    if "openai" not in sys.modules:
        return
    from openai.lib._parsing._completions import ResponseFormatT
    from openai.types.chat import chat_completion, chat_completion_chunk, parsed_chat_completion
    from openai.types.chat.chat_completion_message import ChatCompletionMessage

    parsed = (
        parsed_chat_completion.ParsedChatCompletionMessage,
        parsed_chat_completion.ParsedChoice,
        parsed_chat_completion.ParsedChatCompletion,
    )
    for model in (
        ChatCompletionMessage,
        chat_completion.Choice,
        chat_completion.ChatCompletion,
        *(generic[ResponseFormatT] for generic in parsed),
        chat_completion_chunk.ChoiceDelta,
        chat_completion_chunk.Choice,
        chat_completion_chunk.ChatCompletionChunk,
    ):
        model.model_rebuild()
        _prepared.append(model)
