"""execute_code: programs run in the runtime module's namespace, and each run gets exactly what its
own thread printed, whatever other threads print meanwhile."""

import contextlib
import io
import sys
import threading

import pytest
from support.analysis_runtime import codebench, runtime_state  # noqa: F401 (a fixture)

pytestmark = pytest.mark.usefixtures("runtime_state")


def forwards_to(stream):
    """sys.stdout is `stream`, or the capture router sending uncaptured writes to it."""
    current = sys.stdout
    if current is stream:
        return True
    return bool(getattr(type(current), "__qx_output_router__", 0)) and current._qx_stream is stream


@pytest.mark.parametrize("program", ["", "   \n", "# nothing to say\n", "x = 1"])
def test_a_silent_program_returns_the_empty_text(program):
    assert codebench.execute_code(program) == ""


def test_output_is_returned_whole_and_nothing_reaches_the_real_stream(capsys):
    program = "for i in range(3000):\n    print('line', i)\nprint('no newline', end='')"
    expected = "".join(f"line {i}\n" for i in range(3000)) + "no newline"
    assert codebench.execute_code(program) == expected
    assert capsys.readouterr().out == ""


def test_names_persist_in_the_module_namespace_between_runs():
    codebench.execute_code("qx_answer = 41\ndef qx_twice(v):\n    return 2 * v")
    assert codebench.qx_answer == 41
    assert codebench.execute_code("print(qx_twice(qx_answer), StringIO.__name__, env_path)") == (
        "82 StringIO None\n"
    )


@pytest.mark.parametrize(
    "program, error",
    [
        ("print('partial')\nraise ValueError('boom')", ValueError),
        ("print('partial')\n1 / 0", ZeroDivisionError),
        ("print('partial')\nraise SystemExit(3)", SystemExit),
        ("print('partial')\nraise KeyboardInterrupt", KeyboardInterrupt),
        ("qx_marker = 1\nprint('partial')\ndef (:", SyntaxError),
    ],
)
def test_a_failing_program_raises_its_own_error_and_restores_standard_output(
    capsys, program, error
):
    before = sys.stdout
    with pytest.raises(error) as raised:
        codebench.execute_code(program)
    if error is ValueError:
        assert str(raised.value) == "boom"
    if error is SyntaxError:
        assert not hasattr(codebench, "qx_marker")  # nothing ran
    assert forwards_to(before)
    print("after the run")
    assert capsys.readouterr().out == "after the run\n"
    assert codebench.execute_code("print('next')") == "next\n"


def test_captures_nest_and_the_outer_one_resumes():
    program = (
        "print('outer before')\n"
        "inner = execute_code('print(\"inner\")')\n"
        "try:\n"
        "    execute_code('print(\"lost\")\\nraise ValueError')\n"
        "except ValueError:\n"
        "    print('outer after')\n"
    )
    assert codebench.execute_code(program) == "outer before\nouter after\n"
    assert codebench.inner == "inner\n"


@pytest.mark.parametrize(
    "program, expected",
    [
        ("sys.stdout.write('w')\nsys.stdout.writelines(['x', 'y'])\nsys.stdout.flush()", "wxy"),
        ("print(sys.stdout.isatty(), hasattr(sys.stdout, 'buffer'))", "False False\n"),
        ("print(sys.stdout.encoding == qx_encoding)", "True\n"),
        ("sys.stdout.fileno()", io.UnsupportedOperation),
    ],
)
def test_standard_output_looks_like_a_text_buffer_while_capturing(program, expected):
    codebench.qx_encoding = sys.stdout.encoding
    if isinstance(expected, str):
        assert codebench.execute_code(program) == expected
    else:
        with pytest.raises(expected, match="fileno"):
            codebench.execute_code(program)


def test_a_stream_installed_later_by_someone_else_is_respected(capsys):
    codebench.execute_code("print('installs the router')")
    mine = io.StringIO()
    with contextlib.redirect_stdout(mine):
        assert codebench.execute_code("print('captured')") == "captured\n"
        print("to my stream")
    assert mine.getvalue() == "to my stream\n"
    print("to the real stream")
    assert capsys.readouterr().out == "to the real stream\n"


def test_runs_on_several_threads_keep_their_own_output(capsys):
    threads, runs, lines = 8, 4, 300
    results = {}
    start = threading.Barrier(threads + 1)
    failures = []

    def worker(t):
        start.wait()
        for r in range(runs):
            token = f"token-{t}-{r}"
            program = (
                f"for qx_i in range({lines}):\n"
                f"    print({token!r})\n"
                "    if qx_i % 25 == 0:\n"
                "        time.sleep(0.0002)\n"
            )
            try:
                results[token] = codebench.execute_code(program)
            except BaseException as error:  # reported below, on the test's thread
                failures.append(error)

    codebench.execute_code("import time")
    before = sys.stdout
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        workers = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
        for w in workers:
            w.start()
        start.wait()
        for i in range(200):
            print("host", i)  # a host printing meanwhile keeps its own output
        for w in workers:
            w.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == []
    assert sorted(results) == sorted(f"token-{t}-{r}" for t in range(threads) for r in range(runs))
    for token, output in results.items():
        assert output == f"{token}\n" * lines
    assert forwards_to(before)
    print("after the threads")
    assert capsys.readouterr().out == "".join(f"host {i}\n" for i in range(200)) + (
        "after the threads\n"
    )
