"""The user's context and answer instructions for the final-answer prompt.

By default the built-in texts below are used. To supply your own, point the environment
variable ``QUORLIX_CONTEXT_FILE`` at a UTF-8 TOML file with one or both of these string keys::

    context = '''
    The database holds the sales ledger of a furniture retailer; amounts are in EUR.
    '''
    instructions = "Answer in German and round money to whole euros."

``context`` describes the data and the business; ``instructions`` says how answers should be
written. A key that is left out keeps its built-in text; an empty string drops that part.
Any other key is refused, so that a misspelt key does not go unnoticed.

The node module calls ``read_values()`` once when it is imported, so a change to the file
takes effect in a new process.
"""

from __future__ import annotations

import tomllib
from pathlib import Path

CONTEXT_FILE_VARIABLE = "QUORLIX_CONTEXT_FILE"

# The final-answer prompt glues these directly after its own text, so each part opens with
# its own line breaks and heading.
context_prompt = """

Context about the data:
The figures come from the organisation's relational database, as stored there at the time \
of the question. No further business context was given.
"""

custom_instructions = """
Instructions for the answer:
Answer in the language of the question. Lead with the direct answer, then the figures that \
support it, with their units and the period they cover when the data shows them. Prefer short \
sentences or a short list, and keep to about 150 words unless the question asks for detail.
"""

check_instructions = """Before you answer, check that:
- every number, name and date you state appears in the SQL query result or in the printed \
output of the analysis code, or follows from them by simple arithmetic;
- the answer addresses the question that was asked, including its period and filters;
- a failed query, an empty result or an analysis error is reported as such rather than \
papered over;
- a chart is mentioned only if the analysis output says it was saved.
"""

# File key -> (heading, line breaks before it), matching the layout of the defaults above.
_KEYS = {
    "context": ("Context about the data:", "\n\n"),
    "instructions": ("Instructions for the answer:", "\n"),
}


class ContextFileError(ValueError):
    """The file named by QUORLIX_CONTEXT_FILE is missing or not in the expected form."""


def read_values() -> dict[str, str]:
    """Return ``{"context_prompt": ..., "custom_instructions": ...}`` for the final prompt."""
    values = {"context_prompt": context_prompt, "custom_instructions": custom_instructions}
    from quorlix import config

    try:
        path = config.setting("context_file")
    except config.ConfigError as exc:
        raise ContextFileError(str(exc)) from None
    if path is None:
        return values
    loaded = read_file(path)
    if "context" in loaded:
        values["context_prompt"] = _section("context", loaded["context"])
    if "instructions" in loaded:
        values["custom_instructions"] = _section("instructions", loaded["instructions"])
    return values


def read_file(path: Path) -> dict[str, str]:
    """The keys of a context file; ``ContextFileError`` says what is wrong with it."""
    return _load(path)


def _section(key: str, text: str) -> str:
    heading, lead = _KEYS[key]
    text = text.strip()
    return f"{lead}{heading}\n{text}\n" if text else ""


def _load(path: Path) -> dict[str, str]:
    def fail(problem: str) -> ContextFileError:
        return ContextFileError(
            f"{CONTEXT_FILE_VARIABLE} names {path}, but {problem}. Fix the file, or unset "
            f"{CONTEXT_FILE_VARIABLE} to use the built-in context and instructions. Expected "
            f"a UTF-8 TOML file with the optional string keys 'context' and 'instructions'."
        )

    try:
        with path.open("rb") as handle:
            data = tomllib.load(handle)
    except FileNotFoundError as error:
        raise fail("that file does not exist") from error
    except IsADirectoryError as error:
        raise fail("that is a directory, not a file") from error
    except OSError as error:
        raise fail(f"it cannot be read ({error.strerror or error})") from error
    except UnicodeDecodeError as error:
        raise fail("it is not UTF-8 text") from error
    except tomllib.TOMLDecodeError as error:
        raise fail(f"it is not valid TOML ({error})") from error

    unknown = sorted(set(data) - set(_KEYS))
    if unknown:
        raise fail(f"it has unknown key(s) {', '.join(map(repr, unknown))}")
    for key, value in data.items():
        if not isinstance(value, str):
            raise fail(f"its key {key!r} holds a {type(value).__name__}, not a string")
    return data
