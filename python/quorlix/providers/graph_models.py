"""How the graph gets models of provider ``openai``.

The compiled graph builds its five chat models by calling the name ``AzureChatOpenAI`` of its
own module with ``**vars(settings)``. For settings of provider ``openai`` that name is bound,
for the length of the construction, to a factory that builds the model class the keywords
belong to: ``AzureChatOpenAI`` itself for Azure settings (so an Azure graph built meanwhile on
another thread is built exactly as always), ``OpenAICompatibleChat`` for the others. Outside a
construction of an ``openai`` graph the module is left as it is.
"""

from __future__ import annotations

import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import ModuleType
from typing import Any

from . import AZURE, chat_model_class, provider_of

MODEL_NAME = "AzureChatOpenAI"
_building = threading.Lock()


class ProviderChatModel:
    """Stands in for ``AzureChatOpenAI`` while an ``openai`` graph is built."""

    def __init__(self, azure_class: Any) -> None:
        self.azure_class = azure_class

    def __call__(self, **keywords: Any) -> Any:
        if "azure_endpoint" in keywords:
            return self.azure_class(**keywords)
        return chat_model_class(keywords)(**keywords)


@contextmanager
def models_for(module: ModuleType, *settings: Any) -> Iterator[None]:
    """Within the block, ``module`` builds the model class each of ``settings`` is for."""
    if all(provider_of(each) == AZURE for each in settings):
        yield
        return
    with _building:
        azure_class = module.__dict__[MODEL_NAME]
        setattr(module, MODEL_NAME, ProviderChatModel(azure_class))
        try:
            yield
        finally:
            setattr(module, MODEL_NAME, azure_class)
