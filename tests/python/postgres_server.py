"""A throwaway PostgreSQL server for the tests: its own data directory and socket, no TCP."""

from __future__ import annotations

import itertools
import os
import pwd
import shutil
import subprocess
import tempfile
from collections.abc import Iterator
from pathlib import Path

import pytest

BIN = Path(os.environ.get("RUVO_PG_BIN", "/usr/lib/postgresql/15/bin"))
# Environment a server must not inherit from a sanitizer pass of the tests.
_NOT_INHERITED = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC", "PGDATA",
                  "PGHOST", "PGPORT", "PGUSER", "PGDATABASE", "PGOPTIONS")


class PostgresServer:
    """initdb, pg_ctl start and stop, as the unprivileged `postgres` user when run as root
    (initdb refuses root). The server listens only on a unix socket in its directory."""

    def __init__(self, *, fsync: bool = False) -> None:
        for tool in ("initdb", "pg_ctl"):
            if not (BIN / tool).exists():
                raise RuntimeError(f"{BIN / tool} is missing: install Debian's postgresql "
                                   "package (tools/toolchain.sh does), or set RUVO_PG_BIN")
        self._user = "postgres" if os.geteuid() == 0 else None
        self.dir = Path(tempfile.mkdtemp(prefix="ruvo-pg-"))
        self.data = self.dir / "data"
        self._fsync = fsync
        self._names = itertools.count(1)
        self.env = {k: v for k, v in os.environ.items() if k not in _NOT_INHERITED}
        self.env["LC_ALL"] = "C"
        if self._user is not None:
            entry = pwd.getpwnam(self._user)
            os.chown(self.dir, entry.pw_uid, entry.pw_gid)
        try:
            self._run("initdb", "-D", str(self.data), "-U", "postgres", "-A", "trust",
                      "-E", "UTF8", "--locale=C", "--no-sync", "--no-instructions")
            self.start()
        except BaseException:
            shutil.rmtree(self.dir, ignore_errors=True)
            raise

    def _run(self, tool: str, *args: str, timeout: float = 60) -> None:
        done = subprocess.run([str(BIN / tool), *args], cwd=self.dir, env=self.env,
                              user=self._user, capture_output=True, text=True,
                              timeout=timeout, check=False)
        if done.returncode != 0:
            log = self.dir / "server.log"
            tail = log.read_text(errors="replace")[-2000:] if log.exists() else ""
            raise RuntimeError(f"{tool} {' '.join(args)} failed ({done.returncode}):\n"
                               f"{done.stdout}{done.stderr}{tail}")

    def url(self, database: str = "postgres") -> str:
        return f"postgresql:///{database}?host={self.dir}&user=postgres"

    def start(self) -> None:
        options = (f"-k {self.dir} -c listen_addresses='' -c fsync={'on' if self._fsync else 'off'}"
                   " -c max_connections=100 -c shared_buffers=32MB")
        self._run("pg_ctl", "-D", str(self.data), "-l", str(self.dir / "server.log"), "-o",
                  options, "-w", "-t", "30", "start")

    def stop(self, mode: str = "fast") -> None:
        self._run("pg_ctl", "-D", str(self.data), "-m", mode, "-w", "-t", "30", "stop")

    def database(self) -> str:
        """A new, empty database; its URL."""
        import psycopg
        name = f"test_{next(self._names)}"
        with psycopg.connect(self.url(), autocommit=True) as conn:
            conn.execute(f"CREATE DATABASE {name}")
        return self.url(name)

    def close(self) -> None:
        try:
            if (self.data / "postmaster.pid").exists():
                self.stop("immediate")
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture(scope="session")
def postgres() -> Iterator[PostgresServer]:
    """One server for the session; a test that cannot get it fails, it does not skip."""
    server = PostgresServer()
    try:
        yield server
    finally:
        server.close()
