"""Why a run failed, in one line a person can act on: model service, network and database
errors named as such, and the kind of failure the evaluation scores."""

from __future__ import annotations

RUN_TIMEOUT, RUN_ERROR = "run timeout", "run error"


def describe(exc: BaseException) -> str:
    """One readable line for an exception, naming the service that failed where it can."""
    text = _service_message(exc) or f"{type(exc).__name__}: {exc}".rstrip(": ")
    return " ".join(text.split())


def explain_failure(exc: BaseException, model_timeout: float | None = None) -> str:
    """``describe``, with the time the model service was given when it ran out of it."""
    if model_timeout is not None and is_timeout(exc, model_only=True):
        return (
            f"the model service did not answer within {model_timeout:g} s "
            "(QUORLIX_REQUEST_TIMEOUT); try again later"
        )
    return describe(exc)


def failure_kind(exc: BaseException) -> str:
    """``run timeout`` when the run ran out of time waiting, else ``run error``."""
    return RUN_TIMEOUT if is_timeout(exc) else RUN_ERROR


def is_timeout(exc: BaseException, *, model_only: bool = False) -> bool:
    try:
        import openai

        if isinstance(exc, openai.APITimeoutError):
            return True
    except ImportError:  # pragma: no cover - openai is a dependency
        pass
    return not model_only and isinstance(exc, TimeoutError)


def _service_message(exc: BaseException) -> str | None:
    try:
        import openai
    except ImportError:  # pragma: no cover - openai is a dependency
        openai = None  # type: ignore[assignment]
    if openai is not None:
        if isinstance(exc, openai.APITimeoutError):
            return "the model service did not answer in time (QUORLIX_REQUEST_TIMEOUT)"
        if isinstance(exc, openai.APIConnectionError):
            return f"cannot reach the model service{_endpoint(exc)}: {_root_cause(exc)}"
        if isinstance(exc, openai.APIStatusError):
            body = exc.body
            detail = body.get("message") if isinstance(body, dict) else None
            if isinstance(body, dict) and isinstance(body.get("error"), dict):
                detail = body["error"].get("message")
            return f"the model service answered HTTP {exc.status_code}: {detail or exc.message}"
        if isinstance(exc, openai.OpenAIError):
            return f"model service: {exc}"
    try:
        from sqlalchemy.exc import DBAPIError, SQLAlchemyError
    except ImportError:  # pragma: no cover - sqlalchemy is a dependency
        return None
    if isinstance(exc, DBAPIError) and exc.orig is not None:
        return f"database error: {exc.orig}"
    if isinstance(exc, SQLAlchemyError):
        # str() of an SQLAlchemy error ends in a paragraph linking to its website.
        return f"database error: {str(exc).split('(Background on this error')[0]}"
    return None


def _endpoint(exc: BaseException) -> str:
    """ " at host:port" of the request that failed, as /readyz names the model service."""
    try:
        url = exc.request.url  # type: ignore[attr-defined]
        return f" at {url.host}:{url.port or (443 if url.scheme == 'https' else 80)}"
    except Exception:
        return ""


def _root_cause(exc: BaseException) -> str:
    """What the network said ("Connection refused"), below the SDK's "Connection error."."""
    found: BaseException = exc
    seen = {id(exc)}
    while (cause := found.__cause__ or found.__context__) is not None and id(cause) not in seen:
        seen.add(id(cause))
        found = cause
    if isinstance(found, OSError) and found.strerror:
        return found.strerror
    return str(found) or str(exc)
