"""The one stand-in for a chat model, for tests of a single node's prompt and update.

A test that needs the model's request building and reply parsing uses the stub server
(``support.stub_openai``) instead; this fake answers ``with_structured_output(Record).invoke(p)``
from scripted field dictionaries and keeps what it was given.
"""

from __future__ import annotations

from typing import Any


class FakeChatModel:
    """Answers with the scripted field dictionaries in turn, the last one repeating; records the
    record class of every ``with_structured_output`` and every prompt."""

    def __init__(self, *answers: dict[str, Any]) -> None:
        self.answers = list(answers)
        self.prompts: list[Any] = []
        self.schemas: list[type] = []

    def with_structured_output(self, schema: type) -> _Structured:
        self.schemas.append(schema)
        return _Structured(self, schema)

    def answer(self, schema: type, prompt: Any) -> Any:
        if not self.answers:
            raise AssertionError(
                f"the model was asked for a {schema.__name__} with no answer scripted"
            )
        self.prompts.append(prompt)
        fields = self.answers[min(len(self.prompts), len(self.answers)) - 1]
        return schema(**fields)


class _Structured:
    def __init__(self, model: FakeChatModel, schema: type) -> None:
        self.model = model
        self.schema = schema

    def invoke(self, prompt: Any) -> Any:
        return self.model.answer(self.schema, prompt)
