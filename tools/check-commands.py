"""Runs the shell blocks that README.md and docs/*.md mark `<!-- check: NAME -->`, exactly as
written, each from the root of a fresh copy of the tree, as a reader following them would.

Usage: python tools/check-commands.py [NAME ...]   (default: every marked block)
The copies share this checkout's toolchain (.toolchain/, linked), so nothing is downloaded
again; everything else they build, they build from scratch. Exits 1 if a block fails.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
MARKED = re.compile(r"<!-- check: ([\w-]+) -->\n```sh\n(.*?)```", re.S)


def marked_blocks() -> dict[str, str]:
    blocks: dict[str, str] = {}
    for page in [TOP / "README.md", *sorted((TOP / "docs").glob("*.md"))]:
        for name, text in MARKED.findall(page.read_text(encoding="utf-8")):
            if blocks.setdefault(name, text) != text:
                sys.exit(f"check-commands: two different blocks are marked {name!r}")
    return blocks


def fresh_copy(into: Path) -> None:
    files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                           cwd=TOP, check=True, capture_output=True).stdout.split(b"\0")
    for name in filter(None, files):
        source = TOP / os.fsdecode(name)
        if source.is_file():
            target = into / os.fsdecode(name)
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target)
    (into / ".toolchain").symlink_to(TOP / ".toolchain")


def main() -> int:
    blocks = marked_blocks()
    wanted = sys.argv[1:] or list(blocks)
    failed = []
    for name in wanted:
        with tempfile.TemporaryDirectory(prefix=f"check-{name}-") as folder:
            copy = Path(folder) / "ruvo"
            fresh_copy(copy)
            start = time.monotonic()
            done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", blocks[name]], cwd=copy,
                                  env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"},
                                  capture_output=True, text=True)
            took = time.monotonic() - start
            if done.returncode:
                failed.append(name)
                print(done.stdout + done.stderr)
            last = (done.stdout.strip().splitlines() or [""])[-1]
            print(f"check-commands: {name}: {'ok' if not done.returncode else 'FAILED'} "
                  f"in {took:.0f} s: {last}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
