"""Model calls and tokens of one question's run, from LangChain's callbacks."""

from __future__ import annotations

from typing import Any

from langchain_core.callbacks import UsageMetadataCallbackHandler


class UsageTally(UsageMetadataCallbackHandler):
    """Counts the model's answers besides adding up the token usage they report."""

    def __init__(self) -> None:
        super().__init__()
        self.calls = 0

    def on_llm_end(self, response: Any, **kwargs: Any) -> None:
        super().on_llm_end(response, **kwargs)
        with self._lock:
            self.calls += 1

    def tokens(self) -> dict[str, int] | None:
        """Input, output and total tokens over every model; None when no answer reported any."""
        with self._lock:
            usages = list(self.usage_metadata.values())
        if not usages:
            return None
        return {
            key: sum(int(usage.get(key) or 0) for usage in usages)
            for key in ("input_tokens", "output_tokens", "total_tokens")
        }
