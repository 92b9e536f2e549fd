"""The ASGI application: routers, limits on request bodies, the names it answers to, security
headers, error bodies."""

from __future__ import annotations

from collections.abc import Iterable
from contextlib import asynccontextmanager
from importlib import resources

import anyio
from fastapi import FastAPI, Request
from fastapi.exception_handlers import http_exception_handler
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse
from fastapi.staticfiles import StaticFiles
from sqlalchemy.exc import SQLAlchemyError
from starlette.exceptions import HTTPException

from quorlix import __version__
from quorlix.answering.errors import describe
from quorlix.telemetry.http_spans import instrument

from .head_requests import HeadAsGet
from .headers import SecurityHeaders
from .limits import BODY_SECONDS, BodyLimit
from .origins import HostAndOrigin
from .routers import health, knowledge, page, runs, sql, threads
from .service import Service

MAX_BODY = 64 * 1024


def create_app(
    service: Service,
    body_timeout: float = BODY_SECONDS,
    allowed_hosts: Iterable[str] = (),
) -> FastAPI:
    """The app over ``service``. Without tokens it answers only to loopback names and those in
    ``allowed_hosts``; a request body must arrive within ``body_timeout`` seconds."""

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
        # Tokens are bearer tokens: the docs have no OAuth2 sign-in to come back to.
        swagger_ui_oauth2_redirect_url=None,
        # Requests are traced by OpenTelemetry's FastAPI instrumentation (``instrument``), one
        # span each; FastAPI's own would add spans per dependency and log exception messages,
        # which can quote users' data.
        telemetry={"tracing": False, "metrics": False, "logs": False, "operation_spans": False},
    )
    app.state.service = service
    routers = (runs.router, threads.router, sql.router, knowledge.router, health.router)
    for router in (*routers, page.router):
        app.include_router(router)
    static = resources.files("quorlix.service") / "static"
    app.mount("/static", StaticFiles(directory=str(static)), name="static")

    @app.exception_handler(RequestValidationError)
    async def _invalid(request: Request, exc: RequestValidationError) -> JSONResponse:
        return JSONResponse(
            status_code=422,
            content={"detail": _sentence(exc.errors()), "errors": _plain_errors(exc.errors())},
        )

    @app.exception_handler(HTTPException)
    async def _http_error(request: Request, exc: HTTPException):
        # The framework answers 400 for a body it could not decode as JSON at all (not UTF-8,
        # a number beyond Python's digit limit); malformed JSON is a 422 everywhere else.
        if exc.status_code == 400 and isinstance(exc.__cause__, ValueError):
            return JSONResponse(
                status_code=422, content={"detail": _undecodable(exc.__cause__), "errors": []}
            )
        return await http_exception_handler(request, exc)

    @app.exception_handler(SQLAlchemyError)
    async def _store_down(request: Request, exc: SQLAlchemyError) -> JSONResponse:
        return JSONResponse(
            status_code=503,
            content={
                "detail": "the server cannot reach its run store or database now; try again "
                "shortly (" + describe(exc) + ")"
            },
            headers={"Retry-After": "5"},
        )

    # The last added runs first: every answer, refusals included, gets the security headers.
    app.add_middleware(BodyLimit, limit=MAX_BODY, timeout=body_timeout)
    app.add_middleware(HeadAsGet)
    app.add_middleware(
        HostAndOrigin, loopback_only=not service.auth.required, allowed_hosts=allowed_hosts
    )
    app.add_middleware(SecurityHeaders)
    instrument(app)
    return app


def _undecodable(cause: ValueError) -> str:
    if isinstance(cause, UnicodeDecodeError):
        return "the request body is not valid JSON: it is not UTF-8 text"
    return f"the request body is not valid JSON: {cause}"


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
