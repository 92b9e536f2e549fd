"""Helpers shared by the SQL-path tests: the database wrapper over a SQLAlchemy URL, and the record
class a structured-output request to the stub server asks for."""

from __future__ import annotations

import json
import re
from typing import Any


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
    # JSON asked for in the prompt (servers with neither): the schema is in the system message.
    described = re.search(r"match this JSON schema:\n(\{.*\})", request.prompt_text)
    return json.loads(described[1]).get("title") if described else None
