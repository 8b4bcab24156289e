"""The command line: checking an audit log without writing any code."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from ._audit import verify_log

# A key is a few dozen bytes; the cap keeps a wrong file (a device, a log) from filling
# the memory. The key file may be a pipe (`--key-file <(...)`), so its size is not asked.
_KEY_FILE_CAP = 64 * 1024


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns 0 for an intact log, 1 for a broken one, 2 when the log or
    the key cannot be read or the command line is wrong."""
    parser = argparse.ArgumentParser(
        prog="python -m ruvo_gate",
        description="Tools for the audit logs that ruvo_gate writes.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    verify = commands.add_parser(
        "verify", help="check an audit log's hash chain",
        description="Checks every line of an audit log: JSON, seq without gap, prev, digest. "
                    "Exits 0 when the log is intact, 1 when it is broken, 2 when it cannot "
                    "be read.")
    verify.add_argument("path", metavar="PATH", help="the audit log (JSON lines)")
    verify.add_argument("--key-file", metavar="FILE",
                        help="the HMAC key the log was written with: the file's bytes, "
                             "exactly as stored")
    args = parser.parse_args(argv)

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
    try:
        report = verify_log(args.path, key=key)
    except OSError as error:
        print(f"ruvo_gate verify: cannot read the log: {error}", file=sys.stderr)
        return 2
    except ValueError as error:
        print(f"ruvo_gate verify: {error}", file=sys.stderr)
        return 2
    print(f"{args.path}: {report}")
    return 0 if report.ok else 1
