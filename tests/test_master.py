"""The bootstrap module: codebench's names star-imported, and two wrappers that print an ordinary
failure instead of raising it."""

import inspect

import pytest
from support.analysis_runtime import (  # noqa: F401 (runtime_state is a fixture)
    codebench,
    master,
    runtime_state,
    write_fake_python,
)

pytestmark = pytest.mark.usefixtures("runtime_state")

SAFE_INSTALL_DOC = (
    "\n    Calls install_dependencies with a list of module names and handles any errors.\n"
    "\n    :param module_names: A list of strings representing the names of the modules to install."
    "\n    "
)


def test_every_public_codebench_name_is_star_imported():
    public = {name for name in vars(codebench) if not name.startswith("_")}
    assert public <= set(vars(master))
    for name in public - {"safe_install_modules"}:
        assert getattr(master, name) is getattr(codebench, name), name
    assert master.safe_install_modules is not codebench.safe_install_modules


def test_faces_of_the_two_functions():
    assert str(inspect.signature(master.initialize_env)) == "(env_path)"
    assert str(inspect.signature(master.safe_install_modules)) == "(module_names)"
    assert master.initialize_env.__doc__ is None
    assert master.safe_install_modules.__doc__ == SAFE_INSTALL_DOC
    assert master.initialize_env.__module__ == "quorlix.master"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: master.initialize_env(), "missing 1 required positional argument: 'env_path'"),
        (lambda: master.initialize_env("a", "b"), "takes 1 positional argument but 2 were given"),
        (
            lambda: master.safe_install_modules(),
            "missing 1 required positional argument: 'module_names'",
        ),
    ],
)
def test_wrong_arity_is_refused_before_anything_runs(capsys, call, message):
    master.initialize_environment = master.install_dependencies = pytest.fail
    with pytest.raises(TypeError, match=message):
        call()
    assert capsys.readouterr().out == ""


def test_initialize_env_prepares_the_runtime_s_environment(tmp_path, capsys):
    assert master.initialize_env(env_path=str(tmp_path)) is None
    assert codebench.env_path == str(tmp_path)
    assert codebench.python_executable == str(tmp_path / "bin" / "python")
    assert capsys.readouterr().out == ""


def raising(error):
    def wrapped(argument):
        raise error

    return wrapped


@pytest.mark.parametrize(
    "function, wrapped, prefix",
    [
        ("initialize_env", "initialize_environment", "An error occurred during initilization: "),
        ("safe_install_modules", "install_dependencies", "An error occurred during installation: "),
    ],
)
@pytest.mark.parametrize(
    "error, text",
    [(Exception("disk full"), "disk full"), (Exception(""), ""), (OSError(28, "No space"), None)],
)
def test_an_ordinary_failure_is_printed_on_one_line(capsys, function, wrapped, prefix, error, text):
    setattr(master, wrapped, raising(error))
    assert getattr(master, function)(["x"]) is None
    assert capsys.readouterr().out == f"{prefix}{str(error) if text is None else text}\n"


@pytest.mark.parametrize(
    "function, wrapped",
    [
        ("initialize_env", "initialize_environment"),
        ("safe_install_modules", "install_dependencies"),
    ],
)
@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_other_exceptions_go_on_to_the_caller(capsys, function, wrapped, error):
    setattr(master, wrapped, raising(error))
    with pytest.raises(error):
        getattr(master, function)(["x"])
    assert capsys.readouterr().out == ""


def test_a_failed_environment_creation_is_printed(tmp_path, capsys):
    blocker = tmp_path / "a-file"
    blocker.write_text("")
    assert master.initialize_env(str(blocker / "env")) is None
    printed = capsys.readouterr().out.splitlines()
    assert len(printed) == 1
    assert printed[0].startswith("An error occurred during initilization: ")
    assert str(blocker) in printed[0]


@pytest.mark.parametrize(
    "packages, statuses, line",
    [
        (["alpha", "beta"], {}, "Installation successful."),
        (
            ["nosuchpkg", "alpha", "other"],
            {"nosuchpkg": 1, "other": 2},
            "An error occurred during installation: pip could not install: "
            "nosuchpkg (exit status 1), other (exit status 2)",
        ),
    ],
)
def test_safe_install_modules_reports_what_pip_did(tmp_path, capfd, packages, statuses, line):
    fake = write_fake_python(tmp_path, statuses)
    codebench.python_executable = str(fake.path)
    master.safe_install_modules(packages)
    printed = [row for row in capfd.readouterr().out.splitlines() if not row.startswith("fake pip")]
    assert len(printed) == 1 and printed[0].startswith(line)
    assert [run["argv"][-1] for run in fake.runs()] == packages


@pytest.mark.parametrize(
    "packages, printed",
    [
        ([], "Installation successful.\n"),
        (
            ["pandas"],
            "An error occurred during installation: expected str, bytes or os.PathLike object, "
            "not NoneType\n",
        ),
    ],
)
def test_safe_install_modules_before_initialisation(capsys, packages, printed):
    assert master.safe_install_modules(packages) is None
    assert capsys.readouterr().out == printed


def test_the_wrapped_functions_are_found_at_call_time(capsys):
    seen = []
    master.initialize_environment = seen.append
    master.install_dependencies = seen.append
    master.initialize_env("/some/env")
    master.safe_install_modules(["a"])
    assert seen == ["/some/env", ["a"]]
    assert capsys.readouterr().out == "Installation successful.\n"
