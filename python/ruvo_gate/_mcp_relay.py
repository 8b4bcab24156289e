"""The MCP relay: one host session joined to one upstream server, every tool call decided."""

from __future__ import annotations

from typing import Protocol

__all__ = ["MessageTooLarge", "Transport"]


class MessageTooLarge(Exception):
    """A message longer than the transport's size limit, skipped without being held whole.

    Attributes:
        size_limit: the limit, in bytes, that the message went past.
        head: the message's first bytes, as far as the transport kept them (may be empty).
        tail: its last bytes, likewise; together they let the relay find the id of the
            request the message answered, so that request still gets an answer.
    """

    def __init__(self, size_limit: int, head: bytes = b"", tail: bytes = b"") -> None:
        super().__init__(f"a message went past the size limit of {size_limit} bytes")
        self.size_limit = size_limit
        self.head = head
        self.tail = tail


class Transport(Protocol):
    """One side of a relay: a stream of JSON-RPC messages, each one JSON text.

    A relay reads a transport from one task and writes it from others, so `send` must
    take whole messages from concurrent tasks without interleaving them.
    """

    async def receive(self) -> bytes | None:
        """The next message; None at the end of the stream.

        Raises:
            MessageTooLarge: the next message is longer than the size limit; it has been
                skipped without being held in memory whole, and the stream goes on.
        """
        ...

    async def send(self, message: bytes) -> None:
        """Sends one message (one JSON text)."""
        ...

    async def close(self) -> None:
        """Ends the stream; later sends fail, a pending receive returns None."""
        ...
