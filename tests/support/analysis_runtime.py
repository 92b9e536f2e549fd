"""Helpers for the analysis-code runtime tests: module state kept apart between tests, a stand-in
interpreter that records its pip runs, and a wheel built by hand (no index, no build backend)."""

import base64
import hashlib
import json
import sys
import zipfile
from dataclasses import dataclass
from pathlib import Path

import pytest
from quorlix import codebench, master


@pytest.fixture
def runtime_state():
    """Restores both modules' namespaces (globals, replaced functions, names a program bound)."""
    saved = {module: dict(vars(module)) for module in (codebench, master)}
    yield
    for module, names in saved.items():
        namespace = vars(module)
        for name in set(namespace) - set(names):
            del namespace[name]
        namespace.update(names)


FAKE_PYTHON = """#!{python}
import json, os, sys
package = sys.argv[-1]
with open({log!r}, "a") as log:
    log.write(json.dumps({{"argv": sys.argv, "pid": os.getpid()}}) + "\\n")
print("fake pip stdout:", package)
print("fake pip stderr:", package, file=sys.stderr)
sys.exit({statuses!r}.get(package, 0))
"""


@dataclass
class FakePython:
    """An interpreter stand-in that logs each run's arguments and exits with a chosen status."""

    path: Path
    log: Path

    def runs(self):
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text().splitlines()]


def write_fake_python(directory: Path, statuses=None) -> FakePython:
    """Writes an executable at directory/bin/python; `statuses` maps package -> exit status."""
    path = directory / "bin" / "python"
    path.parent.mkdir(parents=True, exist_ok=True)
    log = directory / "pip-runs.jsonl"
    path.write_text(
        FAKE_PYTHON.format(python=sys.executable, log=str(log), statuses=statuses or {})
    )
    path.chmod(0o755)
    return FakePython(path, log)


def _record_hash(data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"sha256={digest},{len(data)}"


def build_wheel(directory: Path, module: str, source: str) -> Path:
    """A pure-Python wheel holding `module`, installable by pip without an index."""
    dist = module.replace("_", "-")
    info = f"{module}-1.0.dist-info"
    files = {
        f"{module}/__init__.py": source.encode(),
        f"{info}/METADATA": f"Metadata-Version: 2.1\nName: {dist}\nVersion: 1.0\n".encode(),
        f"{info}/WHEEL": (
            b"Wheel-Version: 1.0\nGenerator: quorlix-tests\nRoot-Is-Purelib: true\n"
            b"Tag: py3-none-any\n"
        ),
    }
    record = "".join(f"{name},{_record_hash(data)}\n" for name, data in files.items())
    record += f"{info}/RECORD,,\n"
    wheel = directory / f"{module}-1.0-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        for name, data in files.items():
            archive.writestr(name, data)
        archive.writestr(f"{info}/RECORD", record)
    return wheel
