"""Audit store throughput: chained appends beside plain inserts, and verification speed.

Appends per second with sync on, for the file, SQLite and PostgreSQL stores, with 1 and 8
writer processes on one chain and on 8 chains; the same number of plain inserts (a row or
a line, same durability, no chain) in the same run; then records per second verifying a
100,000-record chain in each store. Starts its own PostgreSQL server (fsync on).

Usage: PYTHONPATH=build/python:python python3.14 bench/store_bench.py [--seconds 2]
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import sqlite3
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

from ruvo_gate import AuditLog, verify_log  # noqa: E402

RECORD = {"kind": "decision", "tool": "read_file", "agent_id": "agent-1",
          "outcome": "Certified", "zone": "Safe", "approved": None}
# A plain row: a line as long as a chained record's, with nothing chained.
LINE = json.dumps({**RECORD, "digest": "0" * 64, "prev": "0" * 64, "seq": 1,
                   "time": "2025-01-01T00:00:00.000000000Z", "v": 1},
                  separators=(",", ":")).encode() + b"\n"


def _chained(kind: str, target: str, chain: str, seconds: float) -> int:
    log = AuditLog(target, chain=chain if kind != "file" else "default")
    return _loop(lambda: log.append(RECORD), log.close, seconds)


def _plain(kind: str, target: str, chain: str, seconds: float) -> int:
    line = LINE
    if kind == "file":
        fd = os.open(target + ".plain", os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)

        def append() -> None:
            os.write(fd, line)
            os.fsync(fd)
        return _loop(append, lambda: os.close(fd), seconds)
    text = line.decode()[:-1]
    if kind == "sqlite":
        db = sqlite3.connect(target.removeprefix("sqlite:///"), isolation_level=None,
                             timeout=30)
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=FULL")
        return _loop(lambda: db.execute("INSERT INTO plain VALUES (?, ?)", (chain, text)),
                     db.close, seconds)
    import psycopg
    conn = psycopg.connect(target, autocommit=True)
    return _loop(lambda: conn.execute("INSERT INTO plain VALUES (%s, %s)", (chain, text)),
                 conn.close, seconds)


def _loop(append: Callable[[], object], close: Callable[[], object], seconds: float) -> int:
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


def verification(kind: str, target: str, source: Path, records: int) -> float:
    """Records per second verifying a chain of `records`, copied into the store from the
    file `source` that AuditLog wrote: the rows are what is measured, not how they came."""
    if kind == "file":
        target = str(source)
    else:
        rows, prev = [], "0" * 64
        with open(source, "rb") as lines:
            for seq, line in enumerate(lines, 1):
                text = line.decode()[:-1]
                rows.append(("verify", seq, prev, text))
                prev = text[-66:-2]
        insert = "INSERT INTO ruvo_audit_records (chain, seq, prev, line) VALUES "
        if kind == "sqlite":
            with sqlite3.connect(target.removeprefix("sqlite:///")) as db:
                db.executemany(insert + "(?, ?, ?, ?)", rows)
            db.close()
        else:
            import psycopg
            with psycopg.connect(target) as conn, conn.cursor() as cursor:
                with cursor.copy("COPY ruvo_audit_records (chain, seq, prev, line) FROM STDIN"
                                 ) as copy:
                    for row in rows:
                        copy.write_row(row)
    start = time.perf_counter()
    report = verify_log(target, chain=None if kind == "file" else "verify")
    assert report.ok and report.records == records, report
    return records / (time.perf_counter() - start)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0, help="per measurement")
    parser.add_argument("--records", type=int, default=100_000, help="chain to verify")
    parser.add_argument("--stores", default="file,sqlite,postgres",
                        help="which stores to measure, separated by commas")
    options = parser.parse_args()
    stores = options.stores.split(",")
    from postgres_server import PostgresServer
    server = PostgresServer(fsync=True)
    work = Path(tempfile.mkdtemp(prefix="ruvo-store-bench-"))
    try:
        targets = {"file": str(work / "audit.jsonl"), "sqlite": f"sqlite:///{work}/audit.db",
                   "postgres": server.database()}
        for kind in ("sqlite", "postgres"):
            AuditLog(targets[kind]).close()  # the tables, before the writers race
        sqlite3.connect(work / "audit.db").execute(
            "CREATE TABLE plain (chain TEXT, line TEXT)").connection.close()
        import psycopg
        with psycopg.connect(targets["postgres"], autocommit=True) as conn:
            conn.execute("CREATE TABLE plain (chain text, line text)")
        print(f"{'store':9} {'writers':>7} {'chains':>6} {'chained/s':>10} {'plain/s':>9} "
              f"{'plain/chained':>13}")
        with multiprocessing.get_context("spawn").Pool(8) as pool:
            for kind, target in targets.items():
                if kind not in stores:
                    continue
                for writers, chains in ((1, 1), (8, 1), (8, 8)):
                    chained = rate(pool, "chained", kind, target, writers, chains,
                                   options.seconds)
                    plain = rate(pool, "plain", kind, target, writers, chains, options.seconds)
                    print(f"{kind:9} {writers:7} {chains:6} {chained:10.0f} {plain:9.0f} "
                          f"{plain / chained:13.2f}", flush=True)
        source = work / "verify.jsonl"
        with AuditLog(source, sync="never") as log:
            for _ in range(options.records):
                log.append(RECORD)
        for kind, target in targets.items():
            if kind not in stores:
                continue
            print(f"verify {kind}: {verification(kind, target, source, options.records):,.0f}"
                  f" records/s over {options.records:,}", flush=True)
    finally:
        server.close()
        for path in sorted(work.rglob("*"), reverse=True):
            path.unlink()
        work.rmdir()


if __name__ == "__main__":
    main()
