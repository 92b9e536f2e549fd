"""How quorlix signs in to Azure OpenAI: with the resource's API key or with Microsoft Entra ID.

``QUORLIX_AZURE_AUTH`` chooses: ``key`` (the default) sends ``AZURE_OPENAI_API_KEY`` as the
``api-key`` header; ``entra`` sends ``Authorization: Bearer <token>`` with a token for the
Cognitive Services scope from ``azure-identity``'s ``DefaultAzureCredential`` (environment
service principal, workload identity, managed identity, then developer sign-ins such as
``az login``; ``AZURE_CLIENT_ID`` picks a user-assigned managed identity). Resources with
``disableLocalAuth`` accept only the second.

The settings objects carry the token provider as ``azure_ad_token_provider``, the keyword
``AzureChatOpenAI`` takes, so every chat model built from them (the graph's five and the
table picker's) signs its requests the same way. ``check_sign_in`` asks for one token up
front, so a credential that cannot sign in fails with one readable message before any work
starts instead of deep inside the first model call.
"""

from __future__ import annotations

import re
import threading
from collections.abc import Callable, Mapping
from typing import Any

AUTH_VARIABLE = "QUORLIX_AZURE_AUTH"
KEY = "key"
ENTRA = "entra"
METHODS = (KEY, ENTRA)
# Azure OpenAI accepts tokens for the Cognitive Services resource.
SCOPE = "https://cognitiveservices.azure.com/.default"

TokenProvider = Callable[[], str]

# What a user can do about a failed sign-in, in the order people usually reach for them.
REMEDY = (
    "sign in with 'az login', run on Azure with a managed identity (AZURE_CLIENT_ID selects a "
    "user-assigned one), or set AZURE_TENANT_ID, AZURE_CLIENT_ID and AZURE_CLIENT_SECRET for a "
    "service principal; or use a key: QUORLIX_AZURE_AUTH=key with AZURE_OPENAI_API_KEY"
)


class SignInError(RuntimeError):
    """No Microsoft Entra ID token could be had; the message names what was tried and the fix."""


def auth_method(explicit: str | None = None, environ: Mapping[str, str] | None = None) -> str:
    """``key`` or ``entra``: the explicit choice, else ``QUORLIX_AZURE_AUTH`` (from ``environ``,
    else the settings), else ``key``.

    Raises ``ValueError`` for anything else (the settings turn it into a ConfigurationError).
    """
    if explicit is None and environ is None:
        from quorlix import config

        return config.setting("azure_auth")
    value = explicit if explicit is not None else (environ or {}).get(AUTH_VARIABLE, "")
    method = str(value).strip().lower() or KEY
    if method not in METHODS:
        raise ValueError(f"{AUTH_VARIABLE} must be 'key' or 'entra', got {value!r}.")
    return method


def token_provider(credential: Any) -> TokenProvider:
    """A bearer-token callable for Azure OpenAI over any azure-identity style credential.

    azure-identity's provider caches the token and renews it shortly before it expires, so
    calling it for every request costs nothing once signed in.
    """
    from azure.identity import get_bearer_token_provider

    provider = get_bearer_token_provider(credential, SCOPE)
    provider.credential_name = type(credential).__name__  # type: ignore[attr-defined]
    return provider


_shared: TokenProvider | None = None
_shared_lock = threading.Lock()


def default_token_provider() -> TokenProvider:
    """One provider over ``DefaultAzureCredential`` per process, shared by every settings object,
    so the process signs in once and both deployments reuse the token."""
    global _shared
    with _shared_lock:
        if _shared is None:
            from azure.identity import DefaultAzureCredential

            _shared = token_provider(DefaultAzureCredential())
        return _shared


def check_sign_in(*settings: Any) -> None:
    """Fetch one token through each distinct provider the settings carry; key settings pass.

    Raises ``SignInError`` with a one-line message on failure.
    """
    seen: set[int] = set()
    for config in settings:
        provider = getattr(config, "azure_ad_token_provider", None)
        if provider is None or id(provider) in seen:
            continue
        seen.add(id(provider))
        try:
            token = provider()
        except Exception as exc:
            raise SignInError(explain_failure(exc, provider)) from exc
        if not isinstance(token, str) or not token:
            raise SignInError(
                "cannot sign in with Microsoft Entra ID (QUORLIX_AZURE_AUTH=entra): the token "
                f"provider returned no token; {REMEDY}"
            )


# DefaultAzureCredential lists each attempt as "\tName: reason" under "Attempted credentials:".
_ATTEMPT = re.compile(r"^\t(?P<name>\w+): (?P<reason>.*)$", re.MULTILINE)


def explain_failure(exc: BaseException, provider: Any = None) -> str:
    """One line: which sign-in methods were tried, why each failed (briefly) and what to set."""
    text = str(getattr(exc, "message", None) or exc)
    attempts = [f"{match['name']} ({_brief(match['reason'])})" for match in _ATTEMPT.finditer(text)]
    if not attempts:
        name = getattr(provider, "credential_name", None) or type(exc).__name__
        attempts = [f"{name} ({_brief(text)})"]
    return (
        "cannot sign in with Microsoft Entra ID (QUORLIX_AZURE_AUTH=entra); tried "
        f"{', '.join(attempts)}. To fix: {REMEDY}"
    )


def _brief(reason: str, limit: int = 90) -> str:
    # The first sentence says what went wrong; the rest is links and troubleshooting prose.
    line = " ".join(reason.split())
    sentence = re.split(r"(?<=\.)\s", line, maxsplit=1)[0].rstrip(".")
    return sentence if len(sentence) <= limit else sentence[: limit - 1] + "…"
