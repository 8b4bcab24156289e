"""Checks that mypy --strict reports errors on exactly the lines marked `# E` of each file.

Usage: python expect_errors.py FILE...   (mypy must see the installed ruvo_safety stubs)
"""

import re
import sys
from pathlib import Path

from mypy import api

MARK = re.compile(r"#\s*E\s*$")


def check(path: Path) -> bool:
    marked = {n for n, line in enumerate(path.read_text().splitlines(), 1) if MARK.search(line)}
    out, err, status = api.run(["--strict", "--no-error-summary", str(path)])
    # Status 2 is a crash or a bad command line, not a finding.
    if status == 2 or err:
        print(f"{path}: mypy did not run:\n{err}{out}")
        return False
    reported = {int(m.group(1)) for m in re.finditer(r"^[^\n]*?:(\d+): error:", out, re.M)}
    if reported == marked and marked:
        print(f"{path}: {len(marked)} marked lines, each an error")
        return True
    for n in sorted(marked - reported):
        print(f"{path}:{n}: marked, but mypy accepts it")
    for n in sorted(reported - marked):
        print(f"{path}:{n}: unexpected error")
    print(out, end="")
    return False


def main() -> int:
    files = [Path(a) for a in sys.argv[1:]]
    if not files:
        print(__doc__)
        return 2
    return 0 if all([check(f) for f in files]) else 1


if __name__ == "__main__":
    sys.exit(main())
