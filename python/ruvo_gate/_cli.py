"""The command line: checking and exporting an audit chain without writing any code."""

from __future__ import annotations

import argparse
import logging
import re
import shutil
import sys
import urllib.parse
from collections.abc import Sequence
from typing import BinaryIO

from ._audit import verify_log
from ._store import DEFAULT_CHAIN, database_store, file_path, redacted
from ._store_file import open_for_reading

# A key is a few dozen bytes; the cap keeps a wrong file (a device, a log) from filling
# the memory. The key file may be a pipe (`--key-file <(...)`), so its size is not asked.
_KEY_FILE_CAP = 64 * 1024
_ANCHOR_RE = re.compile(r"(\d+):([0-9a-f]{64})")


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns 0 for an intact chain (or a done export), 1 for a broken
    one, 2 when the chain or the key cannot be read or the command line is wrong."""
    parser = argparse.ArgumentParser(
        prog="ruvo-gate",
        description="ruvo_gate from the shell: check and export audit chains, and guard "
                    "an MCP server.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    verify = commands.add_parser(
        "verify", help="check an audit chain",
        description="Checks every record of an audit chain: JSON, seq without gap, prev, "
                    "digest. Exits 0 when it is intact, 1 when it is broken, 2 when it "
                    "cannot be read.")
    export = commands.add_parser(
        "export", help="write an audit chain's lines to standard output",
        description="Writes a chain's records as JSON lines, byte for byte as they were "
                    "hashed: `verify` (or any RFC 8785 implementation) checks the output "
                    "as a file.")
    for command in (verify, export):
        command.add_argument("target", metavar="TARGET",
                             help="the audit file, or sqlite:///PATH or postgresql://...")
        command.add_argument("--chain", metavar="NAME", default=None,
                             help=f"the chain of a database (default: {DEFAULT_CHAIN!r})")
    verify.add_argument("--key-file", metavar="FILE",
                        help="the HMAC key the log was written with: the file's bytes, "
                             "exactly as stored")
    verify.add_argument("--expect", metavar="RECORDS:DIGEST",
                        help="an anchor published earlier (AuditLog.head()): fail unless "
                             "the record at that position has that digest")
    _add_mcp(commands)
    args = parser.parse_args(argv)
    if args.command == "mcp":
        return _run_mcp(parser, args)
    try:
        if args.command == "export":
            _export(args.target, args.chain, sys.stdout.buffer)
            return 0
        return _verify(args)
    except Exception as error:
        # A file's errors are OSError and ValueError; a database driver has its own.
        if not isinstance(error, (OSError, ValueError)) and file_path(args.target):
            raise
        print(f"ruvo_gate {args.command}: cannot read {redacted(args.target)}: {error}",
              file=sys.stderr)
        return 2


def _verify(args: argparse.Namespace) -> int:
    key = None
    if args.key_file is not None:
        try:
            with open(args.key_file, "rb") as stream:
                key = stream.read(_KEY_FILE_CAP + 1)
        except OSError as error:
            print(f"ruvo_gate verify: cannot read the key file: {error}", file=sys.stderr)
            return 2
        if len(key) > _KEY_FILE_CAP:
            print(f"ruvo_gate verify: the key file {args.key_file} holds more than "
                  f"{_KEY_FILE_CAP // 1024} KiB: a key is a few dozen bytes; is it the key "
                  "file?", file=sys.stderr)
            return 2
    expect = None
    if args.expect is not None:
        anchor = _ANCHOR_RE.fullmatch(args.expect)
        if anchor is None:
            print(f"ruvo_gate verify: --expect takes RECORDS:DIGEST (a count, a colon, 64 "
                  f"lowercase hexadecimal digits), not {args.expect!r}", file=sys.stderr)
            return 2
        expect = int(anchor[1]), anchor[2]
    report = verify_log(args.target, key=key, chain=args.chain, expect=expect)
    print(f"{redacted(args.target)}: {report}")
    return 0 if report.ok else 1


def _add_mcp(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    mcp = commands.add_parser(
        "mcp", help="guard an MCP server: certify and audit every tool call",
        usage="%(prog)s --policy POLICY.toml [options] (-- COMMAND [ARG...] | --upstream URL)",
        description="A Model Context Protocol proxy between a host and one server: every "
                    "tools/call is decided by the policy and the gate before it reaches the "
                    "server. The host speaks to it on stdin/stdout, or over Streamable HTTP "
                    "with --listen; the server is COMMAND, run as a child process, or the "
                    "Streamable HTTP server at --upstream. Exits 0 when the host ends the "
                    "session, 1 when the server ends it, 2 when nothing could be started.")
    mcp.add_argument("--policy", required=True, metavar="POLICY.toml",
                     help="the policy file; SIGHUP reads it again")
    mcp.add_argument("--audit", metavar="PATH", help="append every decision and outcome to "
                     "this audit log")
    mcp.add_argument("--audit-sync", choices=("always", "never"), default="always",
                     help="fsync each audit record (always, the default) or leave it to the "
                          "system (never)")
    mcp.add_argument("--key-file", metavar="FILE", help="an HMAC key for the audit log's "
                     "digests: the file's bytes, exactly as stored")
    mcp.add_argument("--listen", metavar="HOST:PORT", help="serve hosts over Streamable "
                     "HTTP at http://HOST:PORT/mcp instead of stdin/stdout")
    mcp.add_argument("--token-file", metavar="FILE", help="with --listen, require "
                     "Authorization: Bearer with the token this file holds")
    mcp.add_argument("--allow-origin", action="append", default=[], metavar="ORIGIN",
                     help="with --listen, let browser pages from ORIGIN (scheme://host[:port]) "
                          "use the endpoint besides loopback ones; may be repeated")
    mcp.add_argument("--max-sessions", type=int, default=16, metavar="N",
                     help="with --listen, the most HTTP sessions at once (default 16)")
    mcp.add_argument("--max-message", type=int, default=16 * 1024 * 1024, metavar="BYTES",
                     help="the longest message taken from either side (default 16 MiB)")
    mcp.add_argument("--upstream", metavar="URL", help="the MCP server at this Streamable "
                     "HTTP URL instead of a command")
    mcp.add_argument("upstream_command", nargs=argparse.REMAINDER, metavar="-- COMMAND",
                     help="the MCP server to run, speaking stdio")


def _run_mcp(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    from ._mcp_proxy import ProxySettings, run_proxy

    command = list(args.upstream_command)
    if command[:1] == ["--"]:
        del command[0]
    if bool(command) == (args.upstream is not None):
        print("ruvo_gate mcp: give the server either as -- COMMAND [ARG...] or as "
              "--upstream URL", file=sys.stderr)
        return 2
    if args.max_sessions < 1 or args.max_message < 1024:
        print("ruvo_gate mcp: --max-sessions must be at least 1 and --max-message at least "
              "1024", file=sys.stderr)
        return 2
    secrets: dict[str, bytes | None] = {"key": None, "token": None}
    for name, path in (("key", args.key_file), ("token", args.token_file)):
        if path is not None:
            try:
                with open(path, "rb") as stream:
                    secrets[name] = stream.read()
            except OSError as error:
                print(f"ruvo_gate mcp: cannot read the {name} file: {error}", file=sys.stderr)
                return 2
    token = secrets["token"]
    if token is not None and args.listen is None:
        print("ruvo_gate mcp: --token-file goes with --listen", file=sys.stderr)
        return 2
    if args.allow_origin and args.listen is None:
        print("ruvo_gate mcp: --allow-origin goes with --listen", file=sys.stderr)
        return 2
    for origin in args.allow_origin:
        if not _is_origin(origin):
            print(f"ruvo_gate mcp: --allow-origin {origin!r} is not an origin: write it as "
                  "a browser sends it, scheme://host[:port], e.g. https://app.example.com",
                  file=sys.stderr)
            return 2
    logging.basicConfig(level=logging.WARNING, stream=sys.stderr,
                        format="ruvo-gate mcp: %(levelname)s: %(message)s")
    return run_proxy(ProxySettings(
        policy=args.policy, command=command, upstream_url=args.upstream, audit=args.audit,
        audit_sync=args.audit_sync, key=secrets["key"], listen=args.listen,
        token=None if token is None else token.decode("utf-8", "replace").strip(),
        max_sessions=args.max_sessions, max_message=args.max_message,
        allowed_origins=tuple(args.allow_origin)))


def _is_origin(text: str) -> bool:
    try:
        parts = urllib.parse.urlsplit(text)
        _ = parts.port  # a port that is not a number raises ValueError
    except ValueError:
        return False
    return parts.scheme in ("http", "https") and bool(parts.hostname) \
        and parts.path in ("", "/") and not (parts.query or parts.fragment or parts.username
                                             or parts.password)


def _export(target: str, chain: str | None, out: BinaryIO) -> None:
    path = file_path(target)
    if path is not None:
        if chain not in (None, DEFAULT_CHAIN):
            raise ValueError(f"a file holds one chain, {DEFAULT_CHAIN!r}, not {chain!r}")
        with open(open_for_reading(path), "rb") as stream:
            shutil.copyfileobj(stream, out)
    else:
        store = database_store(target, sync=False, existing=True,
                               chain=DEFAULT_CHAIN if chain is None else chain)
        try:
            for line in store.lines():
                out.write(line)
        finally:
            store.close()
    out.flush()
