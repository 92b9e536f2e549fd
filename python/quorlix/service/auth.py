"""API tokens: who is asking. Each token has a name; every run belongs to one name."""

from __future__ import annotations

import hmac
import ipaddress
from pathlib import Path

from fastapi import HTTPException, Request, status

TOKENS_VARIABLE = "QUORLIX_API_TOKENS"
TOKENS_FILE_VARIABLE = "QUORLIX_API_TOKENS_FILE"
# Runs of a server without tokens (loopback only) belong to this name.
LOCAL_USER = "local"
# The roles a token entry may name in its last column.
ADMIN = "admin"
ROLES = (ADMIN,)


class TokenError(Exception):
    """The token configuration is unusable; the message says where and why."""


def load_tokens(
    environ: dict[str, str] | None = None, roles: dict[str, str] | None = None
) -> dict[str, str]:
    """token -> name, from QUORLIX_API_TOKENS and the file named by QUORLIX_API_TOKENS_FILE.

    An entry is ``name:token``, or ``name:token:role`` to give the name a role (``admin``: may
    change the team's knowledge); ``roles``, when given, receives name -> role.
    """
    if environ is None:
        environ = _configured_tokens()
    tokens: dict[str, str] = {}
    inline = environ.get(TOKENS_VARIABLE, "")
    for number, entry in enumerate(inline.split(","), 1):
        if entry.strip():
            _add(tokens, entry, f"{TOKENS_VARIABLE} entry {number}", roles)
    path = environ.get(TOKENS_FILE_VARIABLE, "").strip()
    if path:
        try:
            lines = Path(path).expanduser().read_text(encoding="utf-8").splitlines()
        except OSError as exc:
            raise TokenError(f"{TOKENS_FILE_VARIABLE}: cannot read {path}: {exc.strerror}") from exc
        for number, line in enumerate(lines, 1):
            if line.strip() and not line.lstrip().startswith("#"):
                _add(tokens, line, f"{path} line {number}", roles)
    return tokens


def _configured_tokens() -> dict[str, str]:
    from quorlix import config

    try:
        return {
            TOKENS_VARIABLE: config.setting("api_tokens") or "",
            TOKENS_FILE_VARIABLE: config.setting("api_tokens_file") or "",
        }
    except config.ConfigError as exc:
        raise TokenError(str(exc)) from None


def _add(tokens: dict[str, str], entry: str, where: str, roles: dict[str, str] | None) -> None:
    name, colon, token = entry.strip().partition(":")
    # A role is a last column that names one; a token may hold colons of its own.
    rest, role_colon, role = token.rpartition(":")
    role = role.strip().lower()
    if role_colon and role in ROLES:
        token = rest
    else:
        role = ""
    name, token = name.strip(), token.strip()
    if not colon or not name or not token:
        raise TokenError(f"{where}: expected name:token")
    if len(token) < 16:
        raise TokenError(f"{where}: the token of {name!r} is shorter than 16 characters")
    if token in tokens and tokens[token] != name:
        raise TokenError(f"{where}: the token of {name!r} is already given to {tokens[token]!r}")
    tokens[token] = name
    if roles is not None and role:
        roles[name] = role


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class Authenticator:
    def __init__(
        self, tokens: dict[str, str], admins: set[str] | frozenset[str] = frozenset()
    ) -> None:
        self._tokens = [(token.encode(), name) for token, name in tokens.items()]
        self._admins = frozenset(admins)

    def is_admin(self, user: str) -> bool:
        """Whether ``user`` may change the team's knowledge (accept candidates, edit it).

        Without tokens the server answers only on this machine, to its owner: they are."""
        return not self._tokens or user in self._admins

    @property
    def required(self) -> bool:
        return bool(self._tokens)

    def user_for(self, header: str | None) -> str | None:
        if not self._tokens:
            return LOCAL_USER
        scheme, _, given = (header or "").partition(" ")
        if scheme.lower() != "bearer" or not given.strip():
            return None
        presented = given.strip().encode()
        found = None
        # Every token is compared, in constant time, so timing tells nothing about any of them.
        for token, name in self._tokens:
            if hmac.compare_digest(token, presented):
                found = name
        return found


async def current_user(request: Request) -> str:
    """Dependency: the name of the token the request carries."""
    # async: it never blocks, and FastAPI would run a plain function on a worker thread.
    auth: Authenticator = request.app.state.service.auth
    user = auth.user_for(request.headers.get("authorization"))
    if user is None:
        raise HTTPException(
            status.HTTP_401_UNAUTHORIZED,
            detail="a valid API token is required: send 'Authorization: Bearer <token>'",
            headers={"WWW-Authenticate": "Bearer"},
        )
    return user


async def admin_user(request: Request) -> str:
    """Dependency: the name of the token, which must have the admin role."""
    user = await current_user(request)
    if not request.app.state.service.auth.is_admin(user):
        raise HTTPException(
            status.HTTP_403_FORBIDDEN,
            detail=f"{user!r} may not change the team's knowledge: that needs a token with the "
            "admin role",
        )
    return user
