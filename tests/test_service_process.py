"""``quorlix serve`` as a real process, killed mid-run and restarted, and stopped with SIGTERM;
and a server flooded with more questions than it takes."""

from __future__ import annotations

import asyncio
import signal
import time

import httpx
import pytest
from quorlix.service import Limits, RunStore
from service_support import (
    Answers,
    build_service,
    feed,
    serve_in_thread,
    sse_events,
    start_server_process,
    wait_for_status,
)

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")


def store_url(tmp_path) -> str:
    return f"sqlite:///{tmp_path / 'runs.db'}"


def test_a_killed_server_leaves_its_run_interrupted_and_the_rest_intact(
    stub_azure_env, sqlite_sample_db, tmp_path
):
    answers = Answers()
    feed(stub_azure_env, answers)
    args = ("--db", sqlite_sample_db.url, "--store", store_url(tmp_path))
    server = start_server_process(stub_azure_env, tmp_path, *args)
    try:
        with server.client() as client:
            done = client.post("/v1/runs?wait=true", json={"question": "[[before]]"}).json()
            assert done["status"] == "succeeded"
            # The server's quietened standard output does not swallow what analysis printed.
            assert done["analysis_output"].strip() == "Analysed: before"
            answers.pause = 1.0
            cut = client.post("/v1/runs", json={"question": "[[cut]]"}).json()["id"]
            ends = time.monotonic() + 30
            while not client.get(f"/v1/runs/{cut}").json()["steps"]:
                assert time.monotonic() < ends
                time.sleep(0.05)
    finally:
        assert server.stop(signal.SIGKILL) == -signal.SIGKILL

    answers.pause = 0.0
    server = start_server_process(stub_azure_env, tmp_path, *args)
    try:
        with server.client() as client:
            record = client.get(f"/v1/runs/{cut}").json()
            assert record["status"] == "interrupted"
            assert "the server stopped before the run finished" in record["error"]
            assert record["steps"], "the steps recorded before the crash are kept"
            events = sse_events(client.get(f"/v1/runs/{cut}/events").text)
            assert events[-1]["data"]["status"] == "interrupted"
            assert client.get(f"/v1/runs/{done['id']}").json() == done
            assert client.get(done["chart_url"]).content.startswith(b"\x89PNG")
            # SIGTERM with a run going: the run may finish within the grace period.
            answers.pause = 0.1
            last = client.post("/v1/runs", json={"question": "[[last]]"}).json()["id"]
            wait_for_status(client, last, ("running",))
    finally:
        assert server.stop() == 0
    assert stored_status(tmp_path, last) == "succeeded"


def stored_status(tmp_path, run_id: str) -> str:
    store = RunStore(store_url(tmp_path))
    try:
        return store.get_run(run_id)["status"]
    finally:
        store.close()


def test_sigterm_interrupts_runs_that_outlast_the_grace_period(
    stub_azure_env, sqlite_sample_db, tmp_path
):
    feed(stub_azure_env, Answers(pause=2.0))
    server = start_server_process(
        stub_azure_env,
        tmp_path,
        "--db",
        sqlite_sample_db.url,
        "--store",
        store_url(tmp_path),
        "--grace",
        "0.5",
    )
    with server.client() as client:
        run_id = client.post("/v1/runs", json={"question": "[[term]]"}).json()["id"]
        wait_for_status(client, run_id, ("running",))
    assert server.stop(signal.SIGTERM, timeout=60) == 0
    assert stored_status(tmp_path, run_id) == "interrupted"


def test_a_flood_gets_only_accepted_or_refused_answers(stub_azure_env, sqlite_sample_db, tmp_path):
    feed(stub_azure_env, Answers(pause=0.01), replies=4000)
    service = build_service(sqlite_sample_db.url, store_url(tmp_path), Limits(max_runs=2, queue=3))
    server = serve_in_thread(service)
    try:
        statuses, accepted = asyncio.run(flood(server.url, requests=200, clients=50))
        assert set(statuses) <= {200, 202, 429}, statuses
        assert len(statuses) == 200 and 429 in statuses and accepted
        with server.client() as client:
            for run_id in accepted:
                assert wait_for_status(client, run_id, ("succeeded",), timeout=90)
        stored = {row["id"] for row in service.store.list_runs("local", 1000)}
        assert stored == set(accepted)
    finally:
        server.stop()
        service.store.close()


async def flood(url: str, requests: int, clients: int) -> tuple[list[int], list[str]]:
    statuses: list[int] = []
    accepted: list[str] = []
    numbers = iter(range(requests))
    limits = httpx.Limits(max_connections=clients)

    async with httpx.AsyncClient(base_url=url, timeout=120, limits=limits) as client:

        async def one_client() -> None:
            for number in numbers:
                wait = "true" if number % 4 == 0 else "false"
                response = await client.post(
                    f"/v1/runs?wait={wait}", json={"question": f"[[flood-{number}]]"}
                )
                statuses.append(response.status_code)
                if response.status_code in (200, 202):
                    accepted.append(response.json()["id"])

        await asyncio.wait_for(asyncio.gather(*(one_client() for _ in range(clients))), timeout=120)
    return statuses, accepted
