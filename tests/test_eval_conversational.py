"""Conversational question sets: an item's ``turns`` come before its question, which is
restated from them and scored on its own SQL."""

from __future__ import annotations

import json
import re

import pytest
from quorlix.evaluation.compare import Comparison
from quorlix.evaluation.formats import load_question_set
from quorlix.evaluation.items import QuestionSetError
from quorlix.evaluation.runner import Evaluator
from safety_scripts import ByRequest, serve
from service_support import FOLLOW_UP_MARK
from support.stub_openai import text
from test_eval_formats import GOLD, _graph_maker, make_db

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

RESTATED = "Which pets have four legs?"


class Conversation(ByRequest):
    """Restates any follow-up as RESTATED; writes the gold query only for that question."""

    def __call__(self, request):
        if FOLLOW_UP_MARK in request.prompt_text:
            return text(RESTATED)
        return super().__call__(request)


def write_set(folder, line: dict):
    make_db(folder / "pets.db")
    path = folder / "set.jsonl"
    path.write_text(json.dumps({"gold_sql": GOLD, "db": "sqlite:///pets.db", **line}) + "\n")
    return path


@pytest.mark.parametrize(
    ("turns", "verdict", "rewrites"),
    [
        (["Which pets are there?", "How many legs has each?"], "correct", 1),
        # Alone, the follow-up means nothing, and costs no rewriting call.
        ([], "wrong", 0),
    ],
)
def test_a_follow_up_is_scored_on_its_restatement(
    stub_azure_env, tmp_path, turns, verdict, rewrites
):
    line = {"question": "Only the four-legged ones?", **({"turns": turns} if turns else {})}
    (item,) = load_question_set(write_set(tmp_path, line), lambda: None).questions
    assert item.turns == tuple(turns)
    serve(
        stub_azure_env,
        Conversation(
            lambda prompt: GOLD if RESTATED in prompt else "SELECT name FROM pets", tables=("pets",)
        ),
        replies=10,
    )
    evaluator = Evaluator(_graph_maker(), Comparison("spider"))
    try:
        outcome = evaluator.score(item)
    finally:
        evaluator.close()
    assert outcome["verdict"] == verdict, outcome
    prompts = [r.prompt_text for r in stub_azure_env.requests if FOLLOW_UP_MARK in r.prompt_text]
    assert len(prompts) == rewrites
    if turns:
        assert outcome["standalone_question"] == RESTATED and outcome["turns"] == turns
        assert all(f"Turn {n}: {turn}" in prompts[0] for n, turn in enumerate(turns, start=1))


@pytest.mark.parametrize("turns", ["one question", [""], [1], {"a": "b"}])
def test_turns_must_be_a_list_of_questions(tmp_path, turns):
    path = write_set(tmp_path, {"question": "Only those?", "turns": turns})
    with pytest.raises(QuestionSetError, match=re.escape("'turns' must be a list of non-empty")):
        load_question_set(path, lambda: None)
