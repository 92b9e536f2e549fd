"""Request bodies. Unknown fields are refused, so a misspelt option is not silently ignored."""

from __future__ import annotations

from typing import Literal

from pydantic import BaseModel, ConfigDict, Field, field_validator

from quorlix.questions import MAX_QUESTION_CHARS, question_problem


class RunRequest(BaseModel):
    model_config = ConfigDict(extra="forbid")

    question: str = Field(
        description=f"The question, in plain language (at most {MAX_QUESTION_CHARS:,} characters)"
    )
    analysis_tries: int = Field(3, ge=1, le=10, description="How often analysis code is written")
    chart: bool = Field(True, description="Keep the chart the analysis draws")

    @field_validator("question")
    @classmethod
    def _question(cls, value: str) -> str:
        value = value.strip()
        problem = question_problem(value)
        if problem:
            raise ValueError(problem)
        return value


class FeedbackRequest(BaseModel):
    model_config = ConfigDict(extra="forbid")

    rating: Literal["up", "down"]
    corrected_sql: str | None = Field(None, max_length=20_000)
    comment: str | None = Field(None, max_length=2_000)


class SQLRequest(BaseModel):
    model_config = ConfigDict(extra="forbid")

    sql: str = Field(min_length=1, max_length=20_000, description="One read-only query")
