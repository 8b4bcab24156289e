"""Test helper: a writer process appending to an audit chain through AuditLog.

Run as `store_writer.py TARGET CHAIN WRITER COUNT`: appends COUNT records to the chain and
prints "WRITER N" once record N is acknowledged (its append returned).
"""

from __future__ import annotations

import sys

from ruvo_gate import AuditLog


def main(target: str, chain: str, writer: str, count: int) -> None:
    with AuditLog(target, chain=chain) as log:
        for n in range(1, count + 1):
            log.append({"kind": "test", "writer": writer, "n": n})
            print(writer, n, flush=True)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]))
