"""The answer as the model writes it: a callback handler that follows the final-answer node's
model call, piece by piece, and hands on the answer text each time it grows.

The node asks for structured output (``final_response`` and ``image_path``), so what streams is
JSON text: with ``json_schema`` each piece is the token's text, with function calling it is the
next piece of the tool call's arguments. Only the ``final_response`` string is of interest; it
is read from the partial JSON as far as it is written (a cut escape waits for its rest).

The node's model streams only when ``stream_answers`` switched it on; otherwise the handler
sees one piece, the whole reply, or none, and the answer arrives with the node's step as before.
"""

from __future__ import annotations

import json
import re
import threading
from collections.abc import Callable
from typing import Any
from uuid import UUID

from langchain_core.callbacks import BaseCallbackHandler

from quorlix.querymesh.graph_names import FINAL_RESPONSE, FINAL_RESPONSE_GENERATION_NODE

# Where the answer's string begins in the reply's JSON text.
_ANSWER_START = re.compile(rf'"{FINAL_RESPONSE}"\s*:\s*"')
# The string's body as far as it is written: plain characters and whole escape pairs.
_STRING_BODY = re.compile(r'(?:[^"\\]|\\.)*', re.DOTALL)

OnAnswer = Callable[[str], None]


def answer_so_far(reply: str) -> str | None:
    """The ``final_response`` text in a reply's JSON as written so far (None before it starts)."""
    start = _ANSWER_START.search(reply)
    if start is None:
        return None
    body = _STRING_BODY.match(reply, start.end()).group()
    while True:
        try:
            return json.loads(f'"{body}"')
        except ValueError:
            # A \\uXXXX escape not yet whole: show what comes before it.
            cut = body.rfind("\\")
            if cut < 0:
                return None
            body = body[:cut]


class _Call:
    __slots__ = ("reply", "shown")

    def __init__(self) -> None:
        self.reply = ""
        self.shown = ""


class AnswerStream(BaseCallbackHandler):
    """Calls ``on_answer(answer so far)`` each time the final answer grows while it is written.

    A run may write its answer more than once (after failed analysis code the node runs again);
    each call starts again from its first character.
    """

    # On the thread that reads the model's stream: each piece is passed on as it arrives.
    run_inline = True

    def __init__(self, on_answer: OnAnswer) -> None:
        super().__init__()
        self._on_answer = on_answer
        self._lock = threading.Lock()
        self._calls: dict[UUID, _Call] = {}

    def on_chat_model_start(
        self, serialized: dict[str, Any], messages: Any, *, run_id: UUID, **kwargs: Any
    ) -> None:
        metadata = kwargs.get("metadata") or {}
        if metadata.get("langgraph_node") == FINAL_RESPONSE_GENERATION_NODE:
            with self._lock:
                self._calls[run_id] = _Call()

    def on_llm_new_token(
        self, token: str, *, chunk: Any = None, run_id: UUID, **kwargs: Any
    ) -> None:
        with self._lock:
            call = self._calls.get(run_id)
        if call is None:
            return
        piece = token or _tool_arguments(chunk)
        if not piece:
            return
        call.reply += piece
        text = answer_so_far(call.reply)
        if text and text != call.shown:
            call.shown = text
            self._on_answer(text)

    def on_llm_end(self, response: Any, *, run_id: UUID, **kwargs: Any) -> None:
        with self._lock:
            self._calls.pop(run_id, None)

    def on_llm_error(self, error: BaseException, *, run_id: UUID, **kwargs: Any) -> None:
        with self._lock:
            self._calls.pop(run_id, None)


def _tool_arguments(chunk: Any) -> str:
    """The piece of the tool call's arguments a function-calling chunk carries."""
    pieces = getattr(getattr(chunk, "message", None), "tool_call_chunks", None) or ()
    return "".join(piece.get("args") or "" for piece in pieces)


def stream_answers(graph: Any) -> bool:
    """Make the graph's final-answer model stream (unless ``QUORLIX_STREAM_ANSWER=off``), with
    token usage in the stream so the call is counted as before. Only that model: the others'
    replies are not shown while written. Returns whether it streams.

    A server that refuses a streamed request (an HTTP 4xx answer to it, such as an older API
    version's "Unrecognized request argument supplied: stream_options") is asked again for the
    whole reply, and that model asks for whole replies from then on.
    """
    from quorlix import config

    model = getattr(graph, "response_model", None)
    if model is None or config.setting("stream_answer") != "on":
        return False
    with _switch_lock:
        if isinstance(model, _FallingBack):
            return bool(model.streaming)
        # The node holds this very object (bound to its output record), so its class is
        # changed in place, to one that adds the fallback; fields set afterwards, so LangChain
        # counts them as chosen (it streams only then).
        object.__setattr__(model, "__class__", _falling_back(type(model)))
        model.stream_usage = True
        model.streaming = True
    return True


class _FallingBack:
    """Marks a chat model class that falls back to whole replies (see ``stream_answers``)."""


_switch_lock = threading.Lock()
_falling_back_classes: dict[type, type] = {}
# What a server that cannot stream answers a streamed request with.
_REFUSALS = frozenset({400, 404, 405, 415, 422, 501})


def _falling_back(base: type) -> type:
    made = _falling_back_classes.get(base)
    if made is None:

        def _generate_with_cache(self, messages, stop=None, run_manager=None, **kwargs):
            parent = super(made, self)._generate_with_cache
            if not self.streaming:
                return parent(messages, stop, run_manager, **kwargs)
            try:
                return parent(messages, stop, run_manager, **kwargs)
            except Exception as exc:
                if getattr(exc, "status_code", None) not in _REFUSALS:
                    raise
                self.streaming = False
                try:
                    whole = parent(messages, stop, run_manager, **kwargs)
                except Exception:
                    self.streaming = True  # not a matter of streaming: go on asking for it
                    raise
                from loguru import logger

                logger.warning(
                    "the model service refused a streamed reply ({}); answers come whole from "
                    "now on (QUORLIX_STREAM_ANSWER=off skips the attempt)",
                    exc,
                )
                return whole

        # Named as its base, so traces and messages show the model class they know.
        made = type(
            base.__name__, (base, _FallingBack), {"_generate_with_cache": _generate_with_cache}
        )
        _falling_back_classes[base] = made
    return made
