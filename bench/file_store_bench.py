"""The file store's group commit: appends with sync="always" from one thread and from 8.

  1 thread     records/s of one thread appending, each record fsynced before append returns
  8 threads    records/s of 8 threads sharing one AuditLog: appends in flight together share
               one fsync, each still returning only once its own record is on disk

Each figure is the median of --rounds runs of --records records, in a temporary folder beside
the current one (a disk, not a memory file system, unless --dir says otherwise). Targets: 8
threads at least 2x one thread's throughput, at most one fsync per 4 records.

Run with: tools/run-example.sh bench/file_store_bench.py [--rounds N] [--records N] [--dir D] [--check]
"""

import argparse
import os
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

from ruvo_gate import AuditLog, verify_log


def run(folder, threads, records):
    """Records/s and fsyncs per record of `threads` threads appending `records` in all."""
    path = Path(folder) / f"bench-{threads}.jsonl"
    fsync, calls = os.fsync, [0]

    def counting(fd):
        calls[0] += 1
        fsync(fd)

    os.fsync = counting
    try:
        with AuditLog(path) as log:
            record = {"kind": "note", "tool": "read_file", "agent_id": "agent-1"}

            def appending():
                for _ in range(records // threads):
                    log.append(record)
            workers = [threading.Thread(target=appending) for _ in range(threads)]
            began = time.perf_counter()
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()
            seconds = time.perf_counter() - began
    finally:
        os.fsync = fsync
    assert verify_log(path).records == records // threads * threads
    path.unlink()
    return records / seconds, calls[0] / records


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--records", type=int, default=2400)
    parser.add_argument("--dir", default=".", help="where the temporary logs go")
    parser.add_argument("--check", action="store_true", help="exit 1 when a target is missed")
    args = parser.parse_args()
    figures = {1: [], 8: []}
    with tempfile.TemporaryDirectory(dir=args.dir, prefix="file-store-bench-") as folder:
        for _ in range(args.rounds):
            for threads in figures:  # interleaved, so that a noisy moment hits both
                figures[threads].append(run(folder, threads, args.records))
    (one, _), (eight, per_record) = (
        (statistics.median(f[0] for f in figures[t]), statistics.median(f[1] for f in figures[t]))
        for t in (1, 8))
    print(f"Python {sys.version.split()[0]}; {args.rounds} rounds of {args.records} records, "
          'sync="always"')
    print(f"1 thread     {one:8.0f} records/s")
    print(f"8 threads    {eight:8.0f} records/s  {eight / one:5.2f}x  target >= 2x  "
          f"{'ok' if eight >= 2 * one else 'MISSED'}")
    print(f"             {per_record:8.3f} fsyncs per record  target <= 0.25  "
          f"{'ok' if per_record <= 0.25 else 'MISSED'}")
    return 1 if args.check and (eight < 2 * one or per_record > 0.25) else 0


if __name__ == "__main__":
    sys.exit(main())
