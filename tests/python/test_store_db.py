"""Audit chains in SQLite and PostgreSQL through AuditLog, verify_log and the command: one
chain under concurrent and dying writers, append-only tables, tampering located, anchors,
export, a server that goes away under a gate and comes back."""

from __future__ import annotations

import json
import os
import random
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable

import psycopg
import pytest

from ruvo_gate import AuditLog, Gate, agentic_action, verify_log
from ruvo_gate import _cli
from postgres_server import PostgresServer
from ruvo_safety import AgenticAdapter
from test_audit import KEY, TAMPERING

WRITER = str(Path(__file__).with_name("store_writer.py"))


@pytest.fixture(params=["sqlite", "postgres"])
def target(request: pytest.FixtureRequest, tmp_path: Path) -> str:
    """A new, empty database of each kind, as AuditLog takes it."""
    if request.param == "sqlite":
        return f"sqlite:///{tmp_path}/audit.db"  # an absolute path: four slashes
    return str(request.getfixturevalue("postgres").database())


def sql(target: str, *statements: str, rows: list[tuple[object, ...]] = ()) -> list[tuple]:
    """Runs statements as the tables' owner, then inserts `rows` as records; the last
    statement's rows."""
    found: list[tuple] = []
    if target.startswith("postgresql:"):
        with psycopg.connect(target, autocommit=True) as conn:
            for statement in statements:
                cursor = conn.execute(statement)
                found = cursor.fetchall() if cursor.description else []
            with conn.cursor() as cursor:
                cursor.executemany(_INSERT.replace("?", "%s"), rows)
        return found
    db = sqlite3.connect(target.removeprefix("sqlite:///"), isolation_level=None)
    try:
        for statement in statements:
            found = db.execute(statement).fetchall()
        db.executemany(_INSERT, rows)
    finally:
        db.close()
    return found


_INSERT = "INSERT INTO ruvo_audit_records (chain, seq, prev, line) VALUES (?, ?, ?, ?)"
_DROP = {"sqlite": ("DROP TRIGGER ruvo_audit_no_update", "DROP TRIGGER ruvo_audit_no_delete"),
         "postgresql": ("DROP TRIGGER ruvo_audit_no_change ON ruvo_audit_records",)}


def lines(target: str, chain: str = "default") -> list[bytes]:
    return [text.encode() + b"\n" for text, in sql(
        target, f"SELECT line FROM ruvo_audit_records WHERE chain = '{chain}' ORDER BY seq")]


def rewrite(target: str, chain: str, new: list[bytes]) -> None:
    """Replaces a chain's rows, as someone who dropped the triggers could."""
    rows = [(chain, seq, f"{seq:064x}", line.decode().removesuffix("\n"))
            for seq, line in enumerate(new, 1)]
    sql(target, *_DROP[target.partition(":")[0]],
        f"DELETE FROM ruvo_audit_records WHERE chain = '{chain}'", rows=rows)


def fill(target: str, count: int, record: Callable[[int], dict[str, Any]] = lambda n: {"n": n},
         **options: Any) -> None:
    """Appends `count` records, `record(n)` each, through a log opened with `options`."""
    with AuditLog(target, **options) as log:
        for n in range(count):
            log.append(record(n))


def writers(target: str, count: int, records: int, prefix: str = "w"
            ) -> list[subprocess.Popen[str]]:
    return [subprocess.Popen([sys.executable, WRITER, target, "default", f"{prefix}{i}",
                              str(records)], stdout=subprocess.PIPE, text=True)
            for i in range(count)]


def test_eight_processes_make_one_chain(target: str) -> None:
    # The processes also start on an empty database together, so they race to create it.
    procs = writers(target, 8, 500)
    for proc in procs:
        out, _ = proc.communicate(timeout=120)
        assert proc.returncode == 0 and len(out.splitlines()) == 500
    assert verify_log(target).records == 4000 and verify_log(target).ok
    assert len({(r["writer"], r["n"]) for r in map(json.loads, lines(target))}) == 4000


def test_killed_writers_lose_no_acknowledged_record(target: str) -> None:
    AuditLog(target).close()  # the tables exist before anyone dies
    rng = random.Random(19)
    acknowledged: set[tuple[str, int]] = set()
    for round_ in range(2):
        procs = writers(target, 4, 100_000, prefix=f"r{round_}w")
        try:
            for proc in procs:
                assert proc.stdout is not None
                proc.stdout.readline()  # it has started appending
                time.sleep(rng.random() * 0.2)
                proc.send_signal(signal.SIGKILL)
        finally:
            for proc in procs:
                proc.kill()
                assert proc.stdout is not None
                with proc.stdout:  # the whole rest: the writer is dead, its pipe ends
                    # A kill can cut the last acknowledgement short: only whole lines count.
                    said = proc.stdout.read()
                    for ack in said[:said.rfind("\n") + 1].splitlines():
                        writer, n = ack.split()
                        acknowledged.add((writer, int(n)))
                proc.wait(timeout=30)
        assert all(proc.returncode == -signal.SIGKILL for proc in procs)
    report = verify_log(target)
    found = {(r["writer"], r["n"]) for r in map(json.loads, lines(target))}
    assert report.ok and report.records == len(found)
    assert acknowledged <= found and len(acknowledged) > 0


@pytest.mark.parametrize("statement", [
    "UPDATE ruvo_audit_records SET line = line || ' '",
    "DELETE FROM ruvo_audit_records WHERE seq = 2",
    "TRUNCATE ruvo_audit_records",
])
def test_records_cannot_be_changed(target: str, statement: str) -> None:
    fill(target, 3)
    if statement.startswith("TRUNCATE") and target.startswith("sqlite:"):
        statement = "DELETE FROM ruvo_audit_records"  # SQLite's truncate
    with pytest.raises((sqlite3.DatabaseError, psycopg.Error), match="append-only"):
        sql(target, statement)
    assert verify_log(target).records == 3


@pytest.mark.parametrize("how", TAMPERING)
def test_tampering_is_located(target: str, tmp_path: Path, capsys: pytest.CaptureFixture[str],
                              how: str) -> None:
    change, line, error = TAMPERING[how]
    # The records of the file tests.
    fill(target, 5, lambda n: {"kind": "note", "n": n, "tool": "tool"}, key=KEY, chain="t")
    rewrite(target, "t", change(lines(target, "t")))
    if error == "torn tail":  # a row has no torn end: its line was cut short
        error = "bad JSON"
    report = verify_log(target, key=KEY, chain="t")
    (tmp_path / "key").write_bytes(KEY)
    status = _cli.main(["verify", target, "--chain", "t", "--key-file", str(tmp_path / "key")])
    shown = capsys.readouterr().out
    if line is None:  # any JSON form of the same record is the same record
        assert (report.ok, report.records, status) == (True, 5, 0)
        return
    assert (report.ok, report.line, report.records) == (False, line, line - 1)
    assert report.error is not None and report.error.startswith(error)
    assert status == 1 and f"broken at line {line}: {error}" in shown


# What happens to a chain after its head (record 3 of 4) was published.
ANCHORED = {
    "grown past it": ("", True, ""),
    "a cut tail": ("DELETE FROM ruvo_audit_records WHERE chain = 'a' AND seq > 2", False,
                   "broken at line 3: the chain ends after 2 records, before the anchored "
                   "record 3"),
    "a replaced chain": ("DELETE FROM ruvo_audit_records WHERE chain = 'a'", False,
                         "broken at line 3: not the anchored record"),
}


@pytest.mark.parametrize("what", ANCHORED)
def test_an_anchor_shows_a_cut_or_replaced_chain(target: str, capsys: pytest.CaptureFixture[str],
                                                 what: str) -> None:
    tamper, ok, shown = ANCHORED[what]
    with AuditLog(target, chain="a") as log:
        for n in range(3):
            log.append({"n": n})
        records, digest = anchor = log.head()
        log.append({"n": 3})
    if tamper:
        sql(target, *_DROP[target.partition(":")[0]], tamper)
    if what == "a replaced chain":  # written anew, as a whole: intact but for the anchor
        fill(target, 4, chain="a")
        assert verify_log(target, chain="a").ok
    assert verify_log(target, chain="a", expect=anchor).ok is ok
    status = _cli.main(["verify", target, "--chain", "a", "--expect", f"{records}:{digest}"])
    assert (status, shown in capsys.readouterr().out) == (0 if ok else 1, True)


def test_an_export_verifies_as_a_file(target: str, tmp_path: Path,
                                      capsysbinary: pytest.CaptureFixture[bytes]) -> None:
    fill(target, 5, lambda n: {"n": n, "text": "it's \\' é\u2028\0", "x": 1.5e300},
         key=KEY, chain="team")
    assert _cli.main(["export", target, "--chain", "team"]) == 0
    exported = capsysbinary.readouterr().out
    assert exported == b"".join(lines(target, "team"))  # byte for byte as hashed
    (tmp_path / "team.jsonl").write_bytes(exported)
    report = verify_log(tmp_path / "team.jsonl", key=KEY)
    assert (report.ok, report.records) == (True, 5)


def test_chains_are_independent(target: str) -> None:
    fill(target, 5, chain="tenant-a")
    fill(target, 3, chain="tenant-b")
    a, b = verify_log(target, chain="tenant-a"), verify_log(target, chain="tenant-b")
    assert (a.ok, a.records, b.ok, b.records) == (True, 5, True, 3)
    assert str(verify_log(target)) == "empty: 0 records"  # "default" holds none


def test_a_record_that_fails_to_render_stores_nothing(target: str) -> None:
    with AuditLog(target, max_record=1024) as log:
        log.append({"n": 1})
        head = log.head()
        for bad in ({"n": object()}, {"n": "x" * 2000}):
            with pytest.raises(ValueError):
                log.append(bad)
            assert log.head() == head
        log.append({"n": 2})
    assert verify_log(target).records == 2


def test_targets(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, postgres: PostgresServer,
                 capsys: pytest.CaptureFixture[str]) -> None:
    monkeypatch.chdir(tmp_path)
    with AuditLog("sqlite:///relative.db", chain="c") as log:  # three slashes: relative
        log.append({"n": 1})
    assert verify_log(f"sqlite:///{tmp_path}/relative.db", chain="c").records == 1
    for wrong in ("sqlite://relative.db", "sqlite:///"):
        with pytest.raises(ValueError, match="sqlite:////absolute/path"):
            AuditLog(wrong)
    # Reading never makes a database, nor tables in one that is not the log's.
    (tmp_path / "other.db").write_bytes(b"")
    empty = postgres.database()
    for where in ("sqlite:///other.db", empty):
        with pytest.raises(ValueError, match="holds no audit tables"):
            verify_log(where)
    assert (tmp_path / "other.db").read_bytes() == b"" and not sql(
        empty, "SELECT 1 FROM pg_tables WHERE tablename LIKE 'ruvo%'")
    with pytest.raises(OSError):
        verify_log("sqlite:///missing.db")
    assert not os.path.exists("missing.db")
    with pytest.raises(ValueError, match="chain must be"):
        verify_log("sqlite:///relative.db", chain="")
    # The password a URL carries is never shown, whatever the outcome.
    for args in (["verify", f"{empty}&password=s3cret"], ["export", f"{empty}&password=s3cret"]):
        assert _cli.main(args) == 2
        err = capsys.readouterr().err
        assert "s3cret" not in err and "&password=***: " in err and "postgresql:///" in err
    monkeypatch.setitem(sys.modules, "psycopg", None)
    with pytest.raises(ImportError, match="python3-psycopg.*ruvo-safety\\[postgres\\]"):
        AuditLog(empty)


def test_a_gate_fails_closed_while_the_server_is_down(postgres: PostgresServer) -> None:
    url, ran = postgres.database(), []
    with AuditLog(url, chain="gate") as audit:
        gate = Gate(AgenticAdapter(), audit=audit)
        call = gate.guard(lambda n: agentic_action("act", "agent"), name="tool")(ran.append)
        for n in (1, 2):
            call(n)
        postgres.stop()
        try:
            for n in (3, 4):  # the dropped connection, then a refused one
                with pytest.raises(psycopg.OperationalError):
                    call(n)
            assert _cli.main(["verify", url, "--chain", "gate"]) == 2
        finally:
            postgres.start()
        for n in (5, 6):
            call(n)
    assert ran == [1, 2, 5, 6]
    report = verify_log(url, chain="gate")
    kinds = [(r["kind"], r["seq"]) for r in map(json.loads, lines(url, "gate"))]
    assert (report.ok, report.records) == (True, 8)  # a decision and an outcome per call run
    assert [kind for kind, _ in kinds] == ["decision", "outcome"] * 4
    assert _cli.main(["verify", url, "--chain", "gate"]) == 0


def test_a_writer_alone_on_its_chain_reconnects_after_a_restart(
        postgres: PostgresServer) -> None:
    url = postgres.database()
    with AuditLog(url) as log:
        for n in range(3):  # alone on the chain: its next append would skip the lock
            log.append({"n": n})
        postgres.stop()
        postgres.start()
        log.append({"n": 3})  # nothing was sent to the ended connection: no error
    assert [json.loads(line)["n"] for line in lines(url)] == list(range(4))


def test_a_postgres_writer_that_knows_the_end_still_waits_for_the_lock(
        postgres: PostgresServer) -> None:
    url = postgres.database()
    solo, other, waited = AuditLog(url), AuditLog(url), []
    for n in range(3):
        solo.append({"n": n})  # alone on the chain: it knows the end, one round trip each
    store = other._store
    append = store.append

    def append_while_solo_tries(render: Callable[[int, str], bytes]) -> None:
        def render_once_solo_tried(seq: int, prev: str) -> bytes:
            if not waited:  # `other` holds the lock and has read the end
                writer = threading.Thread(target=solo.append, args=({"n": 4},))
                writer.start()
                writer.join(0.5)
                waited.append(writer)
                assert writer.is_alive(), "a writer overtook the one holding the lock"
            return render(seq, prev)
        append(render_once_solo_tried)

    store.append = append_while_solo_tries
    other.append({"n": 3})
    waited[0].join(10)  # its known end is now stale: refused, it appends the long way
    solo.close(), other.close()
    assert [json.loads(line)["n"] for line in lines(url)] == list(range(5))
    assert verify_log(url).ok


def test_a_child_forked_during_an_append_can_append(target: str) -> None:
    with AuditLog(target) as log:
        log.append({"kind": "note", "from": "parent"})
        with log._store._lock:  # as a thread in the middle of an append holds it
            pid = os.fork()
            if pid == 0:
                signal.alarm(10)  # a hung child ends itself
                with AuditLog(target) as own:  # a child keeps no connection of its parent's
                    own.append({"kind": "note", "from": "child"})
                log.append({"kind": "note", "from": "child, inherited log"})
                os._exit(0)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    assert verify_log(target).records == 3


@pytest.mark.parametrize("kind, rounds", [("sqlite", 100), ("postgres", 3)])
def test_writers_starting_together_on_an_empty_database_share_one_schema(
        request: pytest.FixtureRequest, tmp_path: Path, kind: str, rounds: int) -> None:
    # SQLite answers two connections switching one new file to WAL together with "database
    # is locked" at once, whatever the busy timeout; it took many rounds to meet that.
    for n in range(rounds):
        url = (f"sqlite:///{tmp_path}/audit{n}.db" if kind == "sqlite"
               else str(request.getfixturevalue("postgres").database()))
        start, failed = threading.Barrier(8), []

        def open_log() -> None:
            start.wait()
            try:
                AuditLog(url).close()
            except Exception as error:  # noqa: BLE001 (each writer's failure is the finding)
                failed.append(error)

        writers = [threading.Thread(target=open_log) for _ in range(8)]
        for writer in writers:
            writer.start()
        for writer in writers:
            writer.join()
        assert failed == []
