"""What each tool takes: strict records whose JSON schemas are the tools' input schemas (no
other keys, no coercion of a text into a number), with the service's own bounds."""

from __future__ import annotations

from typing import Annotated

from pydantic import BaseModel, ConfigDict, Field, field_validator

from quorlix.questions import MAX_QUESTION_CHARS, question_problem
from quorlix.service.schemas import Text

MAX_DESCRIBED_TABLES = 20
MAX_SQL_CHARS = 20_000
_STRICT = ConfigDict(extra="forbid", strict=True)


class AskArguments(BaseModel):
    model_config = _STRICT

    question: Text = Field(
        description=f"The question, in plain language (at most {MAX_QUESTION_CHARS:,} characters)"
    )
    analysis_tries: int = Field(
        3, ge=1, le=10, description="How often the analysis program may be written (1 to 10)"
    )
    chart: bool = Field(True, description="Return the chart the analysis draws, if any")

    @field_validator("question")
    @classmethod
    def _question(cls, value: str) -> str:
        value = value.strip()
        problem = question_problem(value)
        if problem:
            raise ValueError(problem)
        return value


class NoArguments(BaseModel):
    model_config = _STRICT


TableName = Annotated[str, Field(min_length=1, max_length=256)]


class DescribeTablesArguments(BaseModel):
    model_config = _STRICT

    tables: list[TableName] = Field(
        min_length=1,
        max_length=MAX_DESCRIBED_TABLES,
        description=f"Names of tables, as list_tables gives them (1 to {MAX_DESCRIBED_TABLES})",
    )


class RunSqlArguments(BaseModel):
    model_config = _STRICT

    sql: Text = Field(
        min_length=1,
        max_length=MAX_SQL_CHARS,
        description=f"One read-only SQL query (at most {MAX_SQL_CHARS:,} characters)",
    )
