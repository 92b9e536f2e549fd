"""``quorlix eval`` end to end: the real graph against the stub model, answers scored, an
interrupted run resumed."""

from __future__ import annotations

import contextlib
import io
import json
import re
import sqlite3
import sys
import warnings
from pathlib import Path

import pytest
from quorlix.cli import eval as eval_command
from quorlix.cli import main
from quorlix.evaluation.compare import Comparison
from quorlix.evaluation.report import render, summarise
from quorlix.sample import shop
from safety_scripts import ByRequest, serve
from support.stub_openai import delay, http_error

LEVELS = ("easy", "easy", "easy", "medium", "medium", "hard", "hard")
TAG = re.compile(r"\[(q\d)\]")
WRONG_COLUMN = "SELECT no_such_column FROM customers"
# question id -> (gold SQL, what the model answers, verdict, kind of failure)
CASES = {
    "q1": ("SELECT COUNT(*) FROM customers", "SELECT COUNT(id) AS n FROM customers", "correct"),
    "q2": (
        "SELECT status, COUNT(*) FROM orders GROUP BY status",
        "SELECT COUNT(*) AS orders, status FROM orders GROUP BY status ORDER BY 1",
        "correct",
    ),
    "q3": ("SELECT COUNT(*) FROM orders", "SELECT COUNT(*) FROM customers", "wrong result"),
    "q4": ("SELECT MAX(order_date) FROM orders", http_error(500, "model exploded"), "run error"),
    "q5": ("SELECT MIN(order_date) FROM orders", delay(6, "SELECT 1"), "run timeout"),
    "q6": ("SELECT total FROM invoices", "SELECT 1", "gold error"),
    "q7": ("SELECT COUNT(*) FROM products", WRONG_COLUMN, "sql error"),
}


def answer(prompt: str):
    found = TAG.findall(prompt)
    # A rewritten question loses its tag; only the question whose SQL keeps failing gets there.
    return CASES[found[-1]][1] if found else WRONG_COLUMN


@pytest.fixture(scope="module")
def home(tmp_path_factory) -> Path:
    home = tmp_path_factory.mktemp("eval-home")
    shop.ensure_shop_database(home / "shop.db")
    return home


@pytest.fixture
def questions(tmp_path) -> Path:
    path = tmp_path / "questions.jsonl"
    lines = [
        {"id": key, "question": f"[{key}] question {key}?", "gold_sql": gold, "difficulty": level}
        for (key, (gold, _, _)), level in zip(CASES.items(), LEVELS, strict=True)
    ]
    path.write_text("".join(json.dumps(line) + "\n" for line in lines), encoding="utf-8")
    return path


def quorlix_eval(capsys, *args: str) -> tuple[int, str]:
    with warnings.catch_warnings():  # the command silences library warnings process-wide
        code = main(["eval", *args])
    return code, capsys.readouterr().out


@pytest.fixture
def environment(stub_azure_env, home, monkeypatch):
    monkeypatch.setenv("QUORLIX_HOME", str(home))
    monkeypatch.setenv("QUORLIX_REQUEST_TIMEOUT", "2")
    return stub_azure_env


def asked_about(stub) -> set[str]:
    return {tag for request in stub.requests for tag in TAG.findall(request.prompt_text)}


def test_scores_answers_and_resumes_after_an_interruption(environment, questions, tmp_path, capsys):
    stub_llm = environment
    out = tmp_path / "results.jsonl"
    serve(stub_llm, ByRequest(answer), replies=200)
    code, printed = quorlix_eval(capsys, str(questions), "--limit", "2", "--out", str(out))
    assert code == 0
    assert "overall 100.0% (2/2)" in " ".join(printed.split())
    assert asked_about(stub_llm) == {"q1", "q2"}
    # An interruption that cut the next line short.
    with out.open("a", encoding="utf-8") as handle:
        handle.write('{"id": "q3", "verdict": "corr')

    stub_llm.reset()
    serve(stub_llm, ByRequest(answer), replies=200)
    code, printed = quorlix_eval(
        capsys, str(questions), "--out", str(out), "--concurrency", "3", "--json"
    )

    assert code == 0
    assert asked_about(stub_llm) == {"q3", "q4", "q5", "q7"}  # not the scored ones, nor q6
    summary = json.loads(printed)
    assert (summary["metric"], summary["official"]) == ("spider", True)
    assert (summary["correct"], summary["scored"], summary["broken"]) == (2, 6, 1)
    assert summary["accuracy"] == pytest.approx(2 / 6)
    assert summary["by_difficulty"] == {
        "easy": {"accuracy": 2 / 3, "correct": 2, "scored": 3},
        "medium": {"accuracy": 0.0, "correct": 0, "scored": 2},
        "hard": {"accuracy": 0.0, "correct": 0, "scored": 1},
    }
    assert summary["errors"] == {
        "wrong result": 1,
        "run error": 1,
        "run timeout": 1,
        "sql error": 1,
    }
    assert summary["tokens_per_question"]["total_tokens"] > 0
    assert summary["seconds_per_question"]["p95"] >= summary["seconds_per_question"]["p50"] > 0

    records = [json.loads(line) for line in out.read_text(encoding="utf-8").splitlines()]
    by_id = {record["id"]: record for record in records}
    assert len(records) == len(by_id) == len(CASES)
    for key, (_, _, expected) in CASES.items():
        record = by_id[key]
        assert (record["error_kind"] or record["verdict"]) == expected, record
    q1, q6 = by_id["q1"], by_id["q6"]
    assert q1["predicted_sql"] == CASES["q1"][1] and q1["gold_rows"] == q1["predicted_rows"]
    assert (q1["model_calls"], q6["model_calls"]) == (3, 0)  # tables, query, review; none
    assert "invoices" in q6["reason"]
    assert "model exploded" in by_id["q4"]["reason"]
    q7 = by_id["q7"]
    assert q7["predicted_sql"] == WRONG_COLUMN and "no_such_column" in q7["reason"]

    # Rerun on part of the set: all scored already, nothing to ask, the summary of that part.
    stub_llm.reset()
    code, printed = quorlix_eval(
        capsys, str(questions), "--out", str(out), "--limit", "3", "--json"
    )
    assert (code, stub_llm.requests) == (0, [])
    assert {key: json.loads(printed)[key] for key in ("correct", "scored")} == {
        "correct": 2,
        "scored": 3,
    }

    text = " ".join(render(summarise(records, Comparison("spider")), "questions.jsonl").split())
    for line in ("overall 33.3% (2/6)", "easy 66.7% (2/3)", "hard 0.0% (0/1)", "run timeout 1"):
        assert line in text, text
    assert "q6" in text and "broken gold queries (left out of the score): 1" in text


def test_the_tolerant_comparison_is_reported_as_such(environment, questions, tmp_path, capsys):
    out = tmp_path / "results.jsonl"
    serve(environment, ByRequest(answer), replies=20)
    code, printed = quorlix_eval(
        capsys, str(questions), "--limit", "1", "--tolerance", "12", "--out", str(out)
    )
    assert code == 0
    header = printed.splitlines()[0]
    assert header.startswith("Execution accuracy (spider-tolerant-12: numbers to 12 significant")
    assert "not the official comparison" in header
    (record,) = [json.loads(line) for line in out.read_text(encoding="utf-8").splitlines()]
    assert (record["metric"], record["official"]) == ("spider-tolerant-12", False)


@pytest.mark.parametrize(
    ("reply", "args", "errors", "message"),
    [
        (http_error(401, "Access denied: invalid key"), [], {"run error": 2}, "invalid key"),
        ("SELECT 1", ["--db", "sqlite:///{other}"], {}, "every gold query failed"),
    ],
)
def test_nothing_measured_is_a_failure(environment, tmp_path, capsys, reply, args, errors, message):
    other = tmp_path / "other.db"
    with contextlib.closing(sqlite3.connect(other)) as connection:
        connection.execute("CREATE TABLE unrelated (x INTEGER)")
    serve(environment, reply, replies=10)

    with warnings.catch_warnings():
        code = main(["eval", "--limit", "2", "--json", *(a.format(other=other) for a in args)])

    captured = capsys.readouterr()
    assert code == 1
    assert json.loads(captured.out)["errors"] == errors
    assert message in captured.err


class Terminal(io.StringIO):
    def __init__(self, tty: bool) -> None:
        super().__init__()
        self.tty = tty

    def isatty(self) -> bool:
        return self.tty


@pytest.mark.parametrize("tty", [True, False])
def test_the_progress_bar_is_for_terminals_only(monkeypatch, tty):
    stream = Terminal(tty)
    monkeypatch.setattr(sys, "stderr", stream)
    bar = eval_command._progress_bar(4)
    bar.update(1)
    bar.close()
    assert ("1/4" in stream.getvalue()) is tty
