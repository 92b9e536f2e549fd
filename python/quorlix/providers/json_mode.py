"""Structured output for servers that take neither a response format nor tools: the record's
JSON schema goes into the prompt and the reply's text is parsed and checked against it."""

from __future__ import annotations

import json
from typing import Any

from langchain_core.exceptions import OutputParserException
from langchain_core.messages import BaseMessage, SystemMessage
from langchain_core.runnables import Runnable, RunnableLambda

INSTRUCTION = (
    "Reply with one JSON object and nothing else (no prose, no code fence). It must match this "
    "JSON schema:\n{schema}"
)


def json_mode_chain(model: Any, schema: type) -> Runnable:
    """``model`` asked for a ``schema`` record through the prompt alone."""

    def instructed(value: Any) -> list[BaseMessage]:
        return with_instruction(model._convert_input(value).to_messages(), schema)

    def parsed(reply: BaseMessage) -> Any:
        return parse_record(str(reply.content), schema)

    return RunnableLambda(instructed) | model | RunnableLambda(parsed)


def with_instruction(messages: list[BaseMessage], schema: type) -> list[BaseMessage]:
    """The messages with the JSON instruction added to the system message (a first one is
    made when there is none: several local chat templates take a system message only first)."""
    instruction = INSTRUCTION.format(schema=json.dumps(schema.model_json_schema()))
    if messages and isinstance(messages[0], SystemMessage) and isinstance(messages[0].content, str):
        first = SystemMessage(content=f"{messages[0].content}\n\n{instruction}")
        return [first, *messages[1:]]
    return [SystemMessage(content=instruction), *messages]


def parse_record(text: str, schema: type) -> Any:
    """The record in a reply: the outermost JSON object of the text (models like to wrap it in
    a code fence or a sentence), checked by ``schema``."""
    start, end = text.find("{"), text.rfind("}")
    if start < 0 or end < start:
        raise OutputParserException(
            f"the model was asked for a JSON object and answered none: {text[:200]!r}",
            llm_output=text,
        )
    try:
        return schema.model_validate(json.loads(text[start : end + 1]))
    except ValueError as exc:  # JSON and pydantic's ValidationError both are
        raise OutputParserException(
            f"the model's JSON does not fit {schema.__name__}: {' '.join(str(exc).split())}",
            llm_output=text,
        ) from exc
