"""What the database stores share: a rendered line checked and turned into a row, and back."""

from __future__ import annotations

import os
import re
import threading
import weakref
from collections.abc import Callable
from typing import Any

__all__ = ["ZERO_DIGEST", "SCHEMA_VERSION", "check_chain", "rendered", "digest_of",
           "renew_lock_after_fork"]

ZERO_DIGEST = "0" * 64
#: The version of the tables the database stores create; a database holding a newer one
#: was set up by a newer library, whose rows this one may not read correctly.
SCHEMA_VERSION = 1
# A rendered line ends with its digest member: ...,"digest":"<64 hex>"}\n
_TAIL = re.compile(r',"digest":"([0-9a-f]{64})"\}\n\Z')


def check_chain(chain: object) -> str:
    """The chain's name, checked: a non-empty string that the database stores keep as text."""
    if type(chain) is not str:
        raise TypeError(f"chain must be a str, not {type(chain).__qualname__}")
    if not chain or "\0" in chain:
        raise ValueError(f"chain must be a non-empty name without NUL characters, not {chain!r}")
    return chain


def rendered(render: Callable[[int, str], bytes], seq: int, prev: str) -> tuple[str, str]:
    """Renders record `seq` after `prev`, and returns its line as stored (the text without
    its line end) and its digest.

    Raises:
        ValueError: the line is not a complete record line, so nothing may be stored.
    """
    line = render(seq, prev)
    if type(line) is not bytes:
        raise TypeError(f"a record renders to bytes, not {type(line).__qualname__}")
    text = line.decode("utf-8")
    match = _TAIL.search(text)
    if match is None or "\n" in text[:-1]:
        raise ValueError("a rendered record is one line ending in its digest member and a "
                         f"line end; got {line[-80:]!r}")
    return text[:-1], match.group(1)


def digest_of(text: str) -> str:
    """The digest at the end of a stored line (which ends in `"digest":"<64 hex>"}`)."""
    return text[-66:-2]


# The database stores of this process. A thread appending at a fork leaves its store's lock
# held in the child, where nobody would release it: the child gets fresh locks (its
# connections are its own anyway, opened again on first use).
_STORES: weakref.WeakSet[Any] = weakref.WeakSet()


def renew_lock_after_fork(store: Any) -> None:
    """Gives `store._lock` a fresh lock in the child of every later fork."""
    _STORES.add(store)


def _after_fork_in_child() -> None:
    for store in list(_STORES):
        store._lock = threading.Lock()


os.register_at_fork(after_in_child=_after_fork_in_child)
