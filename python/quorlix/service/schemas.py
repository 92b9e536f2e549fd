"""Request bodies. Unknown fields are refused, so a misspelt option is not silently ignored."""

from __future__ import annotations

from typing import Literal

from pydantic import BaseModel, ConfigDict, Field, field_validator

MAX_QUESTION = 2000


class RunRequest(BaseModel):
    model_config = ConfigDict(extra="forbid")

    question: str = Field(description="The question, in plain language (at most 2,000 characters)")
    analysis_tries: int = Field(3, ge=1, le=10, description="How often analysis code is written")
    chart: bool = Field(True, description="Keep the chart the analysis draws")

    @field_validator("question")
    @classmethod
    def _question(cls, value: str) -> str:
        value = value.strip()
        if not value:
            raise ValueError("the question is empty")
        if len(value) > MAX_QUESTION:
            raise ValueError(
                f"the question is {len(value)} characters long; at most {MAX_QUESTION} are taken"
            )
        return value


class FeedbackRequest(BaseModel):
    model_config = ConfigDict(extra="forbid")

    rating: Literal["up", "down"]
    corrected_sql: str | None = Field(None, max_length=20_000)
    comment: str | None = Field(None, max_length=2_000)


class SQLRequest(BaseModel):
    model_config = ConfigDict(extra="forbid")

    sql: str = Field(min_length=1, max_length=20_000, description="One read-only query")
