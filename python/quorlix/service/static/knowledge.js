// The team's knowledge on the page: which examples and glossary terms a run was given (so the
// person asking sees why its SQL looks as it does), and, for admins, the queue of candidates
// that feedback offered, to accept or reject. Everything is shown as text (text.js).

import { isolated, showText } from "./text.js";

const $ = (id) => document.getElementById(id);

// The examples and terms of a run's record ({examples: [{id, question, sql}], terms: [...]}).
export function showUsedKnowledge(knowledge, highlightSql) {
  const examples = (knowledge && knowledge.examples) || [];
  const terms = (knowledge && knowledge.terms) || [];
  $("knowledge-block").hidden = !examples.length && !terms.length;
  const list = $("knowledge-used");
  list.replaceChildren();
  for (const example of examples) {
    const item = document.createElement("li");
    const question = document.createElement("div");
    question.append(isolated(example.question));
    const code = document.createElement("code");
    highlightSql(example.sql, code);
    const pre = document.createElement("pre");
    pre.className = "sql";
    pre.append(code);
    item.append(question, pre);
    list.append(item);
  }
  for (const term of terms) {
    const item = document.createElement("li");
    const label = document.createElement("span");
    label.className = "hint";
    label.textContent = "Glossary: ";
    item.append(label, isolated(term.term));
    list.append(item);
  }
}

// The review queue: shown only to a token that may review (others get 403 and see nothing).
export async function loadCandidates(api, highlightSql) {
  let found;
  try {
    found = await (await api("/v1/knowledge/candidates")).json();
  } catch (error) {
    $("review").hidden = true;
    return;
  }
  $("review").hidden = false;
  const list = $("candidates");
  list.replaceChildren();
  $("review-empty").hidden = found.candidates.length > 0;
  for (const candidate of found.candidates) {
    list.append(candidateItem(candidate, api, highlightSql));
  }
}

function candidateItem(candidate, api, highlightSql) {
  const item = document.createElement("li");
  item.dataset.id = String(candidate.id);
  const question = document.createElement("div");
  question.className = "candidate-question";
  question.append(isolated(candidate.question));
  const origin = document.createElement("span");
  origin.className = "hint";
  origin.textContent = candidate.origin === "correction" ? "corrected SQL" : "liked answer";
  const code = document.createElement("code");
  highlightSql(candidate.sql, code);
  const pre = document.createElement("pre");
  pre.className = "sql";
  pre.append(code);
  const note = document.createElement("p");
  note.className = "error";
  note.setAttribute("role", "alert");
  const row = document.createElement("div");
  row.className = "row";
  for (const [verb, label] of [
    ["accept", "Accept"],
    ["reject", "Reject"],
  ]) {
    const button = document.createElement("button");
    button.type = "button";
    button.textContent = label;
    button.className = verb;
    button.addEventListener("click", async () => {
      try {
        await api(`/v1/knowledge/candidates/${candidate.id}/${verb}`, { method: "POST" });
        item.remove();
        $("review-empty").hidden = $("candidates").children.length > 0;
      } catch (error) {
        showText(note, error.message);
      }
    });
    row.append(button);
  }
  item.append(question, origin, pre, row, note);
  return item;
}

// What the server said about the example a rating offered.
export function candidateNote(candidate) {
  if (!candidate) return "Thank you.";
  if (candidate.refused) return `Thank you. The SQL was not offered to the team: ${candidate.refused}`;
  return "Thank you. The question and its SQL were offered to the team's knowledge for review.";
}
