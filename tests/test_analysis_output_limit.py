"""What an analysis program prints, and the text of its failure, are kept up to
QUORLIX_ANALYSIS_OUTPUT_LIMIT characters and marked when cut: in the node's output, and so in the
store and every prompt, in the sandbox and in-process alike; and a program printing without end
costs the host no more than that."""

from __future__ import annotations

import pytest
from graph_scripts import CITY_ORDERS_SQL, Responder, run_counting, script, section
from quorlix.querymesh import nodewright
from support.sandbox_probes import peak_memory, restart_peak_memory

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

MODES = ["auto", "off"]


@pytest.fixture(autouse=True)
def settings(monkeypatch):
    for name in ("QUORLIX_ANALYSIS_TIMEOUT", "QUORLIX_ANALYSIS_OUTPUT_LIMIT"):
        monkeypatch.delenv(name, raising=False)


def run(program: str, mode: str, monkeypatch) -> dict:
    monkeypatch.setenv("QUORLIX_ANALYSIS_SANDBOX", mode)
    return nodewright.PandasExecutor(model=None).invoke({"pandas_code": program})


def cut(text: str, limit: int, what: str, length: int | None = None) -> str:
    length = len(text) if length is None else length
    shown = f"the first {limit:,} of {length:,} characters are shown"
    return f"{text[:limit]}\n[{what} truncated: {shown}]"


@pytest.mark.parametrize("mode", MODES)
def test_output_past_the_limit_is_cut_and_marked(mode, monkeypatch):
    monkeypatch.setenv("QUORLIX_ANALYSIS_OUTPUT_LIMIT", "100")
    printed = "".join(f"line {n}: é\n" for n in range(40))  # more than 100 characters
    program = "for n in range(40):\n    print(f'line {n}: é')"
    assert run(program, mode, monkeypatch)["python_executed_output"] == cut(printed, 100, "output")
    # Within the limit nothing changes.
    assert run("print('é' * 99)", mode, monkeypatch)["python_executed_output"] == "é" * 99 + "\n"


@pytest.mark.parametrize("mode", MODES)
def test_an_error_message_past_the_limit_is_cut_and_marked(mode, monkeypatch):
    monkeypatch.setenv("QUORLIX_ANALYSIS_OUTPUT_LIMIT", "1K")
    update = run("raise ValueError('y' * 3000)", mode, monkeypatch)
    assert update["python_error_message"] == cut("ValueError: " + "y" * 3000, 1024, "error message")


@pytest.mark.parametrize(("mode", "mebibytes"), [("auto", 3072), ("off", 200)])
def test_printing_without_end_costs_the_host_only_the_limit(mode, mebibytes, monkeypatch):
    # 450 MiB once made the worker fail "before the program could run"; 200 MiB cost the host a
    # gigabyte. The default limit keeps 1 Mi characters; the worker keeps no more either, so it
    # may print more than its 2 GiB of address space.
    before = restart_peak_memory()
    program = f"chunk = 'z' * 1024 * 1024\nfor _ in range({mebibytes}):\n    print(chunk, end='')"
    output = run(program, mode, monkeypatch)["python_executed_output"]
    assert output == cut("z" * (1 << 20), 1 << 20, "output", length=mebibytes << 20)
    assert peak_memory() - before < 64 << 20


@pytest.mark.parametrize("mode", MODES)
def test_an_exception_whose_text_fails_is_still_reported(mode, monkeypatch):
    program = (
        "class Unprintable(Exception):\n"
        "    def __str__(self):\n"
        "        raise RuntimeError('no text for you')\n"
        "raise Unprintable()"
    )
    update = run(program, mode, monkeypatch)
    # As Python's own traceback shows such an exception.
    assert update == {
        "python_execution_success": False,
        "python_error_message": "Unprintable: <exception str() failed>",
    }


LONG_FAILURE = "raise ValueError('w' * 400)"
LONG_OUTPUT = "print('v' * 500)"


def test_every_prompt_gets_the_cut_texts(build_graph, sqlite_sample_db, stub_llm, monkeypatch):
    monkeypatch.setenv("QUORLIX_ANALYSIS_OUTPUT_LIMIT", "200")
    responder = script(stub_llm, Responder([CITY_ORDERS_SQL], [LONG_FAILURE, LONG_OUTPUT]))
    graph = build_graph(sqlite_sample_db.url)
    inputs = {
        "user_question": "Which city?",
        "save_path": "",
        "max_iterations_pandas": 3,
        "pandas_code": "",
        "python_executed_output": "",
    }

    _, final = run_counting(graph, inputs)

    error = cut("ValueError: " + "w" * 400, 200, "error message")
    correction = responder.prompts["PythonCodeInput"][1]
    assert f"It fails with the following error:\n            {error}\n" in correction
    output = cut("v" * 500 + "\n", 200, "output")
    assert final["python_executed_output"] == output
    final_prompt = responder.prompts["GenerationOutput"][-1]
    assert section(final_prompt, "Python executed result: ", "\nUse the above") == output
