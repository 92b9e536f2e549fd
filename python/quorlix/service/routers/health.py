"""Probes and metrics for whoever runs the server."""

from __future__ import annotations

import anyio
from fastapi import APIRouter, Response
from fastapi.responses import JSONResponse
from prometheus_client import CONTENT_TYPE_LATEST, generate_latest

from .runs import ServiceDep

router = APIRouter(tags=["operations"])


@router.get("/healthz", summary="The process is up")
def healthz():
    return {"status": "ok"}


@router.get("/readyz", summary="The database, the store and the model service are reachable")
async def readyz(service: ServiceDep):
    report = await anyio.to_thread.run_sync(service.readiness)
    ready = all(value == "ok" for value in report.values()) and not service.manager.closing
    return JSONResponse(
        status_code=200 if ready else 503,
        content={"ready": ready, "stopping": service.manager.closing, **report},
    )


@router.get("/metrics", summary="Prometheus metrics")
def metrics(service: ServiceDep):
    return Response(generate_latest(service.metrics.registry), media_type=CONTENT_TYPE_LATEST)
