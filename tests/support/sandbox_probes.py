"""What the analysis sandbox tests look at from outside: a process a program must not reach,
and this process's peak memory."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest


@pytest.fixture
def victim():
    """An outside process of the host's user that a program must not be able to signal."""
    process = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(120)"])
    yield process
    process.kill()
    process.wait()


def restart_peak_memory() -> int:
    """Starts this process's peak resident size again from here; returns it in bytes."""
    Path("/proc/self/clear_refs").write_text("5")
    return peak_memory()


def peak_memory() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    raise AssertionError("no VmHWM in /proc/self/status")
