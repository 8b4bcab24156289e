"""Gate.admit and what the decorators build on it: limits reserved at admission, calls that
end later than they return, names that never come from a repr."""

import asyncio
import functools
import os
import threading
import time

import pytest

from ruvo_gate import ActionRefused, AuditLog, Gate, Outcome, agentic_action
from test_gate import ACTIONS, no_space, records
from ruvo_safety import AgenticAdapter, SafetyCertifier


class ToolFailed(Exception):
    pass


def used(adapter, rate_limit=50.0):
    """The budget the adapter counts as spent, and the calls it counts."""
    margin = SafetyCertifier(adapter).certify(agentic_action("x", "y")).margins["rate_limit"]
    return adapter.budget_utilization(), round((1 - margin) * rate_limit, 9)


def refused_or(call, refused):
    try:
        call()
    except ActionRefused:
        refused.append(1)


@pytest.mark.parametrize("limit, cost, runs", [("budget_limit", 0.5, 2), ("rate_limit", None, 4)])
@pytest.mark.parametrize("mode", ["in turn", "gathered", "gathered, raising", "threads"])
def test_calls_in_flight_together_stay_within_the_limits(limit, cost, runs, mode):
    adapter, ran, refused, release = AgenticAdapter(**{limit: 1.0 if cost else 5.0}), [], [], \
        threading.Event()
    guard = Gate(adapter).guard(lambda: agentic_action("pay", "agent"), cost=cost)

    @guard
    async def pay():
        ran.append(1)
        await asyncio.sleep(0.01)
        if "raising" in mode:
            raise ToolFailed

    @guard
    def pay_in_thread():
        ran.append(1)
        release.wait(timeout=10)  # held until every call was admitted or refused

    if mode == "threads":
        threads = [threading.Thread(target=refused_or, args=(pay_in_thread, refused))
                   for _ in range(20)]
        for thread in threads:
            thread.start()
        deadline = time.monotonic() + 10
        while len(ran) + len(refused) < 20 and time.monotonic() < deadline:
            time.sleep(0.001)
        release.set()
        for thread in threads:
            thread.join(timeout=10)
    elif mode == "in turn":
        for _ in range(20):
            refused_or(lambda: asyncio.run(pay()), refused)
    else:
        async def gathered():
            return await asyncio.gather(*[pay() for _ in range(20)], return_exceptions=True)
        results = asyncio.run(gathered())
        refused = [r for r in results if isinstance(r, ActionRefused)]
    assert (len(ran), len(refused)) == (runs, 20 - runs)
    # The calls that ran were charged, raising or not; the refused ones were not.
    assert used(adapter, 5.0 if limit == "rate_limit" else 50.0) == (
        runs * cost if cost else 0.0, runs)


@pytest.mark.parametrize("outcome", list(ACTIONS))
@pytest.mark.parametrize("enforce", [True, False])
def test_admit(tmp_path, outcome, enforce):
    asked, adapter = [], AgenticAdapter()

    def approve(*args):
        asked.append(args)
        return True

    escalated, blocked = outcome is Outcome.ESCALATE_TO_HUMAN, outcome is Outcome.BLOCKED
    with AuditLog(tmp_path / "audit.jsonl") as audit:
        admit = functools.partial(
            Gate(adapter, approve=approve, audit=audit).admit, "tool",
            agentic_action("act", "agent", **ACTIONS[outcome]), cost=0.5,
            record={"session": "s-1"}, enforce=enforce)
        if blocked and enforce:
            with pytest.raises(ActionRefused) as refused:
                admit()
            call_id = refused.value.call_id
        else:
            with admit() as admission:
                call_id = admission.call_id
            admission.finish(result="cancelled")  # finished already: nothing more is written
            assert (admission.tool, admission.verdict.outcome) == ("tool", outcome)
            assert admission.approved == (True if escalated and enforce else None)
            assert (admission.refusal is None) == (enforce or not (escalated or blocked))
    assert len(asked) == (escalated and enforce)
    decision, *results = records(tmp_path / "audit.jsonl")
    assert decision["session"] == "s-1" and decision["call"] == call_id != ""
    assert decision.get("enforced", "absent") == ("absent" if enforce else False)
    assert [(r["call"], r["result"]) for r in results] == (
        [] if blocked and enforce else [(call_id, "returned")])
    assert used(adapter) == ((0.0, 0) if blocked and enforce else (0.005, 1))


@pytest.mark.parametrize("arguments, error", [
    (dict(cost=float("nan")), ValueError), (dict(cost=-1), ValueError), (dict(cost=True), TypeError),
    (dict(record={"zone": "mine"}), ValueError), (dict(record={"digest": ""}), ValueError),
    (dict(enforce=None), TypeError), (dict(tool=b"tool"), TypeError)])
def test_admit_refuses_its_arguments_before_charging(arguments, error):
    adapter = AgenticAdapter()
    with pytest.raises(error):
        Gate(adapter).admit(arguments.pop("tool", "tool"), agentic_action("a", "b"), **arguments)
    assert used(adapter) == (0.0, 0)


def test_a_decision_that_cannot_be_written_keeps_its_reservation(tmp_path, monkeypatch):
    adapter = AgenticAdapter()
    with AuditLog(tmp_path / "audit.jsonl") as audit:
        monkeypatch.setattr(os, "write", no_space)
        with pytest.raises(OSError):
            Gate(adapter, audit=audit).admit("tool", agentic_action("a", "b"), cost=1.0)
    assert used(adapter) == (0.01, 1)


def test_an_async_approver_is_awaited_by_admit_async_only():
    async def approve(*args):
        return True
    gate, action = Gate(AgenticAdapter(), approve=approve), agentic_action("a", "b", scope=0.2)
    with pytest.raises(TypeError, match="the approver returned an awaitable"):
        gate.admit("tool", action)
    assert asyncio.run(gate.admit_async("tool", action)).approved is True


def numbers(n):
    for i in range(n):
        yield i
    if n == 3:
        raise ToolFailed


async def async_numbers(n):
    for i in range(n):
        yield i
    if n == 3:
        raise ToolFailed


class AsyncTool:
    async def __call__(self, n):
        if n == 3:
            raise ToolFailed
        return list(range(n))


def lazy(n):
    return AsyncTool()(n)


def consume(tool, how):
    """Calls a guarded tool the way its kind is used, stopping early for "closed"."""
    size = 3 if "raises" in how else 2

    async def consume_async():
        if how.startswith("awaited"):
            return await tool(size)
        out, items = [], tool(size)
        async for item in items:
            out.append(item)
            if how == "closed":
                await items.aclose()
        return out
    if how == "called":
        return tool(size)
    if tool.__name__.startswith("async") or how.startswith("awaited"):
        return asyncio.run(consume_async())
    items = tool(size)
    return [next(items), items.close()][:1] if how == "closed" else list(items)


@pytest.mark.parametrize("function, how, result", [
    (numbers, "exhausted", "returned"), (numbers, "closed", "raised: GeneratorExit"),
    (numbers, "raises", "raised: ToolFailed"),
    (async_numbers, "exhausted", "returned"), (async_numbers, "closed", "raised: GeneratorExit"),
    (async_numbers, "raises", "raised: ToolFailed"),
    (AsyncTool(), "awaited, raises", "raised: ToolFailed"), (lazy, "called", "raised: TypeError")])
def test_a_call_ends_when_its_work_does(tmp_path, function, how, result):
    adapter = AgenticAdapter()
    with AuditLog(tmp_path / "audit.jsonl") as audit:
        tool = Gate(adapter, audit=audit).guard(lambda n: agentic_action("a", "b"))(function)
        assert records(tmp_path / "audit.jsonl") == []  # nothing runs before it is used
        try:
            assert consume(tool, how) in ([0, 1], [0])
        except (ToolFailed, TypeError) as error:
            assert result == f"raised: {type(error).__name__}"
            assert "async def" in str(error) or isinstance(error, ToolFailed)
    assert [r["result"] for r in records(tmp_path / "audit.jsonl")[1:]] == [result]
    assert used(adapter) == (0.0, 1)


def send(to, api_key):
    return to


@pytest.mark.parametrize("function, tool", [
    (functools.partial(send, api_key="sk-SECRET"), "send"), (AsyncTool(), "AsyncTool")])
def test_tool_names_never_come_from_a_repr(tmp_path, caplog, function, tool):
    with AuditLog(tmp_path / "audit.jsonl") as audit:
        gate = Gate(AgenticAdapter(), audit=audit)
        gate.guard(lambda *a: agentic_action("a", "b", scope=0.45))(function)
        guarded = gate.guard(lambda *a: agentic_action("a", "b", reversibility=0))(function)
        with pytest.raises(ActionRefused) as refused:
            guarded("ops") if tool == "send" else asyncio.run(guarded(1))
    assert refused.value.tool == guarded.__name__ == tool
    written = (tmp_path / "audit.jsonl").read_text() + str(refused.value) + caplog.text
    assert "SECRET" not in written and "0x" not in written


def test_a_bare_decorator_says_how_to_write_it():
    @Gate(AgenticAdapter()).guard
    def read(path):
        return path
    with pytest.raises(TypeError, match=r"@gate.guard\(lambda \.\.\.: agentic_action"):
        read("notes.txt")
