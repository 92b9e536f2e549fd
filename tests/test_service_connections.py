"""Slow and idle clients against ``quorlix serve`` as a real process under a small open-file
limit: they are cut off, and a well-behaved client keeps getting answers meanwhile."""

from __future__ import annotations

import json
import select
import socket
import threading
import time

import httpx
import pytest
from service_support import Answers, feed, start_server_process
from support.databases import build_sample_sqlite

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

OPEN_FILES = 256
# More slow sockets than the server has descriptors: before, it stopped answering anyone.
SLOW_SOCKETS = 300
HEAD = b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-a: "
BODY = (
    b"POST /v1/runs HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
    b'Content-Length: 100\r\n\r\n{"question": '
)


@pytest.fixture(scope="module")
def server(stub_openai_server, tmp_path_factory):
    feed(stub_openai_server, Answers())
    home = tmp_path_factory.mktemp("home")
    sample = build_sample_sqlite(home / "sample.db")
    args = ("--db", sample.url, "--header-timeout", "1", "--body-timeout", "1")
    running = start_server_process(stub_openai_server, home, *args, open_files=OPEN_FILES)
    yield running
    assert running.stop() == 0


def open_slow_socket(port: int, number: int) -> socket.socket:
    """A third never finish their headers, a third send nothing, a third stop mid-body."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    start = (HEAD, b"", BODY)[number % 3]
    if start:
        sock.sendall(start)
    return sock


def wait_until_closed(sockets: dict[socket.socket, bytes], within: float) -> list[bytes]:
    """Reads what the server sends each socket until it closes them all or the time is up;
    takes the closed ones out of ``sockets`` and returns what each of them had received."""
    closed = []
    ends = time.monotonic() + within
    while sockets and time.monotonic() < ends:
        ready, _, _ = select.select(list(sockets), [], [], max(0.0, ends - time.monotonic()))
        for sock in ready:
            try:
                chunk = sock.recv(65536)
            except ConnectionResetError:
                chunk = b""
            if chunk:
                sockets[sock] += chunk
            else:
                sock.close()
                closed.append(sockets.pop(sock))
    return closed


def test_slow_and_idle_sockets_are_cut_off_while_others_get_answers(server):
    port = int(server.url.rsplit(":", 1)[1])
    held: dict[socket.socket, bytes] = {}
    answered: list[bytes] = []
    stop = threading.Event()

    def attack() -> None:
        # Keeps SLOW_SOCKETS open for a few seconds, opening a new one for each the server
        # closes, as a slow-client attack does; bounded in count and time.
        opened = 0
        while not stop.is_set() and opened < 20 * SLOW_SOCKETS:
            while len(held) < SLOW_SOCKETS and opened < 20 * SLOW_SOCKETS:
                held[open_slow_socket(port, opened)] = b""
                opened += 1
            answered.extend(sent for sent in wait_until_closed(held, within=0.2) if sent)

    attacker = threading.Thread(target=attack)
    attacker.start()
    try:
        time.sleep(1)  # the attack is in full swing
        with httpx.Client(base_url=server.url, timeout=60) as client:
            # Answering needs descriptors of its own (store, database, model service, the
            # chart): the connections' cap keeps them free.
            ready = client.get("/readyz")
            record = client.post("/v1/runs?wait=true", json={"question": "[[under attack]]"})
        assert ready.status_code == 200, ready.text
        assert record.status_code == 200 and record.json()["status"] == "succeeded", record.text
    finally:
        stop.set()
        attacker.join()
    left = len(held)
    answered.extend(sent for sent in wait_until_closed(held, within=20) if sent)
    for sock in held:
        sock.close()
    assert not held, f"{len(held)} of the last {left} slow sockets are still open"
    # A client stopped mid-body is told why, once its headers got through.
    status_line, _, rest = answered[0].partition(b"\r\n")
    assert status_line.startswith(b"HTTP/1.1 408")
    detail = json.loads(rest.partition(b"\r\n\r\n")[2])["detail"]
    assert detail == "the request body did not arrive within 1 s; send it again"
