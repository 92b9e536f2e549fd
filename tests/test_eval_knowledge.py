"""``quorlix eval --knowledge``: the same questions scored without and with a team's knowledge,
a question's own example left out for it."""

from __future__ import annotations

import json
import warnings

import pytest
from quorlix.cli import main
from quorlix.prompts.reference import CLOSING
from quorlix.sample import shop
from safety_scripts import ByRequest, serve

CUSTOMERS = "SELECT COUNT(*) FROM customers"
ORDERS = "SELECT COUNT(*) FROM orders"
QUESTIONS = [
    {"id": "q1", "question": "[q1] How many customers are there?", "gold_sql": CUSTOMERS},
    {"id": "q2", "question": "[q2] How many orders are there?", "gold_sql": ORDERS},
]
KNOWLEDGE = [
    {"question": "Count the customers we have", "sql": CUSTOMERS},
    # q2 itself: left out when q2 is scored, or the set would grade its own answer key.
    {"question": "[q2] How many orders are there?", "sql": ORDERS},
]


def learner(prompt: str) -> str:
    """A model that copies the first example it is shown, and is wrong without one."""
    if CLOSING not in prompt:
        return "SELECT 1"
    shown = prompt.split("  SQL:\n", 1)[1]
    return shown.splitlines()[0].strip()


def write(path, lines) -> str:
    path.write_text("".join(json.dumps(line) + "\n" for line in lines), encoding="utf-8")
    return str(path)


@pytest.fixture
def environment(stub_azure_env, tmp_path, monkeypatch):
    home = tmp_path / "home"
    shop.ensure_shop_database(home / "shop.db")
    monkeypatch.setenv("QUORLIX_HOME", str(home))
    return stub_azure_env


def test_eval_scores_without_and_with_knowledge_leaving_a_questions_own_example_out(
    environment, tmp_path, capsys
):
    serve(environment, ByRequest(learner), 200)
    questions = write(tmp_path / "set.jsonl", QUESTIONS)
    knowledge = write(tmp_path / "team.jsonl", KNOWLEDGE)

    with warnings.catch_warnings():
        code = main(["eval", questions, "--knowledge", knowledge, "--json"])
    report = json.loads(capsys.readouterr().out)

    assert code == 0
    assert (report["without"]["correct"], report["with"]["correct"]) == (0, 1)
    assert report["without"]["scored"] == report["with"]["scored"] == 2
    assert report["knowledge"]["questions_whose_own_example_was_left_out"] == 1
    assert report["knowledge"]["questions_given_knowledge"] == 1

    with warnings.catch_warnings():
        main(["eval", questions, "--knowledge", knowledge])
    assert "accuracy 0.0% without, 50.0% with (+50.0 points)" in capsys.readouterr().out


def test_both_scorings_keep_their_own_results_file_and_resume_from_them(
    environment, tmp_path, capsys
):
    serve(environment, ByRequest(learner), 200)
    questions = write(tmp_path / "set.jsonl", QUESTIONS)
    knowledge = write(tmp_path / "team.jsonl", KNOWLEDGE)
    out = tmp_path / "results.jsonl"
    command = ["eval", questions, "--knowledge", knowledge, "--out", str(out), "--json"]

    with warnings.catch_warnings():
        first = main(command)
        first_report = json.loads(capsys.readouterr().out)
        asked = len(environment.requests)
        again = main(command)
        again_report = json.loads(capsys.readouterr().out)
        mixed = main(["eval", questions, "--out", str(out)])

    assert (first, again, mixed) == (0, 0, 2)
    assert len(environment.requests) == asked  # everything was read back, nothing asked again
    assert again_report["with"] == first_report["with"]
    assert again_report["without"] == first_report["without"]
    with_lines = [json.loads(line) for line in out.read_text().splitlines()]
    without_lines = (tmp_path / "results.without.jsonl").read_text().splitlines()
    assert {line["knowledge"] for line in with_lines} == {knowledge}
    assert len(with_lines) == len(without_lines) == 2
    assert "scored with the team knowledge of" in capsys.readouterr().err
