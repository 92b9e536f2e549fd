"""The protocol server: lists the tools, checks a call's arguments against the tool's strict
schema, runs it, and turns every failure the caller can act on into a tool error (a result
with ``isError``), never a crash of the connection."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import mcp_types as types
from loguru import logger
from mcp.server import Server
from mcp.server.context import ServerRequestContext
from pydantic import ValidationError

from quorlix import __version__
from quorlix.answering.errors import describe
from quorlix.service.service import Service

from .rendering import tool_error
from .tools import TOOLS, ToolError

INSTRUCTIONS = (
    "quorlix answers questions about one relational database. Use ask for a question in plain "
    "language; list_tables, describe_tables and run_sql to look at the database yourself."
)

# Who is asking, from the request's context: the token's user over HTTP, the local user else.
UserOf = Callable[[ServerRequestContext[Any]], str]


def build_server(service: Service, user_of: UserOf) -> Server:
    async def list_tools(ctx, params) -> types.ListToolsResult:
        return types.ListToolsResult(tools=[spec.tool() for spec in TOOLS.values()])

    async def call_tool(ctx, params: types.CallToolRequestParams) -> types.CallToolResult:
        spec = TOOLS.get(params.name)
        if spec is None:
            return tool_error(f"there is no tool {params.name!r}; the tools are {', '.join(TOOLS)}")
        try:
            arguments = spec.arguments.model_validate(params.arguments or {})
        except ValidationError as exc:
            return tool_error(f"bad arguments for {spec.name}: {explain_arguments(exc)}")

        async def progress(done: int, message: str) -> None:
            await ctx.session.report_progress(done, None, message)

        try:
            return await spec.run(service, user_of(ctx), arguments, progress)
        except ToolError as exc:
            return tool_error(str(exc))
        except Exception as exc:  # the connection outlives any one call
            logger.exception("tool {} failed", spec.name)
            return tool_error(f"{spec.name} failed: {describe(exc)}")

    return Server(
        "quorlix",
        version=__version__,
        title="quorlix",
        instructions=INSTRUCTIONS,
        on_list_tools=list_tools,
        on_call_tool=call_tool,
    )


def explain_arguments(error: ValidationError) -> str:
    """One clause per problem: where, and what is wrong there."""
    problems = []
    for item in error.errors(include_url=False):
        where = ".".join(str(part) for part in item["loc"]) or "arguments"
        problems.append(f"{where}: {item['msg']}")
    return "; ".join(problems)
