"""What one whole question costs through `SQLGraph`, next to the same graph written in Python and
to LangGraph's stock SQL agent, with a chat model that answers instantly.

With the model's latency taken out, what is left is the graph's own work: LangGraph's step loop,
the nodes, prompt building, the database wrapper, running the analysis program. Three ways of
answering "How much revenue did each city bring?" over a 10-table SQLite database, in one process,
interleaved run by run so that all three meet the same machine load:

- quorlix: `SQLGraph(db, ...).invoke(...)`, its five chat models and the table picker's replaced
  by the instant model; five model calls, one query, one analysis program run in-process.
- python: the same graph written here in plain Python (same state record and merge rules, same
  wiring, nodes doing what quorlix's nodes do with the same prompt texts, LangChain tools and
  records), over the same `CustomSQLDatabase` and instant model: the yardstick of "no more than
  the same graph in Python".
- agent: LangGraph's prebuilt ReAct agent (`langgraph.prebuilt.create_react_agent`) with
  langchain_community's `SQLDatabaseToolkit` over the same wrapper, scripted to list the tables,
  read the schemas, have the query checked, run it and answer: five agent turns plus the
  checker's own model call, one query, no analysis program.

A fourth side, run, answers with the quorlix graph through `quorlix.answering.answer_question`,
as `quorlix ask`, the service's workers and the evaluation do (streamed, each step described,
usage and queries recorded): its ratio to quorlix is what that shared run adds.

The analysis program runs in this interpreter on both graph sides (QUORLIX_ANALYSIS_SANDBOX=off
where a sandbox is available), so the comparison is like with like.

Reported per side: median (p50) and 90th percentile (p90) milliseconds per question, and the
ratio of quorlix to each baseline at both (below 1 means quorlix is cheaper).

    PYTHONPATH=python python benchmarks/bench_graph_run.py [--runs N] [--quick]
"""

from __future__ import annotations

import argparse
import ast
import contextlib
import io
import operator
import os
import random
import sqlite3
import statistics
import sys
import tempfile
import time
import types
import warnings
from collections.abc import Callable
from pathlib import Path
from typing import Annotated, Any, TypedDict

os.environ.setdefault("QUORLIX_ANALYSIS_SANDBOX", "off")
warnings.filterwarnings("ignore")

from langchain_core.language_models.chat_models import BaseChatModel  # noqa: E402
from langchain_core.messages import AIMessage, ToolMessage  # noqa: E402
from langchain_core.outputs import ChatGeneration, ChatResult  # noqa: E402
from langchain_core.utils.function_calling import convert_to_openai_tool  # noqa: E402

QUESTION = "How much revenue did each city bring?"
TABLES = ["customers", "orders"]
SQL = (
    "SELECT customers.city, ROUND(SUM(order_items.quantity * order_items.unit_price), 2) "
    "AS revenue FROM customers JOIN orders ON orders.customer_id = customers.id "
    "JOIN order_items ON order_items.order_id = orders.id "
    "GROUP BY customers.city ORDER BY revenue DESC LIMIT 20"
)
# Light on purpose: pandas would cost the same on both graph sides and only hide the graph's own
# costs, which are what is measured here.
PROGRAM = """\
rows = [('Dublin', 310.5), ('Cork', 250.0), ('Galway', 198.25), ('Limerick', 120.75)]
total = sum(revenue for _, revenue in rows)
for city, revenue in rows:
    print(f'{city:<10} {revenue:>8.2f} {revenue / total:6.1%}')
print('Top city:', max(rows, key=lambda row: row[1])[0], 'in', datetime.date(2024, 1, 1).year)
"""
ANSWER = {"final_response": "Dublin brought the most revenue.", "image_path": ""}


# --- the database --------------------------------------------------------------------------


def build_database(path: Path) -> None:
    """Ten tables, three of which the question needs; a few hundred rows in all."""
    with contextlib.closing(sqlite3.connect(path)) as db:
        db.executescript(
            """
            CREATE TABLE customers (id INTEGER PRIMARY KEY, name TEXT, city TEXT);
            CREATE TABLE orders (id INTEGER PRIMARY KEY, customer_id INTEGER, order_date TEXT);
            CREATE TABLE order_items (id INTEGER PRIMARY KEY, order_id INTEGER, product TEXT,
                                      quantity INTEGER, unit_price REAL);
            CREATE TABLE products (id INTEGER PRIMARY KEY, name TEXT, category TEXT, price REAL);
            CREATE TABLE suppliers (id INTEGER PRIMARY KEY, name TEXT, country TEXT);
            CREATE TABLE shipments (id INTEGER PRIMARY KEY, order_id INTEGER, shipped TEXT);
            CREATE TABLE returns (id INTEGER PRIMARY KEY, order_item_id INTEGER, reason TEXT);
            CREATE TABLE stores (id INTEGER PRIMARY KEY, city TEXT, opened TEXT);
            CREATE TABLE employees (id INTEGER PRIMARY KEY, store_id INTEGER, name TEXT);
            CREATE TABLE reviews (id INTEGER PRIMARY KEY, product_id INTEGER, stars INTEGER);
            """
        )
        cities = ["Dublin", "Cork", "Galway", "Limerick"]
        db.executemany(
            "INSERT INTO customers VALUES (?, ?, ?)",
            [(i, f"customer {i}", cities[i % 4]) for i in range(1, 41)],
        )
        db.executemany(
            "INSERT INTO orders VALUES (?, ?, ?)",
            [(i, 1 + i % 40, f"2024-{1 + i % 12:02d}-{1 + i % 28:02d}") for i in range(1, 121)],
        )
        db.executemany(
            "INSERT INTO order_items VALUES (?, ?, ?, ?, ?)",
            [(i, 1 + i % 120, f"product {i % 30}", 1 + i % 3, 2.5 + i % 17) for i in range(1, 301)],
        )
        for table, row in [
            ("products", lambda i: (i, f"product {i}", "kitchen", 3.0 + i)),
            ("suppliers", lambda i: (i, f"supplier {i}", "IE")),
            ("shipments", lambda i: (i, i, "2024-03-01")),
            ("returns", lambda i: (i, i, "broken")),
            ("stores", lambda i: (i, cities[i % 4], "2020-01-01")),
            ("employees", lambda i: (i, 1 + i % 5, f"employee {i}")),
            ("reviews", lambda i: (i, 1 + i % 30, 1 + i % 5)),
        ]:
            rows = [row(i) for i in range(1, 31)]
            marks = ", ".join("?" * len(rows[0]))
            db.executemany(f"INSERT INTO {table} VALUES ({marks})", rows)
        db.commit()


# --- the instant chat model ----------------------------------------------------------------


class InstantChatModel(BaseChatModel):
    """A chat model that answers at once from `respond(messages, tool_names)`.

    Structured output goes through LangChain's own tool-calling path (bind_tools, then the
    parser), as it does for a real model; only the network round trip is gone.
    """

    respond: Callable[[list, list[str]], AIMessage]

    @property
    def _llm_type(self) -> str:
        return "instant"

    def bind_tools(self, tools, *, tool_choice=None, **kwargs):
        return self.bind(tools=[convert_to_openai_tool(tool) for tool in tools], **kwargs)

    def _generate(self, messages, stop=None, run_manager=None, **kwargs) -> ChatResult:
        names = [tool["function"]["name"] for tool in kwargs.get("tools") or []]
        return ChatResult(generations=[ChatGeneration(message=self.respond(messages, names))])


_call_ids = iter(range(1, 1 << 62))


def tool_call(name: str, arguments: dict) -> AIMessage:
    return AIMessage(
        content="", tool_calls=[{"name": name, "args": arguments, "id": f"call_{next(_call_ids)}"}]
    )


RECORD_ANSWERS = {
    "RelevantTablesOutput": {"relevant_tables": TABLES},
    "SQLQueryInput": {"sql_query": SQL},
    "RewriteQueryOutput": {"rewritten_question": QUESTION},
    "PythonCodeInput": {"code": PROGRAM},
    "GenerationOutput": ANSWER,
}


def graph_respond(messages: list, names: list[str]) -> AIMessage:
    """Both graph sides: a record for a structured request, the reviewed query otherwise."""
    if names:
        return tool_call(names[0], RECORD_ANSWERS[names[0]])
    return AIMessage(content=SQL)


def agent_respond(messages: list, names: list[str]) -> AIMessage:
    """The agent's turns, by how many tool results it has seen; the checker's own call too."""
    if not names:
        return AIMessage(content=SQL)  # the query checker tool asking the model
    steps = [
        ("sql_db_list_tables", {"tool_input": ""}),
        ("sql_db_schema", {"table_names": ", ".join(TABLES)}),
        ("sql_db_query_checker", {"query": SQL}),
        ("sql_db_query", {"query": SQL}),
    ]
    seen = sum(isinstance(message, ToolMessage) for message in messages)
    if seen < len(steps):
        return tool_call(*steps[seen])
    return AIMessage(content=ANSWER["final_response"])


# --- the plain-Python graph ----------------------------------------------------------------


class State(TypedDict, total=False):
    user_question: str
    follow_up_question: Annotated[list[str], operator.concat]
    schemas_from_relevant_tables: str
    table_names_from_db: list
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


def python_graph(db, model):
    """The question-answering graph as a Python developer would write it over the same parts."""
    from langchain_community.tools.sql_database.tool import (
        InfoSQLDatabaseTool,
        ListSQLDatabaseTool,
        QuerySQLCheckerTool,
    )
    from langchain_core.prompts import (
        ChatPromptTemplate,
        HumanMessagePromptTemplate,
        PromptTemplate,
        SystemMessagePromptTemplate,
    )
    from langgraph.graph import END, StateGraph
    from loguru import logger
    from pydantic import BaseModel, Field
    from quorlix.prompts.context import read_values
    from quorlix.prompts.final_step_prompt import final_node_prompt
    from quorlix.querymesh import querymesh_prompts as prompts
    from sqlalchemy.exc import SQLAlchemyError

    class RelevantTablesOutput(BaseModel):
        relevant_tables: list[str] = Field(description="the tables the question needs")

    class RewriteQueryOutput(BaseModel):
        rewritten_question: str = Field(description="the question, rewritten")

    class SQLQueryInput(BaseModel):
        sql_query: str = Field(description="one SQL query")

    class PythonCodeInput(BaseModel):
        code: str = Field(description="the analysis program")

    class GenerationOutput(BaseModel):
        final_response: str = Field(description="the answer")
        image_path: str = Field(description="the chart's path")

    current_values = read_values()
    list_tool = ListSQLDatabaseTool(db=db)
    info_tool = InfoSQLDatabaseTool(db=db)
    checker = QuerySQLCheckerTool(db=db, llm=model)
    tables_model = model.with_structured_output(RelevantTablesOutput)
    rewrite_model = model.with_structured_output(RewriteQueryOutput)
    sql_model = model.with_structured_output(SQLQueryInput)
    code_model = model.with_structured_output(PythonCodeInput)
    answer_model = model.with_structured_output(GenerationOutput)
    tables_template = ChatPromptTemplate.from_messages(
        [
            SystemMessagePromptTemplate.from_template(prompts.SQL_PREFIX),
            HumanMessagePromptTemplate.from_template(prompts.GET_RELEVANT_TABLE_NAMES_TEMPLATE),
        ]
    )
    rewrite_template = ChatPromptTemplate.from_messages(
        [SystemMessagePromptTemplate.from_template(prompts.REWRITE_QUESTION_TEMPLATE)]
    )
    # The first-attempt texts are plain (role, text) pairs kept in the node module.
    from quorlix.querymesh.nodewright import _SQL_SYSTEM_MESSAGE, _SQL_USER_MESSAGE

    sql_template = ChatPromptTemplate.from_messages([_SQL_SYSTEM_MESSAGE, _SQL_USER_MESSAGE])
    correct_template = ChatPromptTemplate.from_messages(
        [
            SystemMessagePromptTemplate.from_template(prompts.SQL_PREFIX),
            HumanMessagePromptTemplate.from_template(
                prompts.CORRECT_SQL_TEMPLATE, template_format="jinja2"
            ),
        ]
    )
    pandas_template = ChatPromptTemplate.from_messages(
        [
            SystemMessagePromptTemplate.from_template(
                prompts.PANDAS_SYSTEM_TEMPLATE, template_format="jinja2"
            ),
            HumanMessagePromptTemplate.from_template(
                prompts.PANDAS_HUMAN_TEMPLATE, template_format="jinja2"
            ),
        ]
    )
    pandas_correction = PromptTemplate.from_template(
        "Question: {user_question}\nCode: {python_code}\nError: {error}\nFix it."
    )

    def question_of(state):
        return state["rewritten_question"] or state["user_question"]

    def table_text(names):
        return ",".join(names) if isinstance(names, list) else names

    def initialisation(inputs: dict) -> dict:
        inputs["iteration_count"] = 0
        inputs["max_iterations"] = 5
        inputs["rewrite_count"] = 0
        inputs["rewritten_question"] = ""
        inputs["generated_sql_query"] = []
        inputs["execution_error"] = []
        inputs["sql_execution_result"] = []
        inputs["python_generation_prompt_type"] = "generation"
        return inputs

    def table_names_lookup(state):
        return {"table_names_from_db": list_tool._run()}

    def relevant_table_names(state):
        messages = tables_template.format_messages(
            dialect=db.dialect,
            user_question=question_of(state),
            table_names_from_db=table_text(state["table_names_from_db"]),
        )
        messages[1].content += prompts.TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE
        return {"relevant_tables": tables_model.invoke(messages).relevant_tables}

    def relevant_schemas(state):
        schemas = info_tool._run(table_names=",".join(state["relevant_tables"]))
        return {"sql_generation_prompt_type": "generation", "schemas_from_relevant_tables": schemas}

    def sql_generation(state):
        started = time.time()
        if state["sql_generation_prompt_type"] == "generation":
            messages = sql_template.format_messages(dialect=db.dialect, **state)
        else:
            queries, results = state["generated_sql_query"], state["sql_execution_result"]
            pairs = list(zip(queries, results, strict=False))
            messages = correct_template.format_messages(
                dialect=db.dialect, zipped_queries_errors=pairs, **state
            )
        query = sql_model.invoke(messages).sql_query
        logger.info("Invoke generate sql query tooks: " + str(time.time() - started))
        return {"generated_sql_query": [query]}

    def rewrite_query(state):
        schemas = info_tool._run(table_text(state["table_names_from_db"]))
        messages = rewrite_template.format_messages(
            user_question=state["user_question"], schemas_from_all_tables=schemas
        )
        return {"rewritten_question": rewrite_model.invoke(messages).rewritten_question}

    def sql_syntax_checker(state):
        state["generated_sql_query"][-1] = checker._run(query=state["generated_sql_query"][-1])
        return {}

    def sql_execution(state):
        try:
            result = db.run(
                command=state["generated_sql_query"][-1], fetch="all", include_columns=False
            )
        except SQLAlchemyError as error:
            return {"sql_execution_result": [str(error)], "execution_success": False}
        if not result:
            return {"sql_execution_result": ["None"], "execution_success": False}
        return {
            "sql_execution_result": [result],
            "execution_success": True,
            "pandas_generation_prompt_type": "generation",
        }

    def pandas_generator(state):
        if state["pandas_generation_prompt_type"] == "generation":
            prompt = pandas_template.format_messages(
                original_question=question_of(state),
                zipped_queries_results=list(
                    zip(state["generated_sql_query"], state["sql_execution_result"], strict=False)
                ),
                save_path=state["save_path"],
            )
        else:
            prompt = pandas_correction.format(
                user_question=question_of(state),
                python_code=state["pandas_code"],
                error=state["python_error_message"],
            )
        return {"pandas_code": code_model.invoke(prompt).code}

    def pandas_executor(state):
        import datetime

        try:
            tree = ast.parse(state["pandas_code"], mode="exec")
            buffer = io.StringIO()
            with contextlib.redirect_stdout(buffer):
                exec(compile(tree, filename="<ast>", mode="exec"), {"datetime": datetime})
            output = buffer.getvalue()
        except Exception as error:
            return {
                "python_execution_success": False,
                "python_error_message": f"{type(error).__name__}: {error}",
            }
        return {"python_executed_output": output, "python_execution_success": True}

    def final_response(state):
        print("hahahaha : " + str(current_values["custom_instructions"]))
        logger.info("Enter generate response")
        started = time.time()
        prompt = (
            f"User question: {state['user_question']}\nSQL query: {state['generated_sql_query']}\n"
            f"SQL query result: {state['sql_execution_result'][-1]}\n"
            f"Python code: {state['pandas_code']}\n"
            f"Python executed result: {state['python_executed_output']}\n"
            "Use the above result to address user's question. \n"
            + final_node_prompt
            + "use context and instructions below"
            + current_values["context_prompt"]
            + current_values["custom_instructions"]
        )
        print("General Response prompt: " + prompt)
        response = answer_model.invoke(prompt)
        logger.info("Finish generating response, took " + str(time.time() - started))
        return {"final_response": response.final_response, "image_path": response.image_path}

    def handle_sql_error(state):
        count, rewrites = state["iteration_count"], state["rewrite_count"]
        if count < state["max_iterations"] and rewrites == 0:
            return {"iteration_count": 1, "sql_generation_prompt_type": "correction"}
        if count == state["max_iterations"] and rewrites == 0:
            state["iteration_count"] = 0
            return {"rewrite_count": 1}
        return {
            "sql_execution_result": ["SQL generation failed after max iterations"],
            "iteration_count": 0,
        }

    def handle_pandas_error(state):
        if state["iteration_count_pandas"] < state["max_iterations_pandas"]:
            return {"iteration_count_pandas": 1, "pandas_generation_prompt_type": "correction"}
        return {
            "python_executed_output": "Python generation failed after max iterations",
            "iteration_count_pandas": 0,
        }

    def sql_execution_condition(state):
        return "pandas_generation" if state["execution_success"] else "sql_execution_error"

    def pandas_execution_condition(state):
        return "final_response" if state["python_execution_success"] else "pandas_execution_error"

    def sql_error_handler_condition(state):
        if state["iteration_count"] < state["max_iterations"] and state["rewrite_count"] == 0:
            return "regenerate_sql_query"
        if state["iteration_count"] == state["max_iterations"] and state["rewrite_count"] == 0:
            return "rewrite_query"
        return "terminal_failure_response"

    def pandas_error_handler_condition(state):
        if state["iteration_count_pandas"] < state["max_iterations_pandas"]:
            return "regenerate_pandas_code"
        return "terminal_failure_response"

    graph = StateGraph(State)
    graph.add_node("init_node", initialisation)
    graph.set_entry_point("init_node")
    graph.add_node("table_names_lookup_node", table_names_lookup)
    graph.add_edge("init_node", "table_names_lookup_node")
    graph.add_node("relevant_table_names_node", relevant_table_names)
    graph.add_edge("table_names_lookup_node", "relevant_table_names_node")
    graph.add_node("relevant_schemas_node", relevant_schemas)
    graph.add_edge("relevant_table_names_node", "relevant_schemas_node")
    graph.add_node("sql_generation_node", sql_generation)
    graph.add_edge("relevant_schemas_node", "sql_generation_node")
    graph.add_node("rewrite_query_node", rewrite_query)
    graph.add_edge("rewrite_query_node", "relevant_table_names_node")
    graph.add_node("sql_syntax_checker_node", sql_syntax_checker)
    graph.add_edge("sql_generation_node", "sql_syntax_checker_node")
    graph.add_node("sql_execution_node", sql_execution)
    graph.add_edge("sql_syntax_checker_node", "sql_execution_node")
    graph.add_node("pandas_generator_node", pandas_generator)
    graph.add_node("pandas_executor_node", pandas_executor)
    graph.add_edge("pandas_generator_node", "pandas_executor_node")
    graph.add_node("final_response_generation_node", final_response)
    graph.add_edge("final_response_generation_node", END)
    graph.add_edge("pandas_executor_node", "final_response_generation_node")
    graph.add_node("pandas_error_handler_node", handle_pandas_error)
    graph.add_conditional_edges(
        "pandas_executor_node",
        pandas_execution_condition,
        {
            "final_response": "final_response_generation_node",
            "pandas_execution_error": "pandas_error_handler_node",
        },
    )
    graph.add_node("sql_error_handler_node", handle_sql_error)
    graph.add_conditional_edges(
        "sql_execution_node",
        sql_execution_condition,
        {
            "pandas_generation": "pandas_generator_node",
            "sql_execution_error": "sql_error_handler_node",
        },
    )
    graph.add_conditional_edges(
        "sql_error_handler_node",
        sql_error_handler_condition,
        {
            "regenerate_sql_query": "sql_generation_node",
            "terminal_failure_response": "final_response_generation_node",
            "rewrite_query": "rewrite_query_node",
        },
    )
    graph.add_conditional_edges(
        "pandas_error_handler_node",
        pandas_error_handler_condition,
        {
            "regenerate_pandas_code": "pandas_generator_node",
            "terminal_failure_response": "final_response_generation_node",
        },
    )
    compiled = graph.compile()
    config = {
        "metadata": None,
        "tags": ["querymesh"],
        "max_concurrency": 20,
        "recursion_limit": 50,
    }
    return lambda inputs: compiled.invoke(inputs, config=config)


# --- the three sides -----------------------------------------------------------------------


def quorlix_graph(db, model):
    import quorlix.function_calling.base as picker_module
    from quorlix.querymesh import querymesh

    def instant(*_settings, **_keywords):
        return model

    settings = types.SimpleNamespace(azure_deployment="instant")
    real = querymesh.AzureChatOpenAI, picker_module.chat_model
    querymesh.AzureChatOpenAI = picker_module.chat_model = instant
    try:
        graph = querymesh.SQLGraph(db, settings, settings)
    finally:
        querymesh.AzureChatOpenAI, picker_module.chat_model = real
    return graph


def through_the_run(graph, save_path: Path):
    """The same graph as ``quorlix ask`` and the service's workers run it: streamed, each step
    described and handed on, usage and queries recorded (``quorlix.answering``)."""
    from quorlix.answering import answer_question

    def run() -> dict:
        outcome = answer_question(
            graph, QUESTION, save_path=save_path, analysis_tries=2, on_step=lambda *_: True
        )
        assert not outcome.raised, outcome.error
        return outcome.state

    return run


def stock_agent(db, model):
    from langchain_community.agent_toolkits import SQLDatabaseToolkit
    from langgraph.prebuilt import create_react_agent

    toolkit = SQLDatabaseToolkit(db=db, llm=model)
    agent = create_react_agent(model, toolkit.get_tools(), prompt="Answer from the database.")
    return lambda question: agent.invoke({"messages": [("user", question)]})


def check(side: str, result: Any) -> None:
    """A run that went wrong would time a different amount of work: refuse it."""
    if side == "agent":
        messages = result["messages"]
        queries = [m for m in messages if isinstance(m, ToolMessage) and m.name == "sql_db_query"]
        assert len(queries) == 1 and "Dublin" in queries[0].content, messages
        assert messages[-1].content == ANSWER["final_response"]
        return
    assert result["execution_success"] and result["python_execution_success"], result
    assert "Top city: Dublin" in result["python_executed_output"], result
    assert result["final_response"] == ANSWER["final_response"]


def percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(fraction * (len(ordered) - 1)))]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=300, help="questions per side (default 300)")
    parser.add_argument("--warmup", type=int, default=20, help="untimed questions per side first")
    parser.add_argument("--quick", action="store_true", help="a tiny run, for the smoke test")
    options = parser.parse_args()
    if options.quick:
        options.runs, options.warmup = 5, 2

    from loguru import logger
    from quorlix.querymesh.custom_sql import CustomSQLDatabase

    logger.remove()  # the nodes' timing lines would dominate the output otherwise
    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "shop.db"
        build_database(path)
        db = CustomSQLDatabase.from_uri(f"sqlite:///{path}")
        graph_model = InstantChatModel(respond=graph_respond)
        agent_model = InstantChatModel(respond=agent_respond)
        inputs = {"save_path": str(Path(directory) / "chart.png"), "max_iterations_pandas": 2}
        sides: dict[str, Callable[[], Any]] = {}
        graph = quorlix_graph(db, graph_model)
        quorlix_run = graph.invoke
        python_run = python_graph(db, graph_model)
        agent_run = stock_agent(db, agent_model)
        sides["quorlix"] = lambda: quorlix_run({"user_question": QUESTION, **inputs})
        sides["python"] = lambda: python_run({"user_question": QUESTION, **inputs})
        sides["agent"] = lambda: agent_run(QUESTION)
        sides["run"] = through_the_run(graph, Path(directory) / "chart.png")

        times: dict[str, list[float]] = {side: [] for side in sides}
        order = list(sides)
        with contextlib.redirect_stdout(io.StringIO()) as sink:
            for side, run in sides.items():
                for _ in range(options.warmup):
                    check(side, run())
            for _ in range(options.runs):
                random.shuffle(order)  # no side always runs right after another
                for side in order:
                    started = time.perf_counter()
                    result = sides[side]()
                    times[side].append(time.perf_counter() - started)
                    check(side, result)
                sink.seek(0)
                sink.truncate()
        db._engine.dispose()

    print(f"Python {sys.version.split()[0]}, {options.runs} questions per side, interleaved")
    print(f"{'side':<10}{'p50 ms':>10}{'p90 ms':>10}")
    summary = {}
    for side, values in times.items():
        summary[side] = (statistics.median(values) * 1e3, percentile(values, 0.9) * 1e3)
        print(f"{side:<10}{summary[side][0]:>10.2f}{summary[side][1]:>10.2f}")
    for baseline in ("python", "agent"):
        p50 = summary["quorlix"][0] / summary[baseline][0]
        p90 = summary["quorlix"][1] / summary[baseline][1]
        print(f"quorlix / {baseline:<8} p50 {p50:.2f}x   p90 {p90:.2f}x")
    # What the shared run adds to the graph: streaming, step descriptions, usage, recording.
    p50 = summary["run"][0] / summary["quorlix"][0]
    p90 = summary["run"][1] / summary["quorlix"][1]
    print(f"run / quorlix      p50 {p50:.2f}x   p90 {p90:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
