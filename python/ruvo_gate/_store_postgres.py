"""The PostgreSQL audit store: named chains in one database, for a fleet of writers."""

from __future__ import annotations

import hashlib
import logging
import os
import select
import threading
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

from ._store import redacted
from ._store_rows import (SCHEMA_VERSION, ZERO_DIGEST, check_chain, digest_of,
                          renew_lock_after_fork, rendered)

if TYPE_CHECKING:
    import psycopg

__all__ = ["PostgresStore", "chain_lock_key"]

logger = logging.getLogger("ruvo_gate")

_INSTALL = ("a postgresql:// audit target needs psycopg 3: install Debian's python3-psycopg, "
            "or the package's extra: pip install 'ruvo-safety[postgres]'")
_CONNECT_TIMEOUT = 10  # seconds, unless the target's URL sets connect_timeout itself
# Serializes creating the tables; any key unlikely to be used by the application will do.
_SCHEMA_LOCK = 0x7275766F5F617564  # "ruvo_aud"

_SCHEMA = (
    "CREATE TABLE ruvo_audit_schema (version integer NOT NULL)",
    # `line` is the record exactly as hashed (canonical JSON text, digest member last):
    # jsonb would reorder its members. Query it as JSON with line::jsonb ->> 'tool'.
    """CREATE TABLE ruvo_audit_records (
        chain text NOT NULL,
        seq bigint NOT NULL CHECK (seq >= 1),
        prev text NOT NULL,
        line text NOT NULL,
        PRIMARY KEY (chain, seq),
        UNIQUE (chain, prev)
    )""",
    """CREATE FUNCTION ruvo_audit_append_only() RETURNS trigger LANGUAGE plpgsql AS $$
    BEGIN
        RAISE EXCEPTION 'ruvo_audit_records is append-only: % is not allowed', TG_OP
            USING ERRCODE = 'insufficient_privilege';
    END $$""",
    """CREATE TRIGGER ruvo_audit_no_change BEFORE UPDATE OR DELETE OR TRUNCATE
       ON ruvo_audit_records FOR EACH STATEMENT EXECUTE FUNCTION ruvo_audit_append_only()""",
)
_HEAD = "SELECT seq, line FROM ruvo_audit_records WHERE chain = {} ORDER BY seq DESC LIMIT 1"
_PAGE_ROWS = 5000
_PAGE = ("SELECT seq, line FROM ruvo_audit_records WHERE chain = %s AND seq > %s "
         f"ORDER BY seq LIMIT {_PAGE_ROWS}")
_LOCK = "SELECT pg_advisory_xact_lock({})"


def chain_lock_key(chain: str) -> int:
    """The advisory lock key (a signed 64-bit integer) writers of `chain` take to read
    its end and append."""
    digest = hashlib.sha256(b"ruvo_gate audit chain\0" + chain.encode()).digest()
    return int.from_bytes(digest[:8], "big", signed=True)


def _has_input(conn: psycopg.Connection[Any]) -> bool:
    poll = select.poll()
    poll.register(conn.fileno(), select.POLLIN)
    return bool(poll.poll(0))


def _psycopg() -> Any:
    try:
        import psycopg
    except ImportError as error:
        raise ImportError(_INSTALL) from error
    return psycopg


class PostgresStore:
    """One chain of a PostgreSQL audit database.

    An append reads the chain's end and inserts the next record in one transaction holding
    the chain's advisory lock, so writers on any number of hosts make one chain: two round
    trips, BEGIN, the lock and the read of the end; then the insert and COMMIT. A writer
    that made the chain's last record, and saw nobody else append before it, knows the end
    already: it sends BEGIN, the lock, the insert and COMMIT at once, one round trip. If
    another writer appended meanwhile, `UNIQUE (chain, seq)` refuses the insert, and the
    writer appends the first way after all. `UNIQUE (chain, prev)` refuses a fork too.
    `append` returns once the server has committed: as it commits durably with `sync`,
    and with `synchronous_commit=off` without.

    While the server is unreachable `append` raises; the store reconnects by itself on the
    next call. Threads share the store's one connection through a lock (a chain's appends
    are serialized by its lock anyway); a forked child opens a connection of its own.
    """

    def __init__(self, url: str, *, chain: str, sync: bool, existing: bool = False) -> None:
        self._psycopg = _psycopg()
        self._url = url
        self._chain = check_chain(chain)
        sql = self._psycopg.sql
        self._head_sql = sql.SQL(_HEAD).format(sql.Literal(chain))
        self._lock_sql = sql.SQL("BEGIN; {}; ").format(
            sql.SQL(_LOCK).format(sql.Literal(chain_lock_key(chain))))
        self._begin_sql = self._lock_sql + self._head_sql
        # Rendered for each connection, as its settings quote.
        self._head = self._take_lock = self._begin = self._insert = b""
        self._quote: Callable[[str], bytes] = str.encode
        self._sync = bool(sync)
        self._existing = bool(existing)
        self._lock = threading.Lock()
        renew_lock_after_fork(self)
        self._inherited: list[psycopg.Connection[Any]] = []
        self._closed = False
        self._sent = False
        # (seq, digest) of the last record this store appended; and the chain's end when
        # that record was appended right after this store's previous one, which makes
        # this store likely the chain's only writer: its next append skips the lock.
        self._ours: tuple[int, str] | None = None
        self._end: tuple[int, str] | None = None
        self._pid = os.getpid()
        self._conn: psycopg.Connection[Any] | None = None
        with self._lock:
            self._conn = self._connect()

    def _connect(self) -> psycopg.Connection[Any]:
        conn: psycopg.Connection[Any] = self._psycopg.Connection.connect(
            self._url, autocommit=True, **self._params())
        try:
            try:
                self._create_schema(conn)
            except (self._psycopg.errors.DuplicateTable, self._psycopg.errors.UniqueViolation):
                # A writer that waited on the schema lock may look the tables up in a
                # catalog snapshot taken before their creator committed (an advisory lock
                # does not refresh it): its transaction is rolled back, and a new one sees
                # them.
                self._create_schema(conn)
            if not self._sync:  # after the tables: they must outlive a crash in any case
                conn.execute("SET synchronous_commit = off")
            self._head = self._head_sql.as_bytes(conn)
            self._take_lock = self._lock_sql.as_bytes(conn)
            self._begin = self._begin_sql.as_bytes(conn)
            # Quoted as this connection's settings want it (standard_conforming_strings).
            self._quote = self._psycopg.adapt.Transformer.from_context(conn).get_dumper(
                "", self._psycopg.adapt.PyFormat.TEXT).quote
            self._insert = b"INSERT INTO ruvo_audit_records (chain, seq, prev, line) VALUES (" \
                + self._quote(self._chain) + b", "
        except BaseException:
            conn.close()
            raise
        return conn

    def _params(self) -> dict[str, Any]:
        if "connect_timeout" in self._psycopg.conninfo.conninfo_to_dict(self._url):
            return {}
        return {"connect_timeout": _CONNECT_TIMEOUT}

    def _create_schema(self, conn: psycopg.Connection[Any]) -> None:
        # The lock makes the check and the creation one step for processes starting together
        # on an empty database (CREATE TABLE IF NOT EXISTS alone can still collide).
        with conn.transaction():
            found = conn.execute("SELECT to_regclass('ruvo_audit_schema') IS NOT NULL"
                                 ).fetchone()
            if not (found and found[0]) and self._existing:
                raise ValueError(f"{redacted(self._url)} holds no audit tables: is it the "
                                 "audit database, with the tables' schema on the search "
                                 "path? (a log writing to it creates them)")
            if not (found and found[0]):
                conn.execute(f"SELECT pg_advisory_xact_lock({_SCHEMA_LOCK})")
                found = conn.execute("SELECT to_regclass('ruvo_audit_schema') IS NOT NULL"
                                     ).fetchone()
            if found and found[0]:
                row = conn.execute("SELECT max(version) FROM ruvo_audit_schema").fetchone()
                version = row[0] if row else None
                if version != SCHEMA_VERSION:
                    raise ValueError(
                        f"the audit tables are at version {version!r}, and this library "
                        f"reads version {SCHEMA_VERSION}; use the library that created them, "
                        "or another database")
                return
            for statement in _SCHEMA:
                conn.execute(statement)
            conn.execute("INSERT INTO ruvo_audit_schema (version) VALUES (%s)",
                         (SCHEMA_VERSION,))
            logger.info("created the PostgreSQL audit tables (version %d)", SCHEMA_VERSION)

    def _connection(self) -> psycopg.Connection[Any]:
        if self._closed:
            raise ValueError(f"the audit store {self!r} is closed")
        if self._pid != os.getpid():
            # Closing the parent's connection in a child would end the parent's session on
            # the server, so it is only set aside.
            if self._conn is not None:
                self._inherited.append(self._conn)
            self._conn = None
            self._pid = os.getpid()
            self._ours = self._end = None  # the parent goes on appending
        conn = self._conn
        if conn is None or conn.closed or conn.broken:
            self._drop()
            conn = self._conn = self._connect()
        return conn

    def _drop(self) -> None:
        conn, self._conn = self._conn, None
        if conn is not None:
            conn.close()

    def append(self, render: Callable[[int, str], bytes]) -> None:
        """Renders the chain's next record and commits it; see the class.

        Raises:
            psycopg.OperationalError: the server could not be reached, or the connection
                failed; when it failed after the insert was sent, the record may or may not
                have been committed.
        """
        if self._existing:
            raise ValueError(f"the audit store {self!r} was opened for reading")
        with self._lock:
            fresh = self._conn is None or self._conn.closed or self._conn.broken
            conn = self._connection()
            try:
                self._append(conn, render)
            except self._psycopg.OperationalError as error:
                if not (conn.closed or conn.broken):
                    raise
                self._drop()
                if fresh or self._sent:
                    raise
                # An idle connection the server dropped (a restart): nothing was sent that
                # could have committed, so one more try on a new connection is safe.
                logger.info("reconnecting to the audit database after: %s", error)
                self._append(self._connection(), render)

    def _append(self, conn: psycopg.Connection[Any], render: Callable[[int, str], bytes]
                ) -> None:
        self._sent = False  # whether an insert left: its commit's fate may then be unknown
        end, self._end = self._end, None  # set again only by an append that succeeds
        # A connection with something to read while idle is most likely one the server
        # ended (a restart's farewell): BEGIN finds that out with nothing sent that could
        # commit, and the caller reconnects and tries again, so the lock is taken then.
        if end is not None and not _has_input(conn):
            seq, prev = end
            text, digest = rendered(render, seq + 1, prev)
            self._sent = True
            try:
                # The lock is taken all the same: a writer between its read of the end and
                # its insert is never overtaken, so no writer waits on others for long.
                conn.execute(self._take_lock + self._insert_query(seq + 1, prev, text)
                             + b"; COMMIT")
            except self._psycopg.errors.UniqueViolation:
                self._sent = False  # refused, so nothing was committed
                conn.execute("ROLLBACK")
            except BaseException:
                self._roll_back(conn)
                raise
            else:
                self._ours = self._end = (seq + 1, digest)
                return
        # BEGIN, the lock and the read of the chain's end travel as one simple query: one
        # round trip, which psycopg's pipeline mode costs more than it saves here.
        cursor = conn.execute(self._begin)
        try:
            while cursor.nextset():
                pass
            row = cursor.fetchone()
            seq, prev = (row[0], digest_of(row[1])) if row else (0, ZERO_DIGEST)
            text, digest = rendered(render, seq + 1, prev)
            # The insert and the commit travel together too: a second and last round trip.
            # As one simple query the values go quoted in its text (the prev read back too:
            # a row is not trusted to hold hex); a failed insert skips the COMMIT, and the
            # transaction is rolled back below.
            self._sent = True
            conn.execute(self._insert_query(seq + 1, prev, text) + b"; COMMIT")
        except BaseException:
            self._roll_back(conn)
            raise
        if self._ours == (seq, prev):
            self._end = (seq + 1, digest)
        self._ours = (seq + 1, digest)

    def _roll_back(self, conn: psycopg.Connection[Any]) -> None:
        if not (conn.closed or conn.broken) and \
                conn.info.transaction_status != self._psycopg.pq.TransactionStatus.IDLE:
            conn.execute("ROLLBACK")

    def _insert_query(self, seq: int, prev: str, text: str) -> bytes:
        return b"%s%d, %s, %s)" % (self._insert, seq, self._quote(prev), self._quote(text))

    def head(self) -> tuple[int, str]:
        """`(records, digest of the last)` of the chain now; `(0, 64 zeros)` when empty."""
        with self._lock:
            conn = self._connection()
            try:
                row = conn.execute(self._head).fetchone()
            except self._psycopg.OperationalError:
                if conn.closed or conn.broken:
                    self._drop()
                raise
        return (row[0], digest_of(row[1])) if row else (0, ZERO_DIGEST)

    def lines(self) -> Iterator[bytes]:
        """The chain's lines in order, as rendered, from one snapshot of the database."""
        if self._closed:
            raise ValueError(f"the audit store {self!r} is closed")
        # A connection of its own, so a long read holds no writer up; its repeatable-read
        # transaction sees one state, read in pages by seq. No server-side cursor: one
        # left open by a failed CLOSE (the server gone) would outlive the generator.
        conn = self._psycopg.Connection.connect(self._url, **self._params())
        try:
            conn.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ READ ONLY")
            after = 0
            while True:
                rows = conn.execute(_PAGE, (self._chain, after)).fetchall()
                for _, text in rows:
                    yield text.encode("utf-8") + b"\n"
                if len(rows) < _PAGE_ROWS:
                    return
                after = rows[-1][0]
        finally:
            conn.close()  # ends the transaction too: there is nothing to commit

    def close(self) -> None:
        """Closes the connection; further appends raise `ValueError`. Closing twice is harmless."""
        with self._lock:
            self._closed = True
            if self._pid == os.getpid():
                self._drop()
            self._conn = None

    def __repr__(self) -> str:
        return f"<PostgresStore chain {self._chain!r}>"
