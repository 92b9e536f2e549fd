"""The question-answering graph: the state record ``SQLState`` and the graph object ``SQLGraph``."""

import operator
from typing import Annotated, Any, TypedDict

from langchain_core.runnables import RunnableConfig
from langchain_openai import AzureChatOpenAI
from langgraph.graph import END as END
from langgraph.graph import StateGraph
from langgraph.graph.state import CompiledStateGraph

from quorlix.function_calling.base import RelevantTablePicker
from quorlix.settings import AzureOpenAIChat4 as AzureOpenAIChat4
from quorlix.settings import AzureOpenAIChat35 as AzureOpenAIChat35

from .custom_sql import CustomSQLDatabase as CustomSQLDatabase
from .nodewright import *  # noqa: F403

class SQLState(TypedDict):
    """The record every node reads; nodes return partial updates of it.

    ``Annotated[List[str], operator.concat]`` fields grow by the lists nodes return,
    ``Annotated[int, operator.add]`` fields add up, all others are replaced.
    """

    user_question: str
    follow_up_question: Annotated[list[str], operator.concat]
    schemas_from_relevant_tables: str
    table_names_from_db: list[dict[str, str]]
    relevant_tables: list[str]
    generated_sql_query: Annotated[list[str], operator.concat]
    sql_generation_prompt_type: str
    execution_success: bool
    execution_error: Annotated[list[str], operator.concat]
    sql_execution_result: Annotated[list[str], operator.concat]
    pandas_code: str
    use_pandas_ai_flag: bool
    image_path: str | None
    python_executed_output: str
    save_path: str
    final_response: str
    iteration_count: Annotated[int, operator.add]
    iteration_count_pandas: Annotated[int, operator.add]
    rewrite_count: int
    rewritten_question: str
    max_iterations: int
    max_iterations_pandas: int
    python_execution_success: bool
    python_error_message: bool
    pandas_generation_prompt_type: str

class SQLGraph:
    """Answers questions about the database behind ``custom_sql_db``.

    ``invoke({"user_question": ..., "save_path": ..., "max_iterations_pandas": ...,
    "pandas_code": "", "python_executed_output": ""})`` returns the final state, among it
    ``final_response``, ``image_path``, ``generated_sql_query`` and ``sql_execution_result``.
    """

    db: CustomSQLDatabase
    graph: StateGraph[SQLState]
    runnable_config: RunnableConfig
    relevant_tables_model: AzureChatOpenAI
    sql_generation_model: AzureChatOpenAI
    response_model: AzureChatOpenAI
    pandas_code_model: AzureChatOpenAI
    pandas_ai_model: AzureChatOpenAI
    relevant_table_picker: RelevantTablePicker
    compiled_graph: CompiledStateGraph[SQLState]
    def __init__(
        self,
        custom_sql_db: CustomSQLDatabase,
        config_35: AzureOpenAIChat35,
        config_4: AzureOpenAIChat4,
    ) -> None: ...
    def _config_graph(
        self,
        metadata: dict[str, Any] | None = None,
        tags: list[str] = ...,
        max_concurrency: int | None = 20,
        recursion_limit: int = 50,
    ) -> RunnableConfig: ...
    def _compile_graph(self, runnable_config: RunnableConfig) -> CompiledStateGraph[SQLState]: ...
    def visualize_graph(
        self,
        visualization_type: str = "ascii",
        save_graph_path: str = "graph_visualization.png",
    ) -> str | None: ...
    def invoke(self, inputs: dict[str, Any]) -> dict[str, Any]: ...
