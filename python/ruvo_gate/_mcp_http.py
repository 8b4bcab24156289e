"""MCP over Streamable HTTP: the proxy's endpoint for hosts and its client for upstream servers.

aiohttp is an optional extra (`ruvo-safety[mcp]`): this module fails to import without it,
and the command says what to install.

Both sides are transports of the relay: streams of JSON-RPC messages, each one JSON text. The
relay never knows HTTP; this module maps its messages onto POSTs, SSE streams and sessions.

Sharing: every object here belongs to the event loop that made it and is used from that
loop's tasks only; none may be shared across threads or processes.
"""

from __future__ import annotations

import asyncio
import collections
import hmac
import ipaddress
import json
import logging
import re
import secrets
from collections.abc import Awaitable, Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any
from urllib.parse import urlsplit

import aiohttp
from aiohttp import web

from ._mcp_relay import Transport

__all__ = [
    "HttpServer",
    "HttpUpstream",
    "serve_http",
    "connect_http",
    "parse_listen",
    "DEFAULT_MAX_MESSAGE",
    "DEFAULT_MAX_SESSIONS",
]

logger = logging.getLogger("ruvo_gate")

DEFAULT_MAX_MESSAGE = 16 * 1024 * 1024
DEFAULT_MAX_SESSIONS = 16
_PATH = "/mcp"
_SESSION_HEADER = "Mcp-Session-Id"
_VERSION_HEADER = "MCP-Protocol-Version"
# Messages that wait for a stream to open: a host that never opens one must not grow them.
_BACKLOG = 256
_CHANNEL = 64
_CLOSE_WAIT = 10.0
_RECONNECTS = 5
_KEEP_ALIVE = 15.0
_LOOPBACK_NAMES = frozenset({"localhost", "localhost."})


# --- JSON-RPC texts the transports write themselves -----------------------------------------

def _error(request_id: object, code: int, message: str) -> bytes:
    return json.dumps({"jsonrpc": "2.0", "id": request_id,
                       "error": {"code": code, "message": message}}).encode()


class _Duplicate(ValueError):
    pass


def _no_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    result: dict[str, Any] = {}
    for key, value in pairs:
        if key in result:
            raise _Duplicate(f"the key {key!r} appears twice in one object")
        result[key] = value
    return result


def _id_key(value: object) -> tuple[bool, object] | None:
    """The routing key of a JSON-RPC id: 1 and "1" are different ids; true is none at all."""
    if isinstance(value, str):
        return (True, value)
    if isinstance(value, int) and not isinstance(value, bool):
        return (False, value)
    return None


def _response_key(message: bytes) -> tuple[bool, object] | None:
    """The id a response answers, or None for a request or a notification."""
    try:
        parsed = json.loads(message)
    except ValueError:
        return None
    if not isinstance(parsed, dict) or "method" in parsed:
        return None
    return _id_key(parsed.get("id"))


# --- Plumbing shared by both sides -------------------------------------------------------------

class _Channel:
    """A bounded queue of messages with an end: `put` waits while it is full, `get` returns
    None once it has ended and drained. Backpressure reaches whoever is writing into it."""

    def __init__(self, capacity: int = _CHANNEL) -> None:
        self._items: collections.deque[bytes] = collections.deque()
        self._capacity = capacity
        self._ended = False
        self._changed = asyncio.Condition()

    @property
    def ended(self) -> bool:
        return self._ended

    async def put(self, item: bytes) -> bool:
        """Queues one message; False when the channel has ended and nobody will read it."""
        async with self._changed:
            await self._changed.wait_for(
                lambda: self._ended or len(self._items) < self._capacity)
            if self._ended:
                return False
            self._items.append(item)
            self._changed.notify_all()
            return True

    async def get(self) -> bytes | None:
        async with self._changed:
            await self._changed.wait_for(lambda: self._ended or bool(self._items))
            if not self._items:
                return None
            item = self._items.popleft()
            self._changed.notify_all()
            return item

    async def end(self) -> None:
        async with self._changed:
            self._ended = True
            self._changed.notify_all()


class _EventTooLarge(ValueError):
    pass


@dataclass(frozen=True, slots=True)
class _Event:
    data: bytes
    kind: str


_EOL = re.compile(rb"\r\n|\r|\n")


class _SseDecoder:
    """Server-sent events, fed in chunks as they arrive; an event over `limit` bytes raises
    _EventTooLarge before it is held whole."""

    def __init__(self, limit: int) -> None:
        self._limit = limit
        self._buffer = bytearray()
        self._data: list[bytes] = []
        self._size = 0
        self._kind = ""
        self.last_id: str | None = None
        self.retry_ms: int | None = None

    def feed(self, chunk: bytes) -> list[_Event]:
        events: list[_Event] = []
        buffer = self._buffer
        buffer += chunk
        start = 0
        while (end := _EOL.search(buffer, start)) is not None:
            # A lone CR at the end may be the first half of a CRLF still on its way.
            if end.group() == b"\r" and end.end() == len(buffer):
                break
            self._line(bytes(buffer[start:end.start()]), events)
            start = end.end()
        del buffer[:start]
        if self._size + len(buffer) > self._limit:
            raise _EventTooLarge(self._size + len(buffer))
        return events

    def _line(self, line: bytes, events: list[_Event]) -> None:
        if not line:
            if self._data:
                events.append(_Event(b"\n".join(self._data), self._kind or "message"))
            self._data, self._size, self._kind = [], 0, ""
            return
        if line.startswith(b":"):
            return
        name, _, value = line.partition(b":")
        if value.startswith(b" "):
            value = value[1:]
        if name == b"data":
            self._size += len(value) + 1
            if self._size > self._limit:
                raise _EventTooLarge(self._size)
            self._data.append(value)
        elif name == b"event":
            self._kind = value.decode("utf-8", "replace")
        elif name == b"id" and b"\0" not in value:
            self.last_id = value.decode("utf-8", "replace")
        elif name == b"retry" and value.isdigit():
            self.retry_ms = int(value)


def _sse_event(message: bytes) -> bytes:
    # A data line cannot hold a line break; the reader joins the lines back with LF, which
    # JSON reads as the whitespace it was.
    lines = message.splitlines() or [b""]
    return b"".join(b"data: " + line + b"\n" for line in lines) + b"\n"


# --- Host side: the proxy's own Streamable HTTP endpoint --------------------------------------

RelayRunner = Callable[[Transport, Transport], Awaitable[object]]
"""Runs the relay of one session: `(host, upstream)`, returning when either side ends."""
UpstreamFactory = Callable[[], Awaitable[Transport]]
"""Starts a new upstream for a new session: a child process, or a new HTTP session."""


class _Waiting:
    """One POSTed request waiting for its response; messages for its stream queue ahead."""

    __slots__ = ("messages", "open")

    def __init__(self) -> None:
        # Unbounded on purpose: its length is bounded by the backlog and by one response.
        self.messages: asyncio.Queue[tuple[bool, bytes]] = asyncio.Queue()
        self.open = True


class HttpSession:
    """The host side of one MCP session over HTTP, as a transport of its relay.

    What the relay sends is routed: a response to the POST whose request had that id; any
    other message to the session's GET stream when open, else to a waiting POST's stream,
    else held (at most a few hundred) until one of them opens.
    """

    def __init__(self, session_id: str) -> None:
        self.id = session_id
        self._incoming = _Channel()
        self._waiting: dict[tuple[bool, object], _Waiting] = {}
        self._stream: asyncio.Queue[bytes | None] | None = None
        self._backlog: collections.deque[bytes] = collections.deque()
        self._closed = False
        self.last_seen = asyncio.get_running_loop().time()

    def idle_since(self) -> float | None:
        """When the host was last heard from, or None while it holds a stream open or waits
        for an answer."""
        if self._stream is not None or self._waiting:
            return None
        return self.last_seen

    @property
    def closed(self) -> bool:
        return self._closed

    async def receive(self) -> bytes | None:
        return await self._incoming.get()

    async def send(self, message: bytes) -> None:
        if self._closed:
            raise ConnectionError(f"MCP session {self.id[:8]} has ended")
        key = _response_key(message)
        if key is not None:
            waiting = self._waiting.pop(key, None)
            self.last_seen = asyncio.get_running_loop().time()
            if waiting is None:
                logger.warning("session %s: dropped a response for id %r that no request "
                               "waits for", self.id, key[1])
            elif waiting.open:
                waiting.messages.put_nowait((True, message))
            return
        self._route(message)

    def _route(self, message: bytes) -> None:
        if self._stream is not None:
            self._stream.put_nowait(message)
            return
        for waiting in self._waiting.values():
            if waiting.open:
                waiting.messages.put_nowait((False, message))
                return
        if len(self._backlog) == _BACKLOG:
            self._backlog.popleft()
            logger.warning("session %s: no stream open for %d messages; dropped the oldest",
                           self.id, _BACKLOG)
        self._backlog.append(message)

    def _flush_backlog(self) -> None:
        while self._backlog:
            self._route(self._backlog.popleft())

    async def close(self) -> None:
        """Ends the session: the relay reads the end, every request still waiting gets an
        error, the GET stream ends."""
        if self._closed:
            return
        self._closed = True
        await self._incoming.end()
        waiting, self._waiting = self._waiting, {}
        for key, entry in waiting.items():
            entry.messages.put_nowait(
                (True, _error(key[1], -32603, "the MCP session ended before the upstream "
                                              "answered")))
        if self._stream is not None:
            self._stream.put_nowait(None)

    # What the HTTP handlers call.

    async def deliver(self, message: bytes) -> bool:
        self.last_seen = asyncio.get_running_loop().time()
        return await self._incoming.put(message)

    def wait_for(self, key: tuple[bool, object]) -> _Waiting | None:
        if key in self._waiting:
            return None
        waiting = self._waiting[key] = _Waiting()
        return waiting

    def forget(self, key: tuple[bool, object], waiting: _Waiting) -> None:
        """The POST's connection is gone: its response has nowhere to go, and the messages
        queued for its stream go to another one."""
        waiting.open = False
        while not waiting.messages.empty():
            final, message = waiting.messages.get_nowait()
            if not final:
                self._route(message)

    def open_stream(self) -> asyncio.Queue[bytes | None] | None:
        if self._stream is not None or self._closed:
            return None
        self._stream = asyncio.Queue()
        self._flush_backlog()
        return self._stream

    def close_stream(self, stream: asyncio.Queue[bytes | None]) -> None:
        if self._stream is stream:
            self._stream = None
            self.last_seen = asyncio.get_running_loop().time()
            while not stream.empty():
                message = stream.get_nowait()
                if message is not None:
                    self._route(message)


def is_loopback(host: str) -> bool:
    """True for a name or address that only this machine reaches."""
    host = host.strip("[]")
    if host.lower() in _LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def parse_listen(text: str) -> tuple[str, int]:
    """Reads `HOST:PORT`, `[IPV6]:PORT` or `:PORT` (loopback); raises ValueError saying what
    was expected."""
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit() or int(port) > 65535:
        raise ValueError(f"--listen {text!r}: expected HOST:PORT, such as 127.0.0.1:8080")
    if host.startswith("["):
        if not host.endswith("]"):
            raise ValueError(f"--listen {text!r}: an IPv6 address goes in brackets, "
                             "such as [::1]:8080")
        host = host[1:-1]
    elif ":" in host:
        raise ValueError(f"--listen {text!r}: write an IPv6 address in brackets, "
                         "such as [::1]:8080")
    return host or "127.0.0.1", int(port)


def _host_name(host: str) -> str:
    """The name in a Host header, without its port."""
    if host.startswith("["):
        return host[1:host.find("]")] if "]" in host else host
    return host.rpartition(":")[0] if ":" in host else host


def _origin_host(origin: str) -> str | None:
    try:
        parts = urlsplit(origin)
        return parts.hostname if parts.scheme in ("http", "https") else None
    except ValueError:
        return None


def _failure(status: int, code: int, message: str,
             headers: Mapping[str, str] | None = None) -> web.Response:
    return web.Response(status=status, body=_error(None, code, message),
                        content_type="application/json", headers=headers)


def _accepts(request: web.Request, *types: str) -> bool:
    accept = request.headers.get("Accept", "*/*")
    offered = {part.split(";")[0].strip().lower() for part in accept.split(",")}
    return "*/*" in offered or all(kind in offered for kind in types)


class HttpServer:
    """The proxy's Streamable HTTP endpoint at http://HOST:PORT/mcp: every MCP session gets
    its own relay and its own upstream, both ended with the session.

    Made by `serve_http`; `close()` ends every session and stops listening.
    """

    def __init__(self, run_relay: RelayRunner, make_upstream: UpstreamFactory, *,
                 host: str, port: int, token: str | None, max_sessions: int,
                 max_message: int, allowed_origins: Iterable[str],
                 idle_timeout: float) -> None:
        self._run_relay = run_relay
        self._make_upstream = make_upstream
        self._host = host
        self._port = port
        self._token = token.encode() if token is not None else None
        self._max_sessions = max_sessions
        self._max_message = max_message
        self._allowed_origins = frozenset(origin.rstrip("/") for origin in allowed_origins)
        self._loopback = is_loopback(host)
        self._sessions: dict[str, tuple[HttpSession, asyncio.Task[None]]] = {}
        self._starting = 0
        self._idle_timeout = idle_timeout
        self._reaper: asyncio.Task[None] | None = None
        app = web.Application(client_max_size=max_message)
        app.router.add_route("*", _PATH, self._handle)
        self._runner = web.AppRunner(app, access_log=None)
        self.url = ""

    async def start(self) -> None:
        await self._runner.setup()
        site = web.TCPSite(self._runner, self._host, self._port)
        await site.start()
        host, port = self._runner.addresses[0][:2]
        self.url = f"http://{f'[{host}]' if ':' in host else host}:{port}{_PATH}"
        self._reaper = asyncio.create_task(self._reap())

    @property
    def sessions(self) -> int:
        """How many MCP sessions are open now."""
        return len(self._sessions)

    async def close(self) -> None:
        if self._reaper is not None:
            self._reaper.cancel()
            await asyncio.gather(self._reaper, return_exceptions=True)
        await asyncio.gather(*(self._end(session_id) for session_id in list(self._sessions)))
        await self._runner.cleanup()

    async def _reap(self) -> None:
        """Ends the sessions of hosts gone without a DELETE, so their upstreams do not hold
        the --max-sessions places for ever."""
        loop = asyncio.get_running_loop()
        while True:
            await asyncio.sleep(min(60.0, self._idle_timeout / 2))
            for session, _ in list(self._sessions.values()):
                since = session.idle_since()
                if since is not None and loop.time() - since > self._idle_timeout:
                    logger.info("MCP session %s: idle for %.0f s; ended", session.id[:8],
                                self._idle_timeout)
                    await self._end(session.id)

    async def __aenter__(self) -> HttpServer:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    # Checks that every request passes, in order: where it comes from, then who it is.

    def _refusal(self, request: web.Request) -> web.Response | None:
        origin = request.headers.get("Origin")
        if origin is not None and origin.rstrip("/") not in self._allowed_origins:
            origin_host = _origin_host(origin)
            if not (self._loopback and origin_host is not None and is_loopback(origin_host)):
                logger.warning("refused a request from the origin %r", origin)
                return _failure(403, -32600, f"the origin {origin!r} may not use this MCP "
                                             "endpoint")
        # A rebound DNS name reaches a loopback listener with a foreign Host even when the
        # browser sends no Origin.
        if self._loopback:
            if not is_loopback(_host_name(request.host)):
                return _failure(403, -32600, f"the Host {request.host!r} is not this "
                                             "machine's loopback name")
        if self._token is not None:
            scheme, _, given = request.headers.get("Authorization", "").partition(" ")
            if scheme.lower() != "bearer" or not hmac.compare_digest(
                    given.strip().encode(), self._token):
                return _failure(401, -32600, "this MCP endpoint needs the header "
                                             "Authorization: Bearer <token>",
                                headers={"WWW-Authenticate": "Bearer"})
        return None

    async def _handle(self, request: web.Request) -> web.StreamResponse:
        refusal = self._refusal(request)
        if refusal is not None:
            return refusal
        if request.method == "POST":
            return await self._post(request)
        if request.method == "GET":
            return await self._get(request)
        if request.method == "DELETE":
            return await self._delete(request)
        return _failure(405, -32600, f"{request.method} is not a method of this MCP endpoint",
                        headers={"Allow": "GET, POST, DELETE"})

    def _session(self, request: web.Request) -> HttpSession | web.Response:
        session_id = request.headers.get(_SESSION_HEADER)
        if session_id is None:
            return _failure(400, -32600, f"the {_SESSION_HEADER} header is missing: start a "
                                         "session with an initialize request")
        entry = self._sessions.get(session_id)
        if entry is None or entry[0].closed:
            return _failure(404, -32600, "no such MCP session (it has ended): start a new "
                                         "one with an initialize request")
        return entry[0]

    async def _post(self, request: web.Request) -> web.StreamResponse:
        if request.content_type != "application/json":
            return _failure(415, -32600, "a message is POSTed as application/json")
        if not _accepts(request, "application/json", "text/event-stream"):
            return _failure(406, -32600, "the Accept header must list both application/json "
                                         "and text/event-stream")
        too_large = _failure(413, -32600, f"the message is over the limit of "
                                          f"{self._max_message} bytes (--max-message)")
        if (request.content_length or 0) > self._max_message:
            return too_large
        try:
            body = await request.read()
        except web.HTTPRequestEntityTooLarge:
            return too_large
        try:
            message = json.loads(body, object_pairs_hook=_no_duplicates)
        except _Duplicate as error:
            return _failure(400, -32600, f"invalid request: {error}")
        except ValueError:
            return _failure(400, -32700, "parse error: the body is not JSON")
        if not isinstance(message, dict):
            return _failure(400, -32600, "invalid request: the body must be one JSON-RPC "
                                         "message, an object")
        is_request = "method" in message and "id" in message
        key = _id_key(message.get("id")) if "id" in message else None
        if "id" in message and key is None:
            return _failure(400, -32600, "invalid request: an id is a string or an integer")
        if "method" not in message and key is None:
            return _failure(400, -32600, "invalid request: neither a request, a notification "
                                         "nor a response")
        if _SESSION_HEADER not in request.headers and message.get("method") == "initialize" \
                and key is not None:
            created = await self._new_session(key)
            if isinstance(created, web.Response):
                return created
            session: HttpSession | web.Response = created
        else:
            session = self._session(request)
        if isinstance(session, web.Response):
            return session
        if not is_request:
            if not await session.deliver(body):
                return _failure(404, -32600, "the MCP session has ended")
            return web.Response(status=202, headers={_SESSION_HEADER: session.id})
        assert key is not None
        waiting = session.wait_for(key)
        if waiting is None:
            return _failure(400, -32600, f"invalid request: the id {key[1]!r} is already in "
                                         "use by a request in flight")
        if not await session.deliver(body):
            session.forget(key, waiting)
            return _failure(404, -32600, "the MCP session has ended")
        return await self._answer(request, session, key, waiting)

    async def _answer(self, request: web.Request, session: HttpSession,
                      key: tuple[bool, object], waiting: _Waiting) -> web.StreamResponse:
        """The request's response as JSON when it comes first, else an SSE stream of what the
        session routes here, its response last."""
        headers = {_SESSION_HEADER: session.id}
        stream: web.StreamResponse | None = None
        try:
            while True:
                final, message = await waiting.messages.get()
                if stream is None:
                    if final:
                        return web.Response(body=message, content_type="application/json",
                                            headers=headers)
                    stream = web.StreamResponse(headers={
                        **headers, "Content-Type": "text/event-stream",
                        "Cache-Control": "no-cache"})
                    await stream.prepare(request)
                await stream.write(_sse_event(message))
                if final:
                    await stream.write_eof()
                    return stream
        except ConnectionError:
            session.forget(key, waiting)
            logger.info("MCP session %s: a POST stream's connection is gone; its answer is "
                        "dropped", session.id[:8])
            return web.Response(status=499)
        except asyncio.CancelledError:
            session.forget(key, waiting)
            raise

    async def _get(self, request: web.Request) -> web.StreamResponse:
        session = self._session(request)
        if isinstance(session, web.Response):
            return session
        if not _accepts(request, "text/event-stream"):
            return _failure(406, -32600, "the Accept header must list text/event-stream")
        session.last_seen = asyncio.get_running_loop().time()
        queue = session.open_stream()
        if queue is None:
            return _failure(409, -32600, "this MCP session already has a GET stream open")
        try:
            response = web.StreamResponse(headers={
                _SESSION_HEADER: session.id, "Content-Type": "text/event-stream",
                "Cache-Control": "no-cache"})
            await response.prepare(request)
            while True:
                try:
                    message = await asyncio.wait_for(queue.get(), _KEEP_ALIVE)
                except TimeoutError:
                    # A stream nobody reads any more shows itself only when written to.
                    await response.write(b": keep-alive\n\n")
                    continue
                if message is None:
                    break
                await response.write(_sse_event(message))
            await response.write_eof()
            return response
        except ConnectionError:
            logger.info("MCP session %s: the GET stream's connection is gone", session.id[:8])
            return web.Response(status=499)
        finally:
            session.close_stream(queue)

    async def _delete(self, request: web.Request) -> web.StreamResponse:
        session = self._session(request)
        if isinstance(session, web.Response):
            return session
        await self._end(session.id)
        return web.Response(status=200, headers={_SESSION_HEADER: session.id})

    async def _new_session(self, key: tuple[bool, object]) -> HttpSession | web.Response:
        if len(self._sessions) + self._starting >= self._max_sessions:
            logger.warning("refused a new MCP session: %d are open (--max-sessions)",
                           self._max_sessions)
            return web.Response(status=503, content_type="application/json", body=_error(
                key[1], -32000, f"too many MCP sessions: at most {self._max_sessions} at once "
                                "(--max-sessions); end one (HTTP DELETE) or try again later"))
        self._starting += 1
        try:
            upstream = await self._make_upstream()
        except Exception as error:
            logger.error("cannot start the upstream of a new MCP session: %s", error)
            return web.Response(status=502, content_type="application/json", body=_error(
                key[1], -32603, f"cannot start the upstream MCP server: {error}"))
        finally:
            self._starting -= 1
        session = HttpSession(secrets.token_urlsafe(24))
        task = asyncio.create_task(self._run(session, upstream),
                                   name=f"ruvo_gate MCP session {session.id[:8]}")
        self._sessions[session.id] = (session, task)
        logger.info("MCP session %s opened (%d open)", session.id[:8], len(self._sessions))
        return session

    async def _run(self, session: HttpSession, upstream: Transport) -> None:
        try:
            await self._run_relay(session, upstream)
        except Exception:
            logger.exception("the relay of MCP session %s failed", session.id[:8])
        finally:
            await session.close()
            await upstream.close()
            self._sessions.pop(session.id, None)
            logger.info("MCP session %s closed (%d open)", session.id[:8], len(self._sessions))

    async def _end(self, session_id: str) -> None:
        """Ends a session and waits, for a while, until its upstream has ended too."""
        entry = self._sessions.get(session_id)
        if entry is None:
            return
        session, task = entry
        await session.close()
        try:
            await asyncio.wait_for(asyncio.shield(task), _CLOSE_WAIT)
        except TimeoutError:
            logger.warning("MCP session %s did not end in %.0f s; cancelled",
                           session_id[:8], _CLOSE_WAIT)
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)


async def serve_http(run_relay: RelayRunner, make_upstream: UpstreamFactory, *,
                     host: str = "127.0.0.1", port: int = 0, token: str | None = None,
                     max_sessions: int = DEFAULT_MAX_SESSIONS,
                     max_message: int = DEFAULT_MAX_MESSAGE,
                     allowed_origins: Sequence[str] = (),
                     idle_timeout: float = 1800.0) -> HttpServer:
    """Starts the proxy's Streamable HTTP endpoint and returns it, listening (`.url`).

    Args:
        run_relay: runs one session's relay between its host transport and its upstream.
        make_upstream: starts the upstream of a new session.
        host: the address to listen on; anything but loopback needs `token`.
        port: the port; 0 picks a free one.
        token: the bearer token every request must carry, or None for none.
        max_sessions: how many sessions may be open at once; one more gets HTTP 503.
        max_message: the largest message read, in bytes.
        allowed_origins: browser origins (`scheme://host[:port]`) allowed besides the
            loopback ones; any other `Origin` gets HTTP 403.
        idle_timeout: seconds after which a session whose host holds no stream open, waits
            for no answer and sends nothing is ended, with its upstream.

    Raises:
        ValueError: a non-loopback address without a token.
        OSError: the address cannot be bound.
    """
    if not is_loopback(host) and token is None:
        raise ValueError(
            f"--listen {host}: listening beyond this machine without --token-file would let "
            "anyone who reaches the port call the tools: give --token-file, or listen on "
            "127.0.0.1")
    if not token and token is not None:
        raise ValueError("the token is empty: write the token into the --token-file")
    if max_sessions < 1 or max_message < 1 or not idle_timeout > 0:
        raise ValueError("max_sessions, max_message and idle_timeout must be positive")
    server = HttpServer(run_relay, make_upstream, host=host, port=port, token=token,
                        max_sessions=max_sessions, max_message=max_message,
                        allowed_origins=allowed_origins, idle_timeout=idle_timeout)
    try:
        await server.start()
    except BaseException:
        await server.close()
        raise
    return server


# --- Upstream side: a client of an MCP server over Streamable HTTP ----------------------------

class HttpUpstream:
    """An MCP server over Streamable HTTP, as the relay's upstream transport.

    Each message is POSTed; the answer comes as JSON or as an SSE stream, and what the server
    sends unasked comes on a GET stream opened once the session is initialized. A request
    whose answer cannot arrive (an HTTP error, a broken or oversized stream) gets a JSON-RPC
    error from here, so no host waits forever. `close()` ends the server's session (DELETE).
    """

    def __init__(self, url: str, *, max_message: int = DEFAULT_MAX_MESSAGE,
                 headers: Mapping[str, str] | None = None) -> None:
        self._url = url
        self._max_message = max_message
        self._headers = dict(headers or {})
        self._http = aiohttp.ClientSession(
            timeout=aiohttp.ClientTimeout(total=None, connect=30.0, sock_read=None))
        self._incoming = _Channel()
        self._tasks: set[asyncio.Task[None]] = set()
        self._session_id: str | None = None
        self._version: str | None = None
        self._initializing: asyncio.Event | None = None
        self._closed = False

    async def receive(self) -> bytes | None:
        return await self._incoming.get()

    async def send(self, message: bytes) -> None:
        if self._closed:
            raise ConnectionError(f"the connection to {self._url} is closed")
        parsed = json.loads(message)
        method = parsed.get("method") if isinstance(parsed, dict) else None
        request_id = parsed.get("id") if method is not None else None
        if method == "initialize":
            # Everything after the initialize request carries the session id it returns.
            self._initializing = ready = asyncio.Event()
            self._spawn(self._post(message, request_id, ready))
            return
        if self._initializing is not None:
            await self._initializing.wait()
        if request_id is not None:
            self._spawn(self._post(message, request_id, None))
        else:
            # Notifications and responses are answered at once (202): waiting keeps them in
            # the order the host sent them.
            await self._post(message, None, None)
            if method == "notifications/initialized":
                self._spawn(self._listen())

    async def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        tasks = list(self._tasks)
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        try:
            if self._session_id is not None:
                async with self._http.delete(self._url, headers=self._request_headers(),
                                             timeout=aiohttp.ClientTimeout(total=5.0)):
                    pass
        except (aiohttp.ClientError, OSError, TimeoutError) as error:
            logger.info("could not end the upstream MCP session at %s: %s", self._url, error)
        finally:
            await self._http.close()
            await self._incoming.end()

    def _spawn(self, work: Awaitable[None]) -> None:
        task: asyncio.Task[None] = asyncio.ensure_future(work)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    def _request_headers(self, **extra: str) -> dict[str, str]:
        headers = {**self._headers, **extra}
        if self._session_id is not None:
            headers[_SESSION_HEADER] = self._session_id
        if self._version is not None:
            headers[_VERSION_HEADER] = self._version
        return headers

    async def _deliver(self, message: bytes) -> None:
        await self._incoming.put(message)

    async def _fail(self, request_id: object, text: str) -> None:
        logger.warning("upstream %s: %s", self._url, text)
        if request_id is not None:
            await self._deliver(_error(request_id, -32603, f"upstream MCP server: {text}"))

    async def _post(self, message: bytes, request_id: object,
                    ready: asyncio.Event | None) -> None:
        headers = self._request_headers(**{
            "Accept": "application/json, text/event-stream",
            "Content-Type": "application/json"})
        try:
            async with self._http.post(self._url, data=message, headers=headers) as response:
                if ready is not None:
                    self._session_id = response.headers.get(_SESSION_HEADER, self._session_id)
                    ready.set()
                await self._read_answer(response, request_id, ready is not None)
        except (aiohttp.ClientError, OSError) as error:
            await self._fail(request_id, f"cannot reach {self._url}: {error}")
        finally:
            if ready is not None:
                ready.set()

    async def _read_answer(self, response: aiohttp.ClientResponse, request_id: object,
                           initializing: bool) -> None:
        if response.status == 202:
            return
        if response.status == 404 and self._session_id is not None:
            await self._fail(request_id, "the server ended the MCP session")
            await self._incoming.end()
            return
        if response.status != 200:
            text = (await response.content.read(500)).decode("utf-8", "replace")
            await self._fail(request_id, f"HTTP {response.status} {response.reason}: {text}")
            return
        if response.content_type == "application/json":
            if (response.content_length or 0) > self._max_message:
                await self._fail(request_id, self._too_large())
                return
            body = bytearray()
            async for chunk in response.content.iter_any():
                body += chunk
                if len(body) > self._max_message:
                    await self._fail(request_id, self._too_large())
                    return
            if initializing:
                self._learn_version(bytes(body))
            await self._deliver(bytes(body))
        elif response.content_type == "text/event-stream":
            answered = await self._read_events(response, request_id, initializing)
            if request_id is not None and not answered:
                await self._fail(request_id, "the server closed the stream before answering")
        else:
            await self._fail(request_id, f"unexpected content type {response.content_type!r}")

    def _too_large(self) -> str:
        return (f"an answer over the limit of {self._max_message} bytes (--max-message) "
                "was refused")

    def _learn_version(self, message: bytes) -> None:
        try:
            version = json.loads(message)["result"]["protocolVersion"]
        except (ValueError, KeyError, TypeError):
            return
        if isinstance(version, str) and version.isprintable():
            self._version = version

    async def _read_events(self, response: aiohttp.ClientResponse, request_id: object,
                           initializing: bool = False,
                           decoder: _SseDecoder | None = None) -> bool:
        """Delivers the stream's messages; True once the answer to `request_id` came."""
        decoder = decoder or _SseDecoder(self._max_message)
        answer = _id_key(request_id)
        answered = False
        try:
            async for chunk in response.content.iter_any():
                for event in decoder.feed(chunk):
                    if event.kind != "message":
                        continue
                    if answer is not None and _response_key(event.data) == answer:
                        answered = True
                        if initializing:
                            self._learn_version(event.data)
                    await self._deliver(event.data)
        except _EventTooLarge:
            if answered or request_id is None:
                logger.warning("upstream %s: %s", self._url, self._too_large())
            else:
                await self._fail(request_id, self._too_large())
            return True
        return answered

    async def _listen(self) -> None:
        """The GET stream of what the server sends unasked, reopened where it broke off."""
        decoder = _SseDecoder(self._max_message)
        failures = 0
        while failures < _RECONNECTS:
            headers = self._request_headers(Accept="text/event-stream")
            if decoder.last_id is not None:
                headers["Last-Event-ID"] = decoder.last_id
            try:
                async with self._http.get(self._url, headers=headers) as response:
                    if response.status == 405:
                        return  # the server sends nothing unasked
                    if response.status != 200 \
                            or response.content_type != "text/event-stream":
                        logger.warning("upstream %s: the GET stream was refused: HTTP %d",
                                       self._url, response.status)
                        return
                    seen = decoder.last_id
                    await self._read_events(response, None, decoder=decoder)
                    failures = 0 if decoder.last_id != seen else failures + 1
            except (aiohttp.ClientError, OSError) as error:
                failures += 1
                logger.info("upstream %s: the GET stream broke: %s", self._url, error)
            await asyncio.sleep((decoder.retry_ms or 1000) / 1000)
        logger.warning("upstream %s: gave up the GET stream after %d failures", self._url,
                       _RECONNECTS)


async def connect_http(url: str, *, max_message: int = DEFAULT_MAX_MESSAGE,
                       headers: Mapping[str, str] | None = None) -> HttpUpstream:
    """An upstream MCP server over Streamable HTTP at `url`; nothing is sent until the relay
    sends the host's first message.

    Raises:
        ValueError: `url` is not an http or https URL.
    """
    parts = urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError(f"--upstream {url!r}: expected an http:// or https:// URL, such as "
                         "http://127.0.0.1:3001/mcp")
    return HttpUpstream(url, max_message=max_message, headers=headers)
