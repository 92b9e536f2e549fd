"""How many questions `quorlix serve` answers per second, next to `quorlix ask` processes.

A stub chat-completions server on 127.0.0.1 answers every model request after a fixed pause
(200 ms by default), so the figures show what the service does around the model: many runs at
once on one process, versus one `quorlix ask` process per question, one after another (the
baseline, measured in the same run). For 1, 8 and 32 concurrent clients it reports questions per
second, the ratio to one client and to the baseline, p50/p95 time per run as a client sees it,
and the time the server adds to a run beyond the graph's own (client time minus the run's
recorded start-to-end time).

Run from the repository root (the stub server comes from tests/support):

    PYTHONPATH=python python benchmarks/bench_service.py [--quick] [--pause 0.2]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from datetime import datetime
from pathlib import Path

import httpx
from loguru import logger

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

from quorlix.sample.shop import ensure_shop_database  # noqa: E402
from sql_fakes import schema_name  # noqa: E402
from support.stub_openai import StubOpenAI, delay, text  # noqa: E402

SQL = (
    "SELECT strftime('%Y-%m', order_date) AS month, COUNT(*) AS orders FROM orders "
    "GROUP BY month ORDER BY month"
)
PROGRAM = "print('months:', 12)"
CHECKER_TAIL = "\nDouble check the "


def responder(pause: float):
    """Answers every request of a run by what it asks for, after the pause."""

    def answer(request):
        kind = schema_name(request) or "review"
        if kind == "RelevantTablesOutput":
            reply = {"relevant_tables": ["orders"]}
        elif kind == "SQLQueryInput":
            reply = {"sql_query": SQL}
        elif kind == "review":
            reply = text(SQL)
        elif kind == "PythonCodeInput":
            reply = {"code": PROGRAM}
        elif kind == "GenerationOutput":
            reply = {"final_response": "Orders were counted per month.", "image_path": ""}
        else:
            reply = {"rewritten_question": "How many orders were placed each month?"}
        return delay(pause, reply)

    return answer


def environment(stub: StubOpenAI, home: Path) -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(entry) for entry in sys.path if entry)
    env["QUORLIX_HOME"] = str(home)
    for name in ("QUORLIX_API_TOKENS", "QUORLIX_API_TOKENS_FILE", "QUORLIX_CONTEXT_FILE"):
        env.pop(name, None)
    env.update(stub.environment())
    env["QUORLIX_REQUEST_TIMEOUT"] = "60"
    return env


def start_server(env: dict[str, str], max_runs: int) -> tuple[subprocess.Popen, str]:
    process = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "quorlix.cli",
            "serve",
            "--port",
            "0",
            "--max-runs",
            str(max_runs),
            "--queue",
            "256",
        ],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )
    for line in process.stdout:
        found = re.search(r"http://127\.0\.0\.1:\d+", line)
        if found:
            return process, found.group(0)
    raise SystemExit("the server did not start")


def stamp(value: str) -> float:
    return datetime.fromisoformat(value).timestamp()


def one_run(client: httpx.Client, number: int) -> tuple[float, float]:
    """(client seconds, seconds the server added beyond the graph's own run)."""
    started = time.perf_counter()
    response = client.post("/v1/runs?wait=true", json={"question": f"Orders per month? {number}"})
    seconds = time.perf_counter() - started
    record = response.json()
    if record.get("status") != "succeeded":
        raise SystemExit(f"run {number} ended {record.get('status')}: {record.get('error')}")
    graph = stamp(record["finished_at"]) - stamp(record["started_at"])
    return seconds, seconds - graph


def measure_server(url: str, clients: int, runs: int) -> dict:
    with httpx.Client(base_url=url, timeout=300, limits=httpx.Limits(max_connections=64)) as client:
        one_run(client, -1)  # warm: first analysis imports pandas
        started = time.perf_counter()
        with ThreadPoolExecutor(clients) as pool:
            results = list(pool.map(lambda n: one_run(client, n), range(runs)))
        wall = time.perf_counter() - started
    times = sorted(result[0] for result in results)
    added = sorted(result[1] for result in results)
    return {
        "clients": clients,
        "runs": runs,
        "qps": runs / wall,
        "p50": statistics.median(times),
        "p95": times[min(len(times) - 1, round(0.95 * (len(times) - 1)))],
        "added_p50": statistics.median(added),
    }


def measure_direct(stub: StubOpenAI, shop_db: Path, runs: int) -> float:
    """p50 seconds of SQLGraph.invoke in this process: the graph's own time per question."""
    os.environ.update(stub.environment())
    from quorlix.querymesh import querymesh
    from quorlix.querymesh.custom_sql import CustomSQLDatabase
    from quorlix.settings import AzureOpenAIChat4, AzureOpenAIChat35

    db = CustomSQLDatabase.from_uri(f"sqlite:///{shop_db}")
    graph = querymesh.SQLGraph(db, AzureOpenAIChat35(), AzureOpenAIChat4())
    times = []
    # The nodes print their diagnostics and log through loguru; this table is the output here.
    logger.remove()
    quiet = contextlib.redirect_stdout(io.StringIO())
    for number in range(runs + 1):
        inputs = {
            "user_question": f"Orders per month? {number}",
            "save_path": str(shop_db.parent / "direct.png"),
            "max_iterations_pandas": 3,
            "pandas_code": "",
            "python_executed_output": "",
        }
        started = time.perf_counter()
        with quiet:
            graph.invoke(inputs)
        times.append(time.perf_counter() - started)
    db._engine.dispose()
    return statistics.median(times[1:])  # the first run pays for imports


def measure_ask(env: dict[str, str], runs: int, work: Path) -> dict:
    times = []
    for number in range(runs):
        started = time.perf_counter()
        done = subprocess.run(
            [
                sys.executable,
                "-m",
                "quorlix.cli",
                "ask",
                f"Orders per month? {number}",
                "--chart",
                str(work / "chart.png"),
            ],
            env=env,
            capture_output=True,
            text=True,
            timeout=300,
        )
        times.append(time.perf_counter() - started)
        if done.returncode != 0:
            raise SystemExit(f"quorlix ask failed:\n{done.stderr[-2000:]}")
    return {"runs": runs, "qps": runs / sum(times), "p50": statistics.median(times)}


def main() -> int:
    warnings.simplefilter("ignore")
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes, for a smoke test")
    parser.add_argument("--pause", type=float, default=0.2, help="model reply time (s)")
    args = parser.parse_args()
    # Enough runs at one client for a steady p50 of the few milliseconds the server adds.
    levels = [(1, 2), (4, 8)] if args.quick else [(1, 24), (8, 48), (32, 160)]
    baseline_runs = 1 if args.quick else 3

    stub = StubOpenAI().start()
    stub.reply(*([responder(args.pause)] * 100_000))
    work = Path(tempfile.mkdtemp(prefix="quorlix-bench-"))
    try:
        env = environment(stub, work)
        # Built once up front: neither side should pay for making the sample database.
        shop_db = ensure_shop_database(work / "shop.db")
        direct = measure_direct(stub, shop_db, 3 if args.quick else 6)
        ask = measure_ask(env, baseline_runs, work)
        process, url = start_server(env, max_runs=max(clients for clients, _ in levels))
        try:
            rows = [measure_server(url, clients, runs) for clients, runs in levels]
        finally:
            process.terminate()
            process.wait(timeout=120)
    finally:
        stub.close()
        shutil.rmtree(work, ignore_errors=True)

    print(f"model reply time {args.pause * 1000:.0f} ms; 5 model calls per question")
    print(
        f"baseline: quorlix ask, one process per question, {ask['runs']} in a row: "
        f"{ask['qps']:.2f} q/s, {ask['p50']:.2f} s per question (p50)"
    )
    print()
    print(
        f"{'clients':>7} {'runs':>5} {'q/s':>7} {'x 1 client':>10} {'x ask':>7} "
        f"{'p50 s':>7} {'p95 s':>7} {'added p50 ms':>12} {'vs graph ms':>11}"
    )
    single = rows[0]["qps"]
    for row in rows:
        print(
            f"{row['clients']:>7} {row['runs']:>5} {row['qps']:>7.2f} {row['qps'] / single:>10.1f}"
            f" {row['qps'] / ask['qps']:>7.1f} {row['p50']:>7.2f} {row['p95']:>7.2f}"
            f" {row['added_p50'] * 1000:>12.1f} {(row['p50'] - direct) * 1000:>11.1f}"
        )
    print()
    print("added p50: client time minus the run's recorded start-to-end time (HTTP, queue, store")
    print("writes outside the run); vs graph: client p50 minus the graph alone (all of it).")
    return 0


if __name__ == "__main__":
    sys.exit(main())
