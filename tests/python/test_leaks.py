"""Reference and memory-block leaks of every operation, counted by the debug interpreter.

Each operation runs in rounds of CALLS calls: WARM_UP rounds fill the interpreter's caches,
then each of the MEASURED rounds must leave sys.gettotalrefcount() and
sys.getallocatedblocks() exactly where the round before left them.
"""

import gc
import sys

import pytest

from operations import CASES

pytestmark = [pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                 reason="needs a debug interpreter (python3.14d)"),
              pytest.mark.usefixtures("frozen_heap")]

WARM_UP, MEASURED, CALLS = 3, 3, 30


def outcome_of(call):
    try:
        call()
    except BaseException as exc:
        return type(exc)
    return None


def attempt(call):
    try:
        call()
    except BaseException:
        pass


def round_deltas(call):
    """Per-round growth of the reference total and of the allocated blocks."""
    rounds = WARM_UP + MEASURED
    # Filled with small ints, which are preallocated: storing a zero allocates nothing.
    refs = [0] * rounds
    blocks = [0] * rounds
    gc.collect()
    ref_total, block_total = sys.gettotalrefcount(), sys.getallocatedblocks()
    for i in range(rounds):
        for _ in range(CALLS):
            attempt(call)
        gc.collect()
        new_ref_total, new_block_total = sys.gettotalrefcount(), sys.getallocatedblocks()
        refs[i] = new_ref_total - ref_total
        blocks[i] = new_block_total - block_total
        ref_total, block_total = new_ref_total, new_block_total
    return refs[WARM_UP:], blocks[WARM_UP:]


@pytest.mark.parametrize("call, outcome", CASES)
def test_no_leak(call, outcome):
    # The operation must take the path its case names, or the count says nothing about it.
    assert outcome_of(call) is outcome
    refs, blocks = round_deltas(call)
    assert (refs, blocks) == ([0] * MEASURED, [0] * MEASURED), \
        f"growth per round of {CALLS} calls: references {refs}, blocks {blocks}"


def test_the_count_sees_a_leak():
    kept = []
    assert round_deltas(lambda: kept.append(object())) == ([CALLS] * MEASURED,) * 2
