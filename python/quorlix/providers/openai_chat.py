"""The chat model of provider ``openai``: LangChain's ``ChatOpenAI`` asking for structured
output the way the server can give it.

OpenAI and recent gateways accept a strict JSON-schema response format; many local servers
refuse ``response_format`` but call tools; some do neither. ``structured_output`` (the setting
``QUORLIX_STRUCTURED_OUTPUT``) is ``auto`` by default: a record is asked for with a JSON schema,
then, when the server refuses that, by function calling, then, when it refuses tools too (or
ignores them and answers text), with the schema in the prompt (``json_mode``). What a server
refused is remembered for the process, per base URL and model, so only the first calls pay for
the probing. Any other value uses that one method and nothing else.
"""

from __future__ import annotations

import threading
from typing import Any

from langchain_core.runnables import Runnable, RunnableLambda
from langchain_openai import ChatOpenAI
from pydantic import BaseModel

from .json_mode import json_mode_chain

METHODS = ("json_schema", "function_calling", "json_mode")
# HTTP statuses servers answer an unsupported request parameter with.
_REFUSAL_STATUSES = (400, 422, 501)
# Words of a refusal that name the parameter refused, per method.
_REFUSAL_WORDS = {
    "json_schema": ("response_format", "json_schema", "structured output", "guided"),
    "function_calling": ("tool", "function"),
}

_first_method: dict[tuple[str, str], str] = {}
_first_method_lock = threading.Lock()


class OpenAICompatibleChat(ChatOpenAI):
    """``ChatOpenAI`` whose ``with_structured_output`` follows ``structured_output``."""

    structured_output: str = "auto"

    def with_structured_output(
        self, schema: Any = None, *, method: str | None = None, **kwargs: Any
    ) -> Runnable:
        is_record = isinstance(schema, type) and issubclass(schema, BaseModel)
        if method is not None or not is_record or kwargs:
            # A caller that says how, or wants more than a record (a dict schema, the raw
            # message), gets ChatOpenAI's own, by the first method the server may accept.
            chosen = method or self._methods()[0]
            return super().with_structured_output(schema, method=chosen, **kwargs)
        return RunnableLambda(
            lambda value, config: self._structured(schema, value, config),
            name=f"{schema.__name__}Output",
        )

    def _key(self) -> tuple[str, str]:
        return (str(self.openai_api_base or ""), str(self.model_name))

    def _methods(self) -> tuple[str, ...]:
        if self.structured_output != "auto":
            return (self.structured_output,)
        with _first_method_lock:
            first = _first_method.get(self._key(), METHODS[0])
        return METHODS[METHODS.index(first) :]

    def _remember(self, method: str) -> None:
        with _first_method_lock:
            _first_method[self._key()] = method

    def _bound(self, schema: type, method: str) -> Runnable:
        if method == "json_mode":
            return json_mode_chain(self, schema)
        return super().with_structured_output(schema, method=method)

    def _structured(self, schema: type, value: Any, config: Any) -> Any:
        methods = self._methods()
        for position, method in enumerate(methods):
            fallback = methods[position + 1] if position + 1 < len(methods) else None
            try:
                record = self._bound(schema, method).invoke(value, config)
            except Exception as exc:
                if fallback is None or not refused(exc, method):
                    raise
                self._remember(fallback)
                continue
            if record is None and method == "function_calling" and fallback is not None:
                # The server took the tools but answered in text: it does not call them.
                self._remember(fallback)
                continue
            return record
        raise AssertionError("unreachable: the last method returns or raises")


def refused(exc: BaseException, method: str) -> bool:
    """Whether ``exc`` is the server refusing what ``method`` sends (not any other failure)."""
    import openai

    if not isinstance(exc, openai.APIStatusError) or exc.status_code not in _REFUSAL_STATUSES:
        return False
    text = str(exc).lower()
    return any(word in text for word in _REFUSAL_WORDS.get(method, ()))


def forget_refusals() -> None:
    """Forget what servers refused (a server changed, or a test starts afresh)."""
    with _first_method_lock:
        _first_method.clear()
