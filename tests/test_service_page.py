"""The service's web page in headless Chromium (Debian's package), driven by Playwright."""

from __future__ import annotations

import os
import shutil
import subprocess
import time

import pytest
from graph_scripts import CITY_ORDERS_SQL
from playwright.sync_api import expect, sync_playwright
from quorlix.service import Limits
from service_support import Answers, build_service, feed, serve_in_thread

pytestmark = pytest.mark.filterwarnings("ignore:Parameters {'top_p'}:UserWarning")

CHROMIUM = "/usr/bin/chromium"
ARGS = [
    "--no-sandbox",
    "--disable-gpu",
    "--disable-background-networking",
    "--disable-component-update",
    "--no-first-run",
    "--disable-sync",
]
ALICE, BOB = "alice-page-token-0123", "bob-page-token-456789"
HOSTILE = "<img src=x onerror=window.__pwned=1><script>window.__pwned=2</script>"
# A cell holding markup too: the page must show it as characters.
HOSTILE_SQL = CITY_ORDERS_SQL.replace(
    "COUNT(*) AS order_count", f"COUNT(*) AS order_count, '{HOSTILE}' AS note"
)

# Characters that act without showing: a right-to-left override, a zero-width space, an escape.
RLO, ZWSP = "\u202e", "\u200b"
HIDDEN_SQL = (
    "SELECT 'invoice' || char(8238) || 'gnp.exe' AS file, 'pay' || char(8203) || 'pal' AS site,"
    " 'a' || char(27) || 'b' AS control, 'مرحبا' AS greeting, id * 10 AS price,"
    " name || ' ' || city || ' ' || name AS long_text, 12345678901 AS big_number"
    " FROM customers ORDER BY id"
)
HIDDEN_ANSWER = f"Total 10 {RLO}reversed tail; zero{ZWSP}width"
# A word or number broken over lines has more than one box.
LINES_OF = """cell => { const range = document.createRange(); range.selectNodeContents(cell);
  return new Set([...range.getClientRects()].map(box => Math.round(box.top))).size; }"""


def ensure_chromium() -> str:
    """Debian's Chromium, installed on first use (the test machines run as root)."""
    if not os.path.exists(CHROMIUM):
        if shutil.which("apt-get") is None or os.geteuid() != 0:
            pytest.fail(f"{CHROMIUM} is missing; install Debian's 'chromium' package as root")
        env = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
        subprocess.run(["apt-get", "update", "-q"], check=True, env=env, timeout=600)
        subprocess.run(
            ["apt-get", "install", "-y", "-q", "chromium"], check=True, env=env, timeout=1200
        )
    return CHROMIUM


@pytest.fixture(scope="module")
def browser():
    executable = ensure_chromium()
    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=executable, args=ARGS)
        yield browser
        browser.close()


@pytest.fixture
def server(stub_azure_env, sqlite_sample_db, tmp_path):
    answers = Answers(
        sql=lambda question: HIDDEN_SQL if question == "hidden" else HOSTILE_SQL,
        printed=lambda question: HIDDEN_ANSWER if question == "hidden" else f"Analysed: {question}",
        pause=0.02,
    )
    feed(stub_azure_env, answers)
    service = build_service(
        sqlite_sample_db.url,
        f"sqlite:///{tmp_path / 'runs.db'}",
        Limits(),
        tokens={ALICE: "alice", BOB: "bob"},
    )
    running = serve_in_thread(service)
    yield running
    running.stop()
    service.store.close()


def wait_until(condition, timeout: float = 15) -> None:
    # Playwright's wait_for_function evaluates a string, which the page's policy forbids.
    ends = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < ends, "the page did not get there in time"
        time.sleep(0.05)


def open_page(browser, url: str, token: str, **context_options):
    context = browser.new_context(**context_options)
    page = context.new_page()
    problems: list[str] = []

    def console(message) -> None:
        # Error answers (401 before the token, 422 for refused SQL) are the page's own business;
        # script errors and blocked content (CSP) are not.
        if message.type == "error" and not message.text.startswith("Failed to load resource"):
            problems.append(message.text)

    page.on("console", console)
    page.on("pageerror", lambda error: problems.append(str(error)))
    page.goto(url)
    expect(page.locator("#token-form")).to_be_visible()
    page.fill("#token", token)
    page.keyboard.press("Enter")
    expect(page.locator("#token-form")).to_be_hidden()
    return page, problems


def test_ask_watch_and_find_it_again(browser, server):
    page, problems = open_page(browser, server.url, ALICE)
    question = f"Orders per city? [[{HOSTILE}]]"
    page.fill("#question", question)
    page.keyboard.press("Control+Enter")

    expect(page.locator("#steps li").first).to_be_visible()
    expect(page.locator("#answer")).to_have_text(f"Answer: Analysed: {HOSTILE}", timeout=30_000)
    assert page.locator("#steps li").count() >= 10
    expect(page.locator("#steps li").last).to_contain_text("wrote the answer")
    expect(page.locator("#sql")).to_have_text(HOSTILE_SQL)
    assert page.locator("#sql .kw").first.text_content() == "SELECT"
    expect(page.locator("#result tbody tr")).to_have_count(4)
    expect(page.locator("#result tbody tr").first.locator("td").last).to_have_text(HOSTILE)
    chart = page.locator("#chart")
    expect(chart).to_be_visible()
    wait_until(lambda: page.evaluate("document.getElementById('chart').naturalWidth") > 0)
    assert page.evaluate("window.__pwned") is None
    assert page.locator("img[src=x], #answer script, #result script").count() == 0

    page.click("#thumb-up")
    expect(page.locator("#thumb-up")).to_have_attribute("aria-pressed", "true")

    page.reload()  # the token is kept for the tab
    expect(page.locator("#history li")).to_have_count(1)
    expect(page.locator("#history li a")).to_contain_text(question)
    page.locator("#history li a").focus()
    page.keyboard.press("Enter")
    expect(page.locator("#answer")).to_have_text(f"Answer: Analysed: {HOSTILE}")
    expect(page.locator("#thumb-up")).to_have_attribute("aria-pressed", "true")
    assert page.evaluate("window.__pwned") is None
    assert problems == []

    store = server.service.store
    store.create_run("b0b" * 10, "bob", "Bob's own question", {"analysis_tries": 3})
    store.finish_run("b0b" * 10, "failed")
    other, _ = open_page(browser, server.url, BOB)
    # Bob's own run shows once his history has loaded, and Alice's never does.
    expect(other.locator("#history li")).to_have_count(1)
    expect(other.locator("#history li a")).to_contain_text("Bob's own question")
    run_id = store.list_runs("alice", 1)[0]["id"]
    status = other.evaluate(
        """async ([id, token]) => (await fetch('/v1/runs/' + id,
             {headers: {Authorization: 'Bearer ' + token}})).status""",
        [run_id, BOB],
    )
    assert status == 404


def test_edit_and_rerun_on_a_narrow_screen(browser, server):
    page, problems = open_page(browser, server.url, ALICE, viewport={"width": 360, "height": 740})
    page.fill("#question", "Orders per city? [[narrow]]")
    page.click("#ask")
    expect(page.locator("#answer")).to_have_text("Answer: Analysed: narrow", timeout=30_000)
    width = page.evaluate("document.documentElement.scrollWidth")
    assert width <= 360, f"the page is {width} px wide on a 360 px screen"

    page.click("#edit summary")
    page.fill("#sql-edit", "DELETE FROM customers")
    page.click("#rerun")
    expect(page.locator("#rerun-error")).to_contain_text("Refused")
    page.fill("#sql-edit", "SELECT name FROM customers ORDER BY id")
    page.click("#rerun")
    expect(page.locator("#result-title")).to_have_text("Result of the edited query")
    expect(page.locator("#result tbody tr")).to_have_count(4)
    expect(page.locator("#result tbody tr").first).to_have_text("Ada Byrne")
    assert problems == []


def test_hidden_characters_show_and_a_wide_result_scrolls_on_a_phone(browser, server):
    page, problems = open_page(browser, server.url, ALICE, viewport={"width": 390, "height": 844})
    page.fill("#question", "Files? [[hidden]]")
    page.click("#ask")
    expect(page.locator("#result tbody tr")).to_have_count(4, timeout=30_000)
    first = page.locator("#result tbody tr").first.locator("td")
    # The override and the zero-width space show as their codes and act no more.
    expect(first.nth(0)).to_have_text("invoiceU+202Egnp.exe")
    expect(first.nth(1)).to_have_text("payU+200Bpal")
    expect(first.nth(2)).to_have_text("aU+001Bb")
    expect(page.locator("#answer")).to_have_text(
        "Answer: Total 10 U+202Ereversed tail; zeroU+200Bwidth"
    )
    shown = page.evaluate("document.getElementById('run').innerText")
    assert RLO not in shown and ZWSP not in shown
    # Each value keeps its own direction, so the Arabic one stands right-aligned in its cell.
    assert first.nth(3).evaluate("cell => getComputedStyle(cell).direction") == "rtl"
    # Headings and numbers are never broken over lines; the table scrolls instead of the page.
    for cell in page.locator("#result th, #result td.num").all():
        assert cell.evaluate(LINES_OF) == 1, cell.text_content()
    wrap = page.locator(".table-wrap")
    assert wrap.evaluate("box => box.scrollWidth > box.clientWidth")
    assert page.evaluate("document.documentElement.scrollWidth") <= 390
    assert problems == []


def test_a_late_refusal_of_the_first_requests_keeps_the_token_given_since(browser, server):
    context = browser.new_context()
    page = context.new_page()
    held = []
    # The page's first requests go without a token; one of them is answered only once a
    # token has been given, as a slow server or a quick hand would have it.
    page.route("**/v1/knowledge/candidates", lambda route: held.append(route))
    page.goto(server.url)
    expect(page.locator("#token-form")).to_be_visible()
    page.fill("#token", "not-one-of-our-tokens")
    page.keyboard.press("Enter")
    expect(page.locator("#token-error")).to_have_text("That token was not accepted.")
    page.fill("#token", ALICE)
    page.keyboard.press("Enter")
    expect(page.locator("#token-form")).to_be_hidden()
    with page.expect_response("**/v1/knowledge/candidates") as late:
        held[0].continue_()
    assert late.value.status == 401
    page.evaluate("() => new Promise((done) => setTimeout(done, 200))")
    expect(page.locator("#token-form")).to_be_hidden()
    context.close()
