"""The analysis program shares its process with the worker that reports for it, so it can write
whatever it likes on the worker's channel to the host. Nothing it writes there may make the host
act for the parent (signal a process, stop watching a worker that lives on) or allocate beyond a
small bound; and once the host has its answer, the worker and its folder are gone."""

from __future__ import annotations

import time
from pathlib import Path

import pytest
from quorlix.querymesh import nodewright
from support.sandbox_probes import peak_memory, restart_peak_memory

CHANNEL = 3
MALFORMED = (
    "RuntimeError: the analysis program wrote on the sandbox's result channel, which ended its run"
)


@pytest.fixture(autouse=True)
def sandboxed(monkeypatch):
    for name in ("QUORLIX_ANALYSIS_SANDBOX", "QUORLIX_ANALYSIS_TIMEOUT"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("QUORLIX_ANALYSIS_OUTPUT_LIMIT", "1000")


def run(program: str) -> dict:
    return nodewright.PandasExecutor(model=None).invoke({"pandas_code": program})


FRAME = """
import os, struct
def frame(kind, *fields):
    body = bytes([kind]) + b"".join(struct.pack("<I", len(f)) + f for f in fields)
    return struct.pack("<I", len(body)) + body
"""


def test_a_forged_started_frame_gets_no_process_signalled(victim, monkeypatch):
    # A STARTED frame carrying a pidfd of another process, as if the parent had forked it, and a
    # program that outlasts the time limit, so that a host trusting the frame would kill it.
    monkeypatch.setenv("QUORLIX_ANALYSIS_TIMEOUT", "0.3")
    program = FRAME + (
        "import socket\n"
        f"target = os.pidfd_open({victim.pid})\n"
        "forged = frame(2, str(os.getpid()).encode(), b'0')\n"
        f"socket.socket(fileno=os.dup({CHANNEL})).sendmsg(\n"
        "    [forged], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, struct.pack('i', target))])\n"
        "while True:\n"
        "    try:\n"
        "        while True:\n"
        "            pass\n"
        "    except TimeoutError:\n"
        "        pass\n"
    )
    update = run(program)
    assert update == {"python_execution_success": False, "python_error_message": MALFORMED}
    assert victim.poll() is None


def gone(path: Path, deadline: float = 10) -> bool:
    ends = time.monotonic() + deadline
    while path.exists():
        if time.monotonic() > ends:
            return False
        time.sleep(0.02)
    return True


def test_a_worker_that_answered_does_not_outlive_its_run():
    # It reports early, then holds memory and sleeps: the host's answer ends it.
    program = FRAME + (
        "import time\n"
        "text = f'{os.getpid()} {os.environ[\"HOME\"]}'.encode()\n"
        f"os.write({CHANNEL}, frame(3, b'ok', text, str(len(text)).encode(), b'', b'', b''))\n"
        "hold = bytearray(100 * 1024 * 1024)\n"
        "time.sleep(60)\n"
    )
    update = run(program)
    # What it reported is its own output: nothing it could not have printed.
    pid, folder = update["python_executed_output"].split()
    assert update["python_execution_success"] is True
    assert gone(Path(f"/proc/{pid}")), "the worker lives on"
    assert gone(Path(folder)), "its run folder is left behind"


@pytest.mark.parametrize(
    "sent",
    [
        # A header that announces 1 GiB, and nothing after it.
        "os.write(3, struct.pack('<IB', 1 << 30, 3))\nimport time\ntime.sleep(60)",
        # A whole frame, larger than a run with this output limit may send.
        "os.write(3, frame(3, b'ok', b'x' * 2_000_000, b'2000000', b'', b'', b''))",
    ],
    ids=["announced", "sent"],
)
def test_the_host_allocates_no_more_than_a_frame_may_hold(sent):
    before = restart_peak_memory()
    update = run(FRAME + sent)
    assert update == {"python_execution_success": False, "python_error_message": MALFORMED}
    assert peak_memory() - before < 64 * 1024 * 1024


def test_a_program_that_writes_garbage_on_the_channel_fails_its_run():
    update = run(f"import os\nos.write({CHANNEL}, b'not a frame at all')")
    assert update == {"python_execution_success": False, "python_error_message": MALFORMED}
    assert run("print('next')")["python_executed_output"] == "next\n"
