"""Where an audit chain is kept: the protocol every store follows, and which store a target names."""

from __future__ import annotations

import errno
import importlib
import os
import re
from collections.abc import Callable, Iterator
from typing import Protocol

__all__ = ["Store", "Render", "ZERO_DIGEST", "DEFAULT_CHAIN", "database_store", "file_path",
           "redacted"]

ZERO_DIGEST = "0" * 64  # the `prev` of a chain's first record
DEFAULT_CHAIN = "default"

# render(seq, prev) -> the complete line of record `seq` chained to `prev`: the canonical
# record with its digest member, ending in b"\n". It may raise (a record that cannot be
# written); nothing is stored then.
Render = Callable[[int, str], bytes]


class Store(Protocol):
    """One chain of records, kept in a file or a database.

    The log renders and chains the records; a store only keeps their lines, in order, and
    serializes the writers of one chain, whichever threads, processes or hosts they are on.
    """

    def append(self, render: Render) -> None:
        """Under the chain's exclusive lock, reads the chain's current end (other writers'
        records included), stores `render(records + 1, digest of the last)` after it, and
        returns only when the line is as durable as the store's `sync` asks."""

    def head(self) -> tuple[int, str]:
        """The chain's end now: (records, digest of the last), (0, ZERO_DIGEST) when empty."""

    def lines(self) -> Iterator[bytes]:
        """The chain's lines in order, byte for byte as rendered, each ending in b"\\n"."""

    def close(self) -> None:
        """Releases what the store holds; closing twice is harmless."""


# The database stores, imported only when a target names them: their drivers are extras.
_DATABASES = {
    "sqlite": ("._store_sqlite", "SQLiteStore"),
    "postgresql": ("._store_postgres", "PostgresStore"),
    "postgres": ("._store_postgres", "PostgresStore"),
}


def _scheme(target: str | os.PathLike[str]) -> str | None:
    if not isinstance(target, str):
        return None  # a path object is always a file
    scheme, colon, _ = target.partition(":")
    return scheme if colon and scheme in _DATABASES else None


def file_path(target: str | os.PathLike[str]) -> str | None:
    """The file a target names, or None when it names a database."""
    return None if _scheme(target) else os.fspath(target)


def database_store(target: str, *, chain: str, sync: bool, existing: bool = False) -> Store:
    """Opens the database store that `target` (a URL) names, for one chain; with
    `existing`, for reading only: a database that is missing or holds no audit tables is
    an error rather than made one, and appends are refused."""
    scheme = _scheme(target)
    assert scheme is not None
    module_name, class_name = _DATABASES[scheme]
    place: str = target
    if scheme == "sqlite":
        # As SQLAlchemy writes it: sqlite:///relative/path, sqlite:////absolute/path.
        if not target.startswith("sqlite:///") or len(target) == len("sqlite:///"):
            raise ValueError(f"{target!r} is not an SQLite target: write sqlite:///relative/path "
                             "or sqlite:////absolute/path")
        place = target[len("sqlite:///"):]
        if existing and not os.path.exists(place):
            raise FileNotFoundError(errno.ENOENT, "no such database file", place)
    try:
        module = importlib.import_module(module_name, __package__)
    except ModuleNotFoundError as error:
        if error.name != f"{__package__}{module_name}":
            raise  # the store is there, a driver it needs is not: its own message says which
        raise ValueError(f"{redacted(target)}: this installation of ruvo_gate has no "
                         f"{scheme} store; use a file path, or a version that has one") from None
    factory: Callable[..., Store] = getattr(module, class_name)
    return factory(place, chain=chain, sync=sync, existing=existing)


def redacted(target: str | os.PathLike[str]) -> str:
    """The target as it may be shown in messages and logs: a URL without its password."""
    text = os.fspath(target)
    if not _scheme(text):
        return text
    # Edited in place rather than parsed and rebuilt, which would change how the URL reads
    # (an empty host's // dropped, its query quoted again).
    text = _URL_PASSWORD.sub(r"\1***@", text, count=1)
    return _QUERY_PASSWORD.sub(r"\1***", text)  # libpq also takes it as a parameter


_URL_PASSWORD = re.compile(r"\A([a-z]+://[^/?#@:]*:)[^/?#]*@")
_QUERY_PASSWORD = re.compile(r"([?&]password=)[^&#]*")
