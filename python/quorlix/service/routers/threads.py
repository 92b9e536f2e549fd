"""Threads: a person's sequence of runs, each follow-up answered in the light of the earlier
ones. A run of a thread is a run like any other (events, chart, CSV and feedback live under
/v1/runs); the thread only orders them."""

from __future__ import annotations

import json
import secrets
from typing import Annotated

import anyio
from fastapi import APIRouter, HTTPException, Query, Request
from fastapi.responses import JSONResponse

from ..runner import iso
from ..schemas import RunRequest, ThreadRequest
from .paging import newest_first
from .runs import ServiceDep, User, accept_run, view

router = APIRouter(prefix="/v1/threads", tags=["threads"])


def thread_summary(row: dict) -> dict:
    return {
        "id": row["id"],
        "title": row["title"],
        "run_count": row.get("runs"),
        "first_run_id": row.get("first_run_id"),
        "last_run_id": row.get("last_run_id"),
        "created_at": iso(row["created_at"]),
        "updated_at": iso(row["updated_at"]),
        "url": f"/v1/threads/{row['id']}",
    }


async def own_thread(service, thread_id: str, user: str) -> dict:
    row = await anyio.to_thread.run_sync(service.store.get_thread, thread_id, user)
    if row is None:
        raise HTTPException(404, detail=f"there is no thread {thread_id!r}")
    return row


@router.post("", status_code=201, summary="Start a thread, optionally with its first question")
async def create_thread(
    body: ThreadRequest,
    request: Request,
    service: ServiceDep,
    user: User,
    wait: Annotated[bool, Query(description="answer when the first run has ended")] = False,
):
    thread_id = secrets.token_hex(16)
    row = await anyio.to_thread.run_sync(service.store.create_thread, thread_id, user)
    content = {**thread_summary({**row, "runs": 0}), "run": None}
    first = body.first_run()
    if first is not None:
        answered = await accept_run(first, request, service, user, wait, thread_id=thread_id)
        if answered.status_code not in (200, 202):
            # The thread stays, empty: the question can be asked in it again.
            return answered
        content["run"] = json.loads(bytes(answered.body))
        content["run_count"] = 1
    return JSONResponse(
        status_code=201, content=content, headers={"Location": f"/v1/threads/{thread_id}"}
    )


@router.post("/{thread_id}/runs", status_code=202, summary="Ask a follow-up in a thread")
async def create_thread_run(
    thread_id: str,
    body: RunRequest,
    request: Request,
    service: ServiceDep,
    user: User,
    wait: Annotated[bool, Query(description="answer when the run has ended")] = False,
):
    await own_thread(service, thread_id, user)
    return await accept_run(body, request, service, user, wait, thread_id=thread_id)


@router.get("", summary="Your threads, newest first")
def list_threads(
    service: ServiceDep,
    user: User,
    limit: Annotated[int, Query(ge=1, le=100)] = 20,
    cursor: Annotated[str | None, Query(description="next_cursor of the previous page")] = None,
):
    page, next_cursor = newest_first(
        lambda count, before: service.store.list_threads(user, count, before), limit, cursor
    )
    return {"threads": [thread_summary(row) for row in page], "next_cursor": next_cursor}


@router.get("/{thread_id}", summary="A thread and its runs, in the order they were asked")
async def get_thread(thread_id: str, service: ServiceDep, user: User):
    row = await own_thread(service, thread_id, user)
    runs = await anyio.to_thread.run_sync(service.store.thread_runs, thread_id)
    return JSONResponse(
        {**thread_summary({**row, "runs": len(runs)}), "runs": [view(run) for run in runs]}
    )
