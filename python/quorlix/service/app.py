"""The ASGI application: routers, limits on request bodies, security headers, error bodies."""

from __future__ import annotations

from contextlib import asynccontextmanager
from importlib import resources

import anyio
from fastapi import FastAPI, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse
from fastapi.staticfiles import StaticFiles

from quorlix import __version__

from .headers import SecurityHeaders
from .limits import BodyLimit
from .routers import health, page, runs, sql
from .service import Service

MAX_BODY = 64 * 1024


def create_app(service: Service) -> FastAPI:
    @asynccontextmanager
    async def lifespan(app: FastAPI):
        await anyio.to_thread.run_sync(service.manager.start)
        yield
        await anyio.to_thread.run_sync(service.manager.shutdown)

    app = FastAPI(
        title="quorlix",
        version=__version__,
        description="Answers natural-language questions about one relational database.",
        lifespan=lifespan,
    )
    app.state.service = service
    for router in (runs.router, sql.router, health.router, page.router):
        app.include_router(router)
    static = resources.files("quorlix.service") / "static"
    app.mount("/static", StaticFiles(directory=str(static)), name="static")

    @app.exception_handler(RequestValidationError)
    async def _invalid(request: Request, exc: RequestValidationError) -> JSONResponse:
        return JSONResponse(
            status_code=422,
            content={"detail": _sentence(exc.errors()), "errors": _plain_errors(exc.errors())},
        )

    app.add_middleware(SecurityHeaders)
    app.add_middleware(BodyLimit, limit=MAX_BODY)
    return app


def _sentence(errors: list) -> str:
    parts = []
    for error in errors[:3]:
        where = ".".join(str(item) for item in error.get("loc", ()) if item != "body")
        message = str(error.get("msg", "invalid")).removeprefix("Value error, ")
        if error.get("type") == "json_invalid":
            parts.append("the request body is not valid JSON")
        elif error.get("type") == "extra_forbidden":
            parts.append(f"unknown field {where!r}")
        else:
            parts.append(f"{where}: {message}" if where else message)
    return "; ".join(parts) or "the request is not valid"


def _plain_errors(errors: list) -> list[dict]:
    return [
        {"loc": list(error.get("loc", ())), "msg": str(error.get("msg")), "type": error.get("type")}
        for error in errors
    ]
