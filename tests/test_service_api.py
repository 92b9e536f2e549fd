"""The HTTP API of ``quorlix serve`` against a real server on 127.0.0.1 and the stub model."""

from __future__ import annotations

import csv
import io

import pytest
from graph_scripts import CITY_ORDERS_SQL
from quorlix.service import Limits
from service_support import Answers, build_service, feed, serve_in_thread

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

ALICE, BOB = "alice-token-0123456789", "bob-token-0123456789ab"
TOKENS = {ALICE: "alice", BOB: "bob"}


@pytest.fixture
def server(stub_azure_env, sqlite_sample_db, tmp_path):
    feed(stub_azure_env, Answers())
    service = build_service(
        sqlite_sample_db.url, f"sqlite:///{tmp_path / 'runs.db'}", Limits(), tokens=TOKENS
    )
    running = serve_in_thread(service)
    yield running
    running.stop()
    service.store.close()


def ask(client, question: str, **options) -> dict:
    response = client.post("/v1/runs?wait=true", json={"question": question, **options})
    assert response.status_code == 200, response.text
    return response.json()


def test_a_run_end_to_end(server):
    with server.client(ALICE) as client:
        record = ask(client, "How many orders per city? [[cities]]")
        assert record["status"] == "succeeded", record["error"]
        assert record["answer"] == "Answer: Analysed: cities"
        assert record["final_sql"] == CITY_ORDERS_SQL
        assert record["result"]["columns"] == ["city", "order_count"]
        assert record["result"]["rows"] == [
            ["Berlin", 1],
            ["Dublin", 2],
            ["Milan", 1],
            ["Prague", 1],
        ]
        assert [a["outcome"] for a in record["sql_attempts"]] == ["succeeded"]
        assert record["analysis_output"].strip() == "Analysed: cities"
        nodes = [step["node"] for step in record["steps"]]
        assert nodes[0] == "init_node" and nodes[-1] == "final_response_generation_node"
        assert record["steps"][-1]["summary"] == "wrote the answer"
        chart = client.get(record["chart_url"])
        assert chart.headers["content-type"] == "image/png"
        assert chart.content.startswith(b"\x89PNG")
        rows = list(csv.reader(io.StringIO(client.get(f"/v1/runs/{record['id']}/result.csv").text)))
        assert rows[0] == ["city", "order_count"] and rows[2] == ["Dublin", "2"]
