"""Who serves the chat models: Azure OpenAI deployments (``azure``, the default) or OpenAI and
any server that speaks its chat completions API (``openai``: OpenAI itself, gateways, vLLM,
llama.cpp's server, Ollama), chosen with ``QUORLIX_PROVIDER``.

A settings object of either kind is a bag of keyword arguments for its chat model class;
``chat_model(settings, **fixed)`` builds the model that settings object describes.
"""

from __future__ import annotations

from typing import Any

AZURE = "azure"
OPENAI = "openai"


def provider_of(settings: Any) -> str:
    """``azure`` for Azure OpenAI settings (they name an endpoint), else ``openai``."""
    return AZURE if "azure_endpoint" in vars(settings) else OPENAI


def chat_model_class(keywords: dict[str, Any]) -> Any:
    """The chat model class that takes these settings keywords."""
    if "azure_endpoint" in keywords:
        from langchain_openai import AzureChatOpenAI

        return AzureChatOpenAI
    from .openai_chat import OpenAICompatibleChat

    return OpenAICompatibleChat


def chat_model(settings: Any, **fixed: Any) -> Any:
    """The chat model of ``settings`` with ``fixed`` keywords added (``temperature=0``, ...)."""
    keywords = vars(settings)
    return chat_model_class(keywords)(**keywords, **fixed)
