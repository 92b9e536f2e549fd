"""A host whose kernel can be told to refuse single layers of the analysis sandbox, so that each
layer's wall is tested alone.

Nothing in quorlix can switch a layer off. Instead, a child interpreter serves the tests as the
host; before its first run it installs a seccomp filter that hands the calls the sandbox's layers
rest on to a thread of its own (a seccomp user notification), and that thread answers as a kernel
without the layer would, or lets the call go through. The filter is inherited by the warm parent
and every worker it forks:

- "network", "view": ``unshare(CLONE_NEWNET)``, ``unshare(CLONE_NEWNS)`` fail with EPERM;
- "landlock": Landlock's version query fails with ENOSYS; ``abi`` answers it with that version
  instead (a kernel of that Landlock ABI: the worker then asks for only what it offers);
- "seccomp": installing the worker's own filter fails with EINVAL;
- "identity": ``setgroups``, ``setresgid`` and ``setresuid`` fail with EPERM.

Run as a script, it reads one JSON request a line on stdin and writes one JSON answer a line.
"""

from __future__ import annotations

import ctypes
import json
import os
import struct
import subprocess
import sys
import threading
from pathlib import Path

LAYERS = ("network", "view", "landlock", "seccomp", "identity")

SYS = {"unshare": 272, "landlock_create_ruleset": 444, "prctl": 157, "seccomp": 317}
SYS_IDENTITY = (116, 117, 119)  # setgroups, setresuid, setresgid
CLONE_NEWNS, CLONE_NEWNET = 0x00020000, 0x40000000
PR_SET_SECCOMP, PR_SET_NO_NEW_PRIVS = 22, 38
SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER = 1, 1 << 3
RET_ALLOW, RET_USER_NOTIF = 0x7FFF0000, 0x7FC00000
NOTIF_RECV, NOTIF_SEND = 0xC0502100, 0xC0182101
FLAG_CONTINUE = 1
EPERM, EINVAL, ENOSYS = 1, 22, 38


def _filter() -> bytes:
    """nr and the argument that matters -> user notification; everything else allowed."""

    def op(code, k, jt=0, jf=0):
        return struct.pack("HBBI", code, jt, jf, k)

    load_nr, load_arg0, load_arg2 = op(0x20, 0), op(0x20, 16), op(0x20, 32)
    jeq = 0x15
    return b"".join(
        [
            load_nr,  # 0
            op(jeq, SYS["unshare"], 11),  # 1 -> 13 notify
            op(jeq, SYS["seccomp"], 10),
            op(jeq, SYS_IDENTITY[0], 9),
            op(jeq, SYS_IDENTITY[1], 8),
            op(jeq, SYS_IDENTITY[2], 7),
            op(jeq, SYS["prctl"], 2),  # 6 -> 9
            op(jeq, SYS["landlock_create_ruleset"], 3),  # 7 -> 11
            op(0x06, RET_ALLOW),  # 8
            load_arg0,  # 9: prctl's option
            op(jeq, PR_SET_SECCOMP, 2, 3),  # 10 -> 13 / 14
            load_arg2,  # 11: Landlock's flags (only the version query is answered here)
            op(jeq, 1, 0, 1),  # 12 -> 13 / 14
            op(0x06, RET_USER_NOTIF),  # 13
            op(0x06, RET_ALLOW),  # 14
        ]
    )


class _Program(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_char_p)]


class Switches:
    """The layers refused now; read by the answering thread at every call."""

    def __init__(self) -> None:
        self.off: set[str] = set()
        self.abi: int | None = None

    def answer(self, nr: int, args: tuple[int, ...]) -> tuple[int, int, int]:
        """(value, -errno, flags) for one intercepted call."""
        refuse = (0, -EPERM, 0)
        go_on = (0, 0, FLAG_CONTINUE)
        if nr == SYS["unshare"]:
            if args[0] & CLONE_NEWNET and "network" in self.off:
                return refuse
            if args[0] & CLONE_NEWNS and "view" in self.off:
                return refuse
            return go_on
        if nr == SYS["landlock_create_ruleset"]:
            if "landlock" in self.off:
                return (0, -ENOSYS, 0)
            return (self.abi, 0, 0) if self.abi else go_on
        if nr in (SYS["seccomp"], SYS["prctl"]):
            return (0, -EINVAL, 0) if "seccomp" in self.off else go_on
        if nr in SYS_IDENTITY:
            return refuse if "identity" in self.off else go_on
        return go_on


def install(switches: Switches) -> None:
    """Installs the filter on this thread (and all it starts), answered by a new thread."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    ready = threading.Event()
    listener: list[int] = []

    def answer_calls() -> None:
        ready.wait()
        notice = ctypes.create_string_buffer(80)
        while True:
            ctypes.memset(notice, 0, 80)
            if libc.ioctl(listener[0], ctypes.c_ulong(NOTIF_RECV), notice) != 0:
                continue  # the caller went away before its call was read
            ident, _pid, _flags, nr, _arch, _ip, *args = struct.unpack("QIIiIQ6Q", notice.raw)
            value, error, flags = switches.answer(nr, tuple(args))
            reply = struct.pack("QqiI", ident, value, error, flags)
            libc.ioctl(listener[0], ctypes.c_ulong(NOTIF_SEND), ctypes.c_char_p(reply))

    threading.Thread(target=answer_calls, daemon=True).start()
    code = _filter()
    program = _Program(len(code) // 8, code)
    assert libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
    fd = libc.syscall(
        SYS["seccomp"],
        SECCOMP_SET_MODE_FILTER,
        SECCOMP_FILTER_FLAG_NEW_LISTENER,
        ctypes.byref(program),
    )
    assert fd >= 0, os.strerror(ctypes.get_errno())
    listener.append(fd)
    ready.set()


def serve() -> None:
    switches = Switches()
    install(switches)
    from quorlix.querymesh import nodewright

    executor = nodewright.PandasExecutor(model=None)
    current: tuple | None = None
    for line in sys.stdin:
        request = json.loads(line)
        setting = (frozenset(request["off"]), request.get("abi"))
        if setting != current:
            switches.off, switches.abi = set(setting[0]), setting[1]
            # The prepared worker was made under the old switches: use it up.
            os.environ["QUORLIX_ANALYSIS_SANDBOX"] = "auto"
            executor.invoke({"pandas_code": "pass"})
            current = setting
        os.environ["QUORLIX_ANALYSIS_SANDBOX"] = request.get("mode", "auto")
        try:
            if request.get("raw"):
                # The worker's own report, with the layers it lacks (the node says those once).
                from quorlix import _sandbox

                outcome = _sandbox.run(
                    request["program"], 60.0, 2 << 30, None, False, 1 << 20, 1 << 28
                )
                answer = {"outcome": list(outcome)}
            else:
                answer = {"update": executor.invoke({"pandas_code": request["program"]})}
        except BaseException as raised:  # noqa: BLE001 - every outcome goes back to the test
            answer = {"raised": f"{type(raised).__name__}: {raised}"}
        print(json.dumps(answer), flush=True)


class LayerHost:
    """The test's end: runs programs in the child host with chosen layers switched off."""

    def __init__(self, env: dict[str, str], stderr: Path) -> None:
        self.stderr = stderr
        with stderr.open("w") as errors:
            self._process = subprocess.Popen(
                [sys.executable, str(Path(__file__))],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=errors,
                text=True,
                env=env,
                cwd=Path(__file__).parent,
            )

    def run(
        self, program: str, off=(), abi: int | None = None, mode: str = "auto", raw: bool = False
    ) -> dict:
        """{"update": ...} (the node's), {"raised": "Type: message"}, or with ``raw``
        {"outcome": [kind, value, length, stdout, stderr, missing layers]} (the worker's)."""
        unknown = set(off) - set(LAYERS)
        assert not unknown, unknown
        request = {"off": sorted(off), "abi": abi, "mode": mode, "program": program, "raw": raw}
        assert self._process.stdin and self._process.stdout
        self._process.stdin.write(json.dumps(request) + "\n")
        self._process.stdin.flush()
        line = self._process.stdout.readline()
        assert line, "the layer host ended"
        return json.loads(line)

    def close(self) -> None:
        if self._process.stdin:
            self._process.stdin.close()
        self._process.wait(timeout=30)


if __name__ == "__main__":
    serve()
