"""The audit trail: hash-chained JSON lines, shared safely by threads and processes."""

from __future__ import annotations

import base64
import fcntl
import hashlib
import hmac
import json
import logging
import os
import re
import stat
import threading
import time
import warnings
import weakref
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Literal, NoReturn

import rfc8785

from . import _jcs

__all__ = ["AuditLog", "LogReport", "verify_log", "ZERO_DIGEST", "FORMAT_VERSION", "MAX_RECORD"]

logger = logging.getLogger("ruvo_gate")

ZERO_DIGEST = "0" * 64  # the `prev` of the first record
FORMAT_VERSION = 1
_SET_BY_THE_LOG_IN_ORDER = ("seq", "time", "prev", "v", "digest")
_SET_BY_THE_LOG = frozenset(_SET_BY_THE_LOG_IN_ORDER)
_DIGEST_RE = re.compile(r"[0-9a-f]{64}")
# The writer's own line: the canonical record, its closing brace replaced by the digest.
_DIGEST_MEMBER = b',"digest":"'
_SUFFIX = len(_DIGEST_MEMBER) + 64 + len(b'"}\n')
_READ_STEP = 1 << 16
MAX_RECORD = 16 << 20  # bytes in one line, unless the log is opened with another cap
# Every line the writer renders starts so: a torn tail that does not is no torn record.
_RECORD_START = b'{"'
_RECOVERED_MEMBER = b'"kind":"recovered"'

# The logs of this process, for the child of a fork: a thread appending at the fork leaves
# the log's lock held in the child, where nobody will release it.
_LOGS: weakref.WeakSet[AuditLog] = weakref.WeakSet()


def _after_fork_in_child() -> None:
    for log in list(_LOGS):
        log._lock = threading.Lock()


os.register_at_fork(after_in_child=_after_fork_in_child)


def _check_key(key: bytes | None) -> bytes | None:
    if key is None:
        return None
    if isinstance(key, str):
        raise TypeError("key must be bytes, not str: pass key.encode() or the bytes of a key "
                        "file read in binary mode")
    if not isinstance(key, (bytes, bytearray, memoryview)):
        raise TypeError(f"key must be bytes, not {type(key).__qualname__}")
    key = bytes(key)
    if not key:
        raise ValueError("key must not be empty: an empty key authenticates nothing")
    return key


_NOT_COPIED = ("an AuditLog owns its open file and is not copied or pickled: share the one log "
               "(threads may), or open another AuditLog on the same path")


class AuditLog:
    """An append-only audit file of JSON lines, each record chained to the one before it.

    Every record gets `seq` (1, 2, ... with no gap), `time` (UTC, RFC 3339 with
    nanoseconds), `v` (the format version, 1), `prev` (the previous record's digest, 64
    zeros for the first) and `digest`: SHA-256, or HMAC-SHA256 with `key`, of the record
    without `digest` in canonical JSON (RFC 8785), as 64 lowercase hexadecimal digits.

    With `sync="always"` each record is on disk before `append` returns; with `"never"`
    the operating system writes it when it chooses. Threads may share one log, and
    processes may append to the same file, each through a log of its own. A crash can
    leave a torn last line: opening the log (or the next append) cuts it off and keeps its
    bytes in a `"recovered"` record, so nothing is dropped silently. A new file is
    created readable and writable by its owner only.

    A child process forked while the log is open may append through it (it then opens the
    file again for itself) or close it; it must not expect its records to come in any
    order with the parent's. A log is not copied or pickled: open another `AuditLog` on
    the same path instead.

    Args:
        path: the file; created if missing. It must be a regular file.
        key: the HMAC key, if any.
        sync: "always" (each record flushed to disk before `append` returns) or "never".
        max_record: the longest line, in bytes, this log writes; opening refuses a torn
            last line longer than that (a file with such an end is not this log's).

    Raises:
        OSError: the file cannot be opened, read or written, or a torn last line
            cannot be kept for lack of space (the file is then left as it was).
        ValueError: `sync` is not "always" or "never", `key` is empty, the path is not
            a regular file, or the file's end is not an audit record (its last complete
            line is not one, or it ends in bytes that cannot start one, or in a line longer
            than `max_record`); nothing is appended to such a file.
    """

    def __init__(self, path: str | os.PathLike[str], *, key: bytes | None = None,
                 sync: Literal["always", "never"] = "always",
                 max_record: int = MAX_RECORD) -> None:
        self._fd = -1
        if sync not in ("always", "never"):
            raise ValueError(f'sync must be "always" or "never", not {sync!r}')
        if type(max_record) is not int or max_record < 1024:
            raise ValueError(f"max_record must be an int of at least 1024 bytes, not "
                             f"{max_record!r}")
        self._path = os.fspath(path)
        self._key = _check_key(key)
        self._sync = sync == "always"
        self._max = max_record
        self._lock = threading.Lock()
        self._seq = 0
        self._prev = ZERO_DIGEST
        self._end = -1  # the file's size after our last write; anything else means catch up
        self._last = b""  # the line that ends at _end: the last record we wrote or read
        self._second = -1
        self._second_text = ""
        self._numbers: dict[object, str] = {}  # number texts, for rendering records
        self._open()
        _LOGS.add(self)

    @property
    def path(self) -> str:
        """The file this log appends to."""
        return self._path

    @property
    def sync(self) -> Literal["always", "never"]:
        """"always" when `append` waits for the disk (async callers then append from a
        worker thread, off the event loop), else "never"."""
        return "always" if self._sync else "never"

    @property
    def head(self) -> str:
        """The digest of the last record this log wrote or read (64 zeros for none)."""
        return self._prev

    def append(self, record: Mapping[str, object]) -> dict[str, object]:
        """Appends one record and returns it as written, with `seq`, `time`, `prev`, `v` and
        `digest` added. The caller's mapping is not changed.

        Values must be JSON: strings, numbers, booleans, None, lists and string-keyed
        mappings; a float that is not finite is written as null.

        Raises:
            ValueError: the record sets a field the log sets itself, holds a value JSON
                cannot carry exactly, is nested too deeply or renders longer than
                `max_record`; or the log is closed; or the file no longer holds the last
                record this log wrote (someone cut it): nothing is chained to a cut chain.
            OSError: the write or the sync failed; the record may be incomplete on disk,
                and the next append or opening of the file recovers it.
        """
        entry = dict(record)
        # The copy is what gets written, so the copy is what is checked: a mapping may
        # show other keys to a check than to the copying.
        if not _SET_BY_THE_LOG.isdisjoint(entry):
            name = next(name for name in _SET_BY_THE_LOG_IN_ORDER if name in entry)
            raise ValueError(f"the log sets {name!r} itself: leave it out of the record")
        with self._lock:
            if self._fd < 0:
                raise ValueError(f"the audit log {self._path!r} is closed")
            if self._pid != os.getpid():
                self._reopen()
            fd = self._fd
            fcntl.flock(fd, fcntl.LOCK_EX)
            try:
                size = os.lseek(fd, 0, os.SEEK_END)
                if size != self._end:
                    self._check_our_end(size)
                    self._catch_up(size)
                line, digest = self._render(entry, self._seq + 1, self._prev)
                if len(line) > self._max:
                    raise ValueError(f"the record is {len(line)} bytes long, more than this "
                                     f"log's max_record of {self._max}")
                self._write(line)
                self._seq, self._prev, self._last = self._seq + 1, digest, line
            finally:
                fcntl.flock(fd, fcntl.LOCK_UN)
        return entry

    def close(self) -> None:
        """Closes the file; further appends raise `ValueError`. Closing twice is harmless."""
        with self._lock:
            if self._fd >= 0:
                fd, self._fd = self._fd, -1
                os.close(fd)

    def __enter__(self) -> AuditLog:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._fd < 0 else f"head {self._prev[:12]}..."
        return f"<AuditLog {self._path!r} {state}>"

    def __del__(self) -> None:
        if getattr(self, "_fd", -1) >= 0:
            warnings.warn(f"unclosed {self!r}", ResourceWarning, source=self, stacklevel=2)
            os.close(self._fd)
            self._fd = -1

    # A copy would share the file descriptor, and closing either would leave the other
    # writing into whatever file next gets its number.
    def __copy__(self) -> NoReturn:
        raise TypeError(_NOT_COPIED)

    def __deepcopy__(self, memo: object) -> NoReturn:
        raise TypeError(_NOT_COPIED)

    def __reduce__(self) -> NoReturn:
        raise TypeError(_NOT_COPIED)

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
        self._pid = os.getpid()

    def _reopen(self) -> None:
        # A forked child shares the parent's open file, and with it the parent's lock:
        # it needs one of its own.
        os.close(self._fd)
        self._fd = -1
        self._open()

    def _check_our_end(self, size: int) -> None:
        """Refuses to go on when the last record this log wrote or read is gone: only a
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
        start when it has no line before that one), and where that end begins."""
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
                    if size - start > self._max:
                        raise ValueError(
                            f"{self._path} ends in more than {self._max} bytes without a "
                            "line end: that is not a torn record of this log (open it with a "
                            "larger max_record if its records are that long)")
                    continue
                last = start + found
                if size - last - 1 > self._max:
                    raise ValueError(
                        f"{self._path} ends in more than {self._max} bytes without a "
                        "line end: that is not a torn record of this log (open it with a "
                        "larger max_record if its records are that long)")
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
        line, digest = self._render({
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
        self._seq, self._prev, self._last = self._seq + 1, digest, line
        logger.warning("%s: a torn last line of %d bytes was kept in recovered record %d",
                       self._path, len(torn), self._seq)

    def _render(self, entry: dict[str, object], seq: int, prev: str) -> tuple[bytes, str]:
        """Completes the entry as record `seq` chained to `prev`; its line and digest."""
        entry["seq"] = seq
        entry["time"] = self._now()
        entry["prev"] = prev
        entry["v"] = FORMAT_VERSION
        body = _jcs.canonical(entry, self._numbers)
        key = self._key
        digest = hmac.digest(key, body, "sha256").hex() if key is not None \
            else hashlib.sha256(body).hexdigest()
        entry["digest"] = digest
        return body[:-1] + _DIGEST_MEMBER + digest.encode() + b'"}\n', digest

    def _write(self, line: bytes) -> None:
        end = self._end
        self._end = -1  # until the whole line is in, the next append must look at the file
        written = os.write(self._fd, line)
        while written < len(line):
            written += os.write(self._fd, line[written:])
        self._end = end + len(line)
        if self._sync:
            os.fsync(self._fd)

    def _now(self) -> str:
        second, nanos = divmod(time.time_ns(), 1_000_000_000)
        if second != self._second:
            self._second = second
            self._second_text = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(second))
        return f"{self._second_text}.{nanos:09d}Z"


@dataclass(frozen=True, slots=True)
class LogReport:
    """What `verify_log` found.

    Attributes:
        ok: True when every line is an intact record of one unbroken chain.
        records: how many records are intact (before the first bad line, if any).
        head: the digest of the last intact record (64 zeros for none): anchor it
            elsewhere, and a later check proves the log was not rewritten up to it.
        line: the first bad line, counted from 1; None when ok.
        error: why that line is bad; None when ok.
        recovered: the lines, among the intact ones, of `"recovered"` records: torn
            bytes kept after a crash. Whoever opened the log next chained them, so in a
            keyed log they carry the key's digest although someone without the key may
            have written the bytes: look at them.
    """

    ok: bool
    records: int
    head: str
    line: int | None = None
    error: str | None = None
    recovered: tuple[int, ...] = ()

    def __str__(self) -> str:
        recovered = ""
        if self.recovered:
            many = len(self.recovered) > 1
            recovered = (f", {len(self.recovered)} recovered tail{'s' if many else ''} at "
                         f"line{'s' if many else ''} {', '.join(map(str, self.recovered))}")
        if self.ok:
            return f"intact: {self.records} records{recovered}, head {self.head}"
        return (f"broken at line {self.line}: {self.error} ({self.records} records intact "
                f"before it{recovered}, head {self.head})")


def verify_log(path: str | os.PathLike[str], *, key: bytes | None = None) -> LogReport:
    """Checks an audit file's chain, line by line: JSON, `seq` without gap, `prev`, digest.

    Args:
        path: the audit file.
        key: the key it was written with, if any (the digests are then HMAC-SHA256).

    Returns:
        A `LogReport`: `ok`; `records`, the number of intact records (before the first bad
        line, if any); `head`, the digest of the last intact record (64 zeros for none),
        to anchor elsewhere; `recovered`, the lines of recovered records; and when not
        ok, `line` (the first bad line, counted from 1) and `error` (why: bad JSON, a gap
        in `seq`, a broken `prev`, a digest that does not recompute, a torn tail).
        `str()` of it is the line `python -m ruvo_gate verify` prints.

    Raises:
        OSError: the file cannot be read.
        ValueError: the path is not a regular file (a pipe or a device is never read,
            so that the check cannot hang or fill the memory).
    """
    key = _check_key(key)
    numbers: dict[object, str] = {}
    prev, count = ZERO_DIGEST, 0
    recovered: list[int] = []
    # Opened without blocking: opening a pipe would wait for a writer.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    with open(fd, "rb") as lines:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ValueError(f"{os.fspath(path)!s} is not a regular file: an audit log is one")
        for count, line in enumerate(lines, 1):
            if not line.endswith(b"\n"):
                return LogReport(
                    False, count - 1, prev, count,
                    f"torn tail: the last {len(line)} bytes end without a line end (a crash "
                    "during a write?); opening the log with AuditLog keeps them in a "
                    "recovered record", tuple(recovered))
            digest, error = _check_line(line, count, prev, key, numbers)
            if error:
                return LogReport(False, count - 1, prev, count, error, tuple(recovered))
            if _RECOVERED_MEMBER in line and _kind(line) == _jcs.KIND_RECOVERED:
                recovered.append(count)
            prev = digest
    return LogReport(True, count, prev, recovered=tuple(recovered))


def _kind(line: bytes) -> object:
    # Only for a line already found intact, so it parses.
    record = json.loads(line)
    return record.get("kind") if type(record) is dict else None


def _check_line(line: bytes, seq: int, prev: str, key: bytes | None,
                numbers: dict[object, str]) -> tuple[str, str]:
    """The line's digest and "" when it is the intact record `seq` chained to `prev`;
    otherwise "" and why it is not."""
    # Fast path: a line in the writer's own form, the canonical record with the digest
    # put before its closing brace. Rendering the parsed record again and finding the line
    # proves the form, and with it that no key was repeated.
    try:
        record = json.loads(line)
    except (ValueError, RecursionError):
        record = None
    if type(record) is dict:
        digest = record.pop("digest", None)
        if type(digest) is str:
            try:
                body = _jcs.canonical(record, numbers)
            except ValueError:
                body = b""
            if body and line == b"".join((body[:-1], _DIGEST_MEMBER, digest.encode(),
                                          b'"}\n')):
                return _check_record(record, digest, body, seq, prev, key)
    return _check_any_form(line, seq, prev, key)


_NOT_RECOMPUTED = ("digest does not recompute: the record was changed after it was written, "
                   "or the key is not the one it was written with")


def _check_any_form(line: bytes, seq: int, prev: str, key: bytes | None) -> tuple[str, str]:
    """The same checks for a line in any JSON form, through the canonical JSON library."""
    try:
        record = json.loads(line.decode(), object_pairs_hook=_unique_keys,
                            parse_int=_jcs.read_integer, parse_constant=_not_json)
    except UnicodeDecodeError as error:
        return "", f"bad JSON: not UTF-8 ({error.reason} at byte {error.start})"
    except ValueError as error:
        return "", f"bad JSON: {error}"
    except RecursionError:
        return "", "bad JSON: nested too deeply"
    if type(record) is not dict:
        return "", "bad JSON: a record is a JSON object"
    digest = record.pop("digest", None)
    if type(digest) is not str:
        return "", _NO_DIGEST
    try:
        body = rfc8785.dumps(record)
    except (ValueError, rfc8785.CanonicalizationError) as error:
        # A lone surrogate in a key or a string has no UTF-8 form.
        return "", f"no canonical form: {error}"
    except RecursionError:
        return "", "no canonical form: nested too deeply"
    return _check_record(record, digest, body, seq, prev, key)


_NO_DIGEST = "no digest: every record carries one, 64 lowercase hexadecimal digits"


def _check_record(record: dict[str, object], digest: str, body: bytes, seq: int, prev: str,
                  key: bytes | None) -> tuple[str, str]:
    if not _DIGEST_RE.fullmatch(digest):
        return "", _NO_DIGEST
    if _json_integer(record.get("v")) != FORMAT_VERSION:
        return "", (f"unknown format version {record.get('v')!r} (this library reads "
                    f"version {FORMAT_VERSION})")
    found = _json_integer(record.get("seq"))
    if found != seq:
        return "", f"a gap in seq: expected {seq}, found {record.get('seq')!r}"
    if record.get("prev") != prev:
        if seq == 1:
            return "", "broken prev: the first record's prev must be 64 zeros"
        return "", f"broken prev: it is not the digest of line {seq - 1}"
    if key is None:
        if hashlib.sha256(body).hexdigest() == digest:
            return digest, ""
    elif hmac.compare_digest(hmac.digest(key, body, "sha256").hex(), digest):
        return digest, ""
    return "", _NOT_RECOMPUTED


def _json_integer(value: object) -> int | None:
    # JSON has numbers, not integers: 2, 2.0 and 2e0 are the same value.
    if type(value) is int:
        return value
    if type(value) is float and value.is_integer():
        return int(value)
    return None


def _unique_keys(pairs: list[tuple[str, object]]) -> dict[str, object]:
    record = dict(pairs)
    if len(record) != len(pairs):
        seen: set[str] = set()
        for name, _ in pairs:
            if name in seen:
                raise ValueError(f"the key {name!r} appears twice in one object")
            seen.add(name)
    return record


def _not_json(name: str) -> object:
    raise ValueError(f"{name} is not a JSON value")
