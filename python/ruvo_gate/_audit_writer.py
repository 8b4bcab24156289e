"""A writer thread for an audit log that waits for the disk, so event loops do not."""

from __future__ import annotations

import asyncio
import logging
import queue
import threading
from collections.abc import Callable
from typing import Any, Final, TypeVar

__all__ = ["AuditWriter"]

T = TypeVar("T")

logger = logging.getLogger("ruvo_gate")

# An idle thread ends after this many seconds; the next write starts another.
_IDLE: Final = 1.0
_Work = tuple[Callable[[], Any], "asyncio.Future[Any]"]


class AuditWriter:
    """Runs audit writes in one thread of its own, one after the other in the order given.

    One thread, not a pool: appends to one log take its lock in turn anyway, and threads
    queueing on it (each then waiting for the interpreter's lock as well) cost more than
    the writes. The writes that pile up while one waits for the disk are run in a row, and
    their callers' futures are settled with one wake-up of each loop.

    May be shared by threads and by event loops: each future is settled on its own loop.
    The thread ends when it has been idle a second and is started again by the next write;
    it is a daemon thread, so `flush` before closing the log what must be on it.
    """

    def __init__(self) -> None:
        self._queue: queue.SimpleQueue[_Work | None] = queue.SimpleQueue()
        self._lock = threading.Lock()
        self._thread: threading.Thread | None = None
        self._pending = 0  # writes given and not yet run, under _lock

    def run(self, write: Callable[[], T]) -> asyncio.Future[T]:
        """Queues `write` (a blocking call on the log) and returns the future of its
        result, on the running loop. The write runs even if the future is cancelled."""
        future: asyncio.Future[T] = asyncio.get_running_loop().create_future()
        with self._lock:
            self._pending += 1
            if self._thread is None:
                self._thread = threading.Thread(target=self._serve, daemon=True,
                                                name="ruvo_gate audit writer")
                self._thread.start()
        self._queue.put((write, future))
        return future

    def flush(self) -> None:
        """Waits until every write given so far has run (from a thread that is not the
        writer's; a loop that calls it stops until then)."""
        with self._lock:
            thread = self._thread
            if thread is None:
                return
            done = threading.Event()
            self._pending += 1
        self._queue.put((done.set, _NO_FUTURE))
        done.wait()

    def _serve(self) -> None:
        while True:
            try:
                first = self._queue.get(timeout=_IDLE)
            except queue.Empty:
                with self._lock:
                    if self._pending == 0:
                        self._thread = None
                        return
                continue
            batch = [first]
            while True:
                try:
                    batch.append(self._queue.get_nowait())
                except queue.Empty:
                    break
            settled: dict[asyncio.AbstractEventLoop, list[tuple[asyncio.Future[Any], Any,
                                                               BaseException | None]]] = {}
            for work in batch:
                if work is None:
                    continue
                write, future = work
                try:
                    outcome: tuple[Any, BaseException | None] = (write(), None)
                except BaseException as error:
                    outcome = (None, error)
                if future is not _NO_FUTURE:
                    settled.setdefault(future.get_loop(), []).append((future, *outcome))
            with self._lock:
                self._pending -= len(batch)
            for loop, results in settled.items():
                try:
                    loop.call_soon_threadsafe(_settle, results)
                except RuntimeError:
                    logger.debug("an audit write finished after its event loop closed")


def _settle(results: list[tuple[asyncio.Future[Any], Any, BaseException | None]]) -> None:
    for future, result, error in results:
        if future.cancelled():
            continue
        if error is None:
            future.set_result(result)
        else:
            future.set_exception(error)


class _NoFuture:
    """Stands for the future of a write nobody awaits on a loop (a flush's marker)."""


_NO_FUTURE: Any = _NoFuture()
