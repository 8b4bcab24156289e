"""Every operation with one allocation failing, for each allocation it makes in turn.

With allocation n+1 made to fail (n = 0, 1, 2, ...), an operation must either raise
MemoryError or end exactly as it does with memory to spare: same result, or same exception
type and text. An exception other than MemoryError carries exactly one argument. The sweep
of an operation ends once CLEAN_STREAK consecutive n end as without failure: by then the
failing allocation comes after the operation's last one.

A MemoryError met inside a Python adapter or channel method is that method's failure, and
becomes the documented RuntimeError or TypeError naming it.
"""

import gc
import re

import pytest

from operations import CASES, describe

_testcapi = pytest.importorskip("_testcapi", reason="needs _testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("needs _testcapi.set_nomemory", allow_module_level=True)
pytestmark = pytest.mark.usefixtures("frozen_heap")

CLEAN_STREAK = 50
MAX_ALLOCATIONS = 2000
NEVER = 10**6  # an n past any operation's allocations: nothing fails

WRAPPED_MEMORY_ERROR = re.compile(
    r"(Domain adapter error|Constraint channel evaluation failed|"
    r"Adapter must be an AgenticAdapter or a DomainAdapter subclass): MemoryError: ")


def injected(call, n):
    """Runs call() with allocation n+1 failing; nothing else runs while the hook is set."""
    # A full collection empties the free lists, so objects are really allocated.
    gc.collect()
    result = error = None
    _testcapi.set_nomemory(n, n + 1)
    try:
        result = call()
    except BaseException as exc:
        error = exc
    finally:
        _testcapi.remove_mem_hooks()
    return result, error


def account(result, error):
    if error is None:
        return "returns", describe(result)
    return type(error), str(error)


def text(result, error):
    return repr(error) if error is not None else f"result {describe(result)!r}"


def argument_fault(error):
    # Unicode errors carry the interpreter's five fixed arguments.
    if error is None or isinstance(error, (MemoryError, UnicodeError)) or len(error.args) == 1:
        return None
    return f"{error!r} raised with {len(error.args)} arguments"


def fault_of(result, error, expected):
    """What is wrong with one run under failure injection, or None."""
    if isinstance(error, MemoryError):
        return None
    wrapped = type(error) in (RuntimeError, TypeError) and WRAPPED_MEMORY_ERROR.match(str(error))
    if account(result, error) != account(*expected) and not wrapped:
        return f"{text(result, error)} instead of {text(*expected)}"
    return argument_fault(error)


def sweep(call):
    """The faults met, each with the first n that shows it."""
    expected = injected(call, NEVER)
    faults = {}
    streak = 0
    for n in range(MAX_ALLOCATIONS):
        result, error = injected(call, n)
        fault = fault_of(result, error, expected)
        if fault:
            faults.setdefault(fault, n)
        clean = not fault and account(result, error) == account(*expected)
        streak = streak + 1 if clean else 0
        if streak == CLEAN_STREAK:
            return faults
    faults[f"no {CLEAN_STREAK} clean runs in a row"] = MAX_ALLOCATIONS
    return faults


@pytest.mark.parametrize("call, outcome", CASES)
def test_allocation_failures(call, outcome):
    # Warm the interpreter's caches so the sweep counts the operation's own allocations.
    for _ in range(3):
        result, error = injected(call, NEVER)
    assert (type(error) if error else None) is outcome
    assert argument_fault(error) is None
    faults = sweep(call)
    assert not faults, "\n".join(f"n={n}: {fault}" for fault, n in faults.items())
