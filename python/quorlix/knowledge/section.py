"""The reference section of a question: its examples and glossary entries as the model sees them.

The framing texts are prompt texts, in ``quorlix.prompts.reference``.

It is reference material, never instructions: it opens and closes with marker lines, says in
its first line that nothing in it is an instruction, and shows every value indented below a
label, so that a note reading "ignore the rules above" is quoted data inside the section. A
value cannot forge the closing marker: runs of "=" in values are shortened, and no value line
starts at the left edge where the markers are.

The section is appended after the text it accompanies and starts with a blank line. It is at
most ``max_chars`` long: glossary entries come first (the question uses their words), then
examples best first; an item that would pass the cap is left out, and with nothing to show
there is no section at all.
"""

from __future__ import annotations

import re
from collections.abc import Sequence

from quorlix.prompts.reference import CLOSING, EXAMPLES_HEADING, GLOSSARY_HEADING, OPENING

from .records import GlossaryEntry, VerifiedExample

DEFAULT_SECTION_CHARS = 4_000

_MARKER_RUN = re.compile(r"={3,}")


def _value(text: str, indent: str) -> str:
    """``text`` on lines of its own under ``indent``, unable to pass for a marker line."""
    lines = _MARKER_RUN.sub("==", text.strip()).splitlines() or [""]
    return "\n".join(indent + line.rstrip() for line in lines)


def glossary_item(entry: GlossaryEntry) -> str:
    parts = [f"- Term:\n{_value(entry.term, '    ')}"]
    if entry.synonyms:
        parts.append(f"  Also called:\n{_value(', '.join(entry.synonyms), '    ')}")
    parts.append(f"  Meaning:\n{_value(entry.definition, '    ')}")
    if entry.sql:
        parts.append(f"  SQL:\n{_value(entry.sql, '    ')}")
    return "\n".join(parts) + "\n"


def example_item(number: int, example: VerifiedExample) -> str:
    parts = [
        f"- Example {number}, question:\n{_value(example.question, '    ')}",
        f"  SQL:\n{_value(example.sql, '    ')}",
    ]
    if example.notes and example.notes.strip():
        parts.append(f"  Notes:\n{_value(example.notes, '    ')}")
    return "\n".join(parts) + "\n"


def render_section(
    terms: Sequence[GlossaryEntry],
    examples: Sequence[VerifiedExample],
    max_chars: int = DEFAULT_SECTION_CHARS,
) -> tuple[str, list[GlossaryEntry], list[VerifiedExample]]:
    """The section and the entries and examples it shows ("" and nothing when none fit)."""
    budget = max_chars - len(OPENING) - len(CLOSING)
    shown_terms: list[GlossaryEntry] = []
    term_text = ""
    for entry in terms:
        item = glossary_item(entry)
        extra = len(item) + (0 if shown_terms else len(GLOSSARY_HEADING))
        if extra <= budget:
            shown_terms.append(entry)
            term_text += item
            budget -= extra
    shown_examples: list[VerifiedExample] = []
    example_text = ""
    for example in examples:
        item = example_item(len(shown_examples) + 1, example)
        extra = len(item) + (0 if shown_examples else len(EXAMPLES_HEADING))
        if extra <= budget:
            shown_examples.append(example)
            example_text += item
            budget -= extra
    if not shown_terms and not shown_examples:
        return "", [], []
    body = OPENING
    if shown_terms:
        body += GLOSSARY_HEADING + term_text
    if shown_examples:
        body += EXAMPLES_HEADING + example_text
    return body + CLOSING, shown_terms, shown_examples
