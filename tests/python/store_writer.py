"""Test helper: real audit records for a store, and a writer process appending them.

Run as `store_writer.py TARGET CHAIN WRITER COUNT`: appends COUNT records to the chain and
prints "WRITER N" once record N is acknowledged (its append returned).
"""

from __future__ import annotations

import hashlib
import sys
from collections.abc import Callable, Iterable
from typing import Any

from ruvo_gate import _audit, _jcs


def renderer(fields: dict[str, object]) -> Callable[[int, str], bytes]:
    """Renders `fields` as the record `seq` after `prev`, as the audit log does."""
    def render(seq: int, prev: str) -> bytes:
        entry = dict(fields, seq=seq, time="2025-01-01T00:00:00.000000000Z", prev=prev, v=1)
        body = _jcs.canonical(entry)
        digest = hashlib.sha256(body).hexdigest()
        return body[:-1] + b',"digest":"' + digest.encode() + b'"}\n'
    return render


def check(lines: Iterable[bytes]) -> tuple[int, str]:
    """(records, error) of a chain's lines: error is "" when every line is intact, else
    "line N: why"."""
    prev, count = _audit.ZERO_DIGEST, 0
    for count, line in enumerate(lines, 1):
        digest, error, _ = _audit._check_line(line, count, prev, None, {})
        if error:
            return count - 1, f"line {count}: {error}"
        prev = digest
    return count, ""


def open_store(target: str, chain: str = "default", sync: bool = True) -> Any:
    if target.startswith("postgresql:"):
        from ruvo_gate._store_postgres import PostgresStore
        return PostgresStore(target, chain=chain, sync=sync)
    from ruvo_gate._store_sqlite import SQLiteStore
    return SQLiteStore(target, chain=chain, sync=sync)


def main(target: str, chain: str, writer: str, count: int) -> None:
    store = open_store(target, chain)
    try:
        for n in range(1, count + 1):
            store.append(renderer({"kind": "test", "writer": writer, "n": n}))
            print(writer, n, flush=True)
    finally:
        store.close()


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]))
