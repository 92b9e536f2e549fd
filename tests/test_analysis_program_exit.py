"""An analysis program that raises SystemExit or KeyboardInterrupt leaves the node with it, as the
graph's definition says, and every host of a run ends that run as failed, saying the program
exited: no worker thread of the service, no ``quorlix ask`` and no evaluation ends with it."""

from __future__ import annotations

import os
import threading

import pytest
from graph_scripts import CITY_ORDERS_SQL
from quorlix import cli
from quorlix.evaluation.compare import Comparison
from quorlix.evaluation.items import Question
from quorlix.evaluation.runner import Evaluator
from quorlix.querymesh import nodewright
from quorlix.querymesh.analysis_exit import program_exit
from quorlix.service import Limits
from service_support import Answers, build_service, feed, serve_in_thread
from sql_fakes import schema_name
from support.stub_openai import structured, text

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

EXITS = [
    ("raise SystemExit(3)", SystemExit, "SystemExit(3)"),
    ("import sys\nsys.exit('bye')", SystemExit, "SystemExit('bye')"),
    ("raise SystemExit", SystemExit, "SystemExit"),
    ("raise KeyboardInterrupt", KeyboardInterrupt, "KeyboardInterrupt"),
]


def raised_by_the_node(program: str, mode: str = "auto") -> BaseException:
    os.environ["QUORLIX_ANALYSIS_SANDBOX"] = mode
    try:
        nodewright.PandasExecutor(model=None).invoke({"pandas_code": program})
    except BaseException as raised:  # noqa: BLE001 - the node's own exception is the subject
        return raised
    finally:
        del os.environ["QUORLIX_ANALYSIS_SANDBOX"]
    raise AssertionError("the node returned")


@pytest.mark.parametrize("mode", ["auto", "off"])
@pytest.mark.parametrize(("program", "kind", "shown"), EXITS)
def test_the_node_lets_a_program_exit_leave_marked_as_the_programs(mode, program, kind, shown):
    raised = raised_by_the_node(program, mode)
    assert type(raised) is kind
    assert program_exit(raised) == f"the analysis program exited: it raised {shown}"


@pytest.mark.parametrize("stop", [SystemExit(3), KeyboardInterrupt()])
def test_a_real_request_to_stop_is_not_taken_for_the_programs(stop):
    assert program_exit(stop) is None


class ExitingAnswers(Answers):
    """The service's stub answers, with an analysis program that raises `program`."""

    def __init__(self, program: str) -> None:
        super().__init__()
        self.program = program

    def _reply(self, request):
        if schema_name(request) == "PythonCodeInput":
            return {"code": self.program}
        return super()._reply(request)


def run_threads() -> int:
    return sum(thread.name.startswith("quorlix-run-") for thread in threading.enumerate())


def test_the_service_fails_such_runs_and_keeps_its_workers(
    stub_azure_env, sqlite_sample_db, tmp_path
):
    limits = Limits(max_runs=2, run_deadline=20)
    feed(stub_azure_env, ExitingAnswers("raise SystemExit(3)"))
    service = build_service(sqlite_sample_db.url, f"sqlite:///{tmp_path / 'runs.db'}", limits)
    running = serve_in_thread(service)
    try:
        threads = run_threads()
        with running.client() as client:
            # Four such runs once left two of nine workers of a server that said it was fine.
            records = [
                client.post("/v1/runs?wait=true", json={"question": f"q{n}"}).json()
                for n in range(4)
            ]
            assert [(r["status"], r["error"]) for r in records] == [
                ("failed", "the analysis program exited: it raised SystemExit(3)")
            ] * 4
            assert run_threads() == threads
            stub_azure_env.reset()
            feed(stub_azure_env, Answers())
            after = client.post("/v1/runs?wait=true", json={"question": "next"}).json()
            assert after["status"] == "succeeded"
    finally:
        running.stop()
        service.store.close()


@pytest.mark.parametrize(
    ("program", "shown"),
    [("raise SystemExit(3)", "SystemExit(3)"), ("raise KeyboardInterrupt", "KeyboardInterrupt")],
)
def test_ask_fails_such_a_run_in_one_line(
    program, shown, stub_azure_env, sqlite_sample_db, capsys, tmp_path
):
    # It once ended silently with the program's code (130 for KeyboardInterrupt).
    stub_azure_env.reply(
        structured({"relevant_tables": ["orders"]}),
        structured({"sql_query": "SELECT COUNT(*) FROM orders"}),
        text("SELECT COUNT(*) FROM orders"),
        structured({"code": program}),
    )
    argv = ["ask", "How many orders?", "--db", sqlite_sample_db.url]
    assert cli.main([*argv, "--chart", str(tmp_path / "chart.png")]) == 1
    last = capsys.readouterr().err.strip().splitlines()[-1]
    assert last == f"quorlix: error: the analysis program exited: it raised {shown}"


class ExitingGraph:
    """A graph whose run ends with what the analysis node raised for a program's exit."""

    runnable_config: dict = {}

    def __init__(self, raised: BaseException) -> None:
        self.compiled_graph = self
        self.raised = raised

    def stream(self, *args, **kwargs):
        raise self.raised
        yield  # pragma: no cover - a generator, like the compiled graph's


def test_an_evaluation_scores_such_a_run_as_an_error(sqlite_sample_db):
    raised = raised_by_the_node("raise SystemExit(4)")
    evaluator = Evaluator(lambda db: ExitingGraph(raised), Comparison("spider"))
    item = Question("1", "How many orders?", CITY_ORDERS_SQL, sqlite_sample_db.url, "shop")
    try:
        result = evaluator.score(item)
    finally:
        evaluator.close()
    assert (result["verdict"], result["error_kind"], result["reason"]) == (
        "wrong",
        "run error",
        "the analysis program exited: it raised SystemExit(4)",
    )
