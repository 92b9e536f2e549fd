"""A scripted stand-in for Azure OpenAI chat completions, served on 127.0.0.1.

Tests drive the real ``AzureChatOpenAI`` (and so the real openai SDK) against this server, so
request building, retries, time-outs and response parsing are the library's own. Each test queues
the answers it expects to be asked for; every request is recorded for later inspection.

Usage::

    def test_something(stub_llm):
        stub_llm.reply("SELECT 1", structured({"tables": ["orders"]}))
        model = stub_llm.make_chat_model(model="gpt-4o")
        ...
        assert "orders" in stub_llm.last_messages()[-1]["content"]
"""

from __future__ import annotations

import itertools
import json
import re
import threading
import time
import traceback
from collections import deque
from collections.abc import Mapping
from dataclasses import asdict, dataclass, field, is_dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qsl, urlsplit

import pytest

API_VERSION = "2024-10-21"
API_KEY = "test"
DEFAULT_DEPLOYMENT = "gpt-4o-test"

# What the environment fixture advertises. The 3.5 model name starts with "gpt-3", so
# langchain-openai answers with_structured_output() by function calling for it, while "gpt-4o"
# gets JSON-schema output: code under test meets both request shapes.
CHAT35_DEPLOYMENT = "gpt-35-turbo-test"
CHAT35_MODEL = "gpt-35-turbo"
CHAT4_DEPLOYMENT = "gpt-4o-test"
CHAT4_MODEL = "gpt-4o"

# Provider openai: models as a local OpenAI-compatible server names them.
OPENAI_CHAT35_MODEL = "llama-3.1-8b-instruct"
OPENAI_CHAT4_MODEL = "qwen2.5-coder-32b-instruct"

# What a server that lacks a feature answers, in the words such servers use.
REFUSABLE = {
    "response_format": "'response_format' is not supported by this server",
    "tools": "'tools' and function calling are not supported by this server",
}

_CHAT_PATH = re.compile(
    r"^(?:/openai/deployments/(?P<deployment>[^/]+))?(?:/v1)?/chat/completions$"
)


# --- replies a test can queue -------------------------------------------------------------


@dataclass(frozen=True)
class Text:
    content: str


@dataclass(frozen=True)
class Structured:
    payload: Any
    tool: str | None = None  # needed only when the request offers several tools


@dataclass(frozen=True)
class ToolCall:
    name: str
    arguments: Any


@dataclass(frozen=True)
class HttpError:
    status: int
    message: str
    code: str | None = None
    body: Any = None
    headers: Mapping[str, str] = field(default_factory=dict)
    retryable: bool | None = None


@dataclass(frozen=True)
class Delay:
    seconds: float
    then: Any = "late reply"


@dataclass(frozen=True)
class Raw:
    body: Any
    status: int = 200
    headers: Mapping[str, str] = field(default_factory=dict)


def text(content: str) -> Text:
    """Plain assistant text."""
    return Text(content)


def structured(payload: Any, tool: str | None = None) -> Structured:
    """An object (dict, pydantic model, dataclass) shaped as the request asks for it."""
    return Structured(payload, tool)


def tool_call(name: str, arguments: Any) -> ToolCall:
    """A tool call with this exact name, whatever the request offered."""
    return ToolCall(name, arguments)


def http_error(
    status: int,
    message: str = "stub error",
    *,
    code: str | None = None,
    body: Any = None,
    headers: Mapping[str, str] | None = None,
    retryable: bool | None = None,
) -> HttpError:
    """An HTTP error. ``retryable`` sets ``x-should-retry``, which the openai SDK obeys;
    left at None the SDK's own rule applies (it retries 408, 409, 429 and 5xx)."""
    return HttpError(status, message, code, body, dict(headers or {}), retryable)


def delay(seconds: float, then: Any = "late reply") -> Delay:
    """Wait, then answer with ``then`` (any other reply); for client time-out tests."""
    return Delay(seconds, then)


def raw(body: Any, status: int = 200, headers: Mapping[str, str] | None = None) -> Raw:
    """Send this JSON body (or text) verbatim."""
    return Raw(body, status, dict(headers or {}))


# --- what was asked ---------------------------------------------------------------------


@dataclass
class RecordedRequest:
    method: str
    path: str
    query: dict[str, str]
    headers: dict[str, str]  # names lower-cased
    body: Any  # parsed JSON; the raw text when it was not JSON
    # When it was read (time.monotonic): a streamed reply's pace counts from here, so what the
    # stub spends making the reply is part of the first piece's delay, as at a real service.
    received: float = field(default_factory=time.monotonic)

    @property
    def deployment(self) -> str | None:
        match = _CHAT_PATH.match(self.path)
        return match.group("deployment") if match else None

    @property
    def json(self) -> dict:
        return self.body if isinstance(self.body, dict) else {}

    @property
    def messages(self) -> list[dict]:
        return list(self.json.get("messages") or [])

    @property
    def prompt_text(self) -> str:
        """All message texts joined, for replies that answer by looking at the prompt."""
        return "\n".join(_message_text(message) for message in self.messages)

    @property
    def output_mode(self) -> str:
        """ "json_schema", "tools" or "text": what kind of answer the client will parse."""
        if _response_format_type(self.json) == "json_schema":
            return "json_schema"
        return "tools" if self.json.get("tools") else "text"


def _message_text(message: dict) -> str:
    content = message.get("content")
    if isinstance(content, list):
        return "\n".join(str(part.get("text", "")) for part in content if isinstance(part, dict))
    return "" if content is None else str(content)


def _response_format_type(body: dict) -> str | None:
    response_format = body.get("response_format")
    return response_format.get("type") if isinstance(response_format, dict) else None


def _chosen_tool(body: dict) -> str | None:
    choice = body.get("tool_choice")
    if isinstance(choice, dict) and (choice.get("function") or {}).get("name"):
        return choice["function"]["name"]
    if isinstance(choice, str) and choice not in ("auto", "none", "required"):
        return choice
    names = [tool.get("function", {}).get("name") for tool in body.get("tools") or []]
    return names[0] if len(names) == 1 else None


def _json_text(payload: Any) -> str:
    if isinstance(payload, str):
        return payload
    if hasattr(payload, "model_dump"):
        payload = payload.model_dump(mode="json")
    elif is_dataclass(payload) and not isinstance(payload, type):
        payload = asdict(payload)
    return json.dumps(payload)


class _Refusal(Exception):
    """A request the stub cannot answer sensibly: reported as a non-retryable HTTP error."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status


# --- the server ---------------------------------------------------------------------------


class StubOpenAI:
    """Threaded HTTP server answering chat completions from a queue of scripted replies."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._script: deque[Any] = deque()
        self._requests: list[RecordedRequest] = []
        self._errors: list[str] = []
        self._ids = itertools.count(1)
        self._wake = threading.Event()
        self._report_usage = True
        self._usage_sent: list[dict] = []
        self._pace = StreamPace()
        self._refused: frozenset[str] = frozenset()
        self._httpd: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None

    def start(self) -> StubOpenAI:
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self._httpd.daemon_threads = True
        self._httpd.stub = self  # type: ignore[attr-defined]
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, name="stub-openai", daemon=True
        )
        self._thread.start()
        return self

    def close(self) -> None:
        self._wake.set()
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._httpd = None

    @property
    def port(self) -> int:
        assert self._httpd is not None, "stub server is not running"
        return self._httpd.server_address[1]

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    # scripting ---------------------------------------------------------------------------

    def reply(self, *replies: Any) -> StubOpenAI:
        """Queue replies, answered in order. Each is a str (text), a dict / pydantic model /
        dataclass (structured), one of the reply helpers, or a callable taking the
        RecordedRequest and returning any of those."""
        with self._lock:
            self._script.extend(replies)
        return self

    def script(self, replies: list[Any]) -> StubOpenAI:
        """Replace the queue with these replies."""
        with self._lock:
            self._script.clear()
            self._script.extend(replies)
        return self

    def reset(self) -> None:
        """Forget the script, the recorded requests and errors; cut pending delays short."""
        with self._lock:
            self._script.clear()
            self._requests.clear()
            self._errors.clear()
            self._report_usage = True
            self._usage_sent.clear()
            self._pace = StreamPace()
            self._refused = frozenset()
            self._wake.set()
            self._wake = threading.Event()

    def report_usage(self, reported: bool = True) -> StubOpenAI:
        """Whether replies carry a ``usage`` block (they do by default; reset() restores it).
        Some deployments and proxies leave it out, which callers must tell apart from zero."""
        with self._lock:
            self._report_usage = reported
        return self

    def stream_pace(
        self, first_piece_s: float = 0.0, every_s: float = 0.0, piece_chars: int = 4
    ) -> StubOpenAI:
        """How a streamed reply (``stream: true``) is sent: its first piece ``first_piece_s``
        after the headers, then one piece of ``piece_chars`` characters every ``every_s``.
        reset() restores the default: every piece at once."""
        with self._lock:
            self._pace = StreamPace(first_piece_s, every_s, piece_chars)
        return self

    def refuse_streaming(self) -> StubOpenAI:
        """Answer ``stream: true`` with HTTP 400, as servers that cannot stream do."""
        with self._lock:
            self._pace = StreamPace(refused=True)
        return self

    def refuse(self, *parameters: str) -> StubOpenAI:
        """Answer requests carrying any of these body parameters (``response_format``,
        ``tools``) with the 400 a server gives for what it does not support, as many local
        OpenAI-compatible servers do; reset() serves everything again."""
        unknown = set(parameters) - set(REFUSABLE)
        assert not unknown, f"the stub can refuse only {REFUSABLE}, not {sorted(unknown)}"
        with self._lock:
            self._refused = frozenset(parameters)
        return self

    @property
    def usage_sent(self) -> list[dict]:
        """The ``usage`` blocks of the completions answered so far, in order."""
        with self._lock:
            return [dict(usage) for usage in self._usage_sent]

    @property
    def pending(self) -> int:
        with self._lock:
            return len(self._script)

    def assert_script_consumed(self) -> None:
        remaining = self.pending
        assert remaining == 0, f"{remaining} scripted repl(ies) were never requested"

    # inspection --------------------------------------------------------------------------

    @property
    def requests(self) -> list[RecordedRequest]:
        with self._lock:
            return list(self._requests)

    @property
    def errors(self) -> list[str]:
        """Failures inside the stub itself (a reply callable that raised, a bad reply)."""
        with self._lock:
            return list(self._errors)

    def last_request(self) -> RecordedRequest:
        requests = self.requests
        assert requests, "the stub OpenAI server received no request"
        return requests[-1]

    def last_messages(self) -> list[dict]:
        return self.last_request().messages

    # clients -----------------------------------------------------------------------------

    def make_chat_model(
        self, deployment: str = DEFAULT_DEPLOYMENT, model: str | None = None, **kw: Any
    ):
        """A real AzureChatOpenAI bound to this server.

        ``model`` decides how langchain-openai 1.x serves ``with_structured_output(Model)``:
        names starting "gpt-3" or "gpt-4-", or equal to "gpt-4", fall back to function calling
        (``tools`` plus ``tool_choice`` naming the class); any other name, or none at all,
        gets JSON-schema output (``response_format`` of type ``json_schema``).
        ``max_retries`` defaults to 0 so error tests do not sit through back-off.
        """
        from langchain_openai import AzureChatOpenAI

        params: dict[str, Any] = {
            "azure_endpoint": self.url,
            "azure_deployment": deployment,
            "api_version": API_VERSION,
            "api_key": API_KEY,
            "max_retries": 0,
        }
        if model is not None:
            params["model"] = model
        params.update(kw)
        return AzureChatOpenAI(**params)

    def environment(self) -> dict[str, str]:
        """The Azure variables the project's settings read, pointing at this server."""
        return {
            "AZURE_OPENAI_ENDPOINT": self.url,
            "AZURE_OPENAI_API_KEY": API_KEY,
            "OPENAI_API_VERSION": API_VERSION,
            "QUORLIX_CHAT35_DEPLOYMENT": CHAT35_DEPLOYMENT,
            "QUORLIX_CHAT35_MODEL": CHAT35_MODEL,
            "QUORLIX_CHAT4_DEPLOYMENT": CHAT4_DEPLOYMENT,
            "QUORLIX_CHAT4_MODEL": CHAT4_MODEL,
            # Fail fast: a missing scripted reply should not sit through back-off, and a
            # forgotten delay should not hang a test for the production time-out.
            "QUORLIX_MAX_RETRIES": "0",
            "QUORLIX_REQUEST_TIMEOUT": "10",
        }

    def openai_environment(self) -> dict[str, str]:
        """The variables of provider ``openai`` pointing at this server's ``/v1`` routes, with
        names of models a local server would serve."""
        return {
            "QUORLIX_PROVIDER": "openai",
            "OPENAI_BASE_URL": f"{self.url}/v1",
            "OPENAI_API_KEY": API_KEY,
            "QUORLIX_CHAT35_MODEL": OPENAI_CHAT35_MODEL,
            "QUORLIX_CHAT4_MODEL": OPENAI_CHAT4_MODEL,
            "QUORLIX_MAX_RETRIES": "0",
            "QUORLIX_REQUEST_TIMEOUT": "10",
        }

    # answering ---------------------------------------------------------------------------

    def _answer(self, request: RecordedRequest) -> tuple[int, dict[str, str], bytes]:
        with self._lock:
            self._requests.append(request)
            number = len(self._requests)
            wake = self._wake
        try:
            if request.method != "POST" or not _CHAT_PATH.match(request.path):
                raise _Refusal(
                    404, f"only chat completions are served, not {request.method} {request.path}"
                )
            with self._lock:
                pace = self._pace
                refused = [name for name in REFUSABLE if name in self._refused]
            for name in refused:
                if request.json.get(name):
                    raise _Refusal(400, REFUSABLE[name])
            if request.json.get("stream") and pace.refused:
                raise _Refusal(400, "streaming is not supported; call invoke(), not stream()")
            with self._lock:
                reply = self._script.popleft() if self._script else None
            if reply is None:
                raise _Refusal(
                    500, f"the reply script ran out at request #{number} ({request.path})"
                )
            return self._render(reply, request, wake)
        except _Refusal as refusal:
            return _error_response(
                refusal.status,
                f"stub OpenAI server: {refusal}",
                "stub_error",
                {"x-should-retry": "false"},
            )

    def _render(self, reply: Any, request: RecordedRequest, wake: threading.Event):
        if isinstance(reply, Delay):
            wake.wait(reply.seconds)
            return self._render(reply.then, request, wake)
        if isinstance(reply, HttpError):
            headers = dict(reply.headers)
            if reply.retryable is not None:
                headers["x-should-retry"] = "true" if reply.retryable else "false"
            if reply.body is not None:
                return reply.status, _content_type(reply.body) | headers, _encode(reply.body)
            return _error_response(reply.status, reply.message, reply.code, headers)
        if isinstance(reply, Raw):
            return (
                reply.status,
                _content_type(reply.body) | dict(reply.headers),
                _encode(reply.body),
            )
        if isinstance(reply, str):
            reply = Text(reply)
        if isinstance(reply, (Text, Structured, ToolCall)) and request.json.get("stream"):
            with self._lock:
                pace = self._pace
            asks_usage = (request.json.get("stream_options") or {}).get("include_usage")
            completion = self._completion(reply, request, send_usage=bool(asks_usage))
            return 200, {"content-type": "text/event-stream"}, _sse(completion, request, pace, wake)
        if isinstance(reply, (Text, Structured, ToolCall)):
            return (
                200,
                {"content-type": "application/json"},
                _encode(self._completion(reply, request)),
            )
        if callable(reply) and not isinstance(reply, type):
            try:
                produced = reply(request)
            except Exception:
                self._note_error(f"reply callable raised:\n{traceback.format_exc()}")
                raise _Refusal(500, "a reply callable raised; see stub_llm.errors") from None
            if produced is None:
                self._note_error("reply callable returned None")
                raise _Refusal(500, "a reply callable returned None")
            return self._render(produced, request, wake)
        if reply is None or isinstance(reply, type):
            self._note_error(f"unusable reply {reply!r}")
            raise _Refusal(500, f"unusable scripted reply {reply!r}")
        return self._render(Structured(reply), request, wake)

    def _note_error(self, message: str) -> None:
        with self._lock:
            self._errors.append(message)

    def _completion(
        self, reply: Text | Structured | ToolCall, request: RecordedRequest, send_usage: bool = True
    ) -> dict:
        body = request.json
        content: str | None = None
        call: tuple[str, str] | None = None
        if isinstance(reply, Text):
            content = reply.content
        elif isinstance(reply, ToolCall):
            call = (reply.name, _json_text(reply.arguments))
        elif reply.tool is not None:
            call = (reply.tool, _json_text(reply.payload))
        elif request.output_mode == "tools":
            name = _chosen_tool(body)
            if name is None:
                raise _Refusal(
                    500,
                    "the request offers several tools and no tool_choice; "
                    "script structured(payload, tool=NAME)",
                )
            call = (name, _json_text(reply.payload))
        else:
            content = _json_text(reply.payload)

        serial = next(self._ids)
        message: dict[str, Any] = {"role": "assistant", "content": content, "refusal": None}
        if call is not None:
            message["tool_calls"] = [
                {
                    "id": f"call_stub{serial:06d}",
                    "type": "function",
                    "function": {"name": call[0], "arguments": call[1]},
                }
            ]
        prompt_tokens = max(1, len(json.dumps(body.get("messages", []))) // 4)
        completion_tokens = max(1, len(content if call is None else call[1]) // 4)
        usage = {
            "prompt_tokens": prompt_tokens,
            "completion_tokens": completion_tokens,
            "total_tokens": prompt_tokens + completion_tokens,
        }
        completion = {
            "id": f"chatcmpl-stub{serial:06d}",
            "object": "chat.completion",
            "created": int(time.time()),
            "model": body.get("model") or request.deployment or "gpt-4o",
            "system_fingerprint": "fp_stub",
            "choices": [
                {
                    "index": 0,
                    "message": message,
                    "logprobs": None,
                    "finish_reason": "tool_calls" if call else "stop",
                }
            ],
        }
        with self._lock:
            if self._report_usage and send_usage:
                completion["usage"] = usage
                self._usage_sent.append(usage)
        return completion


# --- streamed replies --------------------------------------------------------------------


@dataclass(frozen=True)
class StreamPace:
    first_piece_s: float = 0.0
    every_s: float = 0.0
    piece_chars: int = 4
    refused: bool = False


def _sse(completion: dict, request: RecordedRequest, pace: StreamPace, wake: threading.Event):
    """The completion as server-sent chunks, the way the service streams one: a role chunk,
    the content (or the tool call's arguments) in pieces, the finish reason, the usage when
    ``stream_options.include_usage`` asks for it, then ``[DONE]``."""
    choice = completion["choices"][0]
    message = choice["message"]
    head = {key: completion[key] for key in ("id", "created", "model", "system_fingerprint")}

    def chunk(delta: dict, finish: str | None = None, **extra: Any) -> bytes:
        body = {**head, "object": "chat.completion.chunk", **extra}
        if "choices" not in extra:
            body["choices"] = [{"index": 0, "delta": delta, "finish_reason": finish}]
        return f"data: {json.dumps(body)}\n\n".encode()

    calls = message.get("tool_calls") or []
    text = calls[0]["function"]["arguments"] if calls else message["content"] or ""
    size = max(1, pace.piece_chars)
    pieces = [text[at : at + size] for at in range(0, len(text), size)] or [""]

    def pieces_of_delta(piece: str) -> dict:
        if not calls:
            return {"content": piece}
        return {"tool_calls": [{"index": 0, "function": {"arguments": piece}}]}

    if calls:
        opening = {"role": "assistant", "content": None, "tool_calls": [
            {"index": 0, "id": calls[0]["id"], "type": "function",
             "function": {"name": calls[0]["function"]["name"], "arguments": ""}}
        ]}  # fmt: skip
    else:
        opening = {"role": "assistant", "content": ""}
    yield b""  # the headers leave now; the first piece follows after its delay
    # Each piece is due at a fixed time from the request, so the pace does not drift with the
    # time it takes to make the reply and send the pieces.
    start = request.received
    wake.wait(max(0.0, start + pace.first_piece_s - time.monotonic()))
    yield chunk(opening)
    for number, piece in enumerate(pieces):
        due = start + pace.first_piece_s + number * pace.every_s
        if number and due > time.monotonic():
            wake.wait(due - time.monotonic())
        yield chunk(pieces_of_delta(piece))
    yield chunk({}, choice["finish_reason"])
    if "usage" in completion:
        yield chunk({}, choices=[], usage=completion["usage"])
    yield b"data: [DONE]\n\n"


def _encode(body: Any) -> bytes:
    if isinstance(body, bytes):
        return body
    return body.encode() if isinstance(body, str) else json.dumps(body).encode()


def _content_type(body: Any) -> dict[str, str]:
    kind = "text/plain" if isinstance(body, (str, bytes)) else "application/json"
    return {"content-type": kind}


def _error_response(status: int, message: str, code: str | None, headers: Mapping[str, str]):
    envelope = {"error": {"message": message, "type": "stub_error", "param": None, "code": code}}
    return status, {"content-type": "application/json", **headers}, _encode(envelope)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body leave in two writes; with Nagle's algorithm on, the body waits for the
    # client's delayed ACK of the headers, which adds 40 ms to every reply on Linux.
    disable_nagle_algorithm = True

    def _serve(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        data = self.rfile.read(length) if length else b""
        try:
            body: Any = json.loads(data) if data else None
        except ValueError:
            body = data.decode("utf-8", "replace")
        url = urlsplit(self.path)
        request = RecordedRequest(
            method=self.command,
            path=url.path,
            query=dict(parse_qsl(url.query)),
            headers={name.lower(): value for name, value in self.headers.items()},
            body=body,
        )
        status, headers, payload = self.server.stub._answer(request)  # type: ignore[attr-defined]
        if not isinstance(payload, bytes):
            self._send_chunked(status, headers, payload)
            return
        try:
            self.send_response(status)
            for name, value in headers.items():
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(payload)))
            self.end_headers()
            self.wfile.write(payload)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client stopped waiting (time-out tests); nothing left to tell it

    def _send_chunked(self, status: int, headers: dict[str, str], pieces) -> None:
        try:
            self.send_response(status)
            for name, value in headers.items():
                self.send_header(name, value)
            self.send_header("Transfer-Encoding", "chunked")
            self.send_header("Cache-Control", "no-cache")
            self.end_headers()
            for piece in pieces:
                if piece:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.flush()
            self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            pass

    do_POST = do_GET = do_PUT = do_DELETE = _serve

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass  # keep test output clean


# --- fixtures -----------------------------------------------------------------------------


@pytest.fixture(scope="session")
def stub_openai_server():
    """The one server of the session; prefer ``stub_llm``, which resets it per test."""
    server = StubOpenAI().start()
    yield server
    server.close()


@pytest.fixture
def stub_llm(stub_openai_server: StubOpenAI):
    """The stub server with an empty script and no recorded requests."""
    stub_openai_server.reset()
    yield stub_openai_server
    stub_openai_server.reset()


@pytest.fixture
def make_chat_model(stub_llm: StubOpenAI):
    """``make_chat_model(deployment="gpt-4o-test", model=None, **kw)`` bound to the stub."""
    return stub_llm.make_chat_model


@pytest.fixture
def stub_azure_env(stub_llm: StubOpenAI, monkeypatch: pytest.MonkeyPatch) -> StubOpenAI:
    """Azure OpenAI environment variables pointing at the stub; returns the stub."""
    # A stray base URL makes AzureChatOpenAI refuse azure_endpoint; a stray token would
    # replace the key we check for.
    for name in ("OPENAI_API_BASE", "OPENAI_BASE_URL", "AZURE_OPENAI_AD_TOKEN"):
        monkeypatch.delenv(name, raising=False)
    for name, value in stub_llm.environment().items():
        monkeypatch.setenv(name, value)
    return stub_llm


@pytest.fixture
def stub_openai_env(stub_llm: StubOpenAI, monkeypatch: pytest.MonkeyPatch) -> StubOpenAI:
    """Provider ``openai`` variables pointing at the stub; returns the stub. What servers
    refused is forgotten before and after, so each test probes afresh."""
    from quorlix.providers.openai_chat import forget_refusals

    for name in ("OPENAI_API_BASE", "AZURE_OPENAI_ENDPOINT", "QUORLIX_CHAT35_DEPLOYMENT"):
        monkeypatch.delenv(name, raising=False)
    for name, value in stub_llm.openai_environment().items():
        monkeypatch.setenv(name, value)
    forget_refusals()
    yield stub_llm
    forget_refusals()
