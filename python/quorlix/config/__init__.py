"""Every setting quorlix reads from the environment, in one typed object read once at start.

``Config.from_environ(environ)`` reads and checks all of them and raises one ``ConfigError``
listing every bad value, one line each. A command builds it before anything else and
``install``s it, so a bad value stops the command before any model call; every reader then
takes its value from the installed object (``setting(name)``). A program that uses quorlix as
a library installs nothing: each reader then reads its own variable from the environment when
it needs it, as it always has, so one bad variable only fails the part that uses it.

Settings that name a file or hold a table (prices, tokens, the context file) are only read
here; their owners open and check them, and a command does that at start too
(``quorlix.cli.settings_check``), so this package imports none of quorlix's other parts.

The README's configuration tables are generated from the fields here:
``python -m quorlix.config --markdown``.
"""

from __future__ import annotations

import dataclasses
import os
import threading
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from .fields import DATABASE_UTILITY_VARIABLES, Setting, setting_field
from .values import GiB, Invalid, MiB, choice, seconds, size, text, url, url_like, whole_number

__all__ = [
    "Config",
    "ConfigError",
    "DATABASE_UTILITY_VARIABLES",
    "Setting",
    "current",
    "field_of",
    "install",
    "installed",
    "setting",
    "settings",
]

# The newest dated GA data-plane version when this was written. It supports both ways
# langchain-openai asks for structured output (function calling and json_schema
# response_format), which preview-era versions before 2024-08-01 did not.
DEFAULT_API_VERSION = "2024-10-21"
# OpenAI's own API, for provider openai when OPENAI_BASE_URL is unset.
DEFAULT_OPENAI_BASE_URL = "https://api.openai.com/v1"
_MODELS = "models"
_OTHER = "other"


class ConfigError(ValueError):
    """Settings that cannot be used; one line per bad variable, each saying what is expected."""

    def __init__(self, problems: list[str]) -> None:
        super().__init__("\n".join(problems))
        self.problems = list(problems)


def _path(value: str) -> Path:
    return Path(value).expanduser().resolve()


def _home(value: str) -> Path:
    return Path(value).expanduser()


def _duckdb_threads() -> int:
    return max(1, min(4, os.cpu_count() or 1))


@dataclasses.dataclass(frozen=True)
class Config:
    """quorlix's settings. Every field is one environment variable; an empty one counts as unset."""

    provider: str = setting_field(
        "QUORLIX_PROVIDER",
        "who serves the chat models: `azure` (Azure OpenAI deployments) or `openai` (OpenAI, "
        "or any server speaking its chat completions API, at OPENAI_BASE_URL)",
        "azure",
        choice("azure", "openai"),
        group=_MODELS,
    )
    azure_endpoint: str | None = setting_field(
        "AZURE_OPENAI_ENDPOINT",
        "endpoint of the Azure OpenAI resource, e.g. https://my-resource.openai.azure.com/",
        None,
        url,
        shown="required with provider `azure`",
        group=_MODELS,
    )
    azure_api_key: str | None = setting_field(
        "AZURE_OPENAI_API_KEY",
        "API key of that Azure OpenAI resource",
        None,
        text,
        shown="required with provider `azure` and `key` sign-in",
        group=_MODELS,
        secret=True,
    )
    azure_auth: str = setting_field(
        "QUORLIX_AZURE_AUTH",
        "how to sign in: key (AZURE_OPENAI_API_KEY) or entra (Microsoft Entra ID token, no key)",
        "key",
        choice("key", "entra"),
        group=_MODELS,
    )
    api_version: str = setting_field(
        "OPENAI_API_VERSION",
        "Azure OpenAI REST API version of every call",
        DEFAULT_API_VERSION,
        text,
        group=_MODELS,
    )
    chat35_deployment: str | None = setting_field(
        "QUORLIX_CHAT35_DEPLOYMENT",
        "deployment that picks tables, reviews SQL, writes analysis code and the final answer",
        None,
        text,
        shown="required with provider `azure`",
        group=_MODELS,
    )
    chat35_model: str = setting_field(
        "QUORLIX_CHAT35_MODEL",
        "model name behind QUORLIX_CHAT35_DEPLOYMENT (decides how structured output is "
        "requested); with provider `openai`, the model itself",
        "gpt-35-turbo",
        text,
        group=_MODELS,
    )
    chat4_deployment: str | None = setting_field(
        "QUORLIX_CHAT4_DEPLOYMENT",
        "deployment that writes and corrects the SQL queries",
        None,
        text,
        shown="required with provider `azure`",
        group=_MODELS,
    )
    chat4_model: str = setting_field(
        "QUORLIX_CHAT4_MODEL",
        "model name behind QUORLIX_CHAT4_DEPLOYMENT (decides how structured output is "
        "requested); with provider `openai`, the model itself",
        "gpt-4",
        text,
        group=_MODELS,
    )
    openai_base_url: str = setting_field(
        "OPENAI_BASE_URL",
        "with provider `openai`: the API's base URL, e.g. http://127.0.0.1:8000/v1 for a local "
        "vLLM, llama.cpp or Ollama server",
        DEFAULT_OPENAI_BASE_URL,
        url_like("http://127.0.0.1:8000/v1"),
        group=_MODELS,
    )
    openai_api_key: str | None = setting_field(
        "OPENAI_API_KEY",
        "with provider `openai`: the API key sent as a bearer token",
        None,
        text,
        shown="required for OpenAI's own URL; other servers get a placeholder when unset",
        group=_MODELS,
        secret=True,
    )
    structured_output: str = setting_field(
        "QUORLIX_STRUCTURED_OUTPUT",
        "with provider `openai`: how records are asked for: `auto` (JSON-schema response "
        "format, function calling where the server refuses that, JSON described in the prompt "
        "where it refuses tools too), or always `json_schema`, `function_calling` or "
        "`json_mode` (JSON described in the prompt, for servers with neither)",
        "auto",
        choice("auto", "json_schema", "function_calling", "json_mode"),
        group=_MODELS,
    )
    request_timeout: float = setting_field(
        "QUORLIX_REQUEST_TIMEOUT",
        "seconds to wait for one model reply before giving up",
        60.0,
        seconds,
        shown="`60`",
        group=_MODELS,
    )
    max_retries: int = setting_field(
        "QUORLIX_MAX_RETRIES",
        "how often a failed or timed-out model call is retried",
        2,
        whole_number(0),
        group=_MODELS,
    )
    stream_answer: str = setting_field(
        "QUORLIX_STREAM_ANSWER",
        "whether the final answer is streamed as the model writes it (`on`) or sent whole "
        "(`off`, for a model server that cannot stream)",
        "on",
        choice("on", "off"),
        group=_MODELS,
    )
    prices: str | None = setting_field(
        "QUORLIX_PRICES",
        "prices per deployment (per model name with provider `openai`) per 1,000 tokens, JSON "
        "or a JSON file's path (below)",
        None,
        text,
        shown="none: no cost shown",
    )
    analysis_timeout: float = setting_field(
        "QUORLIX_ANALYSIS_TIMEOUT",
        "seconds an analysis program may run before a `TimeoutError` stops it",
        60.0,
        seconds,
        shown="`60`",
    )
    analysis_sandbox: str = setting_field(
        "QUORLIX_ANALYSIS_SANDBOX",
        "where analysis programs run: `auto` (a confined worker process, with every isolation "
        "layer the OS offers), `required` (refuse to run without all of them) or `off` (in the "
        "host process)",
        "auto",
        choice("required", "auto", "off"),
    )
    analysis_memory: int = setting_field(
        "QUORLIX_ANALYSIS_MEMORY",
        "address space an analysis program may use, in bytes or with a K, M or G suffix",
        2 * GiB,
        size(256 * MiB, "a size in bytes", "2G"),
        shown="`2G`",
    )
    analysis_disk: int = setting_field(
        "QUORLIX_ANALYSIS_DISK",
        "what an analysis program's run folder may hold in all, in bytes or with a K, M or G "
        "suffix",
        256 * MiB,
        size(1 * MiB, "a size in bytes", "256M"),
        shown="`256M`",
    )
    analysis_output_limit: int = setting_field(
        "QUORLIX_ANALYSIS_OUTPUT_LIMIT",
        "characters of an analysis program's printed output (and of its error message) kept "
        "for the answer, the run store and every prompt, with a K or M suffix; more is cut and "
        "marked as cut",
        1 * MiB,
        size(1, "a positive number of characters", "1M"),
        shown="`1M` (1,048,576)",
    )
    trace_content: str = setting_field(
        "QUORLIX_TRACE_CONTENT",
        "`1` adds the prompt and completion texts of model calls to their trace spans (they "
        "hold questions and data; see Traces), `0` leaves them out",
        "0",
        choice("0", "1"),
    )
    context_file: Path | None = setting_field(
        "QUORLIX_CONTEXT_FILE",
        "a TOML file with your own context and answer instructions for the final answer (below)",
        None,
        _path,
        shown="built-in texts",
    )
    home: Path | None = setting_field(
        "QUORLIX_HOME",
        "directory of the sample database `shop.db` and of the service's run store `runs.db`",
        None,
        _home,
        shown="`shop.db`: `$XDG_CACHE_HOME/quorlix`, else `~/.cache/quorlix`; `runs.db`: "
        "`$XDG_DATA_HOME/quorlix`, else `~/.local/share/quorlix`",
    )
    shortlist_threshold: int = setting_field(
        "QUORLIX_SHORTLIST_THRESHOLD",
        "above this many tables the table picker shows the model a ranked shortlist instead of "
        "every name",
        40,
        whole_number(0),
    )
    shortlist_size: int = setting_field(
        "QUORLIX_SHORTLIST_SIZE",
        "how many tables that shortlist holds",
        20,
        # At least 1 is the table picker's own check, made with the keyword's name.
        whole_number(0),
    )
    duckdb_memory_limit: int = setting_field(
        "QUORLIX_DUCKDB_MEMORY_LIMIT",
        "DuckDB's `memory_limit` for DuckDB databases and data files, in bytes or with a K, M, "
        "G or T suffix",
        1 * GiB,
        size(64 * MiB, "a size in bytes", "512M or 2G"),
        shown="`1G`",
    )
    duckdb_temp_limit: int = setting_field(
        "QUORLIX_DUCKDB_TEMP_LIMIT",
        "most data DuckDB may spill to its private temporary folder",
        4 * GiB,
        size(0, "a size in bytes", "512M or 2G"),
        shown="`4G`",
    )
    duckdb_threads: int = setting_field(
        "QUORLIX_DUCKDB_THREADS",
        "threads DuckDB may use for one query",
        _duckdb_threads,
        whole_number(1, "of threads"),
        shown="the cores, at most 4",
    )
    thread_turns: int = setting_field(
        "QUORLIX_THREAD_TURNS",
        "how many earlier turns of a thread are shown to the model that restates a follow-up "
        "as a standalone question",
        5,
        whole_number(1, "of turns"),
    )
    thread_context_chars: int = setting_field(
        "QUORLIX_THREAD_CONTEXT_CHARS",
        "most characters of those earlier turns in that prompt, with a K suffix; older turns "
        "are left out first",
        4000,
        size(200, "a number of characters", "4000 or 8K"),
        shown="`4000`",
    )
    api_tokens: str | None = setting_field(
        "QUORLIX_API_TOKENS",
        "API tokens of `quorlix serve`: comma-separated `name:token` pairs (`name:token:admin` "
        "for a name that may change the team's knowledge)",
        None,
        text,
        shown="none",
        secret=True,
    )
    api_tokens_file: str | None = setting_field(
        "QUORLIX_API_TOKENS_FILE",
        "a file of `name:token` (or `name:token:admin`) lines (`#` starts a comment), read at "
        "start",
        None,
        text,
        shown="none",
    )

    @classmethod
    def from_environ(cls, environ: Mapping[str, str] | None = None) -> Config:
        """Every setting from ``environ`` (the process environment by default), all checked.

        Raises ``ConfigError`` naming every variable whose value cannot be used.
        """
        environ = os.environ if environ is None else environ
        values: dict[str, Any] = {}
        problems: list[str] = []
        for name in settings():
            try:
                values[name] = read(name, environ)
            except ConfigError as error:
                problems.extend(error.problems)
        if problems:
            raise ConfigError(problems)
        return cls(**values)

    def __repr__(self) -> str:
        shown = []
        for name, spec in settings().items():
            value = getattr(self, name)
            shown.append(f"{name}={'**********' if spec.secret and value else repr(value)}")
        return f"Config({', '.join(shown)})"


def settings() -> dict[str, Setting]:
    """Field name -> its setting, in the order of the README's tables."""
    return _SETTINGS


_SETTINGS: dict[str, Setting] = {
    field.name: field.metadata["setting"] for field in dataclasses.fields(Config)
}


def field_of(variable: str) -> str:
    """The field that holds ``variable``."""
    return _BY_VARIABLE[variable]


_BY_VARIABLE = {spec.variable: name for name, spec in _SETTINGS.items()}


def read(name: str, environ: Mapping[str, str] | None = None) -> Any:
    """One setting from ``environ`` (the process environment by default), checked."""
    spec = _SETTINGS[name]
    raw = (os.environ if environ is None else environ).get(spec.variable)
    value = raw.strip() if raw is not None else ""
    if not value:
        return spec.default() if callable(spec.default) else spec.default
    try:
        return spec.read(value)
    except Invalid as error:
        shown = "a hidden value" if spec.secret else repr(raw)
        raise ConfigError([f"{spec.variable} must be {error} (got {shown})"]) from None
    except ValueError as error:
        # The readers of files and tables say what is wrong in their own words.
        raise ConfigError([" ".join(str(error).split())]) from None


_installed: Config | None = None
_lock = threading.Lock()


def install(config: Config | None) -> Config | None:
    """Make ``config`` the settings every reader uses (None: read the environment at each use);
    returns the one it replaces."""
    global _installed
    with _lock:
        previous, _installed = _installed, config
    return previous


@contextmanager
def installed(config: Config) -> Iterator[Config]:
    """``config`` for the length of a ``with`` block, then the settings before it again."""
    previous = install(config)
    try:
        yield config
    finally:
        install(previous)


def current() -> Config:
    """The installed settings, else all of them read from the environment now."""
    config = _installed
    return config if config is not None else Config.from_environ()


def setting(name: str) -> Any:
    """One setting: from the installed settings, else from the environment now.

    The compiled graph nodes read their settings through this too.
    """
    config = _installed
    if config is not None:
        return getattr(config, name)
    return read(name)
