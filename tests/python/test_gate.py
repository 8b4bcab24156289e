"""ruvo_gate.Gate and the agentic helpers: every outcome fails closed, sync and async alike."""

import asyncio
import errno
import inspect
import itertools
import json
import logging
import math
import os

import pytest

from ruvo_gate import ActionRefused, AuditLog, Gate, Outcome, agentic_action, check_agentic
from ruvo_safety import AgenticAdapter, SimpleAction, StateDelta

# One action per outcome under the default thresholds.
ACTIONS = {
    Outcome.CERTIFIED: dict(),
    Outcome.CERTIFIED_WITH_WARNING: dict(scope=0.45),
    Outcome.ESCALATE_TO_HUMAN: dict(scope=0.2),
    Outcome.BLOCKED: dict(reversibility=0.0),
}


class ApproverFailed(Exception):
    pass


def approver(mode, asynchronous):
    answers = {"declines": False, "approves": True, "says yes": "yes"}

    def answer(tool, verdict, certificate):
        assert (tool, verdict.outcome) == ("tool", Outcome.ESCALATE_TO_HUMAN)
        if mode == "raises":
            raise ApproverFailed
        return answers[mode]

    async def answer_later(*args):
        return answer(*args)

    return None if mode == "none" else answer_later if asynchronous else answer


def records(path):
    return [json.loads(line) for line in path.read_text().splitlines()]


@pytest.mark.parametrize("outcome, asynchronous, mode", list(itertools.product(
    ACTIONS, [False, True], ["none", "declines", "approves", "says yes", "raises"])))
def test_outcomes(tmp_path, caplog, outcome, asynchronous, mode):
    adapter = AgenticAdapter()
    ran = []
    with AuditLog(tmp_path / "audit.jsonl") as audit:
        gate = Gate(adapter, approve=approver(mode, asynchronous), audit=audit)
        guard = gate.guard(lambda x: agentic_action("act", "agent", **ACTIONS[outcome]),
                           name="tool", cost=2.5)

        def body(x):
            ran.append(x)
            return x + 1

        async def later(x):
            return body(x)

        tool = guard(later if asynchronous else body)
        call = (lambda: asyncio.run(tool(1))) if asynchronous else (lambda: tool(1))

        escalated = outcome is Outcome.ESCALATE_TO_HUMAN
        runs = outcome in (Outcome.CERTIFIED, Outcome.CERTIFIED_WITH_WARNING) or (
            escalated and mode == "approves")
        if runs:
            assert call() == 2
        elif escalated and mode == "raises":
            with pytest.raises(ApproverFailed):
                call()
        else:
            with pytest.raises(ActionRefused) as refused:
                call()
            assert (refused.value.tool, refused.value.verdict.outcome) == ("tool", outcome)
            assert refused.value.certificate.action_id == "act"
    assert ran == ([1] if runs else [])
    # A call that ran is counted and charged; one that did not leaves the adapter alone.
    assert adapter.budget_utilization() == (0.025 if runs else 0.0)
    decision, *rest = records(tmp_path / "audit.jsonl")
    assert (decision["kind"], decision["outcome"], decision["tool"]) == ("decision", outcome, "tool")
    assert decision["approved"] == ((mode == "approves") if escalated else None)
    assert [r["result"] for r in rest] == (["returned"] if runs else [])
    warned = [r.getMessage() for r in caplog.records if r.name == "ruvo_gate"]
    assert warned == (["tool: Channel 'scope' margin 0.4500 below warning threshold"]
                      if outcome is Outcome.CERTIFIED_WITH_WARNING else [])


def no_space(*args, **kwargs):
    raise OSError(errno.ENOSPC, "No space left on device")


@pytest.mark.parametrize("case, error", [
    ("builder raises", ZeroDivisionError), ("builder returns str", TypeError),
    ("misspelt dimension", ValueError), ("dimension named twice", ValueError),
    ("cost raises", ValueError), ("write fails", OSError),
    ("sync fails", OSError), ("async approver on a plain tool", TypeError)])
def test_fail_closed(tmp_path, monkeypatch, case, error):
    ran = []
    builds = {"builder raises": lambda: 1 / 0, "builder returns str": lambda: "act",
              "misspelt dimension": lambda: SimpleAction("act", "agent", [
                  StateDelta("Scope_Score", 1.0, 0.0)]),
              "dimension named twice": lambda: SimpleAction("act", "agent", [
                  StateDelta("scope_score", 1.0, 0.0), StateDelta("scope_score", 1.0, 1.0)])}
    build = builds.get(case, lambda: agentic_action("act", "agent", scope=0.2))
    cost = (lambda: math.nan) if case == "cost raises" else None

    async def approve(*args):
        return True
    with AuditLog(tmp_path / "audit.jsonl") as audit:
        gate = Gate(AgenticAdapter(), audit=audit,
                    approve=approve if case == "async approver on a plain tool" else None)

        @gate.guard(build, cost=cost)
        def tool():
            ran.append(1)

        if case == "write fails":
            monkeypatch.setattr(os, "write", no_space)
        elif case == "sync fails":
            monkeypatch.setattr(os, "fsync", no_space)
        with pytest.raises(error):
            tool()
    assert ran == []


def test_an_unusable_audit_path_stops_the_gate_being_built(tmp_path):
    for path in (tmp_path, tmp_path / "missing" / "audit.jsonl"):
        with pytest.raises(OSError):
            AuditLog(path)


def test_the_wrapper_keeps_the_function_and_counts_every_call_that_ran():
    adapter = AgenticAdapter(rate_limit=10.0)
    gate = Gate(adapter)

    @gate.guard(lambda path: agentic_action(path, "agent"))
    def read(path: str) -> str:
        """Reads a file."""
        if path == "missing":
            raise FileNotFoundError(path)
        return path

    @gate.guard(lambda path: agentic_action(path, "agent"))
    async def fetch(path: str) -> str:
        return path

    assert (read.__name__, read.__doc__, read.__wrapped__.__name__) == (
        "read", "Reads a file.", "read")
    assert inspect.iscoroutinefunction(fetch) and not inspect.iscoroutinefunction(read)
    assert read("a") == "a" and asyncio.run(fetch("b")) == "b"
    with pytest.raises(FileNotFoundError):
        read("missing")
    # Three calls ran: 3 of 10 used; the regime-change headroom rule is still far.
    assert gate.certifier.certify(agentic_action("x", "y")).margins["rate_limit"] == 0.7


@pytest.mark.parametrize("scores", [
    dict(scope=math.nan), dict(reversibility=math.inf), dict(sensitivity=-0.01),
    dict(scope=1.01), dict(scope="0.5"), dict(scope=True), dict(scope=None)])
def test_agentic_action_takes_finite_scores_in_0_1(scores):
    with pytest.raises(ValueError, match="must be a "):
        agentic_action("act", "agent", **scores)


def test_agentic_action_carries_the_three_scores():
    action = agentic_action("act", "agent", scope=0.5, sensitivity=0)
    assert [(d.dimension, d.from_value, d.to_value) for d in action.state_deltas] == [
        ("scope_score", 1.0, 0.5), ("reversibility_score", 1.0, 1.0),
        ("sensitivity_score", 1.0, 0.0)]
    check_agentic(action)


@pytest.mark.parametrize("dimension, hint", [
    ("Scope_Score", 'did you mean "scope_score"?'),
    ("scope", 'did you mean "scope_score"?'),
    ("data_sensitivity", 'did you mean "sensitivity_score"?'),
    ("reversibilty_score", 'did you mean "reversibility_score"?'),
    ("budget", "AgenticAdapter.record_spend()"),
    ("rate_limit", "AgenticAdapter.record_action()"),
    ("colour", 'it reads "scope_score", "reversibility_score" and "sensitivity_score"'),
    ("scope_score", '"scope_score" is named 2 times, and the agentic adapter reads only the last'),
])
def test_check_agentic_names_what_would_be_ignored(dimension, hint):
    action = SimpleAction("act", "agent", [StateDelta("scope_score", 1.0, 0.5),
                                           StateDelta(dimension, 1.0, 0.5)])
    with pytest.raises(ValueError) as error:
        check_agentic(action)
    assert str(error.value).startswith(f'action "act": "{dimension}" ')
    assert hint in str(error.value)
