"""The SQLite audit store: named chains in one database file, for the writers of one machine."""

from __future__ import annotations

import fcntl
import logging
import os
import sqlite3
import threading
from collections.abc import Callable, Iterator

from ._store_rows import (SCHEMA_VERSION, ZERO_DIGEST, check_chain, digest_of,
                          renew_lock_after_fork, rendered)

__all__ = ["SQLiteStore"]

logger = logging.getLogger("ruvo_gate")

# Writers wait this long (seconds) for another writer's transaction; a chain's append
# holds the lock for a read, an insert and a commit, so a wait this long means a stuck peer.
_BUSY_TIMEOUT = 30.0

_SCHEMA = (
    """CREATE TABLE ruvo_audit_schema (version INTEGER NOT NULL)""",
    # `line` is the record exactly as hashed (canonical JSON text, digest member last), so
    # an export is byte for byte what was written; json_extract(line, '$.tool') queries it.
    """CREATE TABLE ruvo_audit_records (
        chain TEXT NOT NULL,
        seq INTEGER NOT NULL CHECK (seq >= 1),
        prev TEXT NOT NULL,
        line TEXT NOT NULL,
        PRIMARY KEY (chain, seq),
        UNIQUE (chain, prev)
    ) WITHOUT ROWID""",
    """CREATE TRIGGER ruvo_audit_no_update BEFORE UPDATE ON ruvo_audit_records
       BEGIN SELECT RAISE(ABORT, 'ruvo_audit_records is append-only: records are never updated'); END""",
    """CREATE TRIGGER ruvo_audit_no_delete BEFORE DELETE ON ruvo_audit_records
       BEGIN SELECT RAISE(ABORT, 'ruvo_audit_records is append-only: records are never deleted'); END""",
)
_HEAD = "SELECT seq, line FROM ruvo_audit_records WHERE chain = ? ORDER BY seq DESC LIMIT 1"
_INSERT = "INSERT INTO ruvo_audit_records (chain, seq, prev, line) VALUES (?, ?, ?, ?)"
_LINES = "SELECT line FROM ruvo_audit_records WHERE chain = ? ORDER BY seq"


class SQLiteStore:
    """One chain of an SQLite audit database.

    Appends run in `BEGIN IMMEDIATE` transactions, which SQLite serializes across every
    connection to the file, so any number of processes append to one chain without
    forking it; the database is in WAL mode, and with `sync` each commit is on disk
    (`synchronous=FULL`) before `append` returns. Writers also queue on an `flock` of a
    file beside the database (`PATH-lock`): SQLite's own wait polls with growing sleeps, so
    under load one writer could starve the others for seconds. Threads share the store's
    one connection through a lock; a forked child opens a connection of its own on first
    use.
    """

    def __init__(self, path: str | os.PathLike[str], *, chain: str, sync: bool,
                 existing: bool = False) -> None:
        self._path = os.fspath(path)
        if self._path in ("", ":memory:") or self._path.startswith("file:"):
            raise ValueError(f"the SQLite audit store needs a database file, not "
                             f"{self._path!r}: a memory database ends with its connection")
        self._chain = check_chain(chain)
        self._sync = bool(sync)
        self._existing = bool(existing)
        self._lock = threading.Lock()
        renew_lock_after_fork(self)
        self._inherited: list[sqlite3.Connection] = []
        self._db: sqlite3.Connection | None = None
        self._queue = -1
        self._pid = os.getpid()
        self._db = self._connect()

    def _connect(self) -> sqlite3.Connection:
        db = sqlite3.connect(self._path, timeout=_BUSY_TIMEOUT, isolation_level=None,
                             check_same_thread=False)
        try:
            if self._existing:
                # Opened to be read: the file is left as it is, not made an audit database.
                _check_version(self._path, _version(db, self._path))
                return db
            self._queue = os.open(f"{self._path}-lock", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC,
                                  0o644)
            # Writers set the file up one at a time: two connections switching a new file to
            # WAL together each hold a read lock and want to write, and SQLite answers such a
            # deadlock with "database is locked" at once, without the busy timeout's wait.
            fcntl.flock(self._queue, fcntl.LOCK_EX)
            try:
                # WAL lets readers (verification, export) run beside a writer.
                mode = db.execute("PRAGMA journal_mode=WAL").fetchone()
                if mode is None or str(mode[0]).lower() != "wal":
                    raise sqlite3.OperationalError(
                        f"{self._path}: SQLite refused WAL mode ({mode!r}); the audit store "
                        "needs a database on a local file system")
                db.execute(f"PRAGMA synchronous={'FULL' if self._sync else 'NORMAL'}")
                self._create_schema(db)
            finally:
                fcntl.flock(self._queue, fcntl.LOCK_UN)
        except BaseException:
            db.close()
            if self._queue >= 0:
                os.close(self._queue)
                self._queue = -1
            raise
        return db

    def _create_schema(self, db: sqlite3.Connection) -> None:
        # BEGIN IMMEDIATE makes the check and the creation one step, so processes starting
        # together on an empty file create the tables once.
        db.execute("BEGIN IMMEDIATE")
        try:
            exists = db.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND "
                                "name = 'ruvo_audit_schema'").fetchone()
            if exists is None:
                for statement in _SCHEMA:
                    db.execute(statement)
                db.execute("INSERT INTO ruvo_audit_schema (version) VALUES (?)",
                           (SCHEMA_VERSION,))
                logger.info("%s: created the audit tables (version %d)", self._path,
                            SCHEMA_VERSION)
            else:
                _check_version(self._path, _version(db, self._path))
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise

    def _connection(self) -> sqlite3.Connection:
        if self._db is None:
            raise ValueError(f"the audit store {self._path!r} is closed")
        if self._pid != os.getpid():
            # A connection must not cross a fork; closing the parent's in the child could
            # release locks the parent holds, so it is only set aside.
            self._inherited.append(self._db)
            self._db = None
            if self._queue >= 0:  # its flock is the parent's: the child queues on its own
                os.close(self._queue)
                self._queue = -1
            self._db = self._connect()
            self._pid = os.getpid()
        return self._db

    def append(self, render: Callable[[int, str], bytes]) -> None:
        """Renders the chain's next record and commits it; see the class."""
        if self._existing:
            raise ValueError(f"the audit store {self._path!r} was opened for reading")
        with self._lock:
            db = self._connection()
            fcntl.flock(self._queue, fcntl.LOCK_EX)
            try:
                db.execute("BEGIN IMMEDIATE")
                try:
                    row = db.execute(_HEAD, (self._chain,)).fetchone()
                    seq, prev = (row[0], digest_of(row[1])) if row else (0, ZERO_DIGEST)
                    text, _ = rendered(render, seq + 1, prev)
                    db.execute(_INSERT, (self._chain, seq + 1, prev, text))
                    db.execute("COMMIT")
                except BaseException:
                    if db.in_transaction:
                        db.execute("ROLLBACK")
                    raise
            finally:
                fcntl.flock(self._queue, fcntl.LOCK_UN)

    def head(self) -> tuple[int, str]:
        """`(records, digest of the last)` of the chain now; `(0, 64 zeros)` when empty."""
        with self._lock:
            row = self._connection().execute(_HEAD, (self._chain,)).fetchone()
        return (row[0], digest_of(row[1])) if row else (0, ZERO_DIGEST)

    def lines(self) -> Iterator[bytes]:
        """The chain's lines in order, as rendered, from one snapshot of the database."""
        if self._db is None:
            raise ValueError(f"the audit store {self._path!r} is closed")
        # A connection of its own: a long read must not hold the writers' lock, and in
        # WAL mode its transaction sees one consistent state however long it takes.
        db = sqlite3.connect(self._path, timeout=_BUSY_TIMEOUT, isolation_level=None)
        try:
            db.execute("BEGIN")
            for (text,) in db.execute(_LINES, (self._chain,)):
                yield text.encode("utf-8") + b"\n"
        finally:
            db.close()

    def close(self) -> None:
        """Closes the connection; further appends raise `ValueError`. Closing twice is harmless."""
        with self._lock:
            db, self._db = self._db, None
            if db is not None and self._pid == os.getpid():
                db.close()
                if self._queue >= 0:
                    os.close(self._queue)
            self._queue = -1

    def __repr__(self) -> str:
        return f"<SQLiteStore {self._path!r} chain {self._chain!r}>"


def _version(db: sqlite3.Connection, where: str) -> object:
    try:
        row = db.execute("SELECT max(version) FROM ruvo_audit_schema").fetchone()
    except sqlite3.OperationalError as error:
        if "no such table" not in str(error):
            raise
        raise ValueError(f"{where} holds no audit tables: is it the audit database? (a "
                         "log writing to it creates them)") from None
    except sqlite3.DatabaseError as error:  # not a database at all
        raise ValueError(f"{where}: {error}") from None
    return row[0] if row else None


def _check_version(where: str, version: object) -> None:
    if version != SCHEMA_VERSION:
        raise ValueError(
            f"{where}: the audit tables are at version {version!r}, and this library reads "
            f"version {SCHEMA_VERSION}; use the library that created them, or a new database")
