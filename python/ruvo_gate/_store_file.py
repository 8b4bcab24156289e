"""The JSON-lines file store: one chain per file, shared by threads and processes, torn ends recovered."""

from __future__ import annotations

import base64
import fcntl
import hashlib
import json
import logging
import os
import re
import stat
import threading
import time
import weakref
from collections.abc import Callable, Iterator
from typing import NoReturn

from . import _jcs
from ._store import ZERO_DIGEST, Render

__all__ = ["FileStore", "MAX_RECORD", "open_for_reading"]

logger = logging.getLogger("ruvo_gate")

MAX_RECORD = 16 << 20  # bytes in one line, unless the log is opened with another cap
_READ_STEP = 1 << 16
_GATHER_SECONDS = 0.002  # the longest an fsync waits for the lines of appends under way
_DIGEST_RE = re.compile(r"[0-9a-f]{64}")
# Every line the writer renders starts so: a torn tail that does not is no torn record.
_RECORD_START = b'{"'
# ... and ends so: the digest member last, then the closing brace.
_DIGEST_AT = slice(-67, -3)

# The stores of this process, for the child of a fork: a thread appending or syncing at
# the fork leaves a lock held in the child, where nobody will release it.
_STORES: weakref.WeakSet[FileStore] = weakref.WeakSet()


def _after_fork_in_child() -> None:
    for store in list(_STORES):
        store._lock = threading.Lock()
        store._flow, store._lines_in = _conditions()
        store._unwritten = 0
        store._syncing = False
        store._inherited = True


os.register_at_fork(after_in_child=_after_fork_in_child)


def _conditions() -> tuple[threading.Condition, threading.Condition]:
    lock = threading.Lock()
    return threading.Condition(lock), threading.Condition(lock)


def open_for_reading(path: str) -> int:
    """A descriptor for reading an audit file; never blocks, and only a regular file is read
    (a pipe would wait for a writer, a device may never end)."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise ValueError(f"{path} is not a regular file: an audit log is one")
    return fd


class FileStore:
    """An audit file of JSON lines: appends under a thread lock and `flock`, so that threads
    and processes make one chain; with `sync`, appends in flight together share one
    `fsync`, and each returns once its own line is on disk.

    `render_own(entry, seq, prev)` renders the records the store writes itself (a
    `"recovered"` record keeping a torn last line), so that every record is rendered in
    one place.
    """

    def __init__(self, path: str, *, sync: bool, max_record: int,
                 render_own: Callable[[dict[str, object], int, str], bytes]) -> None:
        self._fd = -1
        self._path = path
        self._sync = sync
        self._max = max_record
        self._render_own = render_own
        self._lock = threading.Lock()  # the chain's end, the descriptor
        self._seq = 0
        self._prev = ZERO_DIGEST
        self._end = -1  # the file's size after our last write; anything else means catch up
        self._last = b""  # the line that ends at _end: the last record we wrote or read
        self._written = 0  # lines this store wrote; the first _synced of them are on disk
        self._synced = 0
        self._lost = 0  # a failed fsync leaves the lines up to this one in doubt
        self._inherited = False  # set in the child of a fork
        # Guards the group commit's counts: _unwritten, _synced, _lost, _syncing.
        # _flow wakes the threads waiting for an fsync, _lines_in the thread about to
        # start one, waiting for the lines of appends under way.
        self._flow, self._lines_in = _conditions()
        self._unwritten = 0  # appends under way whose line is not written yet
        self._syncing = False  # a thread is syncing for all
        self._gathered = 0  # the lines the last fsync covered
        self._fsync_seconds = 0.0  # how long it took
        self._open()
        _STORES.add(self)

    def append(self, render: Render) -> None:
        self.append_entry({}, render)

    def append_entry(self, entry: dict[str, object], render: Render | None = None) -> None:
        """`append(render)`, or without `render` the entry rendered by `render_own` and
        held to `max_record`: the log's own way, which spares a closure per record."""
        sync = self._sync
        if sync:
            with self._flow:
                self._unwritten += 1
        try:
            written = self._write_line(entry, render)
        finally:
            if sync:
                with self._flow:
                    self._unwritten -= 1
                    if not self._unwritten and self._syncing:
                        self._lines_in.notify()
        if sync:
            self._sync_to(written)

    def _lock_end(self) -> int:
        """Under the thread lock: the descriptor, locked for this process too, with the
        chain's end read again if another writer moved it. The caller unlocks it."""
        if self._fd < 0:
            raise ValueError(f"the audit log {self._path!r} is closed")
        if self._inherited:
            self._reopen()
        fd = self._fd
        fcntl.flock(fd, fcntl.LOCK_EX)
        try:
            size = os.lseek(fd, 0, os.SEEK_END)
            if size != self._end:
                self._check_our_end(size)
                self._catch_up(size)
        except BaseException:
            fcntl.flock(fd, fcntl.LOCK_UN)
            raise
        return fd

    def _write_line(self, entry: dict[str, object], render: Render | None) -> int:
        with self._lock:
            fd = self._lock_end()
            try:
                if render is None:
                    line = self._render_own(entry, self._seq + 1, self._prev)
                    if len(line) > self._max:
                        raise ValueError(f"the record is {len(line)} bytes long, more than "
                                         f"this log's max_record of {self._max}")
                else:
                    line = render(self._seq + 1, self._prev)
                end = self._end
                self._end = -1  # until the whole line is in, the next append must look
                done = os.write(fd, line)
                while done < len(line):
                    done += os.write(fd, line[done:])
                self._end = end + len(line)
                self._seq, self._prev, self._last = self._seq + 1, line[_DIGEST_AT].decode(), line
                self._written = written = self._written + 1
            finally:
                fcntl.flock(fd, fcntl.LOCK_UN)
        return written

    def head(self) -> tuple[int, str]:
        with self._lock:
            fd = self._lock_end()
            try:
                return self._seq, self._prev
            finally:
                fcntl.flock(fd, fcntl.LOCK_UN)

    def lines(self) -> Iterator[bytes]:
        with open(open_for_reading(self._path), "rb") as stream:
            for line in stream:
                if not line.endswith(b"\n"):
                    return  # a torn tail is no line of the chain
                yield line

    def close(self) -> None:
        with self._lock, self._flow:
            # An fsync under way finishes on the descriptor it began with.
            self._flow.wait_for(self._not_syncing)
            if self._fd >= 0:
                fd, self._fd = self._fd, -1
                os.close(fd)

    # The file, under the lock.

    def _open(self) -> None:
        fd = os.open(self._path, os.O_RDWR | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise ValueError(f"{self._path} is not a regular file: an audit log is one "
                                 "(a device or a pipe would lose its records)")
            fcntl.flock(fd, fcntl.LOCK_EX)
            try:
                self._fd = fd
                self._catch_up(os.fstat(fd).st_size)
            finally:
                fcntl.flock(fd, fcntl.LOCK_UN)
        except BaseException:
            self._fd = -1
            os.close(fd)
            raise
        self._inherited = False
        self._written = self._synced = self._lost = 0

    def _reopen(self) -> None:
        # A forked child shares the parent's open file, and with it the parent's lock:
        # it needs one of its own.
        os.close(self._fd)
        self._fd = -1
        self._open()

    def _check_our_end(self, size: int) -> None:
        """Refuses to go on when the last record this store wrote or read is gone: only a
        hand from outside removes records, and chaining on would hide the cut."""
        end, last = self._end, self._last
        if end < 0 or not last:
            return  # our last write did not finish, or we saw no record: nothing to lose
        if size < end:
            raise ValueError(
                f"{self._path} ends at byte {size}, before the end of record {self._seq} "
                f"(byte {end}), the last this log wrote or read: records were cut from it. "
                "Nothing is chained to a cut log; check it with `python -m ruvo_gate verify` "
                "and start a new log")
        if os.pread(self._fd, len(last), end - len(last)) != last:
            raise ValueError(
                f"{self._path} no longer holds record {self._seq} at bytes "
                f"{end - len(last)}-{end}, the last this log wrote or read: the file was "
                "rewritten. Nothing is chained to it; check it with `python -m ruvo_gate "
                "verify` and start a new log")

    def _catch_up(self, size: int) -> None:
        """Reads the chain's end from the file, which another process may have extended,
        and recovers a torn last line."""
        tail, start = self._read_tail(size)
        cut = tail.rfind(b"\n") + 1
        if cut:
            self._last = tail[:cut]
            self._seq, self._prev = self._chain_end(self._last)
        else:
            self._seq, self._prev, self._last = 0, ZERO_DIGEST, b""
        self._end = start + cut
        if cut < len(tail):
            self._recover(tail[cut:])

    def _read_tail(self, size: int) -> tuple[bytes, int]:
        """The end of the file from the start of its last complete line (or from the file's
        start when it has no line before that one), and where that end begins. Linear in
        what it reads: chunks are joined once."""
        chunks: list[bytes] = []
        start = size
        last = -1  # where the file's last line end is, once found
        while start > 0:
            step = min(start, _READ_STEP)
            start -= step
            chunk = self._pread(step, start)
            chunks.append(chunk)
            found = chunk.rfind(b"\n")
            if last < 0:
                if found < 0:
                    self._check_torn(size - start)
                    continue
                last = start + found
                self._check_torn(size - last - 1)
                found = chunk.rfind(b"\n", 0, found)
            if found >= 0:
                start += found + 1
                chunks[-1] = chunk[found + 1:]
                break
            if last - start > 2 * self._max:
                raise ValueError(
                    f"{self._path}: its last line is longer than {2 * self._max} bytes: "
                    "that is not a record of this log (open it with a larger max_record "
                    "if its records are that long)")
        chunks.reverse()
        return b"".join(chunks), start

    def _check_torn(self, length: int) -> None:
        if length > self._max:
            raise ValueError(
                f"{self._path} ends in more than {self._max} bytes without a line end: that "
                "is not a torn record of this log (open it with a larger max_record if its "
                "records are that long)")

    def _pread(self, size: int, offset: int) -> bytes:
        chunk = os.pread(self._fd, size, offset)
        while len(chunk) < size:
            more = os.pread(self._fd, size - len(chunk), offset + len(chunk))
            if not more:
                raise OSError(f"{self._path} shrank while its end was being read")
            chunk += more
        return chunk

    def _chain_end(self, line: bytes) -> tuple[int, str]:
        try:
            record = json.loads(line)
            seq, digest = record["seq"], record["digest"]
            if type(seq) is not int or seq < 1 or type(digest) is not str \
                    or not _DIGEST_RE.fullmatch(digest):
                raise ValueError("its seq or digest is missing or malformed")
        except RecursionError:
            return self._not_a_record(ValueError("nested too deeply"))
        except (ValueError, KeyError, TypeError) as error:
            return self._not_a_record(error)
        return seq, digest

    def _not_a_record(self, error: Exception) -> NoReturn:
        raise ValueError(
            f"{self._path}: its last line is not an audit record ({error}), so no record "
            f"can be chained to it; check the file with `python -m ruvo_gate verify "
            f"{self._path}`") from error

    def _recover(self, torn: bytes) -> None:
        if not _RECORD_START.startswith(torn[:len(_RECORD_START)]):
            raise ValueError(
                f"{self._path} ends in {len(torn)} bytes that cannot be the start of a record "
                f"(records start with {_RECORD_START.decode()}): is it an audit log? It was "
                "left as it is")
        line = self._render_own({
            "kind": _jcs.KIND_RECOVERED, "length": len(torn),
            "sha256": hashlib.sha256(torn).hexdigest(),
            "base64": base64.b64encode(torn).decode("ascii")}, self._seq + 1, self._prev)
        # The record is written over the torn bytes, not after cutting them: a crash in
        # between must not lose them. It is always longer than they are, and the room for
        # it is taken first, so that a full disk leaves the torn bytes as they were.
        fd = os.open(self._path, os.O_WRONLY | os.O_CLOEXEC)
        try:
            try:
                os.posix_fallocate(fd, self._end, len(line))
            except OSError as error:
                raise OSError(error.errno, f"{self._path}: no room to keep its torn last line "
                              f"of {len(torn)} bytes in a recovered record ({error.strerror}); "
                              "the file was left as it is") from error
            written = 0
            while written < len(line):
                written += os.pwrite(fd, line[written:], self._end + written)
            os.ftruncate(fd, self._end + len(line))
            os.fsync(fd)
        finally:
            os.close(fd)
        self._end += len(line)
        self._seq, self._prev, self._last = self._seq + 1, line[_DIGEST_AT].decode(), line
        logger.warning("%s: a torn last line of %d bytes was kept in recovered record %d",
                       self._path, len(torn), self._seq)

    # Group commit: outside the chain's lock, so that other appends write their lines
    # while one thread's fsync is under way; the next fsync then covers all of them. One
    # thread at a time syncs for all; the others wait until a sync covers their line.

    def _sync_to(self, written: int) -> None:
        flow = self._flow
        with flow:
            while self._synced < written:
                if self._lost >= written:
                    raise OSError(f"{self._path}: an fsync failed, so this record may not be "
                                  "on disk; another fsync would not tell")
                if not self._syncing:
                    break
                flow.wait()
            else:
                return  # an fsync that began after our write covered it
            if self._fd < 0:
                raise ValueError(f"the audit log {self._path!r} was closed before its record "
                                 "was on disk")
            self._syncing = True
            # When the last fsync covered several lines, the threads it released are likely
            # on their way back with more: give them half an fsync's time, as a database's
            # commit delay does; then wait for the lines of the appends under way.
            if self._gathered > 1:
                self._lines_in.wait(min(self._fsync_seconds / 2, _GATHER_SECONDS))
            self._lines_in.wait_for(self._all_written, timeout=_GATHER_SECONDS)
            upto = self._written  # every line counted here is wholly written
        began = time.monotonic()
        try:
            os.fsync(self._fd)
        except OSError:
            with flow:
                # The kernel may forget a failed write-back once it reported it: the lines
                # it covered stay in doubt, whatever a later fsync says.
                self._lost = upto
                self._syncing = False
                flow.notify_all()
            raise
        with flow:
            self._fsync_seconds = time.monotonic() - began
            self._gathered, self._synced = upto - self._synced, upto
            self._syncing = False
            flow.notify_all()

    def _all_written(self) -> bool:
        return not self._unwritten

    def _not_syncing(self) -> bool:
        return not self._syncing
