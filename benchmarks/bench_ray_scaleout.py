"""What `quorlix serve --ray` gains on CPU-bound questions, and what the Ray path costs.

The stub model (127.0.0.1) answers after a short pause, and its analysis program does about
0.3 s of pandas work under the interpreter lock (calibrated on this machine at start). Where the
program runs decides what one server process can use:

- in the server's own interpreter (QUORLIX_ANALYSIS_SANDBOX=off), one process is bound by one
  core however many runs it holds; replicas are processes, so two of them may use two cores;
- in the analysis sandbox (the default), each program runs in a worker process of its own, so
  one replica already spreads the analysis over every core, and a second replica can add only
  what the graph's own work (under the server's interpreter lock) leaves.

Measured in one run, against one PostgreSQL store:

- throughput at 8 concurrent clients with 2 replicas over the same with 1 replica, for each
  place the analysis runs (`--analysis`);
- time per run at 1 client on the Ray path (1 replica) over the single-process server.

Run from the repository root, with PostgreSQL on 127.0.0.1:5432 (a throwaway database is made):

    PYTHONPATH=python python benchmarks/bench_ray_scaleout.py [--runs 24] [--pause 0.05]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import httpx

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

from quorlix.sample.shop import ensure_shop_database  # noqa: E402
from sql_fakes import schema_name  # noqa: E402
from support.databases import throwaway_pg_database  # noqa: E402
from support.stub_openai import StubOpenAI, delay, text  # noqa: E402

SQL = "SELECT COUNT(*) AS orders FROM orders"
# Element-wise Python work through pandas: it holds the interpreter lock throughout.
PROGRAM = """\
import pandas as pd
values = pd.Series(range({n}))
print("checked:", int(values.apply(lambda x: (x * 7) % 13).sum()))
"""
WORK_SECONDS = 0.3


def calibrate(seconds: float) -> int:
    """Elements that make PROGRAM take about ``seconds`` here."""
    n = 50_000
    with contextlib.redirect_stdout(io.StringIO()):
        exec(PROGRAM.format(n=1000), {})  # imports pandas, which is not part of the work
        started = time.perf_counter()
        exec(PROGRAM.format(n=n), {})
        took = time.perf_counter() - started
    return max(1000, int(n * seconds / took))


def responder(pause: float, program: str):
    def answer(request):
        kind = schema_name(request) or "review"
        if kind == "RelevantTablesOutput":
            reply = {"relevant_tables": ["orders"]}
        elif kind == "SQLQueryInput":
            reply = {"sql_query": SQL}
        elif kind == "review":
            reply = text(SQL)
        elif kind == "PythonCodeInput":
            reply = {"code": program}
        elif kind == "GenerationOutput":
            reply = {"final_response": "Orders were counted.", "image_path": ""}
        else:
            reply = {"rewritten_question": "How many orders are there?"}
        return delay(pause, reply)

    return answer


def start_server(env: dict[str, str], *args: str) -> tuple[subprocess.Popen, str]:
    process = subprocess.Popen(
        [sys.executable, "-m", "quorlix.cli", "serve", "--port", "0", *args],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )
    for line in process.stdout:
        found = re.search(r"http://127\.0\.0\.1:\d+", line)
        if found:
            return process, found.group(0)
    raise SystemExit(f"the server did not start: quorlix serve {' '.join(args)}")


def stop_server(process: subprocess.Popen) -> None:
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=180)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def one_run(client: httpx.Client, number: int) -> tuple[float, int]:
    started = time.perf_counter()
    response = client.post("/v1/runs?wait=true", json={"question": f"How many orders? {number}"})
    seconds = time.perf_counter() - started
    record = response.json()
    if record.get("status") != "succeeded":
        raise SystemExit(f"run {number} ended {record.get('status')}: {record.get('error')}")
    return seconds, (record.get("replica") or {}).get("pid")


def measure(url: str, clients: int, runs: int) -> dict:
    with httpx.Client(base_url=url, timeout=600, limits=httpx.Limits(max_connections=64)) as client:
        for warm in range(2):  # each replica's first analysis imports pandas
            one_run(client, -1 - warm)
        started = time.perf_counter()
        with ThreadPoolExecutor(clients) as pool:
            results = list(pool.map(lambda n: one_run(client, n), range(runs)))
        wall = time.perf_counter() - started
    return {
        "clients": clients,
        "runs": runs,
        "qps": runs / wall,
        "p50": statistics.median(result[0] for result in results),
        "replicas_seen": len({result[1] for result in results}),
    }


def main() -> int:
    warnings.simplefilter("ignore")
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=24, help="runs at 8 clients (default 24)")
    parser.add_argument("--pause", type=float, default=0.05, help="model reply time (s)")
    parser.add_argument(
        "--analysis",
        choices=("both", "sandbox", "in-process"),
        default="both",
        help="where the analysis programs run (default: both, one after the other)",
    )
    args = parser.parse_args()
    single_runs = max(4, args.runs // 4)

    n = calibrate(WORK_SECONDS)
    stub = StubOpenAI().start()
    stub.reply(*([responder(args.pause, PROGRAM.format(n=n))] * 100_000))
    work = Path(tempfile.mkdtemp(prefix="quorlix-bench-ray-"))
    rows: list[tuple[str, dict]] = []
    try:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p)
        env["QUORLIX_HOME"] = str(work)
        for name in ("QUORLIX_API_TOKENS", "QUORLIX_API_TOKENS_FILE", "RAY_ADDRESS"):
            env.pop(name, None)
        env.update(stub.environment())
        env["QUORLIX_REQUEST_TIMEOUT"] = "120"
        shop = ensure_shop_database(work / "shop.db")
        with throwaway_pg_database() as pg:
            common = ("--db", f"sqlite:///{shop}", "--store", pg.url, "--queue", "256")
            one, two = ("--ray", "--replicas", "1"), ("--ray", "--replicas", "2")
            setups = []
            if args.analysis != "in-process":
                setups += [
                    ("single process", (), [(1, single_runs)], "auto"),
                    ("ray, 1 replica", one, [(1, single_runs), (8, args.runs)], "auto"),
                    ("ray, 2 replicas", two, [(8, args.runs)], "auto"),
                ]
            if args.analysis != "sandbox":
                setups += [
                    ("ray, 1 replica", one, [(8, args.runs)], "off"),
                    ("ray, 2 replicas", two, [(8, args.runs)], "off"),
                ]
            for name, extra, levels, sandbox in setups:
                if sandbox == "off":
                    name += ", in-process"
                run_env = {**env, "QUORLIX_ANALYSIS_SANDBOX": sandbox}
                process, url = start_server(run_env, *common, *extra)
                try:
                    for clients, runs in levels:
                        rows.append((name, measure(url, clients, runs)))
                finally:
                    stop_server(process)
    finally:
        stub.close()
        shutil.rmtree(work, ignore_errors=True)

    print(
        f"machine: {os.cpu_count()} cores, {platform.machine()}, Python {platform.python_version()}"
        f"; model reply {args.pause * 1000:.0f} ms; analysis work ~{WORK_SECONDS} s (n={n})"
    )
    print(f"{'setup':<28} {'clients':>7} {'runs':>5} {'q/s':>7} {'p50 s':>7} {'replicas':>8}")
    for name, row in rows:
        print(
            f"{name:<28} {row['clients']:>7} {row['runs']:>5} {row['qps']:>7.2f}"
            f" {row['p50']:>7.2f} {row['replicas_seen']:>8}"
        )
    found = {(name, row["clients"]): row for name, row in rows}
    print()
    # The target is for analysis under the server's interpreter lock; with the sandbox, one
    # replica already spreads the analysis over every core, which the last line shows.
    for suffix, place, target in (
        (", in-process", "in the server process", " (target >= 1.6x)"),
        ("", "in the sandbox", ""),
    ):
        if ("ray, 2 replicas" + suffix, 8) in found:
            scale = (
                found[("ray, 2 replicas" + suffix, 8)]["qps"]
                / found[("ray, 1 replica" + suffix, 8)]["qps"]
            )
            print(
                f"throughput at 8 clients, 2 replicas / 1 replica, analysis {place}: "
                f"{scale:.2f}x{target}"
            )
    if ("ray, 1 replica", 8) in found and ("ray, 1 replica, in-process", 8) in found:
        spread = (
            found[("ray, 1 replica", 8)]["qps"] / found[("ray, 1 replica, in-process", 8)]["qps"]
        )
        print(
            f"throughput at 8 clients, 1 replica, analysis in the sandbox / in the server "
            f"process: {spread:.2f}x"
        )
    if ("single process", 1) in found:
        overhead = found[("ray, 1 replica", 1)]["p50"] / found[("single process", 1)]["p50"]
        print(
            f"time per run at 1 client, Ray path / single process: {overhead:.2f}x (target <= 1.2x)"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
