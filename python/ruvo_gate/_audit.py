"""The audit trail: hash-chained records, kept in a file or a database, and their verifier."""

from __future__ import annotations

import hashlib
import hmac
import json
import os
import re
import time
import warnings
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Literal, NoReturn

import rfc8785

from . import _jcs
from ._store import (DEFAULT_CHAIN, ZERO_DIGEST, Render, Store, database_store, file_path,
                     redacted)
from ._store_file import MAX_RECORD, FileStore, open_for_reading

__all__ = ["AuditLog", "LogReport", "verify_log", "ZERO_DIGEST", "FORMAT_VERSION", "MAX_RECORD"]

FORMAT_VERSION = 1
_SET_BY_THE_LOG_IN_ORDER = ("seq", "time", "prev", "v", "digest")
_SET_BY_THE_LOG = frozenset(_SET_BY_THE_LOG_IN_ORDER)
_DIGEST_RE = re.compile(r"[0-9a-f]{64}")
_RECOVERED = _jcs.KIND_RECOVERED
# The writer's own line: the canonical record, its closing brace replaced by the digest.
_DIGEST_MEMBER = b',"digest":"'
_NOT_COPIED = ("an AuditLog owns an open file or connection and is not copied or pickled: "
               "share the one log (threads may), or open another AuditLog on the same target")


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


class _Renderer:
    """Completes records and renders their lines: the one place where `seq`, `time`,
    `prev`, `v` and `digest` are set, whatever store keeps the lines. Threads may share
    it: its caches tolerate races."""

    __slots__ = ("_key", "_clock", "_numbers")

    def __init__(self, key: bytes | None) -> None:
        self._key = key
        self._clock = (-1, "")  # a second and its text, replaced whole
        self._numbers: dict[object, str] = {}  # number texts

    def render(self, entry: dict[str, object], seq: int, prev: str) -> bytes:
        """Completes the entry as record `seq` chained to `prev`; its line. A store may
        call it again for another place in the chain (a database writer that lost its
        place to another)."""
        entry.pop("digest", None)
        entry["seq"] = seq
        entry["time"] = self._now()
        entry["prev"] = prev
        entry["v"] = FORMAT_VERSION
        body = _jcs.canonical(entry, self._numbers)
        key = self._key
        digest = hmac.digest(key, body, "sha256").hex() if key is not None \
            else hashlib.sha256(body).hexdigest()
        entry["digest"] = digest
        return body[:-1] + _DIGEST_MEMBER + digest.encode() + b'"}\n'

    def _now(self) -> str:
        second, nanos = divmod(time.time_ns(), 1_000_000_000)
        clock = self._clock
        if second != clock[0]:
            clock = self._clock = (second, time.strftime("%Y-%m-%dT%H:%M:%S",
                                                         time.gmtime(second)))
        return f"{clock[1]}.{nanos:09d}Z"


class AuditLog:
    """An append-only chain of audit records, each chained to the one before it, kept in a
    file of JSON lines or in a database.

    Every record gets `seq` (1, 2, ... with no gap), `time` (UTC, RFC 3339 with
    nanoseconds), `v` (the format version, 1), `prev` (the previous record's digest, 64
    zeros for the first) and `digest`: SHA-256, or HMAC-SHA256 with `key`, of the record
    without `digest` in canonical JSON (RFC 8785), as 64 lowercase hexadecimal digits.
    Every store keeps the same lines, so a chain verifies the same wherever it is kept.

    The target chooses the store. A path is a file of JSON lines holding one chain:
    processes may append to it, each through a log of its own, and a crash can leave a
    torn last line, which opening the log (or the next append) cuts off and keeps in a
    `"recovered"` record, so nothing is dropped silently. A new file is readable and
    writable by its owner only. `sqlite:///relative/path` or `sqlite:////absolute/path`
    is an SQLite database, `postgresql://...` a PostgreSQL one; a database holds named
    chains, each with its own `seq` and `prev`.

    With `sync="always"` each record is durable (on disk, or committed) before `append`
    returns; appends in flight together share one `fsync` (or commit). With `"never"` the
    operating system (or the database) writes it when it chooses. Threads may share one
    log. A child process forked while the log is open may append through it (it then
    opens the file again for itself) or close it. A log is not copied or pickled: open
    another `AuditLog` on the same target instead.

    Args:
        target: a file path, or a database URL as above.
        key: the HMAC key, if any.
        chain: the chain a database target appends to; a file holds only "default".
        sync: "always" or "never", as above.
        max_record: the longest line, in bytes, this log writes; opening a file refuses a
            torn last line longer than that (a file with such an end is not this log's).

    Raises:
        OSError: the file cannot be opened, read or written, or a torn last line
            cannot be kept for lack of space (the file is then left as it was).
        ValueError: an argument is out of its range (`sync`, an empty `key`, a chain
            other than "default" for a file, a malformed target), the path is not a
            regular file, or the file's end is not an audit record (its last complete
            line is not one, or it ends in bytes that cannot start one, or in a line longer
            than `max_record`); nothing is appended to such a file.
    """

    def __init__(self, target: str | os.PathLike[str], *, key: bytes | None = None,
                 chain: str = DEFAULT_CHAIN, sync: Literal["always", "never"] = "always",
                 max_record: int = MAX_RECORD) -> None:
        self._store: Store | None = None
        self._file: FileStore | None = None  # the store again, when it is a file
        if sync not in ("always", "never"):
            raise ValueError(f'sync must be "always" or "never", not {sync!r}')
        if type(max_record) is not int or max_record < 1024:
            raise ValueError(f"max_record must be an int of at least 1024 bytes, not "
                             f"{max_record!r}")
        if type(chain) is not str or not chain:
            raise ValueError(f"chain must be a name (a non-empty str), not {chain!r}")
        self._render = _Renderer(_check_key(key)).render
        self._target = os.fspath(target)
        self._chain = chain
        self._sync = sync == "always"
        self._max = max_record
        path = file_path(target)
        if path is None:
            self._store = database_store(self._target, chain=chain, sync=sync == "always")
        else:
            _file_chain(chain)
            self._store = self._file = FileStore(
                path, sync=sync == "always", max_record=max_record, render_own=self._render)

    @property
    def target(self) -> str:
        """The file or database URL this log appends to, as given."""
        return self._target

    @property
    def chain(self) -> str:
        """The name of the chain this log appends to ("default" for a file)."""
        return self._chain

    def head(self) -> tuple[int, str]:
        """The chain's end now: how many records it holds and the last one's digest (64
        zeros for none), other writers' records included. Publish it elsewhere from time
        to time: `verify_log(target, expect=head)` then proves that the chain still holds
        that record, so that a cut tail or a replaced chain shows.

        Raises:
            ValueError: the log is closed, or its file no longer holds the last record
                this log wrote or read.
            OSError: the file or the database cannot be read.
        """
        return self._open_store().head()

    @property
    def sync(self) -> Literal["always", "never"]:
        """"always" when `append` waits for the disk or the database's commit (async
        callers then append from a worker thread, off the event loop), else "never"."""
        return "always" if self._sync else "never"

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
                and the next append or opening of the file recovers it. A database store
                raises its driver's errors when the server cannot be reached.
        """
        entry = dict(record)
        # The copy is what gets written, so the copy is what is checked: a mapping may
        # show other keys to a check than to the copying.
        if not _SET_BY_THE_LOG.isdisjoint(entry):
            name = next(name for name in _SET_BY_THE_LOG_IN_ORDER if name in entry)
            raise ValueError(f"the log sets {name!r} itself: leave it out of the record")
        file = self._file
        if file is not None:
            file.append_entry(entry)
            return entry
        self._open_store().append(self._renderer_of(entry))
        return entry

    def close(self) -> None:
        """Closes the file or connection; further appends raise `ValueError`. Closing twice
        is harmless."""
        store, self._store, self._file = self._store, None, None
        if store is not None:
            store.close()

    def __enter__(self) -> AuditLog:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        chain = "" if self._chain == DEFAULT_CHAIN else f" chain {self._chain!r}"
        state = "open" if self._store is not None else "closed"
        return f"<AuditLog {redacted(self._target)!r}{chain} {state}>"

    def __del__(self) -> None:
        if getattr(self, "_store", None) is not None:
            warnings.warn(f"unclosed {self!r}", ResourceWarning, source=self, stacklevel=2)
            self.close()

    # A copy would share the file descriptor, and closing either would leave the other
    # writing into whatever file next gets its number.
    def __copy__(self) -> NoReturn:
        raise TypeError(_NOT_COPIED)

    def __deepcopy__(self, memo: object) -> NoReturn:
        raise TypeError(_NOT_COPIED)

    def __reduce__(self) -> NoReturn:
        raise TypeError(_NOT_COPIED)

    def _renderer_of(self, entry: dict[str, object]) -> Render:
        render, limit = self._render, self._max

        def line(seq: int, prev: str) -> bytes:
            text = render(entry, seq, prev)
            if len(text) > limit:
                raise ValueError(f"the record is {len(text)} bytes long, more than this "
                                 f"log's max_record of {limit}")
            return text
        return line

    def _open_store(self) -> Store:
        store = self._store
        if store is None:
            raise ValueError(f"the audit log {redacted(self._target)!r} is closed")
        return store


def _file_chain(chain: str | None) -> None:
    if chain not in (None, DEFAULT_CHAIN):
        raise ValueError(f"a file holds one chain, {DEFAULT_CHAIN!r}, not {chain!r}: named "
                         "chains live in a database (sqlite:///... or postgresql://...)")


@dataclass(frozen=True, slots=True)
class LogReport:
    """What `verify_log` found.

    Attributes:
        ok: True when every line is an intact record of one unbroken chain (holding the
            anchored record, when one was expected).
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
            if not self.records:
                return "empty: 0 records"
            return f"intact: {self.records} records{recovered}, head {self.head}"
        return (f"broken at line {self.line}: {self.error} ({self.records} records intact "
                f"before it{recovered}, head {self.head})")


def verify_log(target: str | os.PathLike[str], *, key: bytes | None = None,
               chain: str | None = None,
               expect: tuple[int, str] | None = None) -> LogReport:
    """Checks a chain, line by line: JSON, `seq` without gap, `prev`, digest.

    Args:
        target: the audit file, or a database URL as `AuditLog` takes it.
        key: the key it was written with, if any (the digests are then HMAC-SHA256).
        chain: the chain of a database to check; None is "default", the only chain of a
            file.
        expect: an anchor, `(records, digest)` as `AuditLog.head()` gave it earlier: the
            record at that position must have that digest. A chain that grew past it
            passes; a cut tail, a replaced chain, an empty or wrong target fail.

    Returns:
        A `LogReport`: `ok`; `records`, the number of intact records (before the first bad
        line, if any); `head`, the digest of the last intact record (64 zeros for none),
        to anchor elsewhere; `recovered`, the lines of recovered records; and when not
        ok, `line` (the first bad line, counted from 1) and `error` (why: bad JSON, a gap
        in `seq`, a broken `prev`, a digest that does not recompute, a torn tail, a chain
        that does not hold the anchored record). `str()` of it is the line `python -m
        ruvo_gate verify` prints.

    Raises:
        OSError: the file or database cannot be read (a missing file or SQLite
            database among them: a wrong path never reads as an empty log).
        ValueError: the path is not a regular file (a pipe or a device is never read,
            so that the check cannot hang or fill the memory), a chain other than
            "default" is asked of a file, or `expect` is malformed.
    """
    key = _check_key(key)
    anchor = _check_anchor(expect)
    path = file_path(target)
    if path is None:
        store = database_store(os.fspath(target), sync=False, existing=True,
                               chain=DEFAULT_CHAIN if chain is None else chain)
        try:
            return _verify(store.lines(), key, anchor)
        finally:
            store.close()
    _file_chain(chain)
    with open(open_for_reading(path), "rb") as lines:
        return _verify(lines, key, anchor)


def _check_anchor(expect: tuple[int, str] | None) -> tuple[int, str] | None:
    if expect is None:
        return None
    records, digest = expect if isinstance(expect, tuple) and len(expect) == 2 else (-1, "")
    if type(records) is not int or records < 0 or type(digest) is not str \
            or not _DIGEST_RE.fullmatch(digest) or (records == 0 and digest != ZERO_DIGEST):
        raise ValueError(f"expect must be (records, digest) as AuditLog.head() gives it, not "
                         f"{expect!r}")
    return records, digest


def _verify(lines: Iterable[bytes], key: bytes | None,
            anchor: tuple[int, str] | None) -> LogReport:
    numbers: dict[object, str] = {}
    prev, count = ZERO_DIGEST, 0
    recovered: list[int] = []
    at, anchored = anchor if anchor is not None else (-1, "")
    for count, line in enumerate(lines, 1):
        if not line.endswith(b"\n"):
            return LogReport(
                False, count - 1, prev, count,
                f"torn tail: the last {len(line)} bytes end without a line end (a crash "
                "during a write?); opening the log with AuditLog keeps them in a "
                "recovered record", tuple(recovered))
        digest, error, recovered_here = _check_line(line, count, prev, key, numbers)
        if error:
            return LogReport(False, count - 1, prev, count, error, tuple(recovered))
        if count == at and digest != anchored:
            return LogReport(
                False, count - 1, prev, count,
                f"not the anchored record: its digest is {digest}, the anchor says "
                f"{anchored}; the chain was replaced or rewritten up to it",
                tuple(recovered))
        if recovered_here:
            recovered.append(count)
        prev = digest
    if count < at:
        return LogReport(
            False, count, prev, count + 1,
            f"the chain ends after {count} records, before the anchored record {at}: "
            "records were cut from its end, or this is another chain", tuple(recovered))
    return LogReport(True, count, prev, recovered=tuple(recovered))


def _check_line(line: bytes, seq: int, prev: str, key: bytes | None,
                numbers: dict[object, str]) -> tuple[str, str, bool]:
    """The line's digest, "" and whether it is a recovered record, when it is the intact
    record `seq` chained to `prev`; otherwise "", why it is not and False."""
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


def _check_any_form(line: bytes, seq: int, prev: str, key: bytes | None) -> tuple[str, str, bool]:
    """The same checks for a line in any JSON form, through the canonical JSON library."""
    try:
        record = json.loads(line.decode(), object_pairs_hook=_unique_keys,
                            parse_int=_jcs.read_integer, parse_constant=_not_json)
    except UnicodeDecodeError as error:
        return "", f"bad JSON: not UTF-8 ({error.reason} at byte {error.start})", False
    except ValueError as error:
        return "", f"bad JSON: {error}", False
    except RecursionError:
        return "", "bad JSON: nested too deeply", False
    if type(record) is not dict:
        return "", "bad JSON: a record is a JSON object", False
    digest = record.pop("digest", None)
    if type(digest) is not str:
        return "", _NO_DIGEST, False
    try:
        body = rfc8785.dumps(record)
    except (ValueError, rfc8785.CanonicalizationError) as error:
        # A lone surrogate in a key or a string has no UTF-8 form.
        return "", f"no canonical form: {error}", False
    except RecursionError:
        return "", "no canonical form: nested too deeply", False
    return _check_record(record, digest, body, seq, prev, key)


_NO_DIGEST = "no digest: every record carries one, 64 lowercase hexadecimal digits"


def _check_record(record: dict[str, object], digest: str, body: bytes, seq: int, prev: str,
                  key: bytes | None) -> tuple[str, str, bool]:
    if not _DIGEST_RE.fullmatch(digest):
        return "", _NO_DIGEST, False
    if _json_integer(record.get("v")) != FORMAT_VERSION:
        return "", (f"unknown format version {record.get('v')!r} (this library reads "
                    f"version {FORMAT_VERSION})"), False
    found = _json_integer(record.get("seq"))
    if found != seq:
        return "", f"a gap in seq: expected {seq}, found {record.get('seq')!r}", False
    if record.get("prev") != prev:
        if seq == 1:
            return "", "broken prev: the first record's prev must be 64 zeros", False
        return "", f"broken prev: it is not the digest of line {seq - 1}", False
    if hashlib.sha256(body).hexdigest() == digest if key is None \
            else hmac.compare_digest(hmac.digest(key, body, "sha256").hex(), digest):
        return digest, "", record.get("kind") == _RECOVERED
    return "", _NOT_RECOMPUTED, False


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
