"""``quorlix chat`` on a terminal (Ctrl+C stops an answer and keeps the session, the arrow keys
recall earlier lines, Ctrl+D leaves) and read from a pipe (one thread, a question per line),
and ``quorlix ask --thread`` continuing what it stored, in child processes against the stub
model."""

from __future__ import annotations

import contextlib
import fcntl
import os
import pty
import re
import select
import subprocess
import sys
import termios
import time

import pytest
from quorlix.sample import shop
from quorlix.service.store import RunStore
from service_support import FOLLOW_UP_MARK, Answers, feed
from test_cli import _environment

THREAD_LINE = re.compile(r"^Thread: ([0-9a-f]{32}) ", re.MULTILINE)


@pytest.fixture(scope="module")
def home(tmp_path_factory):
    home = tmp_path_factory.mktemp("chat-home")
    shop.ensure_shop_database(home / "shop.db")
    return home


@pytest.fixture
def answers():
    return Answers()


@pytest.fixture
def chat(stub_azure_env, home, tmp_path, answers):
    """Runs the command with its input piped in; the store and chart are the test's own."""
    feed(stub_azure_env, answers)
    folder = tmp_path / "quorlix-run-chat"  # where the stub's analysis saves its chart
    folder.mkdir()
    store = f"sqlite:///{tmp_path / 'runs.db'}"

    def run(*args: str, stdin: str = ""):
        return subprocess.run(
            [sys.executable, "-m", "quorlix.cli", *args, "--store", store],
            input=stdin,
            env=_environment(home),
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=300,
        )

    run.store = store
    run.chart = str(folder / "chart.png")
    run.command = [sys.executable, "-m", "quorlix.cli", "chat", "--chart", run.chart]
    run.command += ["--store", store]
    run.env, run.cwd = _environment(home), tmp_path
    return run


class Terminal:
    """The command on a terminal of its own (a pseudo-terminal it controls, so Ctrl+C there
    interrupts it as a person's would)."""

    def __init__(self, command, env, cwd) -> None:
        self.master, slave = pty.openpty()

        def take_terminal() -> None:
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.process = subprocess.Popen(
            command,
            stdin=slave,
            stdout=slave,
            stderr=slave,
            env=env,
            cwd=cwd,
            preexec_fn=take_terminal,
        )
        os.close(slave)
        self.seen = b""
        self.read_to = 0

    def wait_for(self, text: str, timeout: float = 120) -> None:
        """Until ``text`` appears after what was waited for before."""
        wanted, ends = text.encode(), time.monotonic() + timeout
        while wanted not in self.seen[self.read_to :]:
            assert time.monotonic() < ends, self.seen.decode(errors="replace")[-3000:]
            if select.select([self.master], [], [], 0.2)[0]:
                with contextlib.suppress(OSError):
                    self.seen += os.read(self.master, 65536)
        self.read_to = self.seen.index(wanted, self.read_to) + len(wanted)

    def type(self, keys: str) -> None:
        os.write(self.master, keys.encode())

    def close(self) -> int:
        try:
            return self.process.wait(timeout=60)
        finally:
            os.close(self.master)


def test_on_a_terminal_ctrl_c_stops_an_answer_and_the_session_goes_on(chat, answers):
    answers.pause = 0.3  # a run takes a few seconds: time to stop it mid-way
    terminal = Terminal(chat.command, chat.env, chat.cwd)
    terminal.wait_for("quorlix> ")
    terminal.type("Orders per city? [[a]]\n")
    terminal.wait_for("table_names_lookup_node")
    terminal.type("\x03")
    terminal.wait_for("Stopped. The thread goes on")
    terminal.wait_for("quorlix> ")
    terminal.type("Orders per city? [[b]]\n")
    terminal.wait_for("Answer: Analysed: b")
    terminal.wait_for("quorlix> ")
    terminal.type("\x1b[A\n")  # the up arrow recalls the last question: now a follow-up
    terminal.wait_for("Understood as: Orders per city? [[b]] (after: Orders per city?)")
    terminal.wait_for("quorlix> ")
    terminal.type("\x04")
    assert terminal.close() == 0
    assert b"Answer: Analysed: a" not in terminal.seen
    # The answer was shown as it was written: ahead of the SQL section, not after it.
    answered = terminal.seen.decode(errors="replace").split("[[b]]", 1)[1]
    assert answered.index("Answer: Analysed: b") < answered.index("SQL:")


def follow_up_prompts(stub) -> list[str]:
    return [r.prompt_text for r in stub.requests if FOLLOW_UP_MARK in r.prompt_text]


def test_piped_questions_are_one_thread_and_new_starts_another(chat, stub_azure_env):
    lines = ["Orders per city? [[a]]", "Only Dublin? [[b]]", "", "/new", "Revenue? [[c]]"]
    done = chat("chat", "--chart", chat.chart, stdin="\n".join(lines) + "\n")

    assert done.returncode == 0, done.stderr
    answers = re.findall(r"^Answer:\n  (.*)$", done.stdout, re.MULTILINE)
    assert answers == ["Answer: Analysed: a", "Answer: Analysed: b", "Answer: Analysed: c"]
    understood = re.findall(r"^Understood as: (.*)$", done.stderr, re.MULTILINE)
    assert understood == ["Only Dublin? [[b]] (after: Orders per city?)"]
    # The first question of each thread costs no restating call.
    assert len(follow_up_prompts(stub_azure_env)) == 1
    store = RunStore(chat.store)
    try:
        threads = store.list_threads("local", 10)
        assert [thread["runs"] for thread in threads] == [1, 2]
        runs = store.thread_runs(threads[1]["id"])
        assert [run["standalone_question"] for run in runs] == [None, understood[0]]
        assert runs[1]["record"]["final_sql"] and runs[1]["status"] == "succeeded"
    finally:
        store.close()


@pytest.mark.parametrize("known", [True, False], ids=["stored thread", "unknown thread"])
def test_ask_continues_a_stored_thread(chat, known):
    started = chat("chat", "--chart", chat.chart, stdin="Orders per city? [[a]]\n")
    assert started.returncode == 0, started.stderr
    thread_id = THREAD_LINE.search(started.stderr).group(1) if known else "f" * 32

    done = chat("ask", "Only Milan? [[d]]", "--thread", thread_id, "--chart", chat.chart)

    if not known:
        assert done.returncode == 2
        assert "holds no such thread" in done.stderr
        return
    assert done.returncode == 0, done.stderr
    assert "Understood as: Only Milan? [[d]] (after: Orders per city?)" in done.stderr
    store = RunStore(chat.store)
    try:
        assert [run["question"] for run in store.thread_runs(thread_id)] == [
            "Orders per city? [[a]]",
            "Only Milan? [[d]]",
        ]
    finally:
        store.close()
