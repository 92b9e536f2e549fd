"""The nodes of the question-answering graph, their structured-output records, the state
initialisation, and the routing conditions and error handlers."""

import builtins
from typing import Any

from langchain_community.tools.sql_database.tool import (
    InfoSQLDatabaseTool,
    ListSQLDatabaseTool,
    QuerySQLCheckerTool,
)
from langchain_core.messages import BaseMessage as BaseMessage
from langchain_core.prompts import ChatPromptTemplate as ChatPromptTemplate
from langchain_core.prompts import HumanMessagePromptTemplate as HumanMessagePromptTemplate
from langchain_core.prompts import PromptTemplate as PromptTemplate
from langchain_core.prompts import SystemMessagePromptTemplate as SystemMessagePromptTemplate
from langchain_core.runnables import Runnable as Runnable
from langchain_openai import AzureChatOpenAI as AzureChatOpenAI
from loguru import logger as logger
from pydantic import BaseModel as BaseModel
from pydantic import Field as Field
from sqlalchemy.exc import SQLAlchemyError as SQLAlchemyError

from quorlix.prompts.context import check_instructions as check_instructions
from quorlix.prompts.context import context_prompt as context_prompt
from quorlix.prompts.context import custom_instructions as custom_instructions
from quorlix.prompts.context import read_values as read_values
from quorlix.prompts.final_step_prompt import final_node_prompt as final_node_prompt

from .custom_sql import CustomSQLDatabase as CustomSQLDatabase
from .querymesh_prompts import *  # noqa: F403

# read_values() of quorlix.prompts.context, taken once at import: "context_prompt" and
# "custom_instructions" for the final answer.
current_values: dict[str, str]

# --- structured-output records ------------------------------------------------------------

class RelevantTablesOutput(BaseModel):
    relevant_tables: list[str]

class RewriteQueryOutput(BaseModel):
    rewritten_question: str

class PandasCodeOutput(BaseModel):
    pandas_ai: bool
    final_answer: bool
    follow_up_question: bool

class PythonCodeInput(BaseModel):
    code: str

class SQLQueryInput(BaseModel):
    sql_query: str

class GenerationOutput(BaseModel):
    image_path: str | None = ""
    final_response: str

# --- state initialisation -----------------------------------------------------------------

def initialisation(inputs: dict) -> dict:
    """Puts the SQL budget (5), the counters and empty result lists into ``inputs``."""

# --- node classes: invoke(state) returns a partial state update ----------------------------
# The graph calls invoke(state) alone; unlike Runnable.invoke there is no positional config.

class TableNamesLookup(Runnable[dict, dict]):
    tool: ListSQLDatabaseTool
    def __init__(self, db: CustomSQLDatabase) -> None: ...
    def invoke(self, state: Any, **kwargs: Any) -> dict: ...  # type: ignore[override]

class RelevantTableNames(Runnable[dict, dict]):
    dialect: str
    model: Runnable[Any, Any]
    template: ChatPromptTemplate
    def __init__(self, db: CustomSQLDatabase, model: AzureChatOpenAI) -> None: ...
    def generate_prompt(self, state: dict) -> list: ...
    def invoke(self, state: dict, **kwargs: Any) -> dict: ...  # type: ignore[override]

class RewriteQuery(Runnable[dict, dict]):
    model: Runnable[Any, Any]
    tool: InfoSQLDatabaseTool
    template: ChatPromptTemplate
    def __init__(self, db: CustomSQLDatabase, model: AzureChatOpenAI) -> None: ...
    def generate_prompt(self, state: dict) -> list: ...
    def invoke(self, state: dict, **kwargs: Any) -> dict: ...  # type: ignore[override]

class PandasGenerator(Runnable[dict, dict]):
    model: Runnable[Any, Any]
    template: ChatPromptTemplate
    correction_template: PromptTemplate
    def __init__(self, model: AzureChatOpenAI) -> None: ...
    def generate_prompt(self, state: dict) -> list[BaseMessage] | str: ...
    def invoke(self, state: dict, **kwargs: Any) -> dict: ...  # type: ignore[override]

class PandasCorrection(Runnable[dict, dict]):
    model: Runnable[Any, Any]
    template: PromptTemplate
    def __init__(self, model: AzureChatOpenAI) -> None: ...
    def generate_prompt(self, state: dict) -> str: ...
    def invoke(self, state: dict, **kwargs: Any) -> dict: ...  # type: ignore[override]

class AnalysisTimeoutError(builtins.TimeoutError):
    """Raised inside an analysis program that runs past QUORLIX_ANALYSIS_TIMEOUT."""

    seconds: str
    def __init__(self, *args: object) -> None: ...

class PandasExecutor(Runnable[dict, dict]):
    model: AzureChatOpenAI
    template: ChatPromptTemplate
    def __init__(self, model: AzureChatOpenAI) -> None: ...
    def generate_prompt(self, state: dict) -> list[BaseMessage]: ...
    def invoke(self, state: dict, **kwargs: Any) -> dict: ...  # type: ignore[override]

class RelevantSchemas(Runnable[dict, dict]):
    tool: InfoSQLDatabaseTool
    def __init__(self, db: CustomSQLDatabase) -> None: ...
    def invoke(self, state: Any, **kwargs: Any) -> dict: ...  # type: ignore[override]

class SQLGeneration(Runnable[dict, dict]):
    model: Runnable[Any, Any]
    dialect: str
    generate_template: ChatPromptTemplate
    correct_template: ChatPromptTemplate
    def __init__(self, db: CustomSQLDatabase, model: AzureChatOpenAI) -> None: ...
    def generate_messages(self, state: dict) -> list[BaseMessage]: ...
    def invoke(self, state: dict, **kwargs: Any) -> dict: ...  # type: ignore[override]

class SQLSyntaxChecker(Runnable[dict, dict]):
    tool: QuerySQLCheckerTool
    def __init__(self, db: CustomSQLDatabase, model: AzureChatOpenAI) -> None: ...
    def invoke(self, state: Any, **kwargs: Any) -> dict: ...  # type: ignore[override]

class SQLExecution(Runnable[dict, dict]):
    db: CustomSQLDatabase
    def __init__(self, db: CustomSQLDatabase) -> None: ...
    def invoke(self, state: Any, **kwargs: Any) -> dict: ...  # type: ignore[override]

class GenerateResponse(Runnable[dict, dict]):
    model: Runnable[Any, Any]
    def __init__(self, model: AzureChatOpenAI) -> None: ...
    def invoke(self, state: dict, **kwargs: Any) -> dict: ...  # type: ignore[override]

# --- routing conditions (return a route text) and error handlers (return an update) --------

def sql_syntax_condition(state: dict) -> str: ...
def sql_execution_condition(state: dict) -> str: ...
def pandas_execution_condition(state: dict) -> str: ...
def pandas_code_condition(state: dict) -> str: ...
def handle_sql_error(state: dict) -> dict: ...
def handle_pandas_error(state: dict) -> dict: ...
def sql_error_handler_condition(state: dict) -> str: ...
def pandas_error_handler_condition(state: dict) -> str: ...
