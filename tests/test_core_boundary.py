"""Whatever a C++ body throws reaches Python as an exception, through every place CPython enters
the core, and the modules refuse to load where their process-wide state would be shared."""

import gc
import io
import os
import subprocess
import sys
import textwrap
import time

import pytest
import quorlix._qx_probe as probe

EXPECTED = {"bad_alloc": MemoryError, "runtime_error": SystemError}


@pytest.fixture(autouse=True)
def disarmed():
    yield
    probe.fail(None)


def take_signature(function):
    return function.__signature__


def bind_as_method(function):
    return type("Holder", (), {"method": function})().method


def call(function):
    return function(1)


ENTRIES = [
    pytest.param("call", call, id="vectorcall"),
    pytest.param("get", bind_as_method, id="__get__"),
    pytest.param("signature", take_signature, id="__signature__"),
]


@pytest.mark.parametrize("kind", sorted(EXPECTED))
@pytest.mark.parametrize(("entry", "reach"), ENTRIES)
def test_a_cpp_exception_at_an_entry_becomes_a_python_exception(entry, reach, kind):
    function = probe.new_function()
    probe.fail(entry, kind)
    with pytest.raises(EXPECTED[kind]) as raised:
        reach(function)
    if kind == "runtime_error":
        assert str(raised.value) == f"probe failure in {entry}"
    # One failure does not poison the function.
    assert reach(function) is not None


@pytest.mark.parametrize("kind", sorted(EXPECTED))
def test_the_output_routers_methods_translate_cpp_exceptions(kind, monkeypatch):
    # A plain stream first, so the router that captured() installs is this module's own.
    monkeypatch.setattr(sys, "stdout", io.StringIO())
    routers = []
    assert probe.captured(lambda: routers.append(sys.stdout) or print("kept")) == "kept\n"
    probe.fail("call", kind)
    with pytest.raises(EXPECTED[kind]):
        routers[0].write("lost")
    assert "lost" not in sys.stdout.getvalue()


@pytest.mark.parametrize(
    ("kind", "expected", "message"),
    [
        ("bad_alloc", MemoryError, ""),
        ("runtime_error", SystemError, "probe failure in throwing()"),
        ("null", SystemError, "throwing() returned NULL without setting an exception"),
    ],
)
def test_a_body_that_throws_or_returns_nothing_raises(kind, expected, message):
    with pytest.raises(expected) as raised:
        probe.throwing(kind)
    assert str(raised.value) == message
    assert type(raised.value) is expected


def collect_unraisable(monkeypatch, action):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    action()
    return seen


def collect_a_cycle():
    first, second = probe.new_function(), probe.new_function()
    first.partner, second.partner = second, first
    del first, second
    gc.collect()


def run_past_a_limit():
    assert probe.limited(0.02, lambda: time.sleep(0.3), TimeoutError) is False


@pytest.mark.parametrize("kind", sorted(EXPECTED))
@pytest.mark.parametrize(
    ("entry", "action"),
    [
        pytest.param("clear", collect_a_cycle, id="tp_clear"),
        pytest.param("watchdog", run_past_a_limit, id="watchdog"),
    ],
)
def test_failures_nobody_returns_to_are_reported_unraisable(entry, action, kind, monkeypatch):
    gc.collect()
    probe.fail(entry, kind)
    seen = collect_unraisable(monkeypatch, action)
    assert [type(report.exc_value) for report in seen] == [EXPECTED[kind]]


def test_the_function_type_is_named_and_immutable():
    function_type = type(probe.echo)
    assert repr(function_type) == "<class 'qx.function'>"
    with pytest.raises(AttributeError, match="^'qx.function' object has no attribute 'nope'"):
        getattr(probe.echo, "nope")  # noqa: B009 - the lookup is what is tested
    with pytest.raises(TypeError, match="immutable type 'qx.function'"):
        function_type.__call__ = None
    with pytest.raises(TypeError):
        function_type()


SUB_INTERPRETER = textwrap.dedent(
    """
    import sys
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    report = sys.argv[2]
    code = f'''
    try:
        import {sys.argv[1]}
    except ImportError as error:
        outcome = "ImportError: " + str(error)
    else:
        outcome = "loaded"
    with open({report!r}, "w") as handle:
        handle.write(outcome)
    '''
    interpreter = interpreters.create()
    (getattr(interpreters, "exec", None) or interpreters.run_string)(interpreter, code)
    interpreters.destroy(interpreter)
    """
)


@pytest.mark.parametrize("module", ["quorlix._qx_probe", "quorlix.codebench"])
def test_a_sub_interpreter_import_is_refused_with_import_error(module, tmp_path):
    report = tmp_path / "outcome.txt"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run(
        [sys.executable, "-c", SUB_INTERPRETER, module, str(report)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    outcome = report.read_text()
    assert outcome.startswith("ImportError: ") and module in outcome, outcome
