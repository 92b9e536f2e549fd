"""The analysis-code runtime's environment and pip installs, with a stand-in interpreter and with
one real virtual environment (pip installs a hand-built local wheel; no index is ever reached)."""

import contextlib
import io
import subprocess
import types
from pathlib import Path

import pytest
from support.analysis_runtime import (  # noqa: F401 (runtime_state is a fixture)
    build_wheel,
    codebench,
    runtime_state,
    write_fake_python,
)

DEFAULTS = ["matplotlib", "scikit-learn", "numpy", "statsmodels", "pandas", "scipy"]
pytestmark = pytest.mark.usefixtures("runtime_state")


def pip_command(python, package):
    return [str(python), "-m", "pip", "install", package]


def test_namespace_at_import():
    for name in ("ast", "os", "subprocess", "sys", "tempfile", "venv"):
        assert getattr(codebench, name) is __import__(name)
    assert codebench.StringIO is io.StringIO
    assert (codebench.env_path, codebench.python_executable, codebench.media_path) == (None,) * 3
    assert issubclass(codebench.InstallationError, RuntimeError)


@pytest.mark.parametrize(
    "packages, statuses, failed",
    [
        ([], {}, []),
        (["alpha", "beta", "gamma"], {}, []),
        (["nosuchpkg", "fine", "other"], {"nosuchpkg": 1, "other": 2}, [1, 2]),
        (["fine", "last"], {"last": 3}, [3]),
    ],
)
def test_install_dependencies_runs_pip_once_per_package_and_reports_every_failure(
    tmp_path, capfd, packages, statuses, failed
):
    fake = write_fake_python(tmp_path, statuses)
    codebench.python_executable = str(fake.path)
    failures = [(p, statuses[p]) for p in packages if p in statuses]
    if failures:
        with pytest.raises(codebench.InstallationError) as raised:
            codebench.install_dependencies(packages)
        listed = ", ".join(f"{p} (exit status {s})" for p, s in failures)
        assert str(raised.value).startswith(f"pip could not install: {listed}")
        assert raised.value.failures == failures
    else:
        assert codebench.install_dependencies(packages) is None
    runs = fake.runs()
    # Every package ran, in order, even after a failure; one process each.
    assert [run["argv"] for run in runs] == [pip_command(fake.path, p) for p in packages]
    assert len({run["pid"] for run in runs}) == len(packages)
    # pip writes straight to this process's streams.
    out, err = capfd.readouterr()
    assert out.splitlines() == [f"fake pip stdout: {p}" for p in packages]
    assert err.splitlines() == [f"fake pip stderr: {p}" for p in packages]


def test_each_package_is_one_argument_to_a_process_started_without_a_shell(tmp_path):
    fake = write_fake_python(tmp_path)
    codebench.python_executable = str(fake.path)
    marker = tmp_path / "injected"
    package = f"x; touch {marker}"
    calls = []

    def recording_call(*args, **kwargs):
        calls.append((args, kwargs))
        return subprocess.call(*args, **kwargs)

    codebench.subprocess = types.SimpleNamespace(call=recording_call)
    codebench.install_dependencies([package])
    assert calls == [((pip_command(fake.path, package),), {})]
    assert [run["argv"] for run in fake.runs()] == [pip_command(fake.path, package)]
    assert not marker.exists()


@pytest.mark.parametrize(
    "interpreter, statuses, packages, line",
    [
        ("fake", {}, ["alpha"], "Installation successful."),
        ("fake", {}, [], "Installation successful."),
        (
            "fake",
            {"nosuchpkg": 1},
            ["nosuchpkg", "alpha"],
            "An error occurred during installation: "
            "pip could not install: nosuchpkg (exit status 1)",
        ),
        (
            None,
            {},
            ["alpha"],
            "An error occurred during installation: expected str, bytes or os.PathLike object, "
            "not NoneType",
        ),
        ("missing", {}, ["alpha", "beta"], "An error occurred during installation: [Errno 2]"),
    ],
)
def test_safe_install_modules_prints_one_line_for_the_outcome(
    tmp_path, capsys, interpreter, statuses, packages, line
):
    fake = write_fake_python(tmp_path, statuses)
    codebench.python_executable = {
        "fake": str(fake.path),
        "missing": str(tmp_path / "nowhere" / "bin" / "python"),
        None: None,
    }[interpreter]
    assert codebench.safe_install_modules(packages) is None
    printed = capsys.readouterr().out.splitlines()
    assert len(printed) == 1 and printed[0].startswith(line)
    if interpreter == "fake":
        assert len(fake.runs()) == len(packages)


def test_ordinary_exceptions_only_are_swallowed(capsys):
    def interrupted(names):
        raise KeyboardInterrupt

    codebench.install_dependencies = interrupted
    with pytest.raises(KeyboardInterrupt):
        codebench.safe_install_modules(["alpha"])
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "platform, layout", [("linux", ("bin", "python")), ("win32", ("Scripts", "python.exe"))]
)
def test_an_existing_directory_is_reused_without_installing(tmp_path, platform, layout):
    events = []
    codebench.venv = types.SimpleNamespace(create=lambda *a, **k: events.append("create"))
    codebench.install_defaults = lambda: events.append("defaults")
    codebench.sys = types.SimpleNamespace(platform=platform)
    first, second = tmp_path / "one", tmp_path / "two"
    first.mkdir()
    second.mkdir()
    codebench.initialize_environment(str(first))
    assert (codebench.env_path, codebench.python_executable) == (
        str(first),
        str(first.joinpath(*layout)),
    )
    # A later call with another directory switches both.
    codebench.initialize_environment(str(second))
    assert (codebench.env_path, codebench.python_executable) == (
        str(second),
        str(second.joinpath(*layout)),
    )
    assert events == []


def test_ensure_virtual_environment_before_initialisation_raises():
    with pytest.raises(TypeError):
        codebench.ensure_virtual_environment()
    assert codebench.python_executable is None


@pytest.fixture(scope="module")
def fresh_environment(tmp_path_factory):
    """One real environment, created with pip; its default installs are recorded, not run."""
    saved = dict(vars(codebench))
    env = tmp_path_factory.mktemp("analysis") / "env"
    calls = []
    codebench.subprocess = types.SimpleNamespace(call=lambda cmd: calls.append(cmd) or 0)
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            codebench.initialize_environment(str(env))
        python = codebench.python_executable
    finally:
        vars(codebench).update(saved)
    return types.SimpleNamespace(env=env, python=python, calls=calls, printed=printed.getvalue())


def test_a_fresh_directory_gets_an_environment_with_pip_and_the_defaults(fresh_environment):
    python = fresh_environment.env / "bin" / "python"
    assert fresh_environment.python == str(python)
    assert [list(cmd) for cmd in fresh_environment.calls] == [
        pip_command(python, p) for p in DEFAULTS
    ]
    assert fresh_environment.printed == "Installation successful.\n"
    pip = subprocess.run([python, "-m", "pip", "--version"], capture_output=True, text=True)
    assert pip.returncode == 0 and "pip" in pip.stdout


@pytest.fixture
def offline_pip(monkeypatch, fresh_environment):
    monkeypatch.setenv("PIP_NO_INDEX", "1")
    monkeypatch.setenv("PIP_DISABLE_PIP_VERSION_CHECK", "1")
    codebench.python_executable = fresh_environment.python
    return Path(fresh_environment.python)


def imports(python, module):
    probe = subprocess.run(
        [python, "-c", f"import {module}; print({module}.VALUE)"], text=True, capture_output=True
    )
    return probe.stdout.strip() if probe.returncode == 0 else None


def test_pip_installs_a_local_wheel_into_the_environment(tmp_path, offline_pip, capfd):
    wheel = build_wheel(tmp_path, "qx_tiny_wheel", "VALUE = 'installed by pip'\n")
    assert imports(offline_pip, "qx_tiny_wheel") is None
    codebench.safe_install_modules([str(wheel)])
    assert capfd.readouterr().out.splitlines()[-1] == "Installation successful."
    assert imports(offline_pip, "qx_tiny_wheel") == "installed by pip"


def test_a_real_pip_failure_is_reported_with_its_exit_status(tmp_path, offline_pip, capfd):
    missing = tmp_path / "absent-1.0-py3-none-any.whl"
    wheel = build_wheel(tmp_path, "qx_after_failure", "VALUE = 2\n")
    with pytest.raises(codebench.InstallationError) as raised:
        codebench.install_dependencies([str(missing), str(wheel)])
    assert raised.value.failures == [(str(missing), 1)]
    assert f"{missing} (exit status 1)" in str(raised.value)
    # The failure did not stop the next package.
    assert imports(offline_pip, "qx_after_failure") == "2"
