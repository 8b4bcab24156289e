"""Audit store throughput: chained appends beside plain inserts, and verification speed.

Appends per second with sync on, for the file, SQLite and PostgreSQL stores, with 1 and 8
writer processes on one chain and on 8 chains; the same number of plain inserts (a row or
a line, same durability, no chain) in the same run; then records per second verifying a
100,000-record chain in each store. Starts its own PostgreSQL server (fsync on).

Usage: PYTHONPATH=build/python:python python3.14 bench/store_bench.py [--seconds 2]
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sqlite3
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

from store_writer import check, open_store, renderer  # noqa: E402

from ruvo_gate import AuditLog, verify_log  # noqa: E402

RECORD = {"kind": "decision", "tool": "read_file", "agent_id": "agent-1",
          "outcome": "Certified", "zone": "Safe", "approved": None}


def _chained(kind: str, target: str, chain: str, seconds: float) -> int:
    if kind == "file":
        log = AuditLog(target)
        append = lambda: log.append(RECORD)  # noqa: E731
        close = log.close
    else:
        store = open_store(target, chain)
        render = renderer(RECORD)
        append = lambda: store.append(render)  # noqa: E731
        close = store.close
    return _loop(append, close, seconds)


def _plain(kind: str, target: str, chain: str, seconds: float) -> int:
    line = renderer(RECORD)(1, "0" * 64)
    if kind == "file":
        fd = os.open(target + ".plain", os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)

        def append() -> None:
            os.write(fd, line)
            os.fsync(fd)
        return _loop(append, lambda: os.close(fd), seconds)
    text = line.decode()[:-1]
    if kind == "sqlite":
        db = sqlite3.connect(target, isolation_level=None, timeout=30)
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=FULL")
        return _loop(lambda: db.execute("INSERT INTO plain VALUES (?, ?)", (chain, text)),
                     db.close, seconds)
    import psycopg
    conn = psycopg.connect(target, autocommit=True)
    return _loop(lambda: conn.execute("INSERT INTO plain VALUES (%s, %s)", (chain, text)),
                 conn.close, seconds)


def _loop(append: object, close: object, seconds: float) -> int:
    assert callable(append) and callable(close)
    count, end = 0, time.perf_counter() + seconds
    try:
        while time.perf_counter() < end:
            append()
            count += 1
    finally:
        close()
    return count


def _worker(args: tuple[str, str, str, str, float]) -> int:
    how, kind, target, chain, seconds = args
    return (_chained if how == "chained" else _plain)(kind, target, chain, seconds)


def rate(pool: multiprocessing.pool.Pool, how: str, kind: str, target: str, writers: int,
         chains: int, seconds: float) -> float:
    jobs = []
    for i in range(writers):
        chain = f"chain-{i % chains}"
        where = f"{target}.{chain}" if kind == "file" else target
        jobs.append((how, kind, where, chain, seconds))
    # Each writer counts over its own window, after opening its store: the windows overlap
    # but for the few milliseconds the processes take to start together.
    return sum(pool.map(_worker, jobs, chunksize=1)) / seconds


def verification(kind: str, target: str, records: int) -> float:
    if kind == "file":
        with AuditLog(target, sync="never") as log:
            for _ in range(records):
                log.append(RECORD)
        start = time.perf_counter()
        assert verify_log(target).records == records
    else:
        store = open_store(target, "verify", sync=False)
        render = renderer(RECORD)
        if kind == "postgres":
            # Written as one batch: the rows are what is measured, not how they came.
            import psycopg
            with psycopg.connect(target) as conn, conn.cursor() as cursor:
                prev, rows = "0" * 64, []
                for seq in range(1, records + 1):
                    text = render(seq, prev).decode()[:-1]
                    rows.append(("verify", seq, prev, text))
                    prev = text[-66:-2]
                with cursor.copy("COPY ruvo_audit_records (chain, seq, prev, line) FROM STDIN"
                                 ) as copy:
                    for row in rows:
                        copy.write_row(row)
        else:
            for _ in range(records):
                store.append(render)
        start = time.perf_counter()
        assert check(store.lines()) == (records, "")
        store.close()
    return records / (time.perf_counter() - start)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0, help="per measurement")
    parser.add_argument("--records", type=int, default=100_000, help="chain to verify")
    options = parser.parse_args()
    from postgres_server import PostgresServer
    server = PostgresServer(fsync=True)
    work = Path(tempfile.mkdtemp(prefix="ruvo-store-bench-"))
    try:
        targets = {"file": str(work / "audit.jsonl"), "sqlite": str(work / "audit.db"),
                   "postgres": server.database()}
        for kind in ("sqlite", "postgres"):
            open_store(targets[kind]).close()
        sqlite3.connect(targets["sqlite"]).execute(
            "CREATE TABLE plain (chain TEXT, line TEXT)").connection.close()
        import psycopg
        with psycopg.connect(targets["postgres"], autocommit=True) as conn:
            conn.execute("CREATE TABLE plain (chain text, line text)")
        print(f"{'store':9} {'writers':>7} {'chains':>6} {'chained/s':>10} {'plain/s':>9} "
              f"{'plain/chained':>13}")
        with multiprocessing.get_context("spawn").Pool(8) as pool:
            for kind, target in targets.items():
                for writers, chains in ((1, 1), (8, 1), (8, 8)):
                    chained = rate(pool, "chained", kind, target, writers, chains,
                                   options.seconds)
                    plain = rate(pool, "plain", kind, target, writers, chains, options.seconds)
                    print(f"{kind:9} {writers:7} {chains:6} {chained:10.0f} {plain:9.0f} "
                          f"{plain / chained:13.2f}", flush=True)
        for kind, target in targets.items():
            where = str(work / "verify.jsonl") if kind == "file" else target
            print(f"verify {kind}: {verification(kind, where, options.records):,.0f} "
                  f"records/s over {options.records:,}", flush=True)
    finally:
        server.close()
        for path in sorted(work.rglob("*"), reverse=True):
            path.unlink()
        work.rmdir()


if __name__ == "__main__":
    main()
