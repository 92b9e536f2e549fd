"""The service on a Ray cluster: two replicas sharing a PostgreSQL store, answering with the stub
model. One Ray instance serves every test here (starting one costs seconds); it has a second,
CPU-less node, so that a file store is refused as it would be on a real multi-machine cluster."""

from __future__ import annotations

import os
import signal
import socket
import sys
import time
import warnings

import httpx
import pytest
from quorlix import cli
from quorlix.service import Limits
from quorlix.service.ray_serve import APP_NAME, ReplicaSpec, application
from service_support import Answers, feed, newest_answer_only, sse_events
from support.databases import build_sample_sqlite
from support.traces import exported_spans, running_receiver

ray = pytest.importorskip("ray")
serve = pytest.importorskip("ray.serve")

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

LEASE = 2.0
HEADER = "X-Quorlix-Replica"


def _free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.fixture(scope="module")
def answers():
    return Answers()


@pytest.fixture(scope="module")
def cluster():
    from ray.cluster_utils import Cluster

    cluster = Cluster(
        initialize_head=True, head_node_args={"num_cpus": 2, "include_dashboard": False}
    )
    cluster.add_node(num_cpus=0)
    ray.init(address=cluster.address, log_to_driver=False)
    yield cluster
    ray.shutdown()
    cluster.shutdown()


@pytest.fixture(scope="module")
def trace_receiver():
    with running_receiver() as receiver:
        yield receiver


@pytest.fixture(scope="module")
def deployed(
    cluster, stub_openai_server, pg_database_module, answers, trace_receiver, tmp_path_factory
):
    sample = build_sample_sqlite(tmp_path_factory.mktemp("db") / "sample.db")
    feed(stub_openai_server, answers, replies=5000)
    port = _free_port()
    serve.start(proxy_location="HeadOnly", http_options={"host": "127.0.0.1", "port": port})
    env = {
        **stub_openai_server.environment(),
        "PYTHONPATH": os.pathsep.join(os.path.abspath(p) for p in sys.path if p),
        # Every replica traces to the test's receiver, sending each span soon after it ends.
        "OTEL_EXPORTER_OTLP_ENDPOINT": trace_receiver[0],
        "OTEL_BSP_SCHEDULE_DELAY": "100",
    }
    spec = ReplicaSpec(sample.url, pg_database_module.url, Limits(), lease_seconds=LEASE)
    serve.run(application(spec, replicas=2, env=env), name=APP_NAME, route_prefix="/")
    yield f"http://127.0.0.1:{port}"
    serve.shutdown()


def submit(client: httpx.Client, tag: str) -> str:
    response = client.post("/v1/runs", json={"question": f"[[{tag}]]"})
    assert response.status_code == 202, response.text
    return response.json()["id"]


def wait_end(client: httpx.Client, run_id: str, timeout: float = 60) -> dict:
    ends = time.monotonic() + timeout
    while True:
        record = client.get(f"/v1/runs/{run_id}").json()
        if record["status"] not in ("queued", "running"):
            return record
        assert time.monotonic() < ends, f"run {run_id} still {record['status']}"
        time.sleep(0.1)


def replica(record: dict) -> str:
    return f"{record['replica']['host']} {record['replica']['pid']}"


def test_runs_spread_over_both_replicas_and_stream_through_the_other(deployed, answers):
    with httpx.Client(base_url=deployed, timeout=60) as client:
        ids = [submit(client, f"spread-{n}") for n in range(10)]
        records = [wait_end(client, run_id) for run_id in ids]
        assert {record["status"] for record in records} == {"succeeded"}
        assert len({record["replica"]["pid"] for record in records}) == 2

        answers.pause = 0.3
        try:
            run_id = submit(client, "followed")
            owner = replica(wait_running(client, run_id))
            for _ in range(40):  # the proxy picks the replica: ask until the other one answers
                with client.stream("GET", f"/v1/runs/{run_id}/events") as response:
                    if response.headers[HEADER] != owner:
                        live = sse_events(response.read().decode())
                        break
            else:
                pytest.fail("no event stream was served by the other replica")
        finally:
            answers.pause = 0.0
        assert live[-1]["event"] == "end" and live[-1]["data"]["status"] == "succeeded"
        record = client.get(f"/v1/runs/{run_id}").json()
        assert len([event for event in live if event["event"] == "step"]) == len(record["steps"])
        for _ in range(40):
            response = client.get(f"/v1/runs/{run_id}/events", headers={"Last-Event-ID": "3"})
            if response.headers[HEADER] != owner:
                assert sse_events(response.text) == newest_answer_only(live)[3:]
                break
        else:
            pytest.fail("no resumed stream was served by the other replica")


def wait_running(client: httpx.Client, run_id: str, timeout: float = 30) -> dict:
    ends = time.monotonic() + timeout
    while True:
        record = client.get(f"/v1/runs/{run_id}").json()
        if record["status"] == "running" and record["steps"]:
            return record
        assert time.monotonic() < ends, f"run {run_id} is {record['status']}"
        time.sleep(0.05)


def test_a_run_answered_by_a_replica_joins_the_callers_trace(deployed, trace_receiver):
    caller_trace, caller_span = "0af7651916cd43dd8448eb211c80319c", "b7ad6b7169203331"
    with httpx.Client(base_url=deployed, timeout=60) as client:
        response = client.post(
            "/v1/runs",
            json={"question": "[[traced]]"},
            headers={"traceparent": f"00-{caller_trace}-{caller_span}-01"},
        )
        assert response.status_code == 202, response.text
        assert wait_end(client, response.json()["id"])["status"] == "succeeded"
    ends = time.monotonic() + 30
    while True:
        exported = exported_spans(trace_receiver[1])
        spans = [span for span in exported if span.trace_id.hex() == caller_trace]
        names = {span.name for span in spans}
        if "quorlix.run" in names and "final_response_generation_node" in names:
            break
        assert time.monotonic() < ends, f"spans of the caller's trace: {sorted(names)}"
        time.sleep(0.2)
    by_id = {span.span_id: span for span in spans}
    (request,) = [span for span in spans if span.parent_span_id.hex() == caller_span]
    (run,) = [span for span in spans if span.name == "quorlix.run"]
    assert by_id[run.parent_span_id] is request
    nodes = [span for span in spans if span.name.endswith("_node")]
    assert nodes and all(by_id[span.parent_span_id] is run for span in nodes)


def test_a_killed_replica_leaves_its_run_interrupted_and_is_replaced(deployed, answers):
    with httpx.Client(base_url=deployed, timeout=60) as client:
        before = [wait_end(client, submit(client, f"before-{n}")) for n in range(4)]
        answers.pause = 1.0
        try:
            cut = submit(client, "cut")
            victim = wait_running(client, cut)["replica"]
            os.kill(victim["pid"], signal.SIGKILL)
            events = sse_events(client.get(f"/v1/runs/{cut}/events").text)
        finally:
            answers.pause = 0.0
        assert events[-1]["event"] == "end"
        assert events[-1]["data"]["status"] == "interrupted"
        record = client.get(f"/v1/runs/{cut}").json()
        assert record["status"] == "interrupted" and record["steps"]
        assert "did not renew its lease" in record["error"]
        # The client may ask again; the replica that takes it is alive, and soon a new one joins.
        seen: set[int] = set()
        ends = time.monotonic() + 90
        while not seen - {victim["pid"], *(r["replica"]["pid"] for r in before)}:
            assert time.monotonic() < ends, f"no new replica took a run; saw {seen}"
            again = wait_end(client, submit(client, "again"))
            assert again["status"] == "succeeded"
            seen.add(again["replica"]["pid"])
        for record in before:
            assert client.get(f"/v1/runs/{record['id']}").json() == record


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (
            ["--ray", "--store", "sqlite:///{tmp}/runs.db"],
            "replicas on other machines cannot share the SQLite run store",
        ),
        (["--replicas", "2"], "--replicas only apply with --ray"),
        (["--ray", "--autoscale", "3,1"], "--autoscale needs 1 <= MIN <= MAX"),
    ],
)
def test_serve_refuses_what_cannot_work(
    request, stub_openai_server, monkeypatch, tmp_path, capsys, args, message
):
    for name, value in stub_openai_server.environment().items():
        monkeypatch.setenv(name, value)
    if "--store" in args:  # only the store's check asks the cluster (for its nodes)
        monkeypatch.setenv("RAY_ADDRESS", request.getfixturevalue("cluster").address)
    # This process is connected to the cluster already: the command uses that connection.
    monkeypatch.setattr(ray, "init", lambda **kwargs: None)
    monkeypatch.setattr(ray, "shutdown", lambda: None)
    monkeypatch.setenv("QUORLIX_HOME", str(tmp_path))
    shown = [arg.format(tmp=tmp_path) for arg in args]
    with warnings.catch_warnings():  # the command silences library warnings process-wide
        code = cli.main(["serve", "--port", "0", *shown])
    assert code == 2
    assert message in capsys.readouterr().err
