"""Building the graph a run goes through, the same way wherever it runs: the command, the
server, each Ray replica."""

from __future__ import annotations

import os
import sys
from typing import Any


def chat_settings():
    """Both chat models' settings for the provider chosen (``QUORLIX_PROVIDER``);
    ``ConfigurationError`` names what is missing or malformed."""
    from quorlix import config
    from quorlix.providers import OPENAI
    from quorlix.settings import ConfigurationError, explain_missing, missing_settings

    try:
        provider = config.setting("provider")
    except config.ConfigError as exc:
        raise ConfigurationError(str(exc)) from None
    if provider == OPENAI:
        from quorlix.providers.openai_settings import OpenAIChat4, OpenAIChat35

        return OpenAIChat35(), OpenAIChat4()

    from quorlix.settings import AzureOpenAIChat4, AzureOpenAIChat35

    missing = missing_settings()
    if missing:
        raise ConfigurationError(
            "the Azure OpenAI chat models are not configured; set these environment "
            f"variables (or QUORLIX_PROVIDER=openai for OpenAI or a compatible server):\n"
            f"{explain_missing(missing)}"
        )
    return AzureOpenAIChat35(), AzureOpenAIChat4()


def graph_module():
    """The graph module; a broken QUORLIX_CONTEXT_FILE raises ``ContextFileError`` here."""
    from quorlix.querymesh import querymesh

    return querymesh


def build_graph(db: Any, config_35: Any, config_4: Any) -> Any:
    """The graph over ``db`` with models of whichever provider the settings are for."""
    from quorlix.providers.graph_models import models_for

    module = graph_module()
    with models_for(module, config_35, config_4):
        return module.SQLGraph(db, config_35, config_4)


def quiet_graph() -> None:
    """The nodes print diagnostics (whole prompts, with users' data) and log progress; a
    server drops them unless asked for. This is set once for the process, before any run
    starts: a per-run redirection would mix up the output of concurrent runs."""
    from loguru import logger

    sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - lives as long as the process
    logger.remove()
    logger.add(sys.stderr, level="WARNING")
