"""Small stand-ins shared by the SQL-path tests: a chat model that records prompts, and the
database wrapper over a SQLAlchemy URL."""

from __future__ import annotations

from collections import deque
from typing import Any


class FakeChatModel:
    """Answers ``with_structured_output(Record).invoke(prompt)`` from a queue of field dicts and
    keeps every prompt it was given."""

    def __init__(self, *answers: dict[str, Any]) -> None:
        self.answers = deque(answers)
        self.prompts: list[Any] = []
        self.schemas: list[type] = []

    def with_structured_output(self, schema: type) -> _StructuredFake:
        self.schemas.append(schema)
        return _StructuredFake(self, schema)


class _StructuredFake:
    def __init__(self, model: FakeChatModel, schema: type) -> None:
        self.model = model
        self.schema = schema

    def invoke(self, prompt: Any) -> Any:
        self.model.prompts.append(prompt)
        return self.schema(**self.model.answers.popleft())


def wrapper_over(url: str, **kwargs: Any):
    """The project's database wrapper over a SQLAlchemy URL."""
    from quorlix.querymesh.custom_sql import CustomSQLDatabase

    return CustomSQLDatabase.from_uri(url, **kwargs)


def schema_name(request) -> str | None:
    """The record class a structured-output request asks for, in either request shape."""
    body = request.json
    response_format = body.get("response_format")
    if isinstance(response_format, dict) and response_format.get("type") == "json_schema":
        return response_format["json_schema"]["name"]
    choice = body.get("tool_choice")
    if isinstance(choice, dict):
        return choice["function"]["name"]
    return None
