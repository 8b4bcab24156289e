"""MCP over stdio: the proxy's own stdin and stdout, and a server run as a child process.

Messages are lines of JSON. A line longer than the size limit is skipped as it arrives,
keeping only its two ends, so an oversized message never sits in memory whole.
"""

from __future__ import annotations

import asyncio
import logging
import os
import signal
import stat
import sys
from collections.abc import Awaitable, Callable, Sequence
from typing import Final

from ._mcp_relay import DEFAULT_MAX_MESSAGE, MessageTooLarge

__all__ = ["ChildProcess", "StdioHost", "UpstreamError", "open_stdio_host", "start_child"]

logger = logging.getLogger("ruvo_gate")

_CHUNK: Final = 64 * 1024
_ENDS: Final = 4096  # bytes kept of each end of an oversized line, to find its id
_GRACE: Final = 2.0


class UpstreamError(Exception):
    """The upstream server could not be started."""


class _Lines:
    """Splits a byte stream into lines, skipping those longer than the limit."""

    def __init__(self, read: Callable[[int], Awaitable[bytes]], limit: int) -> None:
        self._read = read
        self._limit = limit
        self._buffer = bytearray()
        self._searched = 0  # the buffer holds no newline before this offset
        self._eof = False

    async def next(self) -> bytes | None:
        while True:
            line = await self._line()
            if line is None or line.strip():
                return line

    async def _line(self) -> bytes | None:
        buffer = self._buffer
        while True:
            end = buffer.find(b"\n", self._searched)
            if end >= 0:
                if end > self._limit:
                    self._skip_to(end)
                line = bytes(buffer[:end])
                del buffer[:end + 1]
                self._searched = 0
                return line
            self._searched = len(buffer)
            if len(buffer) > self._limit:
                await self._skip()
            if self._eof:
                if not buffer:
                    return None
                line = bytes(buffer)
                buffer.clear()
                self._searched = 0
                return line
            chunk = await self._read(_CHUNK)
            if not chunk:
                self._eof = True
            buffer += chunk

    def _skip_to(self, end: int) -> None:
        head, tail = bytes(self._buffer[:_ENDS]), bytes(self._buffer[max(0, end - _ENDS):end])
        del self._buffer[:end + 1]
        self._searched = 0
        raise MessageTooLarge(self._limit, head, tail)

    async def _skip(self) -> None:
        """Drops the oversized line the buffer starts with, as it arrives."""
        head = bytes(self._buffer[:_ENDS])
        tail = bytes(self._buffer[-_ENDS:])
        self._buffer.clear()
        while True:
            chunk = await self._read(_CHUNK)
            if not chunk:
                self._eof = True
                self._searched = 0
                raise MessageTooLarge(self._limit, head, tail)
            end = chunk.find(b"\n")
            if end >= 0:
                tail = (tail + chunk[:end])[-_ENDS:]
                self._buffer += chunk[end + 1:]
                self._searched = 0
                raise MessageTooLarge(self._limit, head, tail)
            tail = (tail + chunk)[-_ENDS:]


def _line(message: bytes) -> bytes:
    # Outside strings a JSON text may hold raw line breaks only as white space, and inside
    # them none at all: replacing them keeps the message and makes it one line.
    if b"\n" in message or b"\r" in message:
        message = message.replace(b"\r", b" ").replace(b"\n", b" ")
    return message + b"\n"


class StdioHost:
    """The host's side over the proxy's own stdin and stdout. Open it with `open_stdio_host`.

    Pipes, sockets and terminals are read and written on the event loop; a regular file
    (a host replaying a recorded session, say) through worker threads.
    """

    def __init__(self, read: Callable[[int], Awaitable[bytes]],
                 write: Callable[[bytes], Awaitable[None]], close: Callable[[], None],
                 max_message: int) -> None:
        self._lines = _Lines(read, max_message)
        self._write = write
        self._close = close

    async def receive(self) -> bytes | None:
        return await self._lines.next()

    async def send(self, message: bytes) -> None:
        await self._write(_line(message))

    async def close(self) -> None:
        self._close()


async def open_stdio_host(max_message: int = DEFAULT_MAX_MESSAGE) -> StdioHost:
    """The proxy's stdin and stdout as a transport (copies of the descriptors, so closing
    it leaves fds 0 and 1 to the interpreter)."""
    loop = asyncio.get_running_loop()
    stdin, stdout = os.dup(sys.stdin.fileno()), os.dup(sys.stdout.fileno())
    read: Callable[[int], Awaitable[bytes]]
    if _streams(stdin):
        reader = asyncio.StreamReader(limit=_CHUNK)
        in_transport, _ = await loop.connect_read_pipe(
            lambda: asyncio.StreamReaderProtocol(reader), os.fdopen(stdin, "rb", buffering=0))
        read = reader.read
        close_in = in_transport.close
    else:
        async def read(size: int) -> bytes:
            return await asyncio.to_thread(os.read, stdin, size)

        def close_in() -> None:
            os.close(stdin)

    write: Callable[[bytes], Awaitable[None]]
    if _streams(stdout):
        out_transport, protocol = await loop.connect_write_pipe(
            asyncio.streams.FlowControlMixin, os.fdopen(stdout, "wb", buffering=0))
        writer = asyncio.StreamWriter(out_transport, protocol, None, loop)

        async def write(data: bytes) -> None:
            writer.write(data)
            await writer.drain()

        close_out = writer.close
    else:
        lock = asyncio.Lock()

        async def write(data: bytes) -> None:
            async with lock:
                await asyncio.to_thread(_write_all, stdout, data)

        def close_out() -> None:
            os.close(stdout)

    def close() -> None:
        close_in()
        close_out()

    return StdioHost(read, write, close, max_message)


def _streams(fd: int) -> bool:
    mode = os.fstat(fd).st_mode
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode) or stat.S_ISCHR(mode)


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


class ChildProcess:
    """An upstream server run as a child process speaking MCP on its stdin and stdout; its
    stderr is the proxy's. Start it with `start_child`.

    Attributes:
        end_reason: after `receive` has returned None, how the process ended.
    """

    def __init__(self, process: asyncio.subprocess.Process, command: str, max_message: int,
                 grace: float) -> None:
        self._process = process
        self._command = command
        assert process.stdout is not None and process.stdin is not None
        self._lines = _Lines(process.stdout.read, max_message)
        self._stdin = process.stdin
        self._grace = grace
        self.end_reason = ""

    @property
    def pid(self) -> int:
        """The child's process id."""
        return self._process.pid

    async def receive(self) -> bytes | None:
        line = await self._lines.next()
        if line is None:
            try:
                status = await asyncio.wait_for(self._process.wait(), self._grace)
                self.end_reason = f"{self._command} {_status(status)}"
            except TimeoutError:
                self.end_reason = f"{self._command} closed its output"
        return line

    async def send(self, message: bytes) -> None:
        self._stdin.write(_line(message))
        await self._stdin.drain()

    async def close(self) -> None:
        """Closes the child's stdin, then terminates it after the grace period and kills it
        after another."""
        process = self._process
        if not self._stdin.is_closing():
            self._stdin.close()
        for stop in (None, signal.SIGTERM, signal.SIGKILL):
            if process.returncode is not None:
                break
            if stop is not None:
                try:
                    process.send_signal(stop)
                except ProcessLookupError:
                    break
            try:
                await asyncio.wait_for(process.wait(), self._grace)
            except TimeoutError:
                continue
        if process.returncode is None:
            await process.wait()


def _status(status: int) -> str:
    if status < 0:
        try:
            return f"was killed by {signal.Signals(-status).name}"
        except ValueError:
            return f"was killed by signal {-status}"
    return f"exited with status {status}"


async def start_child(command: Sequence[str], max_message: int = DEFAULT_MAX_MESSAGE,
                      grace: float = _GRACE) -> ChildProcess:
    """Starts the upstream server.

    Raises:
        UpstreamError: the command cannot be run.
    """
    if not command:
        raise UpstreamError("no upstream command: give it after --, e.g. "
                            "-- npx @modelcontextprotocol/server-everything")
    try:
        process = await asyncio.create_subprocess_exec(
            *command, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
            limit=_CHUNK)
    except OSError as error:
        raise UpstreamError(f"cannot start the upstream server {command[0]!r}: "
                            f"{error.strerror or error}") from None
    logger.info("started the upstream server %s (pid %d)", command[0], process.pid)
    return ChildProcess(process, os.path.basename(command[0]), max_message, grace)
