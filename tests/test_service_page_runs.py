"""The page follows a person through runs, in Chromium at a desktop and a phone size: it says
what a run is doing, every run has an address (reload, links and the back button work), an
edited query is refused beside its Run button and downloads as CSV, and nothing on the page
works behind the token prompt."""

from __future__ import annotations

import csv
import io

import pytest
from graph_scripts import BROKEN_SQL
from playwright.sync_api import expect
from service_support import Answers, feed, served
from test_service_page import ALICE, browser, open_page  # noqa: F401 - fixture used by name

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

SIZES = {
    "desktop": {"viewport": {"width": 1280, "height": 800}},
    "phone": {"viewport": {"width": 390, "height": 844}, "is_mobile": True, "has_touch": True},
}
EDITED_SQL = "SELECT name, city FROM customers ORDER BY id"


@pytest.fixture(scope="module")
def answers():
    return Answers()


@pytest.fixture(scope="module")
def server(stub_openai_server, sqlite_sample_db_module, answers, tmp_path_factory):
    feed(stub_openai_server, answers, replies=4000)
    store = tmp_path_factory.mktemp("store") / "runs.db"
    tokens = {ALICE: "alice"}
    with served(
        stub_openai_server, sqlite_sample_db_module.url, f"sqlite:///{store}", tokens=tokens
    ) as running:
        yield running


@pytest.fixture(scope="module")
def sqlite_sample_db_module(tmp_path_factory):
    from support.databases import build_sample_sqlite

    return build_sample_sqlite(tmp_path_factory.mktemp("db") / "sample.db")


@pytest.fixture(params=list(SIZES))
def size(request):
    return request.param


def ask(page, question: str) -> None:
    page.fill("#question", question)
    page.click("#ask")


def test_a_run_says_what_it_is_doing_and_keeps_its_address(browser, server, answers, size):  # noqa: F811
    page, problems = open_page(browser, server.url, ALICE, **SIZES[size])
    answers.gate.clear()  # the run waits in its first model call, with steps already shown
    try:
        ask(page, f"Orders per city? [[first {size}]]")
        expect(page.locator("#steps li").first).to_be_visible()
        expect(page.locator("#run-status")).to_have_text("Working on it…")
    finally:
        answers.gate.set()
    expect(page.locator("#answer")).to_have_text(f"Answer: Analysed: first {size}", timeout=30_000)
    expect(page.locator("#run-status")).to_have_text("Answered.")
    first = page.url
    assert "#run=" in first

    page.reload()
    expect(page.locator("#answer")).to_have_text(f"Answer: Analysed: first {size}")
    expect(page.locator("#result tbody tr")).to_have_count(4)

    ask(page, f"Orders per city? [[second {size}]]")
    expect(page.locator("#answer")).to_have_text(f"Answer: Analysed: second {size}", timeout=30_000)
    second = page.url
    assert second != first
    page.go_back()
    expect(page.locator("#answer")).to_have_text(f"Answer: Analysed: first {size}")
    assert page.url == first
    expect(page.locator(f'#history a[href="{first[first.index("#") :]}"]')).to_have_attribute(
        "aria-current", "page"
    )
    page.go_forward()
    expect(page.locator("#answer")).to_have_text(f"Answer: Analysed: second {size}")

    # The address opens the run in another tab too, once the token is given there.
    other = page.context.new_page()
    other.goto(first)
    expect(other.locator("#token-form")).to_be_visible()
    other.fill("#token", ALICE)
    other.keyboard.press("Enter")
    expect(other.locator("#answer")).to_have_text(f"Answer: Analysed: first {size}")
    assert problems == []


def test_an_edited_query_is_refused_beside_its_button_and_downloads(browser, server, size):  # noqa: F811
    page, problems = open_page(browser, server.url, ALICE, **SIZES[size])
    ask(page, f"Orders per city? [[edit {size}]]")
    expect(page.locator("#answer")).to_have_text(f"Answer: Analysed: edit {size}", timeout=30_000)
    page.click("#edit summary")

    page.fill("#sql-edit", EDITED_SQL)
    page.click("#rerun")
    expect(page.locator("#result-title")).to_have_text("Result of the edited query")
    with page.expect_download() as download:
        page.click("#csv")
    rows = list(csv.reader(io.StringIO(download.value.path().read_text("utf-8"))))
    shown = page.locator("#result tbody tr").all_text_contents()
    assert rows[0] == ["name", "city"] and ["".join(row) for row in rows[1:]] == shown

    page.fill("#sql-edit", "DELETE FROM customers")
    page.click("#rerun")
    refusal = page.locator("#rerun-error")
    expect(refusal).to_contain_text("Refused")
    expect(refusal).to_be_in_viewport()
    gap = refusal.bounding_box()["y"] - page.locator("#rerun").bounding_box()["y"]
    assert 0 < gap < 120, f"the refusal is {gap} px from the Run button"
    # The table is the run's own result again, not the last edit's.
    expect(page.locator("#result-title")).to_have_text("Result")
    expect(page.locator("#result thead th")).to_have_text(["city", "order_count"])
    expect(page.locator("#run-error")).to_be_empty()
    assert problems == []


def test_an_answer_without_rows_says_so(browser, server, answers):  # noqa: F811
    page, problems = open_page(browser, server.url, ALICE, **SIZES["desktop"])
    answers.sql = lambda question: BROKEN_SQL
    try:
        ask(page, "Revenue? [[no rows]]")
        expect(page.locator("#answer-block")).to_be_visible(timeout=60_000)
    finally:
        answers.sql = Answers().sql
    expect(page.locator("#run-status")).to_have_text(
        "Answered, but no SQL query returned rows: the answer rests on that."
    )
    failed = page.locator("#steps li", has_text="query failed").first
    expect(failed).to_contain_text("no such table: no_such_table")
    expect(failed).not_to_contain_text("[SQL:")
    expect(page.locator("#result-block")).to_be_hidden()
    assert problems == []


def test_the_keyboard_hint_is_for_keyboards_only(browser, server, size):  # noqa: F811
    page, _ = open_page(browser, server.url, ALICE, **SIZES[size])
    hint = page.locator(".keys-hint")
    if size == "phone":
        expect(hint).to_be_hidden()
    else:
        expect(hint).to_be_visible()


def test_nothing_works_behind_the_token_prompt(browser, server):  # noqa: F811
    page = browser.new_context(**SIZES["phone"]).new_page()
    page.goto(server.url)
    expect(page.locator("#token-form")).to_be_visible()
    focused = page.evaluate(
        "document.getElementById('question').focus(); document.activeElement.id"
    )
    assert focused != "question"
    page.fill("#token", ALICE)
    page.keyboard.press("Enter")
    expect(page.locator("#token-form")).to_be_hidden()
    page.fill("#question", "Orders per city? [[after the token]]")
    page.keyboard.press("Control+Enter")
    expect(page.locator("#answer")).to_have_text(
        "Answer: Analysed: after the token", timeout=30_000
    )


WATCH_ANSWER = """() => {
  window.seen = { answer: [], spoken: [] };
  const watched = [["answer", window.seen.answer], ["answer-spoken", window.seen.spoken]];
  for (const [id, list] of watched) {
    const target = document.getElementById(id);
    new MutationObserver(() => list.push(target.textContent)).observe(target, {
      childList: true, characterData: true, subtree: true,
    });
  }
}"""


def test_the_answer_grows_as_written_and_is_read_out_in_sentences(
    browser,  # noqa: F811
    server,
    answers,
    stub_openai_server,
):
    page, problems = open_page(browser, server.url, ALICE)
    answers.printed = lambda question: "Dublin leads. Berlin has 1.5 times less! Milan is last"
    stub_openai_server.stream_pace(first_piece_s=0.05, every_s=0.03, piece_chars=3)
    try:
        page.evaluate(WATCH_ANSWER)
        ask(page, "Orders per city? [[grows]]")
        final = "Answer: Dublin leads. Berlin has 1.5 times less! Milan is last"
        expect(page.locator("#run-status")).to_have_text("Answered.", timeout=30_000)
    finally:
        stub_openai_server.stream_pace()
        answers.printed = Answers().printed
    seen = page.evaluate("window.seen")
    growing = [text for text in seen["answer"] if text and text != final]
    assert len(set(growing)) > 1 and all(final.startswith(text) for text in growing)
    spoken = [text for text in seen["spoken"] if text]
    assert len(spoken) > 1 and " ".join(spoken) == final
    assert all(text.endswith((".", "!")) for text in spoken[:-1])
    assert problems == []
