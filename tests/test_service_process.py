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
    ServerProcess,
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


LEASE = "1"


def test_two_servers_on_one_store_end_only_the_runs_of_one_that_died(
    stub_azure_env, sqlite_sample_db, tmp_path
):
    answers = Answers()
    feed(stub_azure_env, answers)
    # Both on the default store in QUORLIX_HOME, as two servers started by hand would be; a
    # held reply must not time out while the second server starts.
    args = ("--db", sqlite_sample_db.url, "--lease", LEASE)
    slow_model = {"QUORLIX_REQUEST_TIMEOUT": "90"}
    first = start_server_process(stub_azure_env, tmp_path, *args, env_changes=slow_model)
    second = None
    try:
        with first.client() as a:
            done = a.post("/v1/runs?wait=true", json={"question": "[[before]]"}).json()
            assert done["status"] == "succeeded"
            # The server's quietened standard output does not swallow what analysis printed.
            assert done["analysis_output"].strip() == "Analysed: before"
            answers.gate.clear()
            going = a.post("/v1/runs", json={"question": "[[going]]"}).json()["id"]
            wait_for_status(a, going, ("running",))
            second = start_server_process(stub_azure_env, tmp_path, *args, env_changes=slow_model)
            _wait_for_sweeps(tmp_path, second)
            assert a.get(f"/v1/runs/{going}").json()["status"] == "running"
            answers.gate.set()
            assert wait_for_status(a, going, END)["status"] == "succeeded"

            answers.gate.clear()
            cut = a.post("/v1/runs", json={"question": "[[cut]]"}).json()["id"]
            ends = time.monotonic() + 30
            while not a.get(f"/v1/runs/{cut}").json()["steps"]:
                assert time.monotonic() < ends
                time.sleep(0.05)
        assert first.stop(signal.SIGKILL) == -signal.SIGKILL
        answers.gate.set()

        with second.client() as b:
            # The live server ends the dead one's run once its lease has run out.
            record = wait_for_status(b, cut, END)
            assert record["status"] == "interrupted"
            assert "did not renew its lease" in record["error"]
            assert record["steps"], "the steps recorded before the crash are kept"
            events = sse_events(b.get(f"/v1/runs/{cut}/events").text)
            assert events[-1]["data"]["status"] == "interrupted"
            assert b.get(f"/v1/runs/{done['id']}").json() == done
            assert b.get(done["chart_url"]).content.startswith(b"\x89PNG")
            # SIGTERM with a run going: the run may finish within the grace period.
            answers.pause = 0.1
            last = b.post("/v1/runs", json={"question": "[[last]]"}).json()["id"]
            wait_for_status(b, last, ("running",))
    finally:
        answers.gate.set()
        first.stop(signal.SIGKILL)
        if second is not None:
            assert second.stop() == 0
    assert stored_status(tmp_path, last) == "succeeded"


END = ("succeeded", "failed", "interrupted")


def _wait_for_sweeps(tmp_path, server: ServerProcess) -> None:
    """Until ``server`` has renewed its lease (and so swept the store) for more than a lease."""
    store = RunStore(store_url(tmp_path))
    pid = server.process.pid
    try:
        ends = time.monotonic() + 30
        while True:
            mine = [row for row in store.servers() if row["pid"] == pid]
            if mine and mine[0]["renewed_at"] - mine[0]["started_at"] > 2 * float(LEASE):
                return
            assert time.monotonic() < ends, "the second server did not renew its lease"
            time.sleep(0.05)
    finally:
        store.close()


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
