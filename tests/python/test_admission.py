"""Gate.admit and the decorators on it: limits reserved at admission, calls that end after
they return, names that never come from a repr."""

import asyncio
import functools
import os
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from ruvo_gate import ActionRefused, AuditLog, Gate, Outcome, agentic_action
from ruvo_safety import AgenticAdapter, SafetyCertifier
from test_gate import ACTIONS, no_space, records


class ToolFailed(Exception):
    pass


def used(adapter, rate_limit=50.0):
    """The share of the budget spent, and the calls counted."""
    margin = SafetyCertifier(adapter).certify(agentic_action("x", "y")).margins["rate_limit"]
    return adapter.budget_utilization(), round((1 - margin) * rate_limit, 9)


def caught(call):
    try:
        call()
    except Exception as error:
        return error


@pytest.mark.parametrize("limit, cost, runs", [("budget_limit", 0.5, 2), ("rate_limit", None, 4)])
@pytest.mark.parametrize("mode", ["in turn", "gathered", "gathered, raising", "threads"])
def test_calls_in_flight_together_stay_within_the_limits(limit, cost, runs, mode):
    adapter = AgenticAdapter(**{limit: 1.0 if cost else 5.0})
    ran, release = [], threading.Event()
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

    async def gathered():
        return await asyncio.gather(*[pay() for _ in range(20)], return_exceptions=True)

    if mode == "threads":
        with ThreadPoolExecutor(20) as pool:
            calls = [pool.submit(pay_in_thread) for _ in range(20)]
            deadline = time.monotonic() + 10
            while len(ran) + sum(c.done() for c in calls) < 20 and time.monotonic() < deadline:
                time.sleep(0.001)
            release.set()
            results = [call.exception(timeout=10) for call in calls]
    else:
        results = [caught(lambda: asyncio.run(pay())) for _ in range(20)] \
            if mode == "in turn" else asyncio.run(gathered())
    assert (len(ran), sum(isinstance(r, ActionRefused) for r in results)) == (runs, 20 - runs)
    # The calls that ran were charged, raising or not; the refused ones were not.
    assert used(adapter, 5.0 if cost is None else 50.0) == (runs * (cost or 0.0), runs)


@pytest.mark.parametrize("outcome", list(ACTIONS))
@pytest.mark.parametrize("enforce", [True, False])
def test_admit(tmp_path, outcome, enforce):
    asked, adapter = [], AgenticAdapter()
    escalated = outcome is Outcome.ESCALATE_TO_HUMAN
    refused = outcome is Outcome.BLOCKED and enforce
    with AuditLog(tmp_path / "audit.jsonl") as audit:
        gate = Gate(adapter, approve=lambda *args: asked.append(args) or True, audit=audit)
        admit = functools.partial(gate.admit, "tool", agentic_action("a", "b", **ACTIONS[outcome]),
                                  cost=0.5, record={"session": "s-1"}, enforce=enforce)
        if refused:
            with pytest.raises(ActionRefused) as error:
                admit()
            call_id = error.value.call_id
        else:
            with admit() as admission:
                call_id = admission.call_id
            admission.finish(result="cancelled")  # finished already: nothing more is written
            assert (admission.tool, admission.verdict.outcome) == ("tool", outcome)
            assert admission.approved == (True if escalated and enforce else None)
            assert (admission.refusal is None) == (enforce or outcome.value.startswith("Cert"))
    assert len(asked) == (escalated and enforce)
    decision, *results = records(tmp_path / "audit.jsonl")
    assert decision["session"] == "s-1" and decision["call"] == call_id != ""
    assert decision.get("enforced", "absent") == ("absent" if enforce else False)
    assert [(r["call"], r["result"]) for r in results] == (
        [] if refused else [(call_id, "returned")])
    assert used(adapter) == ((0.0, 0) if refused else (0.005, 1))


@pytest.mark.parametrize("arguments, error", [
    (dict(cost=float("nan")), ValueError), (dict(cost=-1), ValueError),
    (dict(cost=True), TypeError), (dict(record={"zone": "mine"}), ValueError),
    (dict(record={1: "x"}), TypeError), (dict(enforce=None), TypeError),
    (dict(tool=b"tool"), TypeError)])
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
    yield from range(n)
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


async def drain(items, close=False):
    return await items.aclose() if close and await anext(items) == 0 else [i async for i in items]


@pytest.mark.parametrize("function, use, result", [
    (numbers, lambda tool: list(tool(2)), "returned"),
    (numbers, lambda tool: [next(g := tool(2)), g.close()], "raised: GeneratorExit"),
    (numbers, lambda tool: list(tool(3)), "raised: ToolFailed"),
    (async_numbers, lambda tool: asyncio.run(drain(tool(2))), "returned"),
    (async_numbers, lambda tool: asyncio.run(drain(tool(2), True)), "raised: GeneratorExit"),
    (async_numbers, lambda tool: asyncio.run(drain(tool(3))), "raised: ToolFailed"),
    (AsyncTool(), lambda tool: asyncio.run(tool(3)), "raised: ToolFailed"),
    (lambda n: AsyncTool()(n), lambda tool: tool(2), "raised: TypeError")])
def test_a_call_ends_when_its_work_does(tmp_path, function, use, result):
    adapter = AgenticAdapter()
    with AuditLog(tmp_path / "audit.jsonl") as audit:
        tool = Gate(adapter, audit=audit).guard(lambda n: agentic_action("a", "b"))(function)
        error = caught(lambda: use(tool))
    assert error is None or result == f"raised: {type(error).__name__}"
    assert [r["result"] for r in records(tmp_path / "audit.jsonl")[1:]] == [result]
    assert used(adapter) == (0.0, 1)


def send(to, api_key):
    return to


@pytest.mark.parametrize("function, tool", [
    (functools.partial(send, api_key="sk-SECRET"), "send"), (AsyncTool(), "AsyncTool")])
def test_tool_names_never_come_from_a_repr(tmp_path, caplog, function, tool):
    with AuditLog(tmp_path / "audit.jsonl") as audit:
        gate = Gate(AgenticAdapter(), audit=audit)
        warned = gate.guard(lambda *a: agentic_action("a", "b", scope=0.45))(function)
        blocked = gate.guard(lambda *a: agentic_action("a", "b", reversibility=0))(function)
        call = (lambda f: f("ops")) if tool == "send" else (lambda f: asyncio.run(f(1)))
        call(warned)
        refused = caught(lambda: call(blocked))
    assert refused.tool == blocked.__name__ == tool
    written = (tmp_path / "audit.jsonl").read_text() + str(refused) + caplog.text
    assert f"{tool}: Channel 'scope'" in caplog.text and "SECRET" not in written
    assert "0x" not in written


def test_a_bare_decorator_says_how_to_write_it():
    @Gate(AgenticAdapter()).guard
    def read(path):
        return path
    with pytest.raises(TypeError, match=r"@gate.guard\(lambda \.\.\.: agentic_action"):
        read("notes.txt")


def test_a_caller_cancelled_while_its_decision_is_written_leaves_a_cancelled_outcome(tmp_path):
    writing = threading.Event()

    class SlowLog(AuditLog):  # a disk that takes its time
        def append(self, record):
            writing.set()
            time.sleep(0.2)
            return super().append(record)

    path = tmp_path / "audit.jsonl"
    log = SlowLog(path)
    gate = Gate(AgenticAdapter(), audit=log)

    async def cancelled():
        task = asyncio.create_task(gate.admit_async("t", agentic_action("t", "agent")))
        await asyncio.to_thread(writing.wait, 10)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        for _ in range(100):  # the outcome is queued once the decision is in
            await asyncio.sleep(0.05)
            if len(records(path)) == 2:
                break

    asyncio.run(cancelled())
    gate.flush()
    log.close()
    decision, outcome = records(path)
    assert (decision["kind"], outcome["kind"], outcome["result"]) == \
        ("decision", "outcome", "cancelled")
    assert outcome["call"] == decision["call"]


@pytest.mark.parametrize("kind", ["async", "async generator"])
@pytest.mark.parametrize("sync", ["always", "never"])
def test_an_async_tool_writes_its_records_off_the_loop_when_they_wait_for_the_disk(
        tmp_path, kind, sync):
    loop_thread, writers = threading.get_ident(), []

    class WatchedLog(AuditLog):
        def append(self, record):
            writers.append((record["kind"], threading.get_ident() == loop_thread))
            return super().append(record)

    with WatchedLog(tmp_path / "audit.jsonl", sync=sync) as log:
        gate = Gate(AgenticAdapter(), audit=log)
        guard = gate.guard(lambda: agentic_action("t", "agent"))
        if kind == "async":
            @guard
            async def tool():
                return 1

            assert asyncio.run(tool()) == 1
        else:
            @guard
            async def tool():
                yield 1

            async def drain():
                return [item async for item in tool()]

            assert asyncio.run(drain()) == [1]
        # The outcome is written before the call returns, as a plain function's is.
        assert [name for name, _ in writers] == ["decision", "outcome"]
    assert [on_loop for _, on_loop in writers] == [sync == "never"] * 2
