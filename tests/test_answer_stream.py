"""The answer streamed while the final-answer node's model writes it: partial JSON read as far
as it goes, and whole runs against the stub streaming at a set pace."""

from __future__ import annotations

import pytest
from graph_scripts import ANALYSIS_PROGRAM, CITY_ORDERS_SQL, Responder, script
from quorlix.answering import AnswerStream, answer_question, answer_so_far
from quorlix.querymesh import graph_names as names
from sql_fakes import schema_name

pytestmark = [
    pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning"),
    # openai's json_schema stream helper warns when dumping the parsed reply it keeps.
    pytest.mark.filterwarnings("ignore:Pydantic serializer warnings:UserWarning"),
]

QUESTION = "Which city placed the most orders?"


@pytest.mark.parametrize(
    ("reply", "expected"),
    [
        ('{"image_path": "", "final', None),
        ('{"image_path": "", "final_response": "', ""),
        ('{"image_path": "", "final_response": "Dub', "Dub"),
        ('{"final_response":"Dublin \\"wins', 'Dublin "wins'),
        ('{"final_response":"Dublin\\', "Dublin"),
        ('{"final_response":"caf\\u00', "caf"),
        ('{"final_response":"caf\\u00e9 ok', "café ok"),
        ('{"final_response": "a\\nb", "image_path": "/tmp/c', "a\nb"),
        ('{"final_response": "done"}', "done"),
    ],
)
def test_answer_so_far_reads_the_answer_as_far_as_it_is_written(reply, expected):
    assert answer_so_far(reply) == expected


@pytest.mark.parametrize(
    ("model", "setting", "refused", "asked"),
    [
        ("gpt-35-turbo", "on", False, [True]),  # function calling: arguments stream
        ("gpt-4o", "on", False, [True]),  # json_schema: content streams
        ("gpt-4o", "on", True, [True, False, False]),  # refused: asked whole, then whole only
        ("gpt-4o", "off", True, [False]),  # switched off: whole, as before
    ],
)
def test_the_answer_grows_before_the_final_step(
    build_graph, sqlite_sample_db, stub_llm, monkeypatch, tmp_path, model, setting, refused, asked
):
    monkeypatch.setenv("QUORLIX_CHAT35_MODEL", model)
    monkeypatch.setenv("QUORLIX_STREAM_ANSWER", setting)
    stub_llm.stream_pace(piece_chars=3)
    if refused:
        stub_llm.refuse_streaming()
    chart = tmp_path / "chart.png"
    script(stub_llm, Responder([CITY_ORDERS_SQL], [ANALYSIS_PROGRAM], str(chart)))
    graph = build_graph(sqlite_sample_db.url)
    seen: list[tuple[str, str]] = []

    for _ in range(len(asked) - 1 if refused and setting == "on" else 1):
        seen.clear()
        outcome = answer_question(
            graph,
            QUESTION,
            save_path=chart,
            on_step=lambda step, _: seen.append(("step", step.node)),
            callbacks=[AnswerStream(lambda text: seen.append(("answer", text)))],
        )
        assert outcome.error is None

    texts = [text for kind, text in seen if kind == "answer"]
    final_step = seen.index(("step", names.FINAL_RESPONSE_GENERATION_NODE))
    if asked == [True]:
        assert len(texts) > 2
        assert all(b.startswith(a) for a, b in zip(texts[:-1], texts[1:], strict=True))
        assert texts[-1] == outcome.answer
        assert seen.index(("answer", texts[-1])) < final_step
        assert outcome.usage.by_node()[names.FINAL_RESPONSE_GENERATION_NODE].total_tokens
    else:
        assert texts == []
    assert outcome.answer.startswith("From the analysis: Busiest city: Dublin")
    answer_requests = [r for r in stub_llm.requests if schema_name(r) == "GenerationOutput"]
    assert [bool(request.json.get("stream")) for request in answer_requests] == asked
