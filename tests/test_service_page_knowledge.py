"""The page's side of team knowledge in headless Chromium: a liked answer offered for review,
the admin's review queue, and the knowledge a later answer was given."""

from __future__ import annotations

import pytest
from playwright.sync_api import expect, sync_playwright
from quorlix.service import Limits
from service_support import Answers, build_service, feed, serve_in_thread
from test_service_page import ARGS, ensure_chromium, open_page

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

ADMIN, USER = "admin-page-token-0123", "user-page-token-45678"


@pytest.fixture(scope="module")
def browser():
    executable = ensure_chromium()
    with sync_playwright() as playwright:
        launched = playwright.chromium.launch(executable_path=executable, args=ARGS)
        yield launched
        launched.close()


@pytest.fixture
def server(stub_azure_env, sqlite_sample_db, tmp_path):
    feed(stub_azure_env, Answers(pause=0.02))
    service = build_service(
        sqlite_sample_db.url,
        f"sqlite:///{tmp_path / 'runs.db'}",
        Limits(),
        tokens={ADMIN: "ada", USER: "ulf"},
        admins={"ada"},
    )
    running = serve_in_thread(service)
    yield running
    running.stop()
    service.store.close()


def test_a_liked_answer_is_reviewed_by_an_admin_and_given_to_the_next_question(browser, server):
    user, user_problems = open_page(browser, server.url, USER)
    user.fill("#question", "Orders per city? [[first]]")
    user.click("#ask")
    expect(user.locator("#answer")).to_have_text("Answer: Analysed: first", timeout=30_000)
    expect(user.locator("#knowledge-block")).to_be_hidden()
    user.click("#thumb-up")
    expect(user.locator("#feedback-note")).to_contain_text("offered to the team's knowledge")
    expect(user.locator("#review")).to_be_hidden()

    admin, admin_problems = open_page(browser, server.url, ADMIN)
    queue = admin.locator("#candidates li")
    expect(queue).to_have_count(1)
    expect(queue.first).to_contain_text("Orders per city? [[first]]")
    queue.first.locator("button.accept").click()
    expect(queue).to_have_count(0)
    expect(admin.locator("#review-empty")).to_be_visible()
    assert [e.status for e in server.service.knowledge.examples()] == ["accepted"]

    user.fill("#question", "How many orders came from each city? [[second]]")
    user.click("#ask")
    expect(user.locator("#answer")).to_have_text("Answer: Analysed: second", timeout=30_000)
    expect(user.locator("#knowledge-used li")).to_have_count(1)
    expect(user.locator("#knowledge-used li").first).to_contain_text("Orders per city? [[first]]")
    assert user_problems == [] and admin_problems == []
