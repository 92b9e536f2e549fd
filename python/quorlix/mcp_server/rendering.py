"""Tool results as MCP content: the text an agent reads, the same data as structured content,
and a chart as an image."""

from __future__ import annotations

import base64
import json
from typing import Any

import mcp_types as types

# Rows shown in a tool's text; the structured content carries the same first rows.
SHOWN_ROWS = 20
_CELL_CHARS = 80


def tool_result(
    text: str, structured: dict[str, Any] | None = None, images: list[tuple[str, bytes]] = ()
) -> types.CallToolResult:
    content: list[Any] = [types.TextContent(text=text)]
    content += [
        types.ImageContent(data=base64.b64encode(data).decode("ascii"), mime_type=kind)
        for kind, data in images
    ]
    return types.CallToolResult(content=content, structured_content=structured)


def tool_error(message: str) -> types.CallToolResult:
    """A failure the calling agent can read and act on (not a protocol error)."""
    return types.CallToolResult(content=[types.TextContent(text=message)], is_error=True)


def first_rows(result: dict[str, Any] | None) -> dict[str, Any] | None:
    """Columns, the first ``SHOWN_ROWS`` rows, and whether there were more."""
    if not result:
        return None
    rows = list(result.get("rows") or [])
    return {
        "columns": list(result.get("columns") or []),
        "rows": rows[:SHOWN_ROWS],
        "truncated": bool(result.get("truncated")) or len(rows) > SHOWN_ROWS,
    }


def rows_text(shown: dict[str, Any] | None) -> str:
    """A plain table: a header line, then one line per row, cells separated by " | "."""
    if shown is None:
        return "(no rows)"
    lines = [" | ".join(shown["columns"])]
    lines += [" | ".join(_cell(cell) for cell in row) for row in shown["rows"]]
    if not shown["rows"]:
        lines.append("(no rows)")
    if shown["truncated"]:
        lines.append(f"(more rows not shown: at most {SHOWN_ROWS} are)")
    return "\n".join(lines)


def _cell(value: Any) -> str:
    text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)
    text = " ".join(text.split())
    return text if len(text) <= _CELL_CHARS else text[: _CELL_CHARS - 1] + "…"
