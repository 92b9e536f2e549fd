"""The analysis program runs confined: each case is a program that tries something it must not
manage (or must still manage), run through the real analysis node and its worker processes."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from quorlix import _sandbox
from quorlix.querymesh import nodewright

ALLOWED_VARIABLES = {"PATH", "LANG", "TZ", "HOME", "TMPDIR", "MPLCONFIGDIR"}


@pytest.fixture(autouse=True)
def sandboxed(monkeypatch):
    for name in (
        "QUORLIX_ANALYSIS_SANDBOX",
        "QUORLIX_ANALYSIS_MEMORY",
        "QUORLIX_ANALYSIS_TIMEOUT",
        "QUORLIX_ANALYSIS_DISK",
        "QUORLIX_ANALYSIS_OUTPUT_LIMIT",
    ):
        monkeypatch.delenv(name, raising=False)


def run(program: str, save_path: str | None = None) -> dict:
    return nodewright.PandasExecutor(model=None).invoke(
        {"pandas_code": program, "save_path": save_path}
    )


def denied(path: object) -> str:
    return f"PermissionError: [Errno 13] Permission denied: {str(path)!r}"


def test_the_program_sees_none_of_the_host_environment(monkeypatch):
    monkeypatch.setenv("AZURE_OPENAI_API_KEY", "sk-host-secret")
    monkeypatch.setenv("QUORLIX_HOME", "/somewhere")
    program = "import os\nprint(os.environ.get('AZURE_OPENAI_API_KEY'))\nprint(sorted(os.environ))"
    update = run(program)
    absent, names = update["python_executed_output"].splitlines()
    assert absent == "None"
    assert set(eval(names)) <= ALLOWED_VARIABLES and "HOME" in eval(names)


@pytest.fixture
def host_files(tmp_path):
    """Files the host can read: a secret in a home folder, one in QUORLIX_HOME, and the project."""
    files = {}
    for name in ("home", "quorlix_home"):
        folder = tmp_path / name
        folder.mkdir()
        files[name] = folder / "secret.txt"
        files[name].write_text("host secret")
    files["project"] = Path(__file__)
    files["passwd"] = Path("/etc/passwd")
    files["home_folder"] = tmp_path / "home"
    return files


@pytest.mark.parametrize("target", ["home", "quorlix_home", "passwd", "project", "home_folder"])
def test_files_of_the_host_are_out_of_sight(target, host_files):
    path = host_files[target]
    assert path.exists()  # the host itself can reach it
    # Not even their existence or size: the worker's file system holds only what it may use.
    update = run(f"import os\nprint(os.path.exists({str(path)!r}))\nos.stat({str(path)!r})")
    missing = f"FileNotFoundError: [Errno 2] No such file or directory: {str(path)!r}"
    assert update == {"python_execution_success": False, "python_error_message": missing}
    assert run(f"import os\nprint(os.path.exists({str(path)!r}))")["python_executed_output"] == (
        "False\n"
    )


def test_writes_reach_only_the_run_folder_and_the_chart(tmp_path):
    outside = tmp_path / "outside.txt"
    beside_the_chart = tmp_path / "other.png"
    chart = tmp_path / "chart.png"
    for path in (outside, beside_the_chart):
        update = run(f"open({str(path)!r}, 'w').write('x')", save_path=str(chart))
        assert update["python_error_message"] == denied(path)
        assert not path.exists()
    program = (
        "import os, tempfile\n"
        "notes = os.path.join(os.environ['HOME'], 'notes.txt')\n"
        "open(notes, 'w').write('kept')\n"
        "with tempfile.NamedTemporaryFile('w+') as scratch:\n"
        "    print(open(notes).read(), scratch.write('x'))"
    )
    update = run(program, save_path=str(chart))
    assert update == {"python_executed_output": "kept 1\n", "python_execution_success": True}
    # A chart path the program did not use is not left behind as an empty file.
    assert not chart.exists()


@pytest.mark.parametrize(("relative", "existing"), [(False, False), (True, False), (False, True)])
def test_the_chart_is_saved_and_the_output_captured(relative, existing, tmp_path, monkeypatch):
    # A relative path leads where it would in-process: the host's working directory.
    monkeypatch.chdir(tmp_path)
    chart = Path("chart.png") if relative else tmp_path / "chart.png"
    if existing:  # a chart of an earlier run, as `quorlix ask` leaves one
        (tmp_path / "chart.png").write_bytes(b"old")
        (tmp_path / "chart.png").chmod(0o640)
    program = (
        "import pandas as pd\nimport matplotlib.pyplot as plt\n"
        "frame = pd.DataFrame({'city': ['Dublin', 'Cork', 'Dublin'], 'orders': [2, 1, 3]})\n"
        "totals = frame.groupby('city')['orders'].sum()\n"
        "totals.plot(kind='bar')\n"
        f"plt.savefig({str(chart)!r})\n"
        "print(totals.to_dict())"
    )
    update = run(program, save_path=str(chart))
    assert update == {
        "python_executed_output": "{'Cork': 1, 'Dublin': 5}\n",
        "python_execution_success": True,
    }
    saved = tmp_path / "chart.png"
    assert saved.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # Whatever id the worker wrote it under, the file is the host's again, as it was.
    info = saved.stat()
    assert (info.st_uid, info.st_gid) == (os.geteuid(), os.getegid())
    if existing:
        assert info.st_mode & 0o777 == 0o640


@pytest.mark.parametrize("server", ["postgres", "listener"])
def test_the_network_is_out_of_reach(server):
    with socket.create_server(("127.0.0.1", 0)) as listener:
        port = 5432 if server == "postgres" else listener.getsockname()[1]
        # The host reaches the server; the program does not.
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
        program = f"import socket\nsocket.create_connection(('127.0.0.1', {port}), timeout=5)"
        update = run(program)
    assert update["python_execution_success"] is False
    assert update["python_error_message"].startswith(("PermissionError:", "OSError:"))


@pytest.mark.parametrize(
    "path",
    ["/var/run/postgresql/.s.PGSQL.5432", "/run/mysqld/mysqld.sock"],
    ids=["postgres", "mariadb"],
)
def test_database_sockets_of_the_host_are_out_of_reach(path):
    # Trust authentication over PostgreSQL's socket ran commands on the host (COPY ... PROGRAM);
    # MariaDB's let the program in as root.
    if not Path(path).exists():
        pytest.skip(f"no {path} here")
    socket.socket(socket.AF_UNIX).connect(path)  # the host can
    update = run(f"import socket\nsocket.socket(socket.AF_UNIX).connect({path!r})")
    assert update["python_error_message"] == "PermissionError: [Errno 1] Operation not permitted"


@pytest.mark.parametrize(
    ("limit", "program", "message"),
    [
        (None, "block = bytearray(4 * 1024**3)", "2 GiB"),
        (None, "import numpy\nblock = numpy.ones(2**29)", "2 GiB"),
        ("512M", "block = bytearray(600 * 1024**2)", "512 MiB"),
    ],
)
def test_memory_is_bounded_and_the_host_unharmed(limit, program, message, monkeypatch):
    if limit:
        monkeypatch.setenv("QUORLIX_ANALYSIS_MEMORY", limit)
    update = run(program)
    assert update == {
        "python_execution_success": False,
        "python_error_message": f"MemoryError: the analysis program used more than {message}",
    }
    assert run("print('still here')")["python_executed_output"] == "still here\n"


@pytest.mark.parametrize(
    "program",
    [
        "import os\nfor _ in range(10_000):\n    os.fork()",
        "import subprocess\nsubprocess.run(['true'])",
    ],
    ids=["fork-bomb", "subprocess"],
)
def test_no_process_can_be_started(program):
    update = run(program)
    assert update["python_error_message"].startswith("PermissionError: [Errno 1]")


@pytest.mark.parametrize(
    ("program", "message"),
    [
        ("import ctypes\nctypes.string_at(0)", "RuntimeError: the analysis program crashed"),
        ("import os\nos._exit(3)", "RuntimeError: the analysis program ended its process (exit"),
        ("import os, signal\nos.kill(os.getpid(), signal.SIGKILL)", "MemoryError: the analysis"),
    ],
    ids=["segfault", "exit", "killed"],
)
def test_a_dying_worker_is_a_failure_of_the_run(program, message):
    update = run(program)
    assert update["python_execution_success"] is False
    assert update["python_error_message"].startswith(message)
    assert run("print(1)")["python_executed_output"] == "1\n"


def test_a_program_blocked_in_one_call_is_killed_at_the_limit(monkeypatch):
    monkeypatch.setenv("QUORLIX_ANALYSIS_TIMEOUT", "0.5")
    started = time.monotonic()
    update = run("import time\ntime.sleep(60)")
    assert update["python_error_message"] == (
        "TimeoutError: the analysis program ran longer than 0.5 seconds and was stopped"
    )
    assert time.monotonic() - started < 15


@pytest.mark.parametrize("code", [3, "bye", None])
def test_system_exit_keeps_its_code(code):
    with pytest.raises(SystemExit) as stop:
        run(f"raise SystemExit({code!r})")
    assert stop.value.code == code


# Asks the kernel itself (/proc is out of reach): capget for the effective, permitted and
# inheritable sets, prctl(PR_CAPBSET_READ) for each capability of the bounding set (0 absent,
# 1 present, -1 the call failed); capabilities 0 to 37 exist on every supported kernel.
CAPABILITIES = """
import ctypes
libc = ctypes.CDLL(None, use_errno=True)
header = (ctypes.c_uint32 * 2)(0x20080522, 0)
sets = (ctypes.c_uint32 * 6)()
print(libc.capget(header, sets), list(sets))
print(sorted({libc.prctl(23, cap, 0, 0, 0) for cap in range(38)}))
"""


def test_the_program_holds_no_capabilities():
    update = run(CAPABILITIES)
    assert update["python_executed_output"] == "0 [0, 0, 0, 0, 0, 0]\n[0]\n", update
    # Raising its own priority takes CAP_SYS_NICE, which root would have.
    status = run("import os\nos.nice(-1)")
    assert status["python_error_message"] == "PermissionError: [Errno 1] Operation not permitted"


@pytest.mark.skipif(os.geteuid() != 0, reason="only a root host's workers change their id")
def test_a_root_host_runs_the_program_as_nobody():
    update = run("import os\nprint(os.getresuid(), os.getresgid(), os.getgroups())")
    assert update["python_executed_output"] == f"{(65534,) * 3} {(65534,) * 3} [65534]\n"


def test_concurrent_runs_keep_their_outputs_apart():
    program = "import time\nfor step in range(3):\n    print({n}, step)\n    time.sleep(0.01)"

    def one(n: int) -> dict:
        return run(program.format(n=n))

    with ThreadPoolExecutor(max_workers=8) as pool:
        updates = list(pool.map(one, range(32)))
    assert [u["python_executed_output"] for u in updates] == [
        "".join(f"{n} {step}\n" for step in range(3)) for n in range(32)
    ]


def warm_parents() -> list[int]:
    """The analysis parents this process started (whichever of its threads started them)."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            stat = (entry / "stat").read_text()
            command = (entry / "cmdline").read_bytes()
        except (OSError, ValueError):
            continue
        parent = int(stat.rsplit(")", 1)[1].split()[1])
        if parent == os.getpid() and b"_sandbox" in command:
            found.append(int(entry.name))
    return found


def test_a_dead_parent_is_replaced():
    _sandbox.prestart()
    parents = warm_parents()
    assert len(parents) == 1
    folder = Path(Path(f"/proc/{parents[0]}/cmdline").read_bytes().split(b"\0")[5].decode())
    assert folder.is_dir()
    os.kill(parents[0], signal.SIGKILL)
    assert run("print('again')")["python_executed_output"] == "again\n"
    assert warm_parents() != parents
    assert not folder.exists()  # the dead parent's run folders are cleared by the host


@pytest.mark.parametrize(
    ("mode", "secret_seen"), [("off", "sk-host-secret"), ("required", "None"), ("Auto", "None")]
)
def test_the_mode_chooses_where_the_program_runs(mode, secret_seen, monkeypatch):
    monkeypatch.setenv("AZURE_OPENAI_API_KEY", "sk-host-secret")
    monkeypatch.setenv("QUORLIX_ANALYSIS_SANDBOX", mode)
    update = run("import os\nprint(os.environ.get('AZURE_OPENAI_API_KEY'))")
    assert update["python_executed_output"] == secret_seen + "\n"


@pytest.mark.parametrize(
    ("variable", "value"),
    [
        ("QUORLIX_ANALYSIS_SANDBOX", "strict"),
        ("QUORLIX_ANALYSIS_MEMORY", "lots"),
        ("QUORLIX_ANALYSIS_MEMORY", "2X"),
        ("QUORLIX_ANALYSIS_MEMORY", "100M"),
        ("QUORLIX_ANALYSIS_MEMORY", "-1G"),
        ("QUORLIX_ANALYSIS_DISK", "100K"),
        ("QUORLIX_ANALYSIS_OUTPUT_LIMIT", "0"),
        ("QUORLIX_ANALYSIS_OUTPUT_LIMIT", "lots"),
    ],
)
def test_an_invalid_setting_names_the_variable(variable, value, monkeypatch):
    monkeypatch.setenv(variable, value)
    with pytest.raises(ValueError, match=f"^{variable} must be"):
        run("print(1)")


def test_the_run_folder_has_a_quota(monkeypatch):
    # Three files, each within the quota, that together are not.
    monkeypatch.setenv("QUORLIX_ANALYSIS_DISK", "8M")
    program = (
        "import os\nfor n in range(3):\n"
        "    with open(os.path.join(os.environ['HOME'], f'{n}.bin'), 'wb') as f:\n"
        "        f.write(bytes(4 * 1024 * 1024))\n"
        "    print(n)"
    )
    update = run(program)
    assert update["python_error_message"] == "OSError: [Errno 28] No space left on device"
    monkeypatch.delenv("QUORLIX_ANALYSIS_DISK")
    assert run(program)["python_executed_output"] == "0\n1\n2\n"


@pytest.mark.parametrize("value", ["3G", "3221225472", "3GiB", "3gb", " 3072M "])
def test_memory_sizes_are_read_in_the_usual_spellings(value, monkeypatch):
    monkeypatch.setenv("QUORLIX_ANALYSIS_MEMORY", value)
    update = run("import resource\nprint(resource.getrlimit(resource.RLIMIT_AS)[0])")
    assert update["python_executed_output"] == f"{3 * 1024**3}\n"


# Runs in a child host whose seccomp filter makes the kernel look older: unshare fails with
# EPERM and Landlock with ENOSYS. The filter is inherited by the parent and its workers.
WITHOUT_LAYERS = """
import ctypes, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
def statement(code, k, jt=0, jf=0):
    return struct.pack("HBBI", code, jt, jf, k)
program = b"".join([
    statement(0x20, 0),                   # load the call number
    statement(0x15, 272, 0, 1),           # unshare
    statement(0x06, 0x00050000 | 1),      # -> EPERM
    statement(0x15, 444, 0, 1),           # landlock_create_ruleset
    statement(0x06, 0x00050000 | 38),     # -> ENOSYS
    statement(0x06, 0x7FFF0000),          # allow
])
class Program(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_char_p)]
assert libc.prctl(38, 1, 0, 0, 0) == 0
assert libc.prctl(22, 2, ctypes.byref(Program(len(program) // 8, program))) == 0
from quorlix.querymesh import nodewright
executor = nodewright.PandasExecutor(model=None)
for _ in range(2):
    try:
        print(executor.invoke({"pandas_code": "print('ran')"}))
    except RuntimeError as refusal:
        print("refused:", refusal)
"""


@pytest.mark.parametrize("mode", ["auto", "required"])
def test_missing_layers_are_reported_once_or_refused(mode, tmp_path):
    import quorlix

    env = {
        "PATH": os.environ["PATH"],
        "PYTHONPATH": str(Path(quorlix.__file__).parents[1]),
        "QUORLIX_ANALYSIS_SANDBOX": mode,
    }
    done = subprocess.run(
        [sys.executable, "-c", WITHOUT_LAYERS],
        env=env,
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    if mode == "auto":
        ran = "{'python_executed_output': 'ran\\n', 'python_execution_success': True}"
        assert lines == [ran, ran]
        # Once for the two runs: printed, and logged (loguru writes to stderr too).
        assert done.stderr.count("which this system does not offer") == 2
        assert "network namespace: unshare(CLONE_NEWNET)" in done.stderr
        assert "filesystem (Landlock)" in done.stderr
        assert "processes" not in done.stderr
    else:
        assert done.stdout.count("refused: QUORLIX_ANALYSIS_SANDBOX=required, but") == 2
        assert "python_executed_output" not in done.stdout
        assert "network namespace" in done.stdout and "filesystem (Landlock)" in done.stdout
