"""The SQLite and PostgreSQL audit stores: one chain under concurrent and dying writers,
append-only tables, tampering found, a server that goes away and comes back."""

from __future__ import annotations

import json
import os
import random
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import psycopg
import pytest

from store_writer import check, open_store, renderer

from ruvo_gate import AuditLog, verify_log

WRITER = str(Path(__file__).with_name("store_writer.py"))


@pytest.fixture(params=["sqlite", "postgres"])
def target(request: pytest.FixtureRequest, tmp_path: Path) -> str:
    """A new, empty database of each kind."""
    if request.param == "sqlite":
        return str(tmp_path / "audit.db")
    server = request.getfixturevalue("postgres")
    return str(server.database())


def sql(target: str, *statements: str) -> None:
    """Runs statements as the tables' owner, each on its own."""
    if target.startswith("postgresql:"):
        with psycopg.connect(target, autocommit=True) as conn:
            for statement in statements:
                conn.execute(statement)
    else:
        db = sqlite3.connect(target, isolation_level=None)
        try:
            for statement in statements:
                db.execute(statement)
        finally:
            db.close()


def writers(target: str, count: int, records: int, prefix: str = "w"
            ) -> list[subprocess.Popen[str]]:
    return [subprocess.Popen([sys.executable, WRITER, target, "default", f"{prefix}{i}",
                              str(records)], stdout=subprocess.PIPE, text=True)
            for i in range(count)]


def parse(acknowledgement: str) -> tuple[str, int]:
    writer, n = acknowledgement.split()
    return writer, int(n)


def test_eight_processes_make_one_chain(target: str) -> None:
    # The processes also start on an empty database together, so they race to create it.
    procs = writers(target, 8, 500)
    for proc in procs:
        out, _ = proc.communicate(timeout=120)
        assert proc.returncode == 0 and len(out.splitlines()) == 500
    store = open_store(target)
    try:
        assert check(store.lines()) == (4000, "")
        assert store.head()[0] == 4000
        assert len({(r["writer"], r["n"]) for r in map(json.loads, store.lines())}) == 4000
    finally:
        store.close()


def test_killed_writers_lose_no_acknowledged_record(target: str) -> None:
    open_store(target).close()  # the tables exist before anyone dies
    rng = random.Random(19)
    acknowledged: set[tuple[str, int]] = set()
    for round_ in range(2):
        procs = writers(target, 4, 100_000, prefix=f"r{round_}w")
        try:
            for proc in procs:
                assert proc.stdout is not None
                first = proc.stdout.readline()  # it has started appending
                time.sleep(rng.random() * 0.2)
                proc.send_signal(signal.SIGKILL)
                acknowledged.add(parse(first))
        finally:
            for proc in procs:
                proc.kill()
                assert proc.stdout is not None
                with proc.stdout:  # the whole rest: the writer is dead, its pipe ends
                    # A kill can cut the last acknowledgement short: only whole lines count.
                    said = proc.stdout.read()
                    acknowledged |= set(map(parse, said[:said.rfind("\n") + 1].splitlines()))
                proc.wait(timeout=30)
        assert all(proc.returncode == -signal.SIGKILL for proc in procs)
    store = open_store(target)
    try:
        records, error = check(store.lines())
        found = {(r["writer"], r["n"]) for r in map(json.loads, store.lines())}
        assert error == "" and records == len(found)
        assert acknowledged <= found and len(acknowledged) > 0
    finally:
        store.close()


@pytest.mark.parametrize("statement", [
    "UPDATE ruvo_audit_records SET line = line || ' '",
    "DELETE FROM ruvo_audit_records WHERE seq = 2",
    "TRUNCATE ruvo_audit_records",
])
def test_records_cannot_be_changed(target: str, statement: str) -> None:
    store = open_store(target)
    try:
        for n in range(3):
            store.append(renderer({"n": n}))
        if statement.startswith("TRUNCATE") and not target.startswith("postgresql:"):
            statement = "DELETE FROM ruvo_audit_records"  # SQLite's truncate
        with pytest.raises((sqlite3.DatabaseError, psycopg.Error), match="append-only"):
            sql(target, statement)
        assert check(store.lines()) == (3, "")
    finally:
        store.close()


_DROP = {"sqlite": ("DROP TRIGGER ruvo_audit_no_update", "DROP TRIGGER ruvo_audit_no_delete"),
         "postgres": ("DROP TRIGGER ruvo_audit_no_change ON ruvo_audit_records",)}


@pytest.mark.parametrize("tamper, found", [
    # A changed line: a value edited in place.
    ("UPDATE ruvo_audit_records SET line = replace(line, '\"n\":', '\"n\":1') "
     "WHERE seq = 4", "line 4: digest does not recompute"),
    ("DELETE FROM ruvo_audit_records WHERE seq = 4", "line 4: a gap in seq"),
    # Reordered: two records swapped, each keeping its seq column.
    ("UPDATE ruvo_audit_records SET seq = seq + 100 WHERE seq IN (3, 4); "
     "UPDATE ruvo_audit_records SET seq = 107 - seq WHERE seq IN (103, 104)",
     "line 3: a gap in seq"),
], ids=["changed", "deleted", "reordered"])
def test_tampering_is_located(target: str, tamper: str, found: str) -> None:
    kind = "postgres" if target.startswith("postgresql:") else "sqlite"
    store = open_store(target)
    try:
        for n in range(1, 8):
            store.append(renderer({"n": n}))
        sql(target, *_DROP[kind], *tamper.split("; "))
        records, error = check(store.lines())
        assert error.startswith(found) and records == int(found.split()[1][:-1]) - 1
    finally:
        store.close()


def test_chains_are_independent(target: str) -> None:
    stores = {name: open_store(target, name) for name in ("tenant-a", "tenant-b")}
    try:
        for n in range(5):
            for name, store in stores.items():
                if n < 3 or name == "tenant-a":
                    store.append(renderer({"n": n}))
        assert [check(store.lines()) for store in stores.values()] == [(5, ""), (3, "")]
        assert stores["tenant-a"].head() != stores["tenant-b"].head()
    finally:
        for store in stores.values():
            store.close()


def test_a_record_that_fails_to_render_stores_nothing(target: str) -> None:
    def broken(seq: int, prev: str) -> bytes:
        raise ValueError("not JSON")

    store = open_store(target)
    try:
        store.append(renderer({"n": 1}))
        head = store.head()
        for bad in (broken, lambda seq, prev: b'{"seq":2}\n'):
            with pytest.raises(ValueError):
                store.append(bad)
            assert store.head() == head
        store.append(renderer({"n": 2}))
        assert check(store.lines()) == (2, "")
    finally:
        store.close()


def test_appends_fail_while_the_server_is_down(postgres: object) -> None:
    from postgres_server import PostgresServer
    assert isinstance(postgres, PostgresServer)
    store = open_store(postgres.database())
    try:
        for n in range(3):
            store.append(renderer({"n": n}))
        postgres.stop()
        try:
            for _ in range(2):  # the dropped connection, then a refused one
                with pytest.raises(psycopg.OperationalError):
                    store.append(renderer({"n": "down"}))
        finally:
            postgres.start()
        for n in range(3, 6):
            store.append(renderer({"n": n}))
        assert check(store.lines()) == (6, "")
        assert [json.loads(line)["n"] for line in store.lines()] == list(range(6))
    finally:
        store.close()


def test_psycopg_missing_says_what_to_install(monkeypatch: pytest.MonkeyPatch) -> None:
    from ruvo_gate._store_postgres import PostgresStore
    monkeypatch.setitem(sys.modules, "psycopg", None)
    with pytest.raises(ImportError, match="python3-psycopg.*ruvo-safety\\[postgres\\]"):
        PostgresStore("postgresql:///nowhere", chain="default", sync=True)


def test_a_child_forked_during_an_append_can_append(target: str) -> None:
    url = target if target.startswith("postgresql:") else f"sqlite:///{target}"
    with AuditLog(url) as log:
        log.append({"kind": "note", "from": "parent"})
        with log._store._lock:  # as a thread in the middle of an append holds it
            pid = os.fork()
            if pid == 0:
                signal.alarm(10)  # a hung child ends itself
                with AuditLog(url) as own:  # a child keeps no connection of its parent's
                    own.append({"kind": "note", "from": "child"})
                log.append({"kind": "note", "from": "child, inherited log"})
                os._exit(0)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    assert verify_log(url).records == 3
