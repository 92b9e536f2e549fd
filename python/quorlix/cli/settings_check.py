"""The settings that name a file or hold a table, opened at start: a broken price table, token
list or context file stops a command at once, before any database or model is touched, rather
than part-way through a run."""

from __future__ import annotations

from quorlix.config import Config


def file_problems(settings: Config) -> list[str]:
    """One line per setting whose file or table cannot be used, in its reader's own words."""
    problems: list[str] = []

    def check(read) -> None:
        try:
            read()
        except (ValueError, OSError) as error:
            problems.append(" ".join(str(error).split()))

    if settings.prices:
        from quorlix.prices import load_prices

        check(lambda: load_prices(settings.prices))
    tokens = {
        variable: value
        for variable, value in (
            ("QUORLIX_API_TOKENS", settings.api_tokens),
            ("QUORLIX_API_TOKENS_FILE", settings.api_tokens_file),
        )
        if value
    }
    if tokens:
        from quorlix.service.auth import TokenError, load_tokens

        for variable, value in tokens.items():
            # One variable at a time, so each problem is reported once and named.
            def read_tokens(variable=variable, value=value) -> None:
                try:
                    load_tokens({variable: value})
                except TokenError as error:
                    raise ValueError(str(error)) from None

            check(read_tokens)
    if settings.context_file is not None:
        from quorlix.prompts.context import read_file

        check(lambda: read_file(settings.context_file))
    return problems
