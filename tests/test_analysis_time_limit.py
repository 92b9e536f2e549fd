"""The analysis program's time limit: a program that runs too long is stopped by a TimeoutError
raised inside it, on whichever thread runs the node, and the stop never lands anywhere else."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from graph_scripts import CITY_ORDERS_SQL, Responder, run_counting, script
from quorlix.querymesh import graph_names as names
from quorlix.querymesh import nodewright, querymesh

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

VARIABLE = "QUORLIX_ANALYSIS_TIMEOUT"
SPIN = "print('started')\nwhile True:\n    pass\n"
# Catches the first stop and spins again: the limit interrupts it once more.
SPIN_AFTER_CATCHING = "try:\n    while True:\n        pass\nexcept Exception:\n    pass\n" + SPIN


def stopped(seconds: str) -> str:
    return f"TimeoutError: the analysis program ran longer than {seconds} seconds and was stopped"


def on_thread(where: str, function, *args):
    if where == "main":
        return function(*args)
    with ThreadPoolExecutor(max_workers=1) as pool:
        return pool.submit(function, *args).result()


@pytest.mark.parametrize("where", ["main", "worker"])
@pytest.mark.parametrize(
    ("program", "limit"),
    [(SPIN, "1"), (SPIN_AFTER_CATCHING, "0.5")],
    ids=["spin", "spin-after-catching"],
)
def test_a_program_past_the_limit_is_stopped_and_reported(
    program, limit, where, monkeypatch, capsys
):
    monkeypatch.setenv(VARIABLE, limit)
    executor = nodewright.PandasExecutor(model=None)

    update = on_thread(where, executor.invoke, {"pandas_code": program})

    assert update == {"python_execution_success": False, "python_error_message": stopped(limit)}
    print("after the run")
    assert capsys.readouterr().out == "after the run\n"


def test_the_stop_is_a_builtin_timeout_error_the_program_can_see(monkeypatch):
    monkeypatch.setenv(VARIABLE, "0.2")
    program = (
        "try:\n    while True:\n        pass\n"
        "except TimeoutError as stop:\n    print(isinstance(stop, OSError), stop)\n"
    )
    update = nodewright.PandasExecutor(model=None).invoke({"pandas_code": program})
    assert (
        update["python_executed_output"] == "True " + stopped("0.2")[len("TimeoutError: ") :] + "\n"
    )


def test_a_program_within_the_limit_runs_as_before(monkeypatch):
    monkeypatch.setenv(VARIABLE, "30")
    update = nodewright.PandasExecutor(model=None).invoke({"pandas_code": "print(sum(range(10)))"})
    assert update == {"python_executed_output": "45\n", "python_execution_success": True}


@pytest.mark.parametrize("value", ["abc", "0", "-1", "nan", "inf", "1s"])
def test_an_invalid_limit_names_the_variable(value, monkeypatch):
    monkeypatch.setenv(VARIABLE, value)
    with pytest.raises(ValueError, match=f"{VARIABLE} must be a positive number of seconds"):
        nodewright.PandasExecutor(model=None).invoke({"pandas_code": "print(1)"})


def spin_briefly(rounds: int = 20_000) -> None:
    for _ in range(rounds):
        pass


@pytest.mark.parametrize("where", ["main", "worker"])
def test_a_late_stop_never_lands_after_the_program(where, monkeypatch):
    # Programs from well within to well past a tiny limit: some stops fall just as a program
    # ends. They must be withdrawn, not raised in whatever this thread runs next.
    monkeypatch.setenv(VARIABLE, "0.005")
    executor = nodewright.PandasExecutor(model=None)

    def many_runs() -> list[bool]:
        outcomes = []
        for run in range(200):
            program = f"for _ in range({8000 * (1 + run % 50)}):\n    pass\n"
            update = executor.invoke({"pandas_code": program})
            outcomes.append(update["python_execution_success"])
            if not update["python_execution_success"]:
                assert update["python_error_message"] == stopped("0.005")
            spin_briefly()
        return outcomes

    outcomes = on_thread(where, many_runs)
    assert len(outcomes) == 200
    spin_briefly(200_000)


@pytest.fixture
def sqlite_graph(build_graph, sqlite_sample_db):
    return build_graph(sqlite_sample_db.url)


@pytest.mark.parametrize("where", ["main", "worker"])
def test_a_stopped_program_goes_to_the_correction_path(
    where, sqlite_graph, stub_llm, monkeypatch, tmp_path
):
    monkeypatch.setenv(VARIABLE, "1")
    responder = script(stub_llm, Responder([CITY_ORDERS_SQL], [SPIN, "print('recovered')"]))
    inputs = {
        "user_question": "Which city placed the most orders?",
        "save_path": str(tmp_path / "chart.png"),
        "max_iterations_pandas": 3,
        # The final node runs beside the error handler after the failed attempt and reads it.
        "python_executed_output": "(not run yet)",
    }

    runs, final = on_thread(where, run_counting, sqlite_graph, inputs)

    assert runs[names.PANDAS_EXECUTOR_NODE] == 2 and runs[names.PANDAS_ERROR_HANDLER_NODE] == 1
    correction = responder.prompts["PythonCodeInput"][1]
    assert "It fails with the following error:\n            " + stopped("1") in correction
    assert final["python_executed_output"] == "recovered\n"
    assert final["final_response"] == "From the analysis: recovered\n"
    assert runs[names.FINAL_RESPONSE_GENERATION_NODE] == 2


def test_the_stop_signal_does_not_hide_the_builtin_timeout_error():
    # The graph module star-imports the node module: a TimeoutError of its own there would
    # change what `except TimeoutError` catches for everyone importing either namespace.
    assert "TimeoutError" not in vars(nodewright) and "TimeoutError" not in vars(querymesh)
    assert issubclass(nodewright.AnalysisTimeoutError, TimeoutError)
    assert nodewright.AnalysisTimeoutError.__name__ == "TimeoutError"


def test_a_short_limit_started_during_a_long_one_still_stops_on_time(monkeypatch):
    # One watchdog serves every limit: it must wake for a deadline earlier than the one it waits on.
    monkeypatch.setenv(VARIABLE, "30")
    executor = nodewright.PandasExecutor(model=None)
    slow = "import time\nfor _ in range(30):\n    time.sleep(0.05)\nprint('done')\n"
    with ThreadPoolExecutor(max_workers=1) as pool:
        long_run = pool.submit(executor.invoke, {"pandas_code": slow})
        time.sleep(0.2)  # the long limit is registered first
        monkeypatch.setenv(VARIABLE, "0.3")
        started = time.monotonic()
        short = executor.invoke({"pandas_code": SPIN})
        elapsed = time.monotonic() - started
        assert long_run.result(timeout=60) == {
            "python_executed_output": "done\n",
            "python_execution_success": True,
        }
    assert short["python_error_message"] == stopped("0.3")
    assert elapsed < 1.2


def test_a_forked_child_gets_a_watchdog_of_its_own():
    # The parent's watchdog thread does not survive fork(); a child's limit must still fire.
    script = textwrap.dedent(
        f"""
        import os
        os.environ[{VARIABLE!r}] = "0.3"
        from quorlix.querymesh import nodewright
        executor = nodewright.PandasExecutor(model=None)
        executor.invoke({{"pandas_code": "pass"}})  # the parent's watchdog is running now
        child = os.fork()
        if child == 0:
            update = executor.invoke({{"pandas_code": {SPIN!r}}})
            os.write(1, update["python_error_message"].encode() + b"\\n")
            os._exit(0)
        os.waitpid(child, 0)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [stopped("0.3")]
