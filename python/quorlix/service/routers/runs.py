"""Runs: ask, follow, look back, rate."""

from __future__ import annotations

import json
from typing import Annotated

import anyio
from fastapi import APIRouter, Depends, Header, HTTPException, Query, Request, Response
from fastapi.responses import JSONResponse, StreamingResponse
from sqlalchemy.exc import SQLAlchemyError

from quorlix.answering.errors import describe

from ..auth import current_user
from ..changes import wait_for
from ..csv_export import csv_text
from ..learning import learn_from_feedback
from ..lease import replica_of
from ..manager import Busy, Closing
from ..runner import iso
from ..schemas import FeedbackRequest, RunRequest
from ..service import Service
from ..store import END_STATUSES
from .paging import STORE_NUMBER, newest_first

router = APIRouter(prefix="/v1/runs", tags=["runs"])

User = Annotated[str, Depends(current_user)]
KEEPALIVE_SECONDS = 15.0
# Streams re-read the store at least this often, so changes from other processes arrive too.
POLL_SECONDS = 1.0


async def service_of(request: Request) -> Service:
    return request.app.state.service


ServiceDep = Annotated[Service, Depends(service_of)]


def view(row: dict) -> dict:
    record = row["record"] or {}
    return {
        "id": row["id"],
        "question": row["question"],
        "thread_id": row.get("thread_id"),
        "standalone_question": row.get("standalone_question"),
        "status": row["status"],
        "created_at": iso(row["created_at"]),
        "started_at": iso(row["started_at"]),
        "finished_at": iso(row["finished_at"]),
        "options": row["options"],
        "steps": record.get("steps", []),
        "sql_attempts": [
            {key: value for key, value in attempt.items() if key != "result"}
            for attempt in record.get("sql_attempts", [])
        ],
        "final_sql": record.get("final_sql"),
        "rewritten_question": record.get("rewritten_question"),
        "result": record.get("result"),
        "analysis_output": record.get("analysis_output"),
        "analysis_error": record.get("analysis_error"),
        "answer": record.get("answer"),
        "chart_url": f"/v1/runs/{row['id']}/chart" if record.get("chart") else None,
        "error": record.get("error"),
        "usage": record.get("usage"),
        "knowledge": record.get("knowledge"),
        "feedback": row["feedback"],
        "replica": replica_of(row.get("server_id")),
        **({"extras": row["extras"]} if row.get("extras") else {}),
    }


def summary(row: dict) -> dict:
    return {
        "id": row["id"],
        "question": row["question"],
        "thread_id": row.get("thread_id"),
        "status": row["status"],
        "created_at": iso(row["created_at"]),
        "finished_at": iso(row["finished_at"]),
    }


async def own_run(service: Service, run_id: str, user: str) -> dict:
    row = await anyio.to_thread.run_sync(service.store.get_run, run_id, user)
    if row is None:
        raise HTTPException(404, detail=f"there is no run {run_id!r}")
    return row


@router.post("", status_code=202, summary="Ask a question")
async def create_run(
    body: RunRequest,
    request: Request,
    service: ServiceDep,
    user: User,
    wait: Annotated[bool, Query(description="answer when the run has ended")] = False,
):
    return await accept_run(body, request, service, user, wait)


async def accept_run(
    body: RunRequest,
    request: Request,
    service: Service,
    user: str,
    wait: bool,
    thread_id: str | None = None,
) -> Response:
    """Queues the question (in ``thread_id``, when given) and answers 202 with its address,
    or, with ``wait``, 200 with the ended run."""
    options = {"analysis_tries": body.analysis_tries, "chart": body.chart}
    try:
        row = await anyio.to_thread.run_sync(
            service.manager.submit, user, body.question, options, thread_id
        )
    except Busy as busy:
        return JSONResponse(
            status_code=429,
            content={"detail": "too many questions are being answered; try again shortly"},
            headers={"Retry-After": str(busy.retry_after)},
        )
    except SQLAlchemyError as exc:
        return JSONResponse(
            status_code=503,
            content={
                "detail": "the run store cannot be written, so the question was not taken: "
                + describe(exc)
            },
        )
    except Closing:
        return JSONResponse(
            status_code=503,
            content={"detail": "the server is shutting down and takes no new questions"},
            headers={"Retry-After": "30"},
        )
    run_id = row["id"]
    if not wait:
        return JSONResponse(
            status_code=202,
            content={"id": run_id, "status": "queued", "url": f"/v1/runs/{run_id}"},
            headers={"Location": f"/v1/runs/{run_id}"},
        )
    with service.changes.subscribe(run_id) as follower:
        while True:
            # Steps wake this loop too, but the store is read only when this process ended the
            # run or the timer ran out (another process sharing the store may have ended it).
            # The flag is cleared before the read: an end published later is never missed.
            follower.ended = False
            row = follower.row
            if row is None or row["owner"] != user:
                row = await own_run(service, run_id, user)
            if row["status"] in END_STATUSES:
                return JSONResponse(status_code=200, content=view(row))
            while not follower.ended:
                if not await wait_for(follower.wake, POLL_SECONDS):
                    if await request.is_disconnected():
                        return Response(status_code=202)  # nobody is listening; the run goes on
                    break


@router.get("", summary="Earlier runs, newest first")
def list_runs(
    service: ServiceDep,
    user: User,
    limit: Annotated[int, Query(ge=1, le=100)] = 20,
    cursor: Annotated[str | None, Query(description="next_cursor of the previous page")] = None,
):
    page, next_cursor = newest_first(
        lambda count, before: service.store.list_runs(user, count, before), limit, cursor
    )
    return {"runs": [summary(row) for row in page], "next_cursor": next_cursor}


@router.get("/{run_id}", summary="One run's record")
async def get_run(run_id: str, service: ServiceDep, user: User):
    # Already plain JSON data: FastAPI's generic encoder would only walk it again.
    return JSONResponse(view(await own_run(service, run_id, user)))


@router.get("/{run_id}/events", summary="The run's progress as Server-Sent Events")
async def run_events(
    run_id: str,
    service: ServiceDep,
    user: User,
    last_event_id: Annotated[str | None, Header()] = None,
):
    await own_run(service, run_id, user)
    after = _event_id(last_event_id)
    store = service.store

    async def stream():
        seq = after
        quiet = 0.0
        with service.changes.subscribe(run_id) as follower:
            events = None
            while True:
                if events is None:
                    events = await anyio.to_thread.run_sync(store.events_after, run_id, seq)
                for item in events:
                    seq = item["seq"]
                    data = json.dumps(item["data"], ensure_ascii=False)
                    yield f"id: {seq}\nevent: {item['kind']}\ndata: {data}\n\n"
                    if item["kind"] == "end":
                        return
                if events:
                    quiet = 0.0
                elif quiet >= KEEPALIVE_SECONDS:
                    quiet = 0.0
                    yield ": still running\n\n"
                # A client that leaves is noticed by the response itself (it listens for the
                # disconnect, and a keep-alive write fails): polling for it here as well raced
                # granian's receive, which then reported a live client as gone.
                woken = await wait_for(follower.wake, POLL_SECONDS)
                # Events this process wrote come with the wake-up; the store is read only when
                # one may be missing (or none came).
                events = (follower.take_events(seq) or None) if woken else None
                quiet += POLL_SECONDS

    return StreamingResponse(
        stream(),
        media_type="text/event-stream",
        headers={"Cache-Control": "no-cache", "X-Accel-Buffering": "no"},
    )


def _event_id(header: str | None) -> int:
    """Where a resumed stream starts: after the event the client names. An id that cannot be
    one of ours (not a number, or beyond what the store holds) is taken as none: the client
    gets the whole stream, end included, rather than an error or a stream that never ends."""
    given = (header or "").strip()
    return int(given) if STORE_NUMBER.fullmatch(given) else 0


@router.get("/{run_id}/chart", summary="The chart the analysis drew")
async def run_chart(run_id: str, service: ServiceDep, user: User):
    await own_run(service, run_id, user)
    chart = await anyio.to_thread.run_sync(service.store.chart, run_id)
    if chart is None:
        raise HTTPException(404, detail="this run drew no chart")
    content_type, data = chart
    return Response(
        data,
        media_type=content_type,
        headers={"Content-Disposition": f'inline; filename="quorlix-{run_id}.png"'},
    )


@router.get("/{run_id}/result.csv", summary="The rows the answer was built on, as CSV")
async def run_csv(run_id: str, service: ServiceDep, user: User):
    row = await own_run(service, run_id, user)
    result = (row["record"] or {}).get("result")
    if not result:
        raise HTTPException(404, detail="this run has no result rows")
    return csv_response(result, f"quorlix-{run_id}.csv")


def csv_response(result: dict, filename: str) -> Response:
    """Result rows (columns, rows) as a CSV download."""
    return Response(
        csv_text(result["columns"], result["rows"]),
        media_type="text/csv; charset=utf-8",
        headers={"Content-Disposition": f'attachment; filename="{filename}"'},
    )


@router.post("/{run_id}/feedback", summary="Rate a run, optionally with corrected SQL")
async def run_feedback(run_id: str, body: FeedbackRequest, service: ServiceDep, user: User):
    feedback = body.model_dump(exclude_none=True)
    saved = await anyio.to_thread.run_sync(service.store.set_feedback, run_id, user, feedback)
    if not saved:
        raise HTTPException(404, detail=f"there is no run {run_id!r}")
    row = await own_run(service, run_id, user)
    # The rating is kept whatever happens to the example it offers.
    learnt = await anyio.to_thread.run_sync(learn_from_feedback, service, row, feedback)
    return {"id": run_id, "feedback": feedback, **({"candidate": learnt} if learnt else {})}
