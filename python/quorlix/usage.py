"""Token usage and cost of graph runs, recorded from what the model service reports.

A ``UsageRecorder`` is a LangChain callback handler: it sees every chat-model call made while
it is attached, whichever node makes it, and changes nothing about the calls. Attach it in
either of two ways::

    recorder = UsageRecorder(prices=load_prices())   # prices: QUORLIX_PRICES, or None
    with recorder.recording():                        # every model call in this context
        state = graph.invoke(inputs)
    # or: graph.compiled_graph.invoke(inputs, config={**graph.runnable_config,
    #                                                 "callbacks": [recorder]})
    # (both at once is harmless: LangChain adds the same handler once)

    recorder.summary()       # "5 model calls, 11,240 tokens (9,800 prompt, 1,440 completion)"
    recorder.as_dict()       # JSON-ready totals, by_node, by_deployment (below)
    recorder.calls           # one ModelCall per finished call, in order
    summarize(calls)         # a Usage over any slice of them (the CLI's per-step figures)

Calls are attributed to the graph node that made them (LangGraph's ``langgraph_node`` run
metadata) and to the deployment that answered. A service that reports no usage for a call is
counted as a call without usage: totals over calls none of which reported usage are ``None``
and read "usage not reported", never zeros. One recorder per run (or per batch to be summed);
it is thread-safe, so parallel nodes of one run may report into it. ``recording()`` blocks
nest: the innermost recorder gets the calls.

Prices (``QUORLIX_PRICES``, read by ``quorlix.prices``) are per deployment and per 1,000
tokens, as JSON text or the path of a JSON file::

    {"currency": "USD",
     "gpt-4o-prod": {"input": 0.0025, "output": 0.01},
     "gpt-35-turbo-prod": {"input": 0.0005, "output": 0.0015}}

``currency`` is optional and only labels the cost; every other key is a deployment name.
Calls of a deployment without a price are left out of the cost and listed as unpriced.
"""

from __future__ import annotations

import contextlib
import threading
from collections.abc import Iterable, Iterator
from contextvars import ContextVar
from dataclasses import dataclass, field
from typing import Any
from uuid import UUID

from langchain_core.callbacks import BaseCallbackHandler
from langchain_core.tracers.context import register_configure_hook

from quorlix.prices import PRICES_VARIABLE, Price, Prices, PriceTableError, load_prices

__all__ = [
    "PRICES_VARIABLE",
    "ModelCall",
    "Price",
    "PriceTableError",
    "Prices",
    "Usage",
    "UsageRecorder",
    "load_prices",
    "summarize",
]

NOT_REPORTED = "usage not reported"
UNKNOWN_NODE = "(outside the graph)"


@dataclass(frozen=True)
class ModelCall:
    """One finished model call: who made it, what answered, what the service reported."""

    node: str
    deployment: str
    prompt_tokens: int | None  # None: the service reported no usage for this call
    completion_tokens: int | None
    total_tokens: int | None

    @property
    def reported(self) -> bool:
        return self.total_tokens is not None


@dataclass
class Usage:
    """Totals over some calls. Token counts are ``None`` when none of the calls reported usage."""

    calls: int = 0
    unreported_calls: int = 0
    prompt_tokens: int | None = None
    completion_tokens: int | None = None
    total_tokens: int | None = None
    cost: float | None = None
    currency: str | None = None
    unpriced_deployments: list[str] = field(default_factory=list)

    def describe(self) -> str:
        """ "5 model calls, 11,240 tokens (9,800 prompt, 1,440 completion), cost 0.0421 USD"."""
        calls = f"{self.calls:,} model call{'' if self.calls == 1 else 's'}"
        if self.calls == 0:
            return calls
        if self.total_tokens is None:
            return f"{calls}, {NOT_REPORTED}"
        text = (
            f"{calls}, {self.total_tokens:,} tokens ({self.prompt_tokens:,} prompt, "
            f"{self.completion_tokens:,} completion)"
        )
        if self.unreported_calls:
            text += f", {NOT_REPORTED} for {self.unreported_calls}"
        if self.cost is not None:
            text += f", cost {_money(self.cost)}{' ' + self.currency if self.currency else ''}"
        if self.unpriced_deployments:
            text += f" (no price for {', '.join(self.unpriced_deployments)})"
        return text

    def brief(self) -> str:
        """The few words a progress line has room for: "1,234 tokens" or "usage not reported"."""
        if self.calls == 0:
            return ""
        if self.total_tokens is None:
            return NOT_REPORTED
        return f"{self.total_tokens:,} tokens"

    def as_dict(self) -> dict[str, Any]:
        return {
            "model_calls": self.calls,
            "usage_reported": self.calls > 0 and self.unreported_calls == 0,
            "calls_without_usage": self.unreported_calls,
            "prompt_tokens": self.prompt_tokens,
            "completion_tokens": self.completion_tokens,
            "total_tokens": self.total_tokens,
            "cost": self.cost,
            "currency": self.currency,
            "unpriced_deployments": list(self.unpriced_deployments),
        }


def summarize(calls: Iterable[ModelCall], prices: Prices | None = None) -> Usage:
    """Totals over ``calls``; with ``prices``, also their cost."""
    usage = Usage(currency=prices.currency if prices else None)
    cost = 0.0
    priced = False
    for call in calls:
        usage.calls += 1
        if not call.reported:
            usage.unreported_calls += 1
            continue
        usage.prompt_tokens = (usage.prompt_tokens or 0) + (call.prompt_tokens or 0)
        usage.completion_tokens = (usage.completion_tokens or 0) + (call.completion_tokens or 0)
        usage.total_tokens = (usage.total_tokens or 0) + (call.total_tokens or 0)
        if prices is None:
            continue
        spent = prices.cost(call.deployment, call.prompt_tokens or 0, call.completion_tokens or 0)
        if spent is None:
            if call.deployment not in usage.unpriced_deployments:
                usage.unpriced_deployments.append(call.deployment)
        else:
            cost += spent
            priced = True
    if priced:
        usage.cost = cost
    return usage


def _money(amount: float) -> str:
    # Runs cost fractions of a cent; four significant places keep them readable.
    return f"{amount:.4f}" if amount >= 0.01 else f"{amount:.4g}"


# The recorder of the innermost recording() block; LangChain adds it to every callback manager
# configured in that context, including those of graph nodes run on LangGraph's worker threads.
_active: ContextVar[UsageRecorder | None] = ContextVar("quorlix_usage_recorder", default=None)
register_configure_hook(_active, inheritable=True)


class UsageRecorder(BaseCallbackHandler):
    """Collects one ``ModelCall`` per finished chat-model call; see the module docstring."""

    # Called on the thread that makes the call, so the figures are complete when a node ends.
    run_inline = True

    def __init__(self, prices: Prices | None = None) -> None:
        super().__init__()
        self.prices = prices
        self._lock = threading.Lock()
        self._calls: list[ModelCall] = []
        self._started: dict[UUID, tuple[str, str]] = {}

    @contextlib.contextmanager
    def recording(self) -> Iterator[UsageRecorder]:
        token = _active.set(self)
        try:
            yield self
        finally:
            _active.reset(token)

    # callbacks ---------------------------------------------------------------------------

    def on_chat_model_start(
        self, serialized: dict[str, Any], messages: Any, *, run_id: UUID, **kwargs: Any
    ) -> None:
        self._start(run_id, kwargs)

    def on_llm_start(
        self, serialized: dict[str, Any], prompts: Any, *, run_id: UUID, **kwargs: Any
    ) -> None:
        self._start(run_id, kwargs)

    def _start(self, run_id: UUID, kwargs: dict[str, Any]) -> None:
        metadata = kwargs.get("metadata") or {}
        node = str(metadata.get("langgraph_node") or UNKNOWN_NODE)
        deployment = deployment_of(kwargs)
        with self._lock:
            self._started[run_id] = (node, deployment)

    def on_llm_end(self, response: Any, *, run_id: UUID, **kwargs: Any) -> None:
        with self._lock:
            node, deployment = self._started.pop(run_id, (UNKNOWN_NODE, "unknown"))
        prompt, completion, total = reported_tokens(response)
        call = ModelCall(node, deployment, prompt, completion, total)
        with self._lock:
            self._calls.append(call)

    def on_llm_error(self, error: BaseException, *, run_id: UUID, **kwargs: Any) -> None:
        # A failed call has no reply to report usage in; it is not counted.
        with self._lock:
            self._started.pop(run_id, None)

    # results -----------------------------------------------------------------------------

    @property
    def calls(self) -> list[ModelCall]:
        with self._lock:
            return list(self._calls)

    def total(self) -> Usage:
        return summarize(self.calls, self.prices)

    def by_node(self) -> dict[str, Usage]:
        return self._grouped(lambda call: call.node)

    def by_deployment(self) -> dict[str, Usage]:
        return self._grouped(lambda call: call.deployment)

    def _grouped(self, key) -> dict[str, Usage]:
        groups: dict[str, list[ModelCall]] = {}
        for call in self.calls:
            groups.setdefault(key(call), []).append(call)
        return {name: summarize(calls, self.prices) for name, calls in groups.items()}

    def summary(self) -> str:
        return self.total().describe()

    def as_dict(self) -> dict[str, Any]:
        """Totals, then ``by_node`` and ``by_deployment`` with the same keys, in call order."""
        return {
            **self.total().as_dict(),
            "by_node": {name: usage.as_dict() for name, usage in self.by_node().items()},
            "by_deployment": {
                name: usage.as_dict() for name, usage in self.by_deployment().items()
            },
        }


def deployment_of(callback_kwargs: dict[str, Any]) -> str:
    """The deployment a model call went to, from a start callback's keyword arguments."""
    metadata = callback_kwargs.get("metadata") or {}
    params = callback_kwargs.get("invocation_params") or {}
    return str(
        params.get("azure_deployment")
        or params.get("deployment_name")
        or metadata.get("ls_model_name")
        or "unknown"
    )


def reported_tokens(response: Any) -> tuple[int | None, int | None, int | None]:
    """Prompt, completion and total tokens of an LLMResult, or Nones when none were reported."""
    for generations in getattr(response, "generations", None) or []:
        for generation in generations:
            usage = getattr(getattr(generation, "message", None), "usage_metadata", None)
            if usage:
                prompt = int(usage.get("input_tokens") or 0)
                completion = int(usage.get("output_tokens") or 0)
                return prompt, completion, int(usage.get("total_tokens") or prompt + completion)
    token_usage = (getattr(response, "llm_output", None) or {}).get("token_usage") or {}
    if token_usage.get("total_tokens") is not None:
        prompt = int(token_usage.get("prompt_tokens") or 0)
        completion = int(token_usage.get("completion_tokens") or 0)
        return prompt, completion, int(token_usage["total_tokens"])
    return None, None, None
