"""A real quorlix server on 127.0.0.1 for the service tests, answering with the stub model.

The server runs in a thread of the test process (the same HTTP server as ``quorlix serve``), so
tests can reach into its store; the crash and flood tests start it as a separate process instead.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import re
import resource
import select
import signal
import socket
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any

import httpx
import pytest
from graph_scripts import CITY_ORDERS_SQL, schema_name, section
from quorlix.service import Limits, RunStore, Service, create_app
from quorlix.service.database import ServiceDatabase
from quorlix.service.http_server import ConnectionLimits, HTTPServer
from safety_scripts import checked_query
from support.stub_openai import delay, text

SAVE_PATH = re.compile(r"/[^\s'\"]*quorlix-run-[^\s'\"/]+/chart\.png")

# Draws the rows it was shown and prints them; the answer repeats what it printed.
CHART_PROGRAM = """\
import matplotlib.pyplot as plt
figure, axes = plt.subplots()
axes.bar(["a", "b"], [1, 2])
figure.savefig({path!r})
plt.close(figure)
print({printed!r})
"""


class Answers:
    """Answers every request of a run from the request alone, so runs may interleave.

    ``sql`` gives the query for a question; ``printed`` what the analysis prints (and so what the
    answer says; "<chart>" there stands for the path the chart is saved at); ``pause`` delays
    every reply, to keep runs running for a while; while ``gate`` is cleared, replies wait for it
    to be set again (at most a minute), holding runs mid-way.
    """

    def __init__(self, sql=lambda question: CITY_ORDERS_SQL, printed=None, pause: float = 0.0):
        self.sql = sql
        self.printed = printed or (lambda question: f"Analysed: {question}")
        self.pause = pause
        self.gate = threading.Event()
        self.gate.set()

    def __call__(self, request):
        self.gate.wait(60)
        reply = self._reply(request)
        return delay(self.pause, reply) if self.pause else reply

    def _reply(self, request):
        kind = schema_name(request) or "review"
        prompt = request.prompt_text
        if kind == "review" and FOLLOW_UP_MARK in prompt:
            return text(restated(prompt))
        if kind == "RelevantTablesOutput":
            return {"relevant_tables": ["customers", "orders"]}
        if kind == "SQLQueryInput":
            return {"sql_query": self.sql(_question(prompt))}
        if kind == "review":
            return text(checked_query(prompt))
        if kind == "RewriteQueryOutput":
            return {"rewritten_question": "how many orders are there?"}
        if kind == "PythonCodeInput":
            found = SAVE_PATH.search(prompt)
            path = found.group(0) if found else "/nonexistent/chart.png"
            printed = self.printed(_question(prompt)).replace("<chart>", path)
            program = CHART_PROGRAM.format(path=path, printed=printed)
            return {"code": program}
        if kind == "GenerationOutput":
            output = section(prompt, "Python executed result: ", "\nUse the above result")
            return {"final_response": f"Answer: {output.strip()}", "image_path": ""}
        raise AssertionError(f"unexpected request kind {kind}")


QUESTION_MARK = re.compile(r"\[\[(.*?)\]\]")
FOLLOW_UP_MARK = "\n\nStandalone question:"
TURN_HEADING = re.compile(r"^Turn \d+: (.*)$", re.MULTILINE)


def restated(prompt: str) -> str:
    """A follow-up restated from the prompt alone: the last question, then the earlier ones it
    was shown (their tags dropped, so the restatement is still told apart by its own)."""
    last = section(prompt, "Last question: ", FOLLOW_UP_MARK)
    earlier = [QUESTION_MARK.sub("", found).strip() for found in TURN_HEADING.findall(prompt)]
    return f"{last} (after: {'; '.join(earlier)})"


def _question(prompt: str) -> str:
    """Tests put a tag in double brackets into each question, to tell runs apart."""
    found = QUESTION_MARK.search(prompt)
    return found.group(1) if found else ""


def feed(stub, answers: Answers, replies: int = 400) -> None:
    stub.reply(*([answers] * replies))


@dataclass
class Running:
    url: str
    service: Service
    server: HTTPServer
    thread: threading.Thread

    def client(self, token: str | None = None, **kw: Any) -> httpx.Client:
        headers = {"Authorization": f"Bearer {token}"} if token else {}
        return httpx.Client(base_url=self.url, headers=headers, timeout=30, **kw)

    def stop(self) -> None:
        self.server.stop()
        self.thread.join(timeout=60)


def build_service(db_url: str, store_url: str, limits: Limits | None = None, **kw: Any):
    from quorlix.querymesh import querymesh
    from quorlix.settings import AzureOpenAIChat4, AzureOpenAIChat35

    db = ServiceDatabase.from_uri(db_url)
    settings = AzureOpenAIChat4()
    graph = querymesh.SQLGraph(db, AzureOpenAIChat35(), settings)
    kw.setdefault("model_timeout", settings.timeout)
    return Service(graph, db, RunStore(store_url), limits or Limits(), **kw)


@contextlib.contextmanager
def served(stub, db_url: str, store_url: str, limits: Limits | None = None, **kw: Any):
    """A server in a thread for a whole test module, its models the stub: yields ``Running``."""
    with pytest.MonkeyPatch.context() as patch:
        for name, value in stub.environment().items():
            patch.setenv(name, value)
        service = build_service(db_url, store_url, limits, **kw)
        running = serve_in_thread(service)
        try:
            yield running
        finally:
            running.stop()
            service.store.close()


def serve_in_thread(
    service: Service, limits: ConnectionLimits | None = None, **app_options
) -> Running:
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    sock.listen(128)
    server = HTTPServer(create_app(service, **app_options), sock, limits)

    def run() -> None:
        loop = asyncio.new_event_loop()
        try:
            loop.run_until_complete(server.serve())
        finally:
            loop.close()
            sock.close()

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    ends = time.monotonic() + 30
    while not server.started:
        assert thread.is_alive() and time.monotonic() < ends, "the server did not start"
        time.sleep(0.02)
    return Running(f"http://127.0.0.1:{sock.getsockname()[1]}", service, server, thread)


def wait_for_status(client: httpx.Client, run_id: str, statuses, timeout: float = 30) -> dict:
    ends = time.monotonic() + timeout
    while True:
        record = client.get(f"/v1/runs/{run_id}").json()
        if record["status"] in statuses:
            return record
        assert time.monotonic() < ends, f"run still {record['status']} after {timeout} s"
        time.sleep(0.05)


def newest_answer_only(events: list[dict]) -> list[dict]:
    """The events as the store keeps them: of the answer events, only the newest."""
    answers = [event for event in events if event["event"] == "answer"]
    return [event for event in events if event["event"] != "answer" or event is answers[-1]]


def sse_events(body: str) -> list[dict]:
    """The events of a Server-Sent Events body, in order (comments skipped)."""
    import json

    events = []
    for block in body.split("\n\n"):
        fields: dict[str, str] = {}
        for line in block.splitlines():
            if line.startswith(":") or ":" not in line:
                continue
            name, _, value = line.partition(":")
            fields[name] = value.removeprefix(" ")
        if fields:
            events.append(
                {
                    "id": int(fields["id"]),
                    "event": fields["event"],
                    "data": json.loads(fields["data"]),
                }
            )
    return events


@dataclass
class ServerProcess:
    process: subprocess.Popen
    url: str

    def client(self, **kw: Any) -> httpx.Client:
        return httpx.Client(base_url=self.url, timeout=30, **kw)

    def stop(self, sig: int = signal.SIGTERM, timeout: float = 60) -> int:
        if self.process.poll() is None:
            self.process.send_signal(sig)
        return self.process.wait(timeout=timeout)


def start_server_process(
    stub,
    home,
    *args: str,
    env_changes: dict[str, str] | None = None,
    open_files: int | None = None,
) -> ServerProcess:
    """``quorlix serve`` in a child process on a free port, answered by the stub model; with
    ``open_files``, under that limit on open file descriptors."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(entry) for entry in sys.path if entry)
    env["QUORLIX_HOME"] = str(home)
    for name in ("QUORLIX_API_TOKENS", "QUORLIX_API_TOKENS_FILE", "QUORLIX_CONTEXT_FILE"):
        env.pop(name, None)
    env.update(stub.environment())
    env.update(env_changes or {})
    process = subprocess.Popen(
        [sys.executable, "-m", "quorlix.cli", "serve", "--port", "0", *args],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=None if open_files is None else lambda: _limit_open_files(open_files),
    )
    ends = time.monotonic() + 90
    while time.monotonic() < ends:
        ready, _, _ = select.select([process.stdout], [], [], 0.5)
        if ready:
            line = process.stdout.readline()
            found = re.search(r"http://127\.0\.0\.1:\d+", line)
            if found:
                return ServerProcess(process, found.group(0))
        if process.poll() is not None:
            break
    process.kill()
    raise AssertionError(f"the server did not start:\n{process.stderr.read()}")


def _limit_open_files(count: int) -> None:
    resource.setrlimit(resource.RLIMIT_NOFILE, (count, count))
