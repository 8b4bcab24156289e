"""Shared fixtures; makes the shared operation table importable in every import mode."""
import gc
import pathlib
import sys

import pytest

# Under --import-mode=importlib the tests' own folder is not on sys.path; it holds only
# test helpers, never the module under test.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from postgres_server import postgres  # noqa: E402,F401  (a session fixture: one server)

# The leak counts exist only in the debug interpreter's pass; elsewhere their cases would
# fill the summary with skips.
collect_ignore = [] if hasattr(sys, "gettotalrefcount") else ["test_leaks.py"]


@pytest.fixture(scope="module")
def frozen_heap():
    """Moves every object made so far out of the collector's sight for the module's tests.

    A full collection then only walks what the tests made since: on the debug interpreter
    that is a thousand times faster, which matters to tests collecting after every step.
    """
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()
