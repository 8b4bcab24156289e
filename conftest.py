"""Runs the Python blocks of README.md and docs/*.md as tests, as a reader pasting them would.

The blocks of one page run in order in one namespace, in a fresh temporary folder, with
nothing but the installed packages. A block starting with `>>>` also checks the output it
shows (`...` stands for any text in it; a run of spaces and line breaks matches any
other, so long output is wrapped to fit the page). `<!-- skip: next -->` before a block
leaves it out.
"""

import doctest
import os
import shutil
import tempfile

from sybil import Sybil
from sybil.parsers.markdown import PythonCodeBlockParser, SkipParser

_folders: list[tuple[str, str]] = []


def _enter_a_fresh_folder(namespace: dict[str, object]) -> None:
    folder = tempfile.mkdtemp(prefix="ruvo-docs-")
    _folders.append((os.getcwd(), folder))
    os.chdir(folder)


def _leave_it(namespace: dict[str, object]) -> None:
    previous, folder = _folders.pop()
    os.chdir(previous)
    shutil.rmtree(folder)


pytest_collect_file = Sybil(
    parsers=[SkipParser(), PythonCodeBlockParser(
        doctest_optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)],
    patterns=["README.md", "docs/*.md"],
    setup=_enter_a_fresh_folder,
    teardown=_leave_it,
).pytest()
