"""Threads on the page, in Chromium: a follow-up is asked below the answer and shown with what
it was understood as, earlier turns above it; "New question" starts another thread; history
lists threads."""

from __future__ import annotations

import pytest
from playwright.sync_api import expect
from service_support import FOLLOW_UP_MARK, Answers, feed, restated, served
from support.stub_openai import text
from test_service_page import ALICE, browser, open_page  # noqa: F401 - fixture used by name

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")


class RestatedAtOnce(Answers):
    """Restates follow-ups even while the gate holds the graph's own model calls."""

    def __call__(self, request):
        if FOLLOW_UP_MARK in request.prompt_text:
            return text(restated(request.prompt_text))
        return super().__call__(request)


@pytest.fixture
def answers():
    return RestatedAtOnce()


@pytest.fixture
def server(stub_openai_server, sqlite_sample_db, tmp_path, answers):
    stub_openai_server.reset()
    feed(stub_openai_server, answers, replies=400)
    store = f"sqlite:///{tmp_path / 'runs.db'}"
    with served(
        stub_openai_server, sqlite_sample_db.url, store, tokens={ALICE: "alice"}
    ) as running:
        yield running


def ask(page, question: str, answer: str) -> None:
    page.fill("#question", question)
    page.click("#ask")
    expect(page.locator("#answer")).to_have_text(answer, timeout=30_000)


def test_a_follow_up_is_asked_and_shown_in_the_thread(browser, server, answers):  # noqa: F811
    page, problems = open_page(browser, server.url, ALICE)
    expect(page.locator("#question-label")).to_have_text("Question")
    ask(page, "Orders per city? [[a]]", "Answer: Analysed: a")
    expect(page.locator("#run-understood")).to_be_hidden()
    expect(page.locator("#question-label")).to_have_text("Follow-up question")

    understood = "Understood as: Only Dublin? [[b]] (after: Orders per city?)"
    answers.gate.clear()  # the follow-up waits in the graph's first model call
    try:
        page.fill("#question", "Only Dublin? [[b]]")
        page.click("#ask")
        expect(page.locator("#steps li").first).to_be_visible(timeout=30_000)
        # Shown while the answer is still being worked on.
        expect(page.locator("#run-understood")).to_have_text(understood)
        expect(page.locator("#run-status")).to_have_text("Working on it…")
    finally:
        answers.gate.set()
    expect(page.locator("#answer")).to_have_text("Answer: Analysed: b", timeout=30_000)
    expect(page.locator("#run-understood")).to_have_text(understood)
    earlier = page.locator("#thread li")
    expect(earlier).to_have_count(1)
    expect(earlier.locator(".turn-question")).to_have_text("Orders per city? [[a]]")
    expect(earlier.locator(".turn-answer")).to_have_text("Answer: Analysed: a")
    expect(page.locator("#history li")).to_have_count(1)
    expect(page.locator("#history li")).to_contain_text("2 questions")

    # The thread opens at its first question from history, its follow-up listed below it.
    page.reload()
    page.locator("#history li a").click()
    expect(page.locator("#answer")).to_have_text("Answer: Analysed: a")
    expect(page.locator("#thread-after li .turn-question")).to_have_text("Only Dublin? [[b]]")
    expect(page.locator("#thread")).to_be_hidden()

    page.click("#new-thread")
    expect(page.locator("#run")).to_be_hidden()
    expect(page.locator("#thread-after")).to_be_hidden()
    expect(page.locator("#question-label")).to_have_text("Question")
    ask(page, "Revenue? [[c]]", "Answer: Analysed: c")
    expect(page.locator("#run-understood")).to_be_hidden()
    expect(page.locator("#thread li")).to_have_count(0)
    expect(page.locator("#history li")).to_have_count(2)
    expect(page.locator("#history li").first).to_contain_text("Revenue? [[c]]")
    expect(page.locator("#history li").first.locator("a")).to_have_attribute("aria-current", "page")
    assert problems == []
