"""Request bodies. Unknown fields are refused, so a misspelt option is not silently ignored."""

from __future__ import annotations

from typing import Annotated, Literal

from pydantic import AfterValidator, BaseModel, ConfigDict, Field, field_validator

from quorlix.questions import MAX_QUESTION_CHARS, question_problem


def _storable(value: str) -> str:
    # Neither store takes these: PostgreSQL refuses NUL in text, and a lone surrogate (a half of
    # a UTF-16 pair, which JSON's \u escapes can carry) is no character and cannot be encoded.
    if "\x00" in value:
        raise ValueError("the text contains a NUL character (\\u0000); remove it")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError as exc:
        code = ord(value[exc.start])
        raise ValueError(
            f"the text contains an unpaired surrogate (\\u{code:04x}), which is not a character;"
            " send valid Unicode"
        ) from None
    return value


def _checked_question(value: str) -> str:
    value = value.strip()
    problem = question_problem(value)
    if problem:
        raise ValueError(problem)
    return value


# Text that goes into the store or to the database.
Text = Annotated[str, AfterValidator(_storable)]


class RunRequest(BaseModel):
    model_config = ConfigDict(extra="forbid")

    question: Text = Field(
        description=f"The question, in plain language (at most {MAX_QUESTION_CHARS:,} characters)"
    )
    analysis_tries: int = Field(3, ge=1, le=10, description="How often analysis code is written")
    chart: bool = Field(True, description="Keep the chart the analysis draws")

    @field_validator("question")
    @classmethod
    def _question(cls, value: str) -> str:
        return _checked_question(value)


class ThreadRequest(BaseModel):
    model_config = ConfigDict(extra="forbid")

    question: Text | None = Field(
        None, description="The thread's first question, if it is asked at once"
    )
    analysis_tries: int = Field(3, ge=1, le=10, description="How often analysis code is written")
    chart: bool = Field(True, description="Keep the chart the analysis draws")

    @field_validator("question")
    @classmethod
    def _question(cls, value: str | None) -> str | None:
        return None if value is None else _checked_question(value)

    def first_run(self) -> RunRequest | None:
        if self.question is None:
            return None
        return RunRequest(
            question=self.question, analysis_tries=self.analysis_tries, chart=self.chart
        )


class FeedbackRequest(BaseModel):
    model_config = ConfigDict(extra="forbid")

    rating: Literal["up", "down"]
    corrected_sql: Text | None = Field(None, max_length=20_000)
    comment: Text | None = Field(None, max_length=2_000)


class SQLRequest(BaseModel):
    model_config = ConfigDict(extra="forbid")

    sql: Text = Field(min_length=1, max_length=20_000, description="One read-only query")


class ExampleRequest(BaseModel):
    model_config = ConfigDict(extra="forbid")

    question: Text = Field(min_length=1, max_length=2_000, description="The question answered")
    sql: Text = Field(min_length=1, max_length=20_000, description="The SQL that answers it")
    notes: Text | None = Field(None, max_length=2_000, description="What to know about it")


class TermRequest(BaseModel):
    model_config = ConfigDict(extra="forbid")

    term: Text = Field(min_length=1, max_length=200)
    definition: Text = Field(min_length=1, max_length=2_000)
    sql: Text | None = Field(None, max_length=20_000, description="The SQL that computes it")
    synonyms: list[Annotated[Text, Field(min_length=1, max_length=200)]] = Field(
        default_factory=list, max_length=20, description="Other words for the term"
    )
