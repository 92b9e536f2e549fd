"""Settings of the chat models for provider ``openai``: OpenAI itself or any server speaking its
chat completions API at ``OPENAI_BASE_URL``.

Like the Azure settings classes (``quorlix.settings``), an instance is a plain bag of keyword
arguments, here for ``OpenAICompatibleChat`` (a ``ChatOpenAI``): the graph builds its five
models from ``vars(settings)`` plus its fixed ``max_tokens``, ``temperature`` and
``model_kwargs``, so an instance holds nothing else as an instance attribute.
"""

from __future__ import annotations

from collections.abc import Mapping
from urllib.parse import urlsplit

from pydantic import SecretStr

from quorlix import config
from quorlix.settings import (
    ConfigurationError,
    _endpoint,
    _pick,
    _retries,
    _text,
    _timeout,
    shared_http_clients,
)

STRUCTURED_OUTPUT_METHODS = ("auto", "json_schema", "function_calling", "json_mode")

# Servers other than OpenAI's own mostly ignore the key, but the openai SDK refuses to build a
# client without one.
PLACEHOLDER_API_KEY = "not-needed"


def needs_api_key(base_url: str) -> bool:
    """Whether requests to ``base_url`` must carry a real key (OpenAI's own API)."""
    return (urlsplit(base_url).hostname or "").endswith("openai.com")


class _OpenAIChatSettings:
    # Class attributes on purpose: instance attributes are handed to the model verbatim.
    _model_field: str
    _model_variable: str

    def __init__(
        self,
        *,
        base_url: str | None = None,
        api_key: str | SecretStr | None = None,
        model: str | None = None,
        timeout: float | None = None,
        max_retries: int | None = None,
        structured_output: str | None = None,
    ) -> None:
        self.base_url = _endpoint(
            _pick(base_url, "openai_base_url"), "base_url (OPENAI_BASE_URL)"
        ).rstrip("/")
        key = _pick(api_key, "openai_api_key")
        if key is None:
            if needs_api_key(self.base_url):
                raise ConfigurationError(
                    f"OPENAI_API_KEY is not set; {self.base_url} needs an API key "
                    "(set OPENAI_API_KEY, or OPENAI_BASE_URL to your own server)."
                )
            key = PLACEHOLDER_API_KEY
        if not isinstance(key, SecretStr):
            key = SecretStr(_text(key, "api_key (OPENAI_API_KEY)", show=False))
        self.api_key = key
        self.model = _text(_pick(model, self._model_field), f"model ({self._model_variable})")
        self.timeout = _timeout(_pick(timeout, "request_timeout"))
        self.max_retries = _retries(_pick(max_retries, "max_retries"))
        method = _pick(structured_output, "structured_output")
        if method not in STRUCTURED_OUTPUT_METHODS:
            raise ConfigurationError(
                "structured_output (QUORLIX_STRUCTURED_OUTPUT) must be one of "
                f"{', '.join(STRUCTURED_OUTPUT_METHODS)}, got {method!r}."
            )
        self.structured_output = method
        self.http_client, self.http_async_client = shared_http_clients()

    @classmethod
    def missing_variables(cls, environ: Mapping[str, str] | None = None) -> list[str]:
        """Required variables that are unset: the key, for OpenAI's own API only."""
        if environ is not None:
            base_url = environ.get("OPENAI_BASE_URL", "").strip()
            key = environ.get("OPENAI_API_KEY", "").strip()
        else:
            try:
                base_url, key = config.setting("openai_base_url"), config.setting("openai_api_key")
            except config.ConfigError:
                return []  # set, though not usable: building the settings says why
        base_url = base_url or config.DEFAULT_OPENAI_BASE_URL
        return ["OPENAI_API_KEY"] if not key and needs_api_key(base_url) else []

    @property
    def endpoint(self) -> str:
        """The model service's address, for messages."""
        return self.base_url

    @property
    def auth(self) -> str:
        return "key"

    def __repr__(self) -> str:
        shown = {
            name: ("**********" if name == "api_key" else value)
            for name, value in vars(self).items()
            if name not in ("http_client", "http_async_client")
        }
        body = ", ".join(f"{name}={value!r}" for name, value in shown.items())
        return f"{type(self).__name__}({body})"


class OpenAIChat35(_OpenAIChatSettings):
    """The general-purpose model (table choice, SQL review, analysis, answer):
    ``QUORLIX_CHAT35_MODEL`` at ``OPENAI_BASE_URL``."""

    _model_field = "chat35_model"
    _model_variable = "QUORLIX_CHAT35_MODEL"


class OpenAIChat4(_OpenAIChatSettings):
    """The model that writes and corrects SQL: ``QUORLIX_CHAT4_MODEL`` at ``OPENAI_BASE_URL``."""

    _model_field = "chat4_model"
    _model_variable = "QUORLIX_CHAT4_MODEL"
