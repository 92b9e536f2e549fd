// The quorlix page. Everything shown here comes from a model or a database, so it is only
// ever put into the document as text (textContent, text nodes), never parsed as markup; text.js
// shows it with its hidden characters marked and its direction isolated.

import { candidateNote, loadCandidates, showUsedKnowledge } from "./knowledge.js";
import { isolated, showText, textNodes } from "./text.js";

const $ = (id) => document.getElementById(id);
const PAGE_ROWS = 25;
const TOKEN_KEY = "quorlix-token";

const NODE_NAMES = {
  init_node: "Start",
  table_names_lookup_node: "List tables",
  relevant_table_names_node: "Pick tables",
  relevant_schemas_node: "Read schemas",
  sql_generation_node: "Write SQL",
  sql_syntax_checker_node: "Review SQL",
  sql_execution_node: "Run SQL",
  sql_error_handler_node: "Handle SQL error",
  rewrite_query_node: "Rewrite question",
  pandas_generator_node: "Write analysis",
  pandas_executor_node: "Run analysis",
  pandas_error_handler_node: "Handle analysis error",
  final_response_generation_node: "Write answer",
};

// view counts the runs shown: a run's event stream or record arriving after another run was
// opened belongs to a view that is gone, and is dropped.
const state = {
  runId: null,
  // The thread of the run shown: a question asked now follows up on it (null: a new thread).
  threadId: null,
  view: 0,
  runResult: null,
  result: null,
  page: 0,
  cursor: null,
  objectUrls: [],
  finalSql: "",
  // How much of the shown run's answer has been read out, and of which text.
  spoken: { runId: null, text: "", upTo: 0 },
  // Counts the threads drawn around a run, as view counts the runs.
  threadView: 0,
};

// --- talking to the server -----------------------------------------------------------------

class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

function authHeaders() {
  const token = sessionStorage.getItem(TOKEN_KEY);
  return token ? { Authorization: `Bearer ${token}` } : {};
}

async function api(path, options = {}) {
  const sentToken = sessionStorage.getItem(TOKEN_KEY);
  const headers = { ...authHeaders(), ...(options.headers || {}) };
  if (options.json !== undefined) {
    headers["Content-Type"] = "application/json";
    options = { ...options, body: JSON.stringify(options.json) };
  }
  let response;
  try {
    response = await fetch(path, { ...options, headers });
  } catch {
    throw new ApiError(0, "The server did not answer. Check that it is running and try again.");
  }
  if (response.status === 401) {
    // Only a refusal of the token kept now says anything about it: a request sent before the
    // token was given (the page's first ones) must not undo it when its answer comes late.
    if (sentToken === sessionStorage.getItem(TOKEN_KEY)) {
      askForToken(sentToken ? "That token was not accepted." : "");
    }
    throw new ApiError(401, "An API token is needed.");
  }
  if (!response.ok) {
    throw new ApiError(response.status, await errorSentence(response));
  }
  return response;
}

async function errorSentence(response) {
  let detail = "";
  try {
    const body = await response.json();
    detail = typeof body.detail === "string" ? body.detail : "";
  } catch {
    // not JSON: fall back to the status below
  }
  if (response.status === 429) {
    const wait = response.headers.get("Retry-After");
    return `The server is busy answering other questions. Try again in ${wait || "a few"} seconds.`;
  }
  return sentence(detail || `The server answered with status ${response.status}.`);
}

function sentence(text) {
  const trimmed = String(text).trim();
  if (!trimmed) return "";
  const first = trimmed[0].toUpperCase() + trimmed.slice(1);
  return /[.!?]$/.test(first) ? first : `${first}.`;
}

// --- the token -----------------------------------------------------------------------------

function askForToken(message) {
  $("token-form").hidden = false;
  $("layout").inert = true; // nothing behind the prompt works without a token
  $("token-error").textContent = message || "";
  $("token").focus();
}

$("token-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  sessionStorage.setItem(TOKEN_KEY, $("token").value.trim());
  $("token").value = "";
  $("token-form").hidden = true;
  $("layout").inert = false;
  await loadHistory(true);
  await openFromLocation();
  await loadCandidates(api, highlightSql);
});

// --- asking --------------------------------------------------------------------------------

$("ask-form").addEventListener("submit", (event) => {
  event.preventDefault();
  ask();
});

$("question").addEventListener("keydown", (event) => {
  if (event.key === "Enter" && (event.ctrlKey || event.metaKey)) {
    event.preventDefault();
    ask();
  }
});

async function ask() {
  const question = $("question").value.trim();
  $("ask-error").textContent = "";
  if (!question) {
    $("ask-error").textContent = "Write a question first.";
    return;
  }
  $("ask").disabled = true;
  try {
    const threadId = state.threadId;
    const path = threadId ? `/v1/threads/${encodeURIComponent(threadId)}/runs` : "/v1/threads";
    const response = await api(path, { method: "POST", json: { question } });
    const body = await response.json();
    const id = threadId ? body.id : body.run.id;
    history.pushState(null, "", runLink(id));
    const thread = threadId || body.id;
    const view = showRun({ id, question, status: "queued", steps: [], thread_id: thread });
    $("question").value = "";
    showThread(state.threadId, id);
    loadHistory(true);
    await follow(id, view);
    await loadHistory(true);
  } catch (error) {
    $("ask-error").textContent = error.message;
  } finally {
    $("ask").disabled = false;
  }
}

// Follows the run's events; after a dropped connection it asks only for what it missed.
async function follow(runId, view) {
  let lastId = 0;
  for (let attempt = 0; attempt < 30 && state.view === view; attempt++) {
    try {
      const headers = lastId ? { "Last-Event-ID": String(lastId) } : {};
      const response = await api(`/v1/runs/${encodeURIComponent(runId)}/events`, { headers });
      const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
      let buffer = "";
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        buffer += value;
        let cut;
        while ((cut = buffer.indexOf("\n\n")) >= 0) {
          const event = parseEvent(buffer.slice(0, cut));
          buffer = buffer.slice(cut + 2);
          if (!event || state.view !== view) continue;
          lastId = event.id;
          if (event.event === "answer") showGrowingAnswer(event.data.text);
          if (event.event === "step") {
            addStep(event.data);
            setStatus("running");
            // A follow-up is restated before the graph's first step: say how it was read
            // while the answer is still being worked on.
            if (event.data.number === 1) showUnderstoodSoon(runId, view);
          }
          if (event.event === "end") {
            await openRun(runId, view);
            return;
          }
        }
      }
    } catch (error) {
      if (error.status === 401 || error.status === 404) throw error;
    }
    await new Promise((resolve) => setTimeout(resolve, 1000));
  }
}

async function showUnderstoodSoon(runId, view) {
  try {
    const run = await (await api(`/v1/runs/${encodeURIComponent(runId)}`)).json();
    if (state.view === view) showUnderstood($("run-understood"), run);
  } catch {
    // shown with the answer instead
  }
}

function parseEvent(block) {
  const fields = {};
  for (const line of block.split("\n")) {
    if (!line || line.startsWith(":")) continue;
    const colon = line.indexOf(":");
    if (colon < 0) continue;
    fields[line.slice(0, colon)] = line.slice(colon + 1).replace(/^ /, "");
  }
  if (!fields.data) return null;
  return { id: Number(fields.id), event: fields.event, data: JSON.parse(fields.data) };
}

// --- showing a run -------------------------------------------------------------------------

const STATUS_TEXT = {
  queued: "Waiting for a free worker…",
  running: "Working on it…",
  succeeded: "Answered.",
  failed: "The question could not be answered.",
  interrupted: "The server stopped before this question was answered.",
};
// A run can end with an answer although no query returned rows: the answer then says what went
// wrong, and "Answered." alone would promise more.
const NO_ROWS_TEXT = "Answered, but no SQL query returned rows: the answer rests on that.";

function clearObjectUrls() {
  for (const url of state.objectUrls) URL.revokeObjectURL(url);
  state.objectUrls = [];
}

// Shows the run as far as the record goes; returns the view that now owns the run section.
function showRun(run) {
  state.runId = run.id;
  state.threadId = run.thread_id || null;
  state.view += 1;
  state.runResult = null;
  state.finalSql = "";
  clearObjectUrls();
  $("run").hidden = false;
  showText($("run-question"), run.question);
  showUnderstood($("run-understood"), run);
  setFollowUp(true);
  setStatus(run.status);
  $("steps").replaceChildren();
  for (const step of run.steps || []) addStep(step);
  showText($("run-error"), run.error ? sentence(run.error) : "");
  $("rerun-error").textContent = "";
  $("result-error").textContent = "";
  $("edit").open = false;
  const blocks = ["answer-block", "chart-block", "sql-block", "result-block", "analysis-block"];
  for (const block of [...blocks, "knowledge-block"]) {
    $(block).hidden = true;
  }
  markHistory();
  return state.view;
}

// The answer while the model writes it: shown as it grows, read out a sentence at a time.
function showGrowingAnswer(text) {
  showText($("answer"), text);
  $("answer-block").hidden = false;
  speak(text, false);
}

// A sentence ends at . ! ? or … with a space after it (so "3.5" is no end), or at a line break.
const SENTENCE_END = /[.!?…](?=\s)|\n/g;

// Reads out what is new in the answer up to its last whole sentence (all of it once ``whole``).
// A text that is no continuation of the one read (the run wrote its answer again) starts over.
function speak(text, whole) {
  const spoken = state.spoken;
  if (spoken.runId !== state.runId || !text.startsWith(spoken.text.slice(0, spoken.upTo))) {
    Object.assign(spoken, { runId: state.runId, text: "", upTo: 0 });
  }
  let end = text.length;
  if (!whole) {
    end = 0;
    for (const found of text.matchAll(SENTENCE_END)) end = found.index + 1;
  }
  const fresh = text.slice(spoken.upTo, end).trim();
  Object.assign(spoken, { text, upTo: Math.max(spoken.upTo, end) });
  // Read out as shown: hidden characters by their codes, never acting on the text around.
  if (fresh) showText($("answer-spoken"), fresh);
}

function setStatus(status, text = STATUS_TEXT[status] || status) {
  $("run-status").textContent = text;
  $("run").dataset.status = status;
}

function addStep(step) {
  const item = document.createElement("li");
  const name = document.createElement("span");
  name.className = "node";
  name.textContent = NODE_NAMES[step.node] || step.node;
  const time = document.createElement("span");
  time.className = "time";
  time.textContent = ` ${Number(step.duration_s).toFixed(1)} s `;
  item.append(name, time, isolated(step.summary || ""));
  $("steps").append(item);
}

// "Understood as: ..." when a follow-up was restated before it was answered.
function showUnderstood(target, run) {
  const standalone = run.standalone_question;
  target.hidden = !standalone;
  target.replaceChildren();
  if (standalone) target.append("Understood as: ", isolated(standalone));
}

// The question form asks a follow-up while a thread is shown, else a new question.
function setFollowUp(inThread) {
  $("question-label").textContent = inThread ? "Follow-up question" : "Question";
  $("new-thread").hidden = !inThread;
}

// The thread around the run shown: its other questions and answers, compact, in order.
async function showThread(threadId, runId) {
  const drawn = (state.threadView += 1);
  const list = $("thread");
  if (!threadId) {
    list.replaceChildren();
    list.hidden = true;
    return;
  }
  let thread;
  try {
    thread = await (await api(`/v1/threads/${encodeURIComponent(threadId)}`)).json();
  } catch (error) {
    if (drawn === state.threadView && error.status !== 401) {
      $("ask-error").textContent = error.message;
    }
    return;
  }
  if (drawn !== state.threadView || state.runId !== runId) return;
  const at = thread.runs.findIndex((run) => run.id === runId);
  const before = at < 0 ? thread.runs : thread.runs.slice(0, at);
  const after = at < 0 ? [] : thread.runs.slice(at + 1);
  list.replaceChildren(...before.map(turnItem));
  list.hidden = before.length === 0;
  // Later turns follow the run shown; the form for a follow-up comes after them all.
  const later = $("thread-after");
  later.replaceChildren(...after.map(turnItem));
  later.hidden = after.length === 0;
}

function turnItem(run) {
  const item = document.createElement("li");
  const link = document.createElement("a");
  link.href = runLink(run.id);
  link.className = "turn-question";
  link.append(isolated(run.question));
  item.append(link);
  const understood = document.createElement("p");
  understood.className = "turn-understood";
  showUnderstood(understood, run);
  item.append(understood);
  const answer = document.createElement("p");
  answer.className = "turn-answer";
  const failed = run.error ? sentence(run.error) : STATUS_TEXT[run.status] || run.status;
  const said = run.answer ?? failed;
  showText(answer, said);
  item.append(answer);
  return item;
}

function startNewThread() {
  state.runId = null;
  state.threadId = null;
  state.view += 1;
  state.threadView += 1;
  $("run").hidden = true;
  for (const list of ["thread", "thread-after"]) {
    $(list).replaceChildren();
    $(list).hidden = true;
  }
  setFollowUp(false);
  markHistory();
}

$("new-thread").addEventListener("click", () => {
  history.pushState(null, "", location.pathname + location.search);
  startNewThread();
  $("ask-error").textContent = "";
  $("question").focus();
});

// Shows an ended run whole: its record is read again unless given.
async function openRun(runId, view, given = null) {
  const run = given || (await (await api(`/v1/runs/${encodeURIComponent(runId)}`)).json());
  if (state.view !== view) return;
  view = showRun(run);
  showThread(run.thread_id, run.id);
  state.runResult = run.result || null;
  if (run.status === "succeeded" && !run.result) setStatus(run.status, NO_ROWS_TEXT);
  if (run.answer !== null && run.answer !== undefined) {
    showText($("answer"), run.answer);
    speak(run.answer, true);
    $("answer-block").hidden = false;
    setFeedback(run.feedback && run.feedback.rating);
  }
  if (run.final_sql) {
    state.finalSql = run.final_sql;
    highlightSql(run.final_sql, $("sql"));
    $("sql-edit").value = run.final_sql;
    $("sql-block").hidden = false;
  }
  if (run.result) showResult(run.result, true);
  showUsedKnowledge(run.knowledge, highlightSql);
  if (run.analysis_output || run.analysis_error) {
    showText($("analysis"), [run.analysis_output, run.analysis_error].filter(Boolean).join("\n"));
    $("analysis-block").hidden = false;
  }
  if (run.chart_url) {
    const blob = await (await api(run.chart_url)).blob();
    if (state.view !== view) return;
    const url = URL.createObjectURL(blob);
    state.objectUrls.push(url);
    $("chart").src = url;
    $("chart-block").hidden = false;
  }
}

// --- the result table ----------------------------------------------------------------------

function showResult(result, fromRun) {
  state.result = { ...result, fromRun };
  state.page = 0;
  $("result-title").textContent = fromRun ? "Result" : "Result of the edited query";
  $("result-error").textContent = "";
  $("result-block").hidden = false;
  renderPage();
}

function renderPage() {
  const { columns, rows, truncated } = state.result;
  const table = $("result");
  // A column of numbers (nulls aside) is aligned on the right, heading included.
  const numeric = columns.map(
    (_, i) =>
      rows.some((row) => row[i] !== null) &&
      rows.every((row) => row[i] === null || typeof row[i] === "number"),
  );
  const head = document.createElement("thead");
  const headRow = document.createElement("tr");
  columns.forEach((column, i) => {
    const cell = document.createElement("th");
    cell.scope = "col";
    showText(cell, column);
    if (numeric[i]) cell.className = "num";
    headRow.append(cell);
  });
  head.append(headRow);
  const body = document.createElement("tbody");
  const start = state.page * PAGE_ROWS;
  for (const row of rows.slice(start, start + PAGE_ROWS)) {
    const tr = document.createElement("tr");
    row.forEach((value, i) => {
      const cell = document.createElement("td");
      showText(cell, value === null ? "NULL" : String(value));
      cell.className = [numeric[i] ? "num" : "", value === null ? "null" : ""].join(" ").trim();
      tr.append(cell);
    });
    body.append(tr);
  }
  table.replaceChildren(head, body);
  const pages = Math.max(1, Math.ceil(rows.length / PAGE_ROWS));
  const more = truncated ? " (more rows exist; only these were fetched)" : "";
  $("page-note").textContent = `Page ${state.page + 1} of ${pages}, ${rows.length} rows${more}`;
  $("prev-page").disabled = state.page === 0;
  $("next-page").disabled = state.page >= pages - 1;
}

$("prev-page").addEventListener("click", () => {
  state.page = Math.max(0, state.page - 1);
  renderPage();
});
$("next-page").addEventListener("click", () => {
  state.page += 1;
  renderPage();
});

// The run's rows come from its record; an edited query's rows from the query, run again.
$("csv").addEventListener("click", async () => {
  const { fromRun, sql } = state.result;
  const runId = state.runId;
  try {
    const response = fromRun
      ? await api(`/v1/runs/${encodeURIComponent(runId)}/result.csv`)
      : await api("/v1/sql?format=csv", { method: "POST", json: { sql } });
    const url = URL.createObjectURL(await response.blob());
    const link = document.createElement("a");
    link.href = url;
    link.download = fromRun ? `quorlix-${runId}.csv` : `quorlix-${runId}-edited.csv`;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  } catch (error) {
    showText($("result-error"), error.message);
  }
});

// --- edit and re-run -----------------------------------------------------------------------

$("rerun").addEventListener("click", async () => {
  $("rerun-error").textContent = "";
  const sql = $("sql-edit").value;
  try {
    const response = await api("/v1/sql", { method: "POST", json: { sql } });
    showResult({ ...(await response.json()), sql }, false);
  } catch (error) {
    // Said beside the Run button; the table below goes back to the run's own result, so no
    // earlier edit's rows stand there as if this one had produced them.
    showText($("rerun-error"), error.message);
    if (state.runResult) showResult(state.runResult, true);
    else $("result-block").hidden = true;
  }
});

// --- feedback ------------------------------------------------------------------------------

function setFeedback(rating) {
  $("thumb-up").setAttribute("aria-pressed", String(rating === "up"));
  $("thumb-down").setAttribute("aria-pressed", String(rating === "down"));
  $("feedback-note").textContent = rating ? "Thank you." : "";
}

async function sendFeedback(rating) {
  const body = { rating };
  const edited = $("sql-edit").value.trim();
  // The shown SQL marks hidden characters; the query itself is what the edit is compared to.
  if (rating === "down" && edited && edited !== state.finalSql.trim()) {
    body.corrected_sql = edited;
  }
  try {
    const response = await api(`/v1/runs/${encodeURIComponent(state.runId)}/feedback`, {
      method: "POST",
      json: body,
    });
    const answered = await response.json();
    setFeedback(rating);
    $("feedback-note").textContent = candidateNote(answered.candidate);
    if (answered.candidate && !answered.candidate.refused) loadCandidates(api, highlightSql);
  } catch (error) {
    $("feedback-note").textContent = error.message;
  }
}

$("thumb-up").addEventListener("click", () => sendFeedback("up"));
$("thumb-down").addEventListener("click", () => sendFeedback("down"));

// --- history -------------------------------------------------------------------------------

// One entry per thread: its first question, opening at its first run (the thread's address).
async function loadHistory(fresh) {
  const params = new URLSearchParams({ limit: "20" });
  if (!fresh && state.cursor) params.set("cursor", state.cursor);
  let page;
  try {
    page = await (await api(`/v1/threads?${params}`)).json();
  } catch (error) {
    if (error.status !== 401) $("ask-error").textContent = error.message;
    return;
  }
  if (fresh) $("history").replaceChildren();
  for (const thread of page.threads) {
    if (!thread.first_run_id) continue; // started, but nothing asked in it yet
    const item = document.createElement("li");
    const link = document.createElement("a");
    link.href = runLink(thread.first_run_id);
    link.dataset.id = thread.first_run_id;
    link.dataset.thread = thread.id;
    link.append(isolated(thread.title || ""));
    const when = document.createElement("span");
    when.className = "when";
    const count = thread.run_count > 1 ? ` · ${thread.run_count} questions` : "";
    when.textContent = `${new Date(thread.updated_at).toLocaleString()}${count}`;
    link.append(when);
    item.append(link);
    $("history").append(item);
  }
  state.cursor = page.next_cursor;
  $("more-history").hidden = !page.next_cursor;
  markHistory();
}

// --- addresses: every run has its own (#run=ID), so reload, links and the back button work --

function runLink(runId) {
  return `#run=${encodeURIComponent(runId)}`;
}

function runInLocation() {
  const found = /^#run=([^&]+)$/.exec(location.hash);
  return found ? decodeURIComponent(found[1]) : null;
}

async function openFromLocation() {
  const runId = runInLocation();
  $("ask-error").textContent = "";
  if (!runId) {
    startNewThread();
    return;
  }
  const view = (state.view += 1);
  state.runId = runId;
  try {
    const run = await (await api(`/v1/runs/${encodeURIComponent(runId)}`)).json();
    if (state.view !== view) return;
    if (run.status === "queued" || run.status === "running") {
      // The event stream replays every step, so the record's own are not shown twice.
      const following = showRun({ ...run, steps: [] });
      showThread(run.thread_id, run.id);
      reveal();
      await follow(runId, following);
    } else {
      await openRun(runId, view, run);
      reveal();
    }
  } catch (error) {
    if (state.view !== view || error.status === 401) return;
    $("run").hidden = true;
    $("ask-error").textContent =
      error.status === 404 ? "There is no such question in your history." : error.message;
  }
}

function reveal() {
  $("run").scrollIntoView({ block: "start" });
  $("run-question").focus({ preventScroll: true });
}

window.addEventListener("hashchange", openFromLocation);

function markHistory() {
  for (const link of $("history").querySelectorAll("a")) {
    const current = state.threadId
      ? link.dataset.thread === state.threadId
      : link.dataset.id === state.runId;
    if (current) link.setAttribute("aria-current", "page");
    else link.removeAttribute("aria-current");
  }
}

$("more-history").addEventListener("click", () => loadHistory(false));

// --- SQL highlighting: tokens become text nodes inside spans ------------------------------

const SQL_KEYWORDS = new Set(
  `select from where group by order having limit offset join inner left right full outer cross
  on using as and or not in is null like ilike between case when then else end distinct union
  all intersect except with recursive asc desc over partition window filter exists any some
  true false cast interval date time timestamp insert update delete into values set create
  drop alter table view index returning nulls first last fetch next rows only top`
    .split(/\s+/)
    .filter(Boolean),
);

const SQL_TOKEN = new RegExp(
  [
    String.raw`(--[^\n]*|/\*[\s\S]*?(?:\*/|$))`, // comment
    String.raw`('(?:[^']|'')*'?)`, // string
    String.raw`("(?:[^"]|"")*"?|\x60[^\x60]*\x60?|\[[^\]]*\]?)`, // quoted identifier
    String.raw`(\b\d+(?:\.\d+)?(?:[eE][+-]?\d+)?\b)`, // number
    String.raw`([A-Za-z_][A-Za-z0-9_$]*)`, // word
  ].join("|"),
  "g",
);

export function highlightSql(sql, target) {
  const parts = [];
  let at = 0;
  for (const match of sql.matchAll(SQL_TOKEN)) {
    if (match.index > at) parts.push(textNodes(sql.slice(at, match.index)));
    const [token, comment, string, , number, word] = match;
    let kind = null;
    if (comment) kind = "com";
    else if (string) kind = "str";
    else if (number) kind = "num";
    else if (word && SQL_KEYWORDS.has(word.toLowerCase())) kind = "kw";
    else if (word && sql[match.index + token.length] === "(") kind = "fn";
    if (kind) {
      const span = document.createElement("span");
      span.className = kind;
      span.append(textNodes(token));
      parts.push(span);
    } else {
      parts.push(textNodes(token));
    }
    at = match.index + token.length;
  }
  if (at < sql.length) parts.push(textNodes(sql.slice(at)));
  target.replaceChildren(...parts);
}

loadHistory(true);
openFromLocation();
loadCandidates(api, highlightSql);
