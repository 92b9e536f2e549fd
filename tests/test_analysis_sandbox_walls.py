"""Each layer of the analysis sandbox holds on its own: every case runs a program that tries to
cross one wall, in a host whose kernel refuses the other layers that would stop it too
(support/layer_switches.py), so a case fails when its layer's own rule is gone. The programs are
the shapes an attack on the sandbox used: a database's path socket, TCP to the host, an abstract
socket, a signal to an outside process, a truncated database copy, a chmod of the host's file."""

from __future__ import annotations

import os
import shutil
import socket
import struct
import tempfile
from pathlib import Path

import pytest
from support.layer_switches import LayerHost

POSTGRES_SOCKET = "/var/run/postgresql/.s.PGSQL.5432"
ALL = {"network", "view", "landlock", "seccomp", "identity"}

root_only = pytest.mark.skipif(os.geteuid() != 0, reason="the sandbox id is a root host's")


def but(*kept: str) -> set[str]:
    """Every layer off except ``kept``."""
    return ALL - set(kept)


@pytest.fixture(scope="module")
def host(tmp_path_factory):
    import quorlix

    env = {"PATH": os.environ["PATH"], "PYTHONPATH": str(Path(quorlix.__file__).parents[1])}
    child = LayerHost(env, tmp_path_factory.mktemp("layer-host") / "stderr.txt")
    yield child
    child.close()


@pytest.fixture(scope="module")
def open_folder():
    """A folder anyone may pass through (pytest's own are the owner's only), so that only the
    files' own modes and the layers decide."""
    folder = Path(tempfile.mkdtemp(prefix="quorlix-walls-"))
    folder.chmod(0o755)
    yield folder
    shutil.rmtree(folder)


@pytest.fixture(scope="module")
def listener():
    with socket.create_server(("127.0.0.1", 0)) as server:
        yield server.getsockname()[1]


def error_of(answer: dict) -> str:
    assert "update" in answer, answer
    update = answer["update"]
    assert update["python_execution_success"] is False, update
    return update["python_error_message"]


def test_a_program_runs_with_every_layer_switched_off(host, listener):
    # The switches themselves: with nothing left, the same programs get through.
    program = f"import socket\nsocket.create_connection(('127.0.0.1', {listener}), timeout=5)"
    update = host.run(program + "\nprint('through')", off=ALL)["update"]
    assert update["python_executed_output"] == "through\n"


@pytest.mark.parametrize(
    "program",
    [
        "socket.socket(socket.AF_INET)",
        "socket.socket(socket.AF_UNIX)",
        "socket.socketpair()",
        # A socket it already holds (its channel to the host), asked to connect elsewhere.
        f"socket.socket(fileno=os.dup(3)).connect({POSTGRES_SOCKET!r})",
    ],
    ids=["inet", "unix", "socketpair", "connect"],
)
def test_the_process_filter_refuses_making_and_connecting_sockets(program, host):
    error = error_of(host.run("import os, socket\n" + program, off=but("seccomp")))
    assert error == "PermissionError: [Errno 1] Operation not permitted"


TCP = "import socket\nsocket.create_connection(('127.0.0.1', {port}), timeout=5)"


@pytest.mark.parametrize(
    ("layer", "off", "abi", "error"),
    [
        ("network namespace", but("network"), None, "OSError: [Errno 101] Network is unreachable"),
        (
            "Landlock TCP rule",
            but("landlock"),
            None,
            "PermissionError: [Errno 13] Permission denied",
        ),
        (
            "seccomp socket()",
            but("seccomp"),
            3,
            "PermissionError: [Errno 1] Operation not permitted",
        ),
    ],
)
def test_tcp_to_the_host_meets_each_wall(layer, off, abi, error, host, listener):
    # ABI 3 has no TCP rules: only seccomp is left to refuse.
    assert error_of(host.run(TCP.format(port=listener), off=off, abi=abi)) == error


PATH_SOCKET = "import socket\nsocket.socket(socket.AF_UNIX).connect({path!r})"


@pytest.mark.skipif(not Path(POSTGRES_SOCKET).exists(), reason="no local PostgreSQL socket")
@pytest.mark.parametrize(
    ("off", "error"),
    [
        (but("seccomp"), "PermissionError: [Errno 1] Operation not permitted"),
        (but("view"), "FileNotFoundError: [Errno 2] No such file or directory"),
    ],
    ids=["seccomp", "view"],
)
def test_a_database_path_socket_meets_each_wall(off, error, host):
    # Landlock does not restrict connecting to a path socket, and trust authentication does not
    # look at the caller's id: the socket call and the file system's view are the walls.
    assert error_of(host.run(PATH_SOCKET.format(path=POSTGRES_SOCKET), off=off)) == error


@root_only
def test_peer_credentials_do_not_name_root(host, open_folder):
    # What MariaDB's unix_socket and PostgreSQL's peer authentication ask the kernel.
    path = open_folder / "peer.sock"
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(path))
        path.chmod(0o777)
        server.listen()
        program = (
            f"import socket\nsocket.socket(socket.AF_UNIX).connect({str(path)!r})\nprint('in')"
        )
        update = host.run(program, off=but("identity"))["update"]
        assert update["python_executed_output"] == "in\n"
        server.settimeout(10)
        connection, _ = server.accept()
        with connection:
            credentials = connection.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12)
    _pid, uid, gid = struct.unpack("iII", credentials)
    assert (uid, gid) == (65534, 65534)


ABSTRACT = "import socket\nsocket.socket(socket.AF_UNIX).connect({name!r})"


@pytest.mark.parametrize(
    ("off", "abi", "error"),
    [
        (but("landlock"), None, "PermissionError: [Errno 1] Operation not permitted"),
        (but("network"), 5, "ConnectionRefusedError: [Errno 111] Connection refused"),
    ],
    ids=["landlock-scope", "network-namespace"],
)
def test_an_abstract_socket_of_the_host_meets_each_wall(off, abi, error, host):
    name = f"\0quorlix-wall-test-{os.getpid()}"
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(name)
        server.listen()
        assert error_of(host.run(ABSTRACT.format(name=name), off=off, abi=abi)) == error


SIGNAL = "import os, signal\nos.kill({pid}, signal.SIGKILL)"


@pytest.mark.parametrize(
    ("off", "abi"),
    [
        pytest.param(but("landlock"), None, id="landlock-scope"),
        pytest.param(but("identity"), 5, id="sandbox-id", marks=root_only),
    ],
)
def test_an_outside_process_cannot_be_signalled(off, abi, host, victim):
    error = error_of(host.run(SIGNAL.format(pid=victim.pid), off=off, abi=abi))
    assert error == "PermissionError: [Errno 1] Operation not permitted"
    assert victim.poll() is None


def host_file(folder: Path, mode: int) -> Path:
    """A file of the host's, as a copy of a queried database would be."""
    path = Path(tempfile.mkstemp(dir=folder, suffix=".db")[1])
    path.write_bytes(b"SQLite format 3\0" + bytes(4080))
    path.chmod(mode)
    return path


@pytest.mark.parametrize(
    ("off", "mode", "error"),
    [
        (but("seccomp"), 0o666, "PermissionError: [Errno 1] Operation not permitted"),
        (but("landlock"), 0o666, "PermissionError: [Errno 13] Permission denied"),
        (but("view"), 0o666, "FileNotFoundError: [Errno 2] No such file or directory"),
        pytest.param(
            but("identity"), 0o644, "PermissionError: [Errno 13] Permission denied", marks=root_only
        ),
    ],
    ids=["seccomp", "landlock", "view", "sandbox-id"],
)
def test_a_database_copy_cannot_be_truncated(off, mode, error, host, open_folder):
    # Landlock before ABI 3 does not see truncate(2) at all; the process filter refuses it.
    path = host_file(open_folder, mode)
    program = f"import os\nos.truncate({str(path)!r}, 0)"
    assert error_of(host.run(program, off=off)).startswith(error)
    assert path.stat().st_size == 4096


@pytest.mark.parametrize(
    ("off", "mode", "error"),
    [
        (but("landlock"), 0o644, "PermissionError: [Errno 13] Permission denied"),
        (but("view"), 0o644, "FileNotFoundError: [Errno 2] No such file or directory"),
        pytest.param(
            but("identity"), 0o600, "PermissionError: [Errno 13] Permission denied", marks=root_only
        ),
    ],
    ids=["landlock", "view", "sandbox-id"],
)
def test_a_file_of_the_host_cannot_be_read(off, mode, error, host, open_folder):
    path = host_file(open_folder, mode)
    program = f"print(open({str(path)!r}, 'rb').read()[:6])"
    assert error_of(host.run(program, off=off)).startswith(error)


@root_only
def test_a_file_of_the_host_cannot_change_its_mode(host, open_folder):
    # Landlock does not cover chmod(2); as the file's owner the program would need no capability.
    path = host_file(open_folder, 0o600)
    program = f"import os\nos.chmod({str(path)!r}, 0o666)"
    error = error_of(host.run(program, off=but("identity")))
    assert error.startswith("PermissionError: [Errno 1] Operation not permitted")
    assert path.stat().st_mode & 0o777 == 0o600


SCOPES = "signal and abstract-socket scoping (Landlock ABI 6)"


@pytest.mark.parametrize(
    ("abi", "lacking"),
    [
        (2, "file truncation (Landlock ABI 3)"),
        (3, "TCP bind and connect (Landlock ABI 4)"),
        (5, SCOPES),
    ],
)
def test_required_refuses_an_older_landlock_naming_what_it_lacks(
    abi, lacking, host, victim, open_folder
):
    # The programs that reached past such kernels: they must not run at all.
    path = host_file(open_folder, 0o666)
    program = (
        f"import os, signal\nos.truncate({str(path)!r}, 0)\nos.kill({victim.pid}, signal.SIGKILL)"
    )
    answer = host.run(program, abi=abi, mode="required")
    assert answer["raised"].startswith("RuntimeError: QUORLIX_ANALYSIS_SANDBOX=required, but")
    assert f"{lacking}: this kernel offers Landlock ABI {abi}" in answer["raised"]
    assert victim.poll() is None and path.stat().st_size == 4096


def test_auto_runs_on_an_older_landlock_and_names_what_it_lacks(host):
    kind, value, _, _, _, missing = host.run("print('ran')", abi=5, raw=True)["outcome"]
    assert (kind, value) == ("ok", "ran\n")
    assert missing.splitlines() == [f"{SCOPES}: this kernel offers Landlock ABI 5"]
