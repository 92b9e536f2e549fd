"""Jinja2 prompt templates compiled once per process.

LangChain's ``PromptTemplate`` compiles a jinja2 template from its text on every ``format``
call (a new ``SandboxedEnvironment``, a parse and a code generation), which costs more than the
rest of building the prompt. The analysis and SQL-correction prompts are formatted for every
question, so their nodes use this template instead: it renders with the same sandboxed
environment and default settings, and so the same text, but compiles each template text once.
"""

from __future__ import annotations

from functools import lru_cache
from typing import Any

from jinja2 import Template
from jinja2.sandbox import SandboxedEnvironment
from langchain_core.prompts import PromptTemplate

# Rendering a compiled template is safe from several threads; the environment is only read.
_environment = SandboxedEnvironment()


@lru_cache(maxsize=64)
def compiled(text: str) -> Template:
    return _environment.from_string(text)


class CompiledJinja2PromptTemplate(PromptTemplate):
    """A ``PromptTemplate`` whose jinja2 text is compiled on first use and then kept."""

    def format(self, **kwargs: Any) -> str:
        if self.template_format != "jinja2":
            return super().format(**kwargs)
        return compiled(self.template).render(**self._merge_partial_and_user_variables(**kwargs))
