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
import threading
import time
import warnings
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Literal

import rfc8785

from . import _jcs

__all__ = ["AuditLog", "LogReport", "verify_log", "ZERO_DIGEST", "FORMAT_VERSION"]

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
    bytes in a `"recovered"` record, so nothing is dropped silently.

    Raises:
        OSError: the file cannot be opened, read or written.
        ValueError: `sync` is not "always" or "never", `key` is empty, or the file's last
            complete line is not an audit record (nothing is appended after it then).
    """

    def __init__(self, path: str | os.PathLike[str], *, key: bytes | None = None,
                 sync: Literal["always", "never"] = "always") -> None:
        self._fd = -1
        if sync not in ("always", "never"):
            raise ValueError(f'sync must be "always" or "never", not {sync!r}')
        self._path = os.fspath(path)
        self._key = _check_key(key)
        self._sync = sync == "always"
        self._lock = threading.Lock()
        self._seq = 0
        self._prev = ZERO_DIGEST
        self._end = -1  # the file's size after our last write; anything else means catch up
        self._second = -1
        self._second_text = ""
        self._numbers: dict[object, str] = {}  # number texts, for rendering records
        self._open()

    @property
    def path(self) -> str:
        """The file this log appends to."""
        return self._path

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
            ValueError: the record sets a field the log sets itself, or holds a value JSON
                cannot carry exactly; or the log is closed.
            OSError: the write or the sync failed; the record may be incomplete on disk,
                and the next append or opening of the file recovers it.
        """
        if not _SET_BY_THE_LOG.isdisjoint(record):
            name = next(name for name in _SET_BY_THE_LOG_IN_ORDER if name in record)
            raise ValueError(f"the log sets {name!r} itself: leave it out of the record")
        entry = dict(record)
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
                    if size < self._end:
                        # Only a hand from outside removes bytes: say so, and go on from the
                        # record that now ends the file (a rotated log starts a new chain).
                        logger.warning("%s shrank from %d to %d bytes since this log last "
                                       "wrote to it", self._path, self._end, size)
                    self._catch_up(size)
                line = self._line(entry)
                self._write(line)
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

    # The file, under the lock.

    def _open(self) -> None:
        fd = os.open(self._path, os.O_RDWR | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
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

    def _catch_up(self, size: int) -> None:
        """Reads the chain's end from the file, which another process may have extended,
        and recovers a torn last line."""
        tail, start = self._read_tail(size)
        cut = tail.rfind(b"\n") + 1
        if cut:
            line_start = tail.rfind(b"\n", 0, cut - 1) + 1
            self._seq, self._prev = self._chain_end(tail[line_start:cut])
        else:
            self._seq, self._prev = 0, ZERO_DIGEST
        self._end = start + cut
        if cut < len(tail):
            self._recover(tail[cut:])

    def _read_tail(self, size: int) -> tuple[bytes, int]:
        """The end of the file, from the start of its last complete line (or from its
        start), and where that end begins."""
        start, tail = size, b""
        while start > 0:
            step = min(start, _READ_STEP)
            start -= step
            chunk = b""
            while len(chunk) < step:
                more = os.pread(self._fd, step - len(chunk), start + len(chunk))
                if not more:
                    raise OSError(f"{self._path} shrank while its end was being read")
                chunk += more
            tail = chunk + tail
            last = tail.rfind(b"\n")
            if last > 0 and tail.rfind(b"\n", 0, last) >= 0:
                break
        return tail, start

    def _chain_end(self, line: bytes) -> tuple[int, str]:
        try:
            record = json.loads(line)
            seq, digest = record["seq"], record["digest"]
            if type(seq) is not int or seq < 1 or type(digest) is not str \
                    or not _DIGEST_RE.fullmatch(digest):
                raise ValueError("its seq or digest is missing or malformed")
        except (ValueError, KeyError, TypeError) as error:
            raise ValueError(
                f"{self._path}: its last line is not an audit record ({error}), so no record "
                f"can be chained to it; check the file with `python -m ruvo_gate verify "
                f"{self._path}`") from error
        return seq, digest

    def _recover(self, torn: bytes) -> None:
        line = self._line({
            "kind": _jcs.KIND_RECOVERED, "length": len(torn),
            "sha256": hashlib.sha256(torn).hexdigest(),
            "base64": base64.b64encode(torn).decode("ascii")})
        # The record is written over the torn bytes, not after cutting them: a crash in
        # between must not lose them. It is always longer than they are.
        fd = os.open(self._path, os.O_WRONLY | os.O_CLOEXEC)
        try:
            written = 0
            while written < len(line):
                written += os.pwrite(fd, line[written:], self._end + written)
            os.ftruncate(fd, self._end + len(line))
            os.fsync(fd)
        finally:
            os.close(fd)
        self._end += len(line)
        logger.warning("%s: a torn last line of %d bytes was kept in recovered record %d",
                       self._path, len(torn), self._seq)

    def _line(self, entry: dict[str, object]) -> bytes:
        """Completes the entry as the next record of the chain and renders its line."""
        seq = self._seq + 1
        entry["seq"] = seq
        entry["time"] = self._now()
        entry["prev"] = self._prev
        entry["v"] = FORMAT_VERSION
        body = _jcs.canonical(entry, self._numbers)
        key = self._key
        digest = hmac.digest(key, body, "sha256").hex() if key is not None \
            else hashlib.sha256(body).hexdigest()
        entry["digest"] = digest
        self._seq, self._prev = seq, digest
        return body[:-1] + _DIGEST_MEMBER + digest.encode() + b'"}\n'

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
    """

    ok: bool
    records: int
    head: str
    line: int | None = None
    error: str | None = None

    def __str__(self) -> str:
        if self.ok:
            return f"intact: {self.records} records, head {self.head}"
        return (f"broken at line {self.line}: {self.error} ({self.records} records intact "
                f"before it, head {self.head})")


def verify_log(path: str | os.PathLike[str], *, key: bytes | None = None) -> LogReport:
    """Checks an audit file's chain, line by line: JSON, `seq` without gap, `prev`, digest.

    Args:
        path: the audit file.
        key: the key it was written with, if any (the digests are then HMAC-SHA256).

    Returns:
        A `LogReport`: `ok`; `records`, the number of intact records (before the first bad
        line, if any); `head`, the digest of the last intact record (64 zeros for none),
        to anchor elsewhere; and when not ok, `line` (the first bad line, counted from 1)
        and `error` (why: bad JSON, a gap in `seq`, a broken `prev`, a digest that does
        not recompute, a torn tail). `str()` of it is the line `python -m ruvo_gate
        verify` prints.

    Raises:
        OSError: the file cannot be read.
    """
    key = _check_key(key)
    numbers: dict[object, str] = {}
    prev, count = ZERO_DIGEST, 0
    with open(path, "rb") as lines:
        for count, line in enumerate(lines, 1):
            if not line.endswith(b"\n"):
                return LogReport(
                    False, count - 1, prev, count,
                    f"torn tail: the last {len(line)} bytes end without a line end (a crash "
                    "during a write?); opening the log with AuditLog keeps them in a "
                    "recovered record")
            digest, error = _check_line(line, count, prev, key, numbers)
            if error:
                return LogReport(False, count - 1, prev, count, error)
            prev = digest
    return LogReport(True, count, prev)


def _check_line(line: bytes, seq: int, prev: str, key: bytes | None,
                numbers: dict[object, str]) -> tuple[str, str]:
    """The line's digest and "" when it is the intact record `seq` chained to `prev`;
    otherwise "" and why it is not."""
    # Fast path: a line in the writer's own form, the canonical record with the digest
    # put before its closing brace. Rendering the parsed record again and finding the line
    # proves the form, and with it that no key was repeated.
    try:
        record = json.loads(line)
    except ValueError:
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
    if type(record) is not dict:
        return "", "bad JSON: a record is a JSON object"
    digest = record.pop("digest", None)
    if type(digest) is not str:
        return "", _NO_DIGEST
    try:
        body = rfc8785.dumps(record)
    except rfc8785.CanonicalizationError as error:
        return "", f"no canonical form: {error}"
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
