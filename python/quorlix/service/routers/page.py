"""The web page: one document; its script and styles are static files of the package."""

from __future__ import annotations

from importlib import resources

from fastapi import APIRouter
from fastapi.responses import HTMLResponse

router = APIRouter(include_in_schema=False)


@router.get("/")
def index():
    page = (resources.files("quorlix.service") / "static" / "index.html").read_text("utf-8")
    return HTMLResponse(page, headers={"Cache-Control": "no-cache"})
