"""How soon the first character of the answer reaches a person, against the model's own floor.

The model is the local stub of `tests/support`, in a process of its own as a model service is,
with fixed delays: each of the four calls before
the answer waits `--call-wait` seconds, and the answer streams its first piece `--first-piece`
seconds after the request, then one piece of `--piece-chars` characters every `--piece-every`
seconds. Asked for the whole answer at once (no streaming), the stub answers after the time the
streamed answer would have taken, so both sides meet the same model.

The floor of the first character is the sum of the model's delays before it: 4 x call-wait,
the first piece, and the pieces of the reply's JSON before the answer text begins. The floor of
the whole question adds the rest of the answer's pieces.

Sides, interleaved question by question in one process over the sample database:

- streamed: the server as shipped (`QUORLIX_STREAM_ANSWER=on`): the answer's first text arrives
  as an `answer` event;
- whole: a second server whose graph never streams (`QUORLIX_STREAM_ANSWER=off`): the first
  character is the final step's event (the answer is in the run record from then on).

Measured per side: on SSE, from the POST to the first event carrying answer text and to the
`end` event; on the page (Chromium, `--page`), from the click on Ask to the first character in
the answer box; on the terminal (`--terminal`), `quorlix ask` on a pty, from its "Question:"
line to the first answer character on stdout, and to its exit (and the whole process, from its
start); and `quorlix chat` on a pty (with `--terminal`), from typing the question at the prompt
of a session that has started to the first answer character, and to the next prompt. Then,
per node, the time the node took beyond the model's delays in it (p50 over the streamed SSE
runs).

The servers run the analysis program in their own interpreter (`QUORLIX_ANALYSIS_SANDBOX=off`,
set for this process); `quorlix ask` and `quorlix chat` run with the sandbox at its default, as
a person's command does: the variable is taken out of their environment.

Reported: p50 / p90 milliseconds, the p50 beyond the floor (target: at most 50 ms for the first
character when streamed), and the ratio of streamed to whole total time (target: at most 1.02).

    PYTHONPATH=python python benchmarks/bench_answer_stream.py [--runs N] [--page] [--terminal]
        [--no-chart] [--quick]
"""

from __future__ import annotations

import argparse
import json
import os
import select
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import warnings
from pathlib import Path

warnings.filterwarnings("ignore")
TESTS = Path(__file__).resolve().parents[1] / "tests"
sys.path[:0] = [str(TESTS), str(TESTS / "sql")]
os.environ.setdefault("QUORLIX_ANALYSIS_SANDBOX", "off")

MODEL_NODES = (
    "relevant_table_names_node",
    "sql_generation_node",
    "sql_syntax_checker_node",
    "pandas_generator_node",
)
ANSWER_NODE = "final_response_generation_node"
# About two hundred characters, as a short answer of a real model is.
PRINTED = (
    "Dublin placed the most orders, two of the five in the data. Berlin, Milan and Prague "
    "placed one each. No other city placed an order in the period the table covers, so the "
    "ranking rests on five orders"
)


class Pace:
    def __init__(self, args: argparse.Namespace) -> None:
        self.call_wait = args.call_wait
        self.first_piece = args.first_piece
        self.piece_every = args.piece_every
        self.piece_chars = args.piece_chars
        self.chart = not args.no_chart

    def reply_text(self, answer: str) -> str:
        # As the stub sends the reply of tests/service_support's Answers.
        return json.dumps({"final_response": answer, "image_path": ""})

    def answer_seconds(self, answer: str) -> float:
        pieces = -(-len(self.reply_text(answer)) // self.piece_chars)
        return self.first_piece + (pieces - 1) * self.piece_every

    def first_floor(self, answer: str) -> float:
        """The model's delays before the answer's first character: the calls before the answer,
        the answer's first piece, and the pieces of JSON written before its text starts."""
        text = self.reply_text(answer)
        before = text.index(json.dumps(answer)) + 1
        return (
            len(MODEL_NODES) * self.call_wait
            + self.first_piece
            + (before // self.piece_chars) * self.piece_every
        )


def responder(pace: Pace):
    from graph_scripts import schema_name
    from service_support import Answers
    from support.stub_openai import delay

    answers = Answers(printed=lambda question: PRINTED)

    def reply(request):
        started = time.monotonic()
        made = answers._reply(request)
        kind = schema_name(request)
        if kind == "PythonCodeInput" and not pace.chart:
            made = {"code": f"print({PRINTED!r})"}
        if kind != "GenerationOutput":
            # The model's time is the server's whole time: what the stub spent making the
            # reply is part of it, not added to it.
            return delay(pace.call_wait - (time.monotonic() - started), made)
        if request.json.get("stream"):
            return made  # paced by the stub
        return delay(
            pace.answer_seconds(made["final_response"]) - (time.monotonic() - started), made
        )

    return reply


def start_model(pace: Pace):
    """The stub model in a process of its own, as a model service is: its work does not share
    this interpreter with the server measured. Returns the process and its variables."""
    import multiprocessing

    context = multiprocessing.get_context("fork")  # before this process starts any thread
    theirs, ours = context.Pipe()
    process = context.Process(target=_serve_model, args=(pace, theirs), daemon=True)
    process.start()
    return process, ours.recv()


def _serve_model(pace: Pace, pipe) -> None:
    from support.stub_openai import StubOpenAI

    stub = StubOpenAI().start()
    stub.stream_pace(pace.first_piece, pace.piece_every, pace.piece_chars)
    stub.reply(*([responder(pace)] * 100_000))
    pipe.send(stub.environment())
    threading.Event().wait()


def sse_question(client, question: str) -> dict:
    """POST, then follow the events: seconds to the first answer text, the final step, the end;
    and each node's duration. A dropped stream is resumed from its last event, as the page
    does."""
    import httpx

    started = time.perf_counter()
    run_id = client.post("/v1/runs", json={"question": question}).json()["id"]
    times: dict = {"durations": {}, "resumed": 0}
    last = 0
    while True:
        headers = {"Last-Event-ID": str(last)} if last else {}
        try:
            with client.stream("GET", f"/v1/runs/{run_id}/events", headers=headers) as response:
                buffer = ""
                for text in response.iter_text():
                    buffer += text
                    while "\n\n" in buffer:
                        block, buffer = buffer.split("\n\n", 1)
                        fields = dict(
                            line.split(": ", 1) for line in block.splitlines() if ": " in line
                        )
                        if "id" not in fields:
                            continue
                        last = int(fields["id"])
                        if _seen(fields, times, time.perf_counter() - started):
                            return times
        except httpx.RemoteProtocolError:
            times["resumed"] += 1


def _seen(fields: dict, times: dict, now: float) -> bool:
    """Notes an event's time; True at the end."""
    kind = fields.get("event")
    if kind == "answer" and json.loads(fields["data"])["text"]:
        times.setdefault("first", now)
    elif kind == "step":
        step = json.loads(fields["data"])
        times["durations"].setdefault(step["node"], []).append(step["duration_s"])
        if step["node"] == ANSWER_NODE:
            times.setdefault("first", now)
    elif kind == "end":
        times["total"] = now
        return True
    return False


# Each question starts a thread of its own: a follow-up would add the call that restates it.
PAGE_WATCH = """(question) => new Promise((resolve) => {
  const fresh = document.getElementById("new-thread");
  if (!fresh.hidden) fresh.click();
  const answer = document.getElementById("answer");
  let first = null;
  const started = performance.now();
  new MutationObserver(() => {
    if (first === null && answer.textContent) first = performance.now() - started;
  }).observe(answer, { childList: true, characterData: true, subtree: true });
  const status = document.getElementById("run-status");
  new MutationObserver(() => {
    if (status.textContent === "Answered.") resolve([first, performance.now() - started]);
  }).observe(status, { childList: true, characterData: true, subtree: true });
  document.getElementById("question").value = question;
  document.getElementById("ask").click();
})"""


def open_page(browser, url: str, token: str):
    page = browser.new_page()
    page.goto(url)
    page.fill("#token", token)
    page.keyboard.press("Enter")
    page.wait_for_selector("#token-form", state="hidden")
    return page


def terminal_chart(cwd: str) -> Path:
    """Where the commands save the chart. The stub's analysis program saves it only under a
    path named as the service's run folders are; elsewhere it fails, and the run writes the
    answer once per try."""
    chart = Path(cwd) / "quorlix-run-terminal" / "chart.png"
    chart.parent.mkdir(exist_ok=True)
    return chart


def answer_begun(out: str) -> bool:
    """Whether the terminal shows a first character of the answer."""
    return "Answer:\r\n  " in out and not out.endswith("Answer:\r\n  ")


def terminal_question(env: dict, question: str, cwd: str) -> dict:
    """`quorlix ask` on a pty: seconds from its "Question:" line to the first answer character
    and to its exit, and from its start to its exit."""
    import pty

    main, terminal = pty.openpty()
    chart = terminal_chart(cwd)
    spawned = time.perf_counter()
    child = subprocess.Popen(
        [sys.executable, "-m", "quorlix.cli", "ask", question, "--chart", str(chart)],
        env=env,
        cwd=cwd,
        stdout=terminal,
        stderr=subprocess.PIPE,
    )
    os.close(terminal)
    err, out = child.stderr.fileno(), ""
    asked = first = None
    stderr = b""
    open_fds = {main, err}
    while open_fds:
        for fd in select.select(list(open_fds), [], [], 120)[0]:
            try:
                data = os.read(fd, 65536)
            except OSError:
                data = b""
            now = time.perf_counter()
            if not data:
                open_fds.discard(fd)
                continue
            if fd == err:
                stderr += data
                if asked is None and b"Question:" in stderr:
                    asked = now
            else:
                out += data.decode(errors="replace")
                if first is None and answer_begun(out):
                    first = now
    child.wait()
    ended = time.perf_counter()
    os.close(main)
    if child.returncode != 0 or asked is None or first is None:
        raise RuntimeError(f"quorlix ask failed ({child.returncode}): {stderr.decode()[-500:]}")
    return {"first": first - asked, "total": ended - asked, "process": ended - spawned}


def chat_question(env: dict, question: str, cwd: str) -> dict:
    """`quorlix chat` on a pty: seconds from typing the question at its prompt (the session
    started and waiting) to the first answer character, and to the next prompt."""
    import pty

    main, terminal = pty.openpty()
    chart = terminal_chart(cwd)
    child = subprocess.Popen(
        [sys.executable, "-m", "quorlix.cli", "chat", "--chart", str(chart)],
        env=env,
        cwd=cwd,
        stdin=terminal,
        stdout=terminal,
        stderr=subprocess.DEVNULL,
    )
    os.close(terminal)
    out, asked, first, total = "", None, None, None
    while total is None:
        if not select.select([main], [], [], 120)[0]:
            break
        try:
            data = os.read(main, 65536).decode(errors="replace")
        except OSError:
            break
        now = time.perf_counter()
        out += data
        if asked is None and out.endswith(PROMPT):
            os.write(main, question.encode() + b"\n")
            asked, out = time.perf_counter(), ""
        elif asked is not None:
            if first is None and answer_begun(out):
                first = now
            if first is not None and out.endswith(PROMPT):
                total = now
    os.write(main, b"\x04")
    child.wait(60)
    os.close(main)
    if asked is None or first is None or total is None:
        raise RuntimeError(f"quorlix chat failed ({child.returncode}): {out[-500:]}")
    return {"first": first - asked, "total": total - asked}


PROMPT = "quorlix> "


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(share * (len(ordered) - 1)))]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--call-wait", type=float, default=0.2)
    parser.add_argument("--first-piece", type=float, default=0.3)
    parser.add_argument("--piece-every", type=float, default=0.02)
    parser.add_argument("--piece-chars", type=int, default=4)
    parser.add_argument("--page", action="store_true", help="also measure the page in Chromium")
    parser.add_argument("--terminal", action="store_true", help="also measure quorlix ask")
    parser.add_argument(
        "--no-chart",
        action="store_true",
        help="the analysis program only prints its result (by default it also draws a chart)",
    )
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.quick:
        args.runs, args.call_wait, args.first_piece = 2, 0.02, 0.03
    pace = Pace(args)

    from quorlix.service import Limits
    from service_support import build_service, serve_in_thread
    from support.databases import build_sample_sqlite

    model, environment = start_model(pace)
    os.environ.update(environment)
    os.environ["QUORLIX_REQUEST_TIMEOUT"] = "60"
    token = "bench-token-0123456789"
    work = tempfile.mkdtemp(prefix="quorlix-bench-")
    db = build_sample_sqlite(Path(work) / "sample.db")
    servers = {}
    for side in ("streamed", "whole"):
        service = build_service(
            db.url, f"sqlite:///{work}/{side}.db", Limits(), tokens={token: "bench"}
        )
        servers[side] = serve_in_thread(service)
    results: dict = {side: {"sse": [], "page": [], "terminal": [], "chat": []} for side in servers}
    durations: dict[str, list[float]] = {}

    browser = playwright = None
    if args.page:
        from playwright.sync_api import sync_playwright
        from test_service_page import ARGS, ensure_chromium

        playwright = sync_playwright().start()
        browser = playwright.chromium.launch(executable_path=ensure_chromium(), args=ARGS)
        pages = {side: open_page(browser, servers[side].url, token) for side in servers}

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(entry) for entry in sys.path if entry)
    env["QUORLIX_HOME"] = work
    # The command as a person runs it: the analysis sandbox at its default.
    env.pop("QUORLIX_ANALYSIS_SANDBOX", None)

    # The nodes print their prompts: not into the report.
    sys.stdout.flush()
    report_fd, devnull = os.dup(1), os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        for number in range(args.runs + 1):  # the first round warms up and is not counted
            for side, running in servers.items():
                os.environ["QUORLIX_STREAM_ANSWER"] = "on" if side == "streamed" else "off"
                env["QUORLIX_STREAM_ANSWER"] = os.environ["QUORLIX_STREAM_ANSWER"]
                with running.client(token) as client:
                    sse = sse_question(client, f"Orders per city? [[{side} {number}]]")
                page = terminal = None
                if browser is not None:
                    pages[side].bring_to_front()  # a page in the background is throttled
                    first, total = pages[side].evaluate(PAGE_WATCH, f"Orders? [[p{number}]]")
                    page = {"first": first / 1000, "total": total / 1000}
                chat = None
                if args.terminal:
                    terminal = terminal_question(env, "Orders per city?", work)
                    chat = chat_question(env, "Orders per city?", work)
                if number == 0:
                    continue
                results[side]["sse"].append(sse)
                if page:
                    results[side]["page"].append(page)
                if terminal:
                    results[side]["terminal"].append(terminal)
                    results[side]["chat"].append(chat)
                if side == "streamed":
                    for node, seconds in sse["durations"].items():
                        durations.setdefault(node, []).extend(seconds)
    finally:
        sys.stdout.flush()
        os.dup2(report_fd, 1)
        if browser is not None:
            browser.close()
            playwright.stop()
        for running in servers.values():
            running.stop()
        model.terminate()
        model.join()

    report(results, durations, pace)
    resumed = sum(row["resumed"] for side in results.values() for row in side["sse"])
    if resumed:
        print(f"\n(event streams dropped by the server and resumed: {resumed})")
    return 0


def own_time_before_answer(durations: dict, pace: Pace) -> float:
    """What the nodes before the answer node took beyond the model's delays in them."""
    return sum(
        sum(seconds) - (pace.call_wait * len(seconds) if node in MODEL_NODES else 0.0)
        for node, seconds in durations.items()
        if node != ANSWER_NODE
    )


def report(results: dict, durations: dict, pace: Pace) -> None:
    answer = "Answer: " + PRINTED
    first_floor = pace.first_floor(answer)
    total_floor = len(MODEL_NODES) * pace.call_wait + pace.answer_seconds(answer)
    print(
        f"model floor: first character {first_floor * 1000:.0f} ms "
        f"(4 x {pace.call_wait * 1000:.0f} ms + {pace.first_piece * 1000:.0f} ms first piece "
        f"+ the JSON before the text), "
        f"whole answer {total_floor * 1000:.0f} ms"
    )
    print()
    header = (
        "where",
        "side",
        "first p50",
        "p90",
        "over floor",
        "total p50",
        "p90",
        "streamed/whole",
    )
    print("{:<9} {:<9} {:>10} {:>7} {:>11} {:>10} {:>7} {:>15}".format(*header))
    for where in ("sse", "page", "terminal", "chat"):
        if not results["streamed"][where]:
            continue
        totals = {
            side: statistics.median(row["total"] for row in results[side][where])
            for side in results
        }
        for side in results:
            rows = results[side][where]
            firsts = [row["first"] for row in rows]
            total = [row["total"] for row in rows]
            ratio = f"{totals['streamed'] / totals['whole']:.3f}" if side == "streamed" else ""
            print(
                f"{where:<9} {side:<9} {statistics.median(firsts) * 1000:>10.0f} "
                f"{percentile(firsts, 0.9) * 1000:>7.0f} "
                f"{(statistics.median(firsts) - first_floor) * 1000:>+11.0f} "
                f"{statistics.median(total) * 1000:>10.0f} {percentile(total, 0.9) * 1000:>7.0f} "
                f"{ratio:>15}"
            )
    if results["streamed"]["terminal"]:
        print()
        process = {
            side: statistics.median(row["process"] for row in results[side]["terminal"])
            for side in results
        }
        print(
            "terminal, whole process (start to exit): "
            + ", ".join(f"{side} p50 {seconds * 1000:.0f} ms" for side, seconds in process.items())
        )
    delivery = [
        row["first"] - first_floor - own_time_before_answer(row["durations"], pace)
        for row in results["streamed"]["sse"]
    ]
    print()
    print(
        "SSE, streamed: first character beyond the floor and the nodes' own time before the "
        f"answer node: p50 {statistics.median(delivery) * 1000:.0f} ms, "
        f"p90 {percentile(delivery, 0.9) * 1000:.0f} ms"
    )
    print()
    print("per node, streamed runs: time beyond the model's delays in it")
    print("{:<34} {:>9} {:>9} {:>14}".format("node", "model ms", "p50 ms", "beyond p50 ms"))
    for node, seconds in durations.items():
        model = pace.call_wait if node in MODEL_NODES else 0.0
        if node == ANSWER_NODE:
            model = pace.answer_seconds(answer)
        p50 = statistics.median(seconds)
        print(f"{node:<34} {model * 1000:>9.0f} {p50 * 1000:>9.1f} {(p50 - model) * 1000:>14.1f}")


if __name__ == "__main__":
    sys.exit(main())
