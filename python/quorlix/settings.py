"""Connection settings for the two Azure OpenAI chat deployments that quorlix talks to.

A settings object is a plain bag of keyword arguments for ``langchain_openai.AzureChatOpenAI``:
the graph builds its chat models with ``AzureChatOpenAI(**vars(settings), max_tokens=...,
temperature=0, model_kwargs=...)``, so an instance holds nothing else as an instance attribute,
and never ``max_tokens``, ``temperature`` or ``model_kwargs``.

Values come from the settings (``quorlix.config``: the ones a command installed, else the
environment; see ``ENVIRONMENT_VARIABLES``); a keyword argument given to the constructor takes
precedence over its variable. An empty variable counts as unset.

Every instance also carries the process's shared HTTP clients (``http_client``,
``http_async_client``), so the models built from it reuse one connection pool.

Sign-in (``quorlix.azure_auth``): with key sign-in an instance holds ``api_key``; with
Microsoft Entra ID it holds ``azure_ad_token_provider`` instead (never both), so the models
built from it send a bearer token and no ``api-key`` header.
"""

from __future__ import annotations

import math
import threading
from collections.abc import Callable, Mapping
from typing import Any
from urllib.parse import urlsplit

from pydantic import SecretStr

from quorlix import azure_auth, config

DEFAULT_API_VERSION = config.DEFAULT_API_VERSION
DEFAULT_REQUEST_TIMEOUT = config.Config.request_timeout
DEFAULT_MAX_RETRIES = config.Config.max_retries

# (variable, what it is for, default or None when it must be set): the model settings of
# quorlix.config, whose wording is what users read in the README.
ENVIRONMENT_VARIABLES: tuple[tuple[str, str, str | None], ...] = tuple(
    (spec.variable, spec.description, None if spec.required else spec.shown.strip("`"))
    for spec in config.settings().values()
    if spec.group == "models"
)

_MEANING = {name: meaning for name, meaning, _ in ENVIRONMENT_VARIABLES}


class ConfigurationError(ValueError):
    """The Azure OpenAI settings are incomplete or malformed; the message says how to fix them."""


def explain_missing(names: list[str] | tuple[str, ...]) -> str:
    """One line per missing variable, with what it is for; for error messages and the CLI."""
    lines = [f"  {name}: {_MEANING.get(name, '')}" for name in names]
    if "AZURE_OPENAI_API_KEY" in names:
        lines.append(
            "  (no key? set QUORLIX_AZURE_AUTH=entra to sign in with Microsoft Entra ID instead)"
        )
    return "\n".join(lines)


class _AzureChatSettings:
    # Class attributes on purpose: instance attributes are handed to AzureChatOpenAI verbatim.
    _deployment_variable: str
    _model_variable: str
    _deployment_field: str
    _model_field: str

    def __init__(
        self,
        *,
        azure_endpoint: str | None = None,
        azure_deployment: str | None = None,
        api_version: str | None = None,
        api_key: str | SecretStr | None = None,
        model: str | None = None,
        timeout: float | None = None,
        max_retries: int | None = None,
        auth: str | None = None,
        azure_ad_token_provider: Callable[[], str] | None = None,
    ) -> None:
        if azure_ad_token_provider is not None and auth is None:
            auth = azure_auth.ENTRA
        try:
            method = azure_auth.auth_method(auth)
        except ValueError as exc:
            raise ConfigurationError(str(exc)) from None
        if method == azure_auth.ENTRA and api_key is not None:
            raise ConfigurationError(
                "api_key and Microsoft Entra ID sign-in (QUORLIX_AZURE_AUTH=entra) exclude each "
                "other; pass one of them."
            )
        missing = self.missing_variables(auth=method)
        # An explicit keyword makes its variable unnecessary.
        given = {
            "AZURE_OPENAI_ENDPOINT": azure_endpoint,
            "AZURE_OPENAI_API_KEY": api_key,
            self._deployment_variable: azure_deployment,
        }
        missing = [name for name in missing if given.get(name) is None]
        if missing:
            raise ConfigurationError(
                f"{type(self).__name__} cannot be built: these environment variables are not "
                f"set (or pass the matching keyword argument):\n{explain_missing(missing)}"
            )

        deployment_variable = self._deployment_variable
        model_variable = self._model_variable
        self.azure_endpoint = _endpoint(
            _pick(azure_endpoint, "azure_endpoint"),
            "azure_endpoint (AZURE_OPENAI_ENDPOINT)",
        )
        self.azure_deployment = _text(
            _pick(azure_deployment, self._deployment_field),
            f"azure_deployment ({deployment_variable})",
        )
        self.api_version = _text(
            _pick(api_version, "api_version"),
            "api_version (OPENAI_API_VERSION)",
        )
        if method == azure_auth.ENTRA:
            # In place of the key: AzureChatOpenAI then sends "Authorization: Bearer ..." and
            # ignores AZURE_OPENAI_API_KEY even when it is set.
            provider = azure_ad_token_provider or azure_auth.default_token_provider()
            if not callable(provider):
                raise ConfigurationError(
                    "azure_ad_token_provider must be a callable that returns a token, "
                    f"got {provider!r}."
                )
            self.azure_ad_token_provider = provider
        else:
            key = _pick(api_key, "azure_api_key")
            # SecretStr keeps the key out of reprs, logs and tracebacks; AzureChatOpenAI takes it.
            if not isinstance(key, SecretStr):
                key = SecretStr(_text(key, "api_key (AZURE_OPENAI_API_KEY)", show=False))
            self.api_key = key
        self.model = _text(_pick(model, self._model_field), f"model ({model_variable})")
        self.timeout = _timeout(_pick(timeout, "request_timeout"))
        self.max_retries = _retries(_pick(max_retries, "max_retries"))
        # Left alone, every chat model opens its own sync and async HTTP client, each loading
        # the CA bundle into a new TLS context: twelve for the graph's six models, a tenth of
        # start-up. One pair serves them all (time-outs and retries stay per model: the openai
        # client applies them to each request).
        self.http_client, self.http_async_client = shared_http_clients()

    @classmethod
    def missing_variables(
        cls, environ: Mapping[str, str] | None = None, *, auth: str | None = None
    ) -> list[str]:
        """Required variables of this class that are unset or empty, in table order.

        The key is required only for key sign-in (``auth``, else ``QUORLIX_AZURE_AUTH``; an
        invalid method counts as key here and is refused when the settings are built).
        """
        try:
            method = azure_auth.auth_method(auth, environ)
        except ValueError:
            method = azure_auth.KEY
        required = ["AZURE_OPENAI_ENDPOINT", "AZURE_OPENAI_API_KEY", cls._deployment_variable]
        if method == azure_auth.ENTRA:
            required.remove("AZURE_OPENAI_API_KEY")
        return [name for name in required if not _is_set(name, environ)]

    @property
    def endpoint(self) -> str:
        """The model service's address, for messages."""
        return self.azure_endpoint

    @property
    def auth(self) -> str:
        """``entra`` when requests carry a Microsoft Entra ID token, else ``key``."""
        return azure_auth.ENTRA if "azure_ad_token_provider" in vars(self) else azure_auth.KEY

    def __repr__(self) -> str:
        shown = {
            name: value
            for name, value in vars(self).items()
            if name not in ("http_client", "http_async_client")
        }
        if "api_key" in shown:
            shown["api_key"] = "**********"
        body = ", ".join(f"{name}={value!r}" for name, value in shown.items())
        return f"{type(self).__name__}({body})"


class AzureOpenAIChat35(_AzureChatSettings):
    """Settings of the general-purpose deployment (table choice, SQL review, analysis, answer).

    Required: ``AZURE_OPENAI_ENDPOINT``, ``QUORLIX_CHAT35_DEPLOYMENT``, and
    ``AZURE_OPENAI_API_KEY`` unless ``QUORLIX_AZURE_AUTH=entra`` (or ``azure_ad_token_provider``)
    signs in with Microsoft Entra ID instead.
    Optional: ``OPENAI_API_VERSION``, ``QUORLIX_CHAT35_MODEL`` (default ``gpt-35-turbo``),
    ``QUORLIX_REQUEST_TIMEOUT`` (seconds, default 60), ``QUORLIX_MAX_RETRIES`` (default 2).

    The model name must be the model behind the deployment, because langchain-openai picks the
    structured-output method from it: ``with_structured_output`` defaults to a strict
    ``json_schema`` response format, but falls back to function calling when the name starts
    with ``gpt-3`` or ``gpt-4-``, or is exactly ``gpt-4`` (so ``gpt-35-turbo``,
    ``gpt-4-turbo`` and ``gpt-4`` use tools; ``gpt-4o``, ``gpt-4.1`` and others use
    json_schema). Function calling works on every chat deployment while json_schema fails on
    older ones, which is why the default names are the old model names.
    """

    _deployment_variable = "QUORLIX_CHAT35_DEPLOYMENT"
    _model_variable = "QUORLIX_CHAT35_MODEL"
    _deployment_field = "chat35_deployment"
    _model_field = "chat35_model"


class AzureOpenAIChat4(_AzureChatSettings):
    """Settings of the deployment that writes and corrects SQL.

    Required: ``AZURE_OPENAI_ENDPOINT``, ``QUORLIX_CHAT4_DEPLOYMENT``, and
    ``AZURE_OPENAI_API_KEY`` unless ``QUORLIX_AZURE_AUTH=entra`` (or ``azure_ad_token_provider``)
    signs in with Microsoft Entra ID instead.
    Optional: ``OPENAI_API_VERSION``, ``QUORLIX_CHAT4_MODEL`` (default ``gpt-4``),
    ``QUORLIX_REQUEST_TIMEOUT`` (seconds, default 60), ``QUORLIX_MAX_RETRIES`` (default 2).

    As for ``AzureOpenAIChat35``, the model name chooses the structured-output method:
    function calling for names starting ``gpt-3`` or ``gpt-4-`` and for ``gpt-4`` itself,
    strict ``json_schema`` output for every other name.
    """

    _deployment_variable = "QUORLIX_CHAT4_DEPLOYMENT"
    _model_variable = "QUORLIX_CHAT4_MODEL"
    _deployment_field = "chat4_deployment"
    _model_field = "chat4_model"


_http_clients: tuple[Any, Any] | None = None
_http_clients_lock = threading.Lock()


def shared_http_clients() -> tuple[Any, Any]:
    """The process's one sync and one async HTTP client for Azure OpenAI, with the openai SDK's
    own defaults (connection limits, redirects, proxies from the environment)."""
    global _http_clients
    with _http_clients_lock:
        if _http_clients is None:
            import openai

            _http_clients = (openai.DefaultHttpxClient(), openai.DefaultAsyncHttpxClient())
        return _http_clients


def missing_settings(environ: Mapping[str, str] | None = None) -> list[str]:
    """Required variables that both settings classes together still need, without raising."""
    names: list[str] = []
    for cls in (AzureOpenAIChat35, AzureOpenAIChat4):
        names.extend(n for n in cls.missing_variables(environ) if n not in names)
    return names


def _pick(explicit, field: str):
    """The keyword's value when given, else the setting (already checked)."""
    if explicit is not None:
        return explicit
    try:
        return config.setting(field)
    except config.ConfigError as exc:
        raise ConfigurationError(str(exc)) from None


def _is_set(variable: str, environ: Mapping[str, str] | None) -> bool:
    if environ is not None:
        return bool(environ.get(variable, "").strip())
    try:
        return config.setting(config.field_of(variable)) is not None
    except config.ConfigError:
        return True  # set, though not usable: building the settings says why


def _text(value, label: str, *, show: bool = True) -> str:
    if not isinstance(value, str) or not value.strip():
        got = f", got {value!r}" if show else f", got a {type(value).__name__}"
        raise ConfigurationError(f"{label} must be a non-empty text{got}.")
    return value.strip()


def _endpoint(value, label: str) -> str:
    text = _text(value, label)
    parts = urlsplit(text)
    if parts.scheme not in ("http", "https") or not parts.netloc:
        raise ConfigurationError(
            f"{label} must be an http(s) URL such as https://my-resource.openai.azure.com/, "
            f"got {text!r}."
        )
    return text


def _timeout(value) -> float:
    if value is None:
        return DEFAULT_REQUEST_TIMEOUT
    try:
        seconds = float(value) if not isinstance(value, bool) else math.nan
    except (TypeError, ValueError):
        seconds = math.nan
    if not (seconds > 0 and math.isfinite(seconds)):
        raise ConfigurationError(
            f"timeout (QUORLIX_REQUEST_TIMEOUT) must be a positive number of seconds, "
            f"got {value!r}."
        )
    return seconds


def _retries(value) -> int:
    if value is None:
        return DEFAULT_MAX_RETRIES
    count = -1
    if isinstance(value, int) and not isinstance(value, bool):
        count = value
    elif isinstance(value, str) and value.strip().isdigit():
        count = int(value)
    if count < 0:
        raise ConfigurationError(
            f"max_retries (QUORLIX_MAX_RETRIES) must be a whole number of 0 or more, got {value!r}."
        )
    return count
