"""A typed use of ruvo_gate: must pass mypy --strict and run."""

import asyncio
import tempfile
from collections.abc import Coroutine
from pathlib import Path
from typing import Any, assert_type

from ruvo_gate import (ActionRefused, Admission, Approver, AuditLog, Gate, LogReport, Outcome,
                       Verdict, agentic_action, check_agentic, verdict, verify_log)
from ruvo_safety import AgenticAdapter, SafetyCertificate


def approve(tool: str, found: Verdict, certificate: SafetyCertificate) -> bool:
    return found.outcome is Outcome.ESCALATE_TO_HUMAN and tool == "read"


async def approve_later(tool: str, found: Verdict, certificate: SafetyCertificate) -> bool:
    return False


folder = Path(tempfile.mkdtemp())
with AuditLog(folder / "audit.jsonl", key=b"k", sync="never") as audit:
    gate = Gate(AgenticAdapter(budget_limit=10.0), approve=approve, audit=audit)

    @gate.guard(lambda path, limit=10: agentic_action(path, "agent", sensitivity=0.7),
                cost=lambda path, limit=10: 0.5)
    def read(path: str, limit: int = 10) -> str:
        return path[:limit]

    @Gate(AgenticAdapter(), approve=approve_later).guard(
        lambda url: agentic_action(url, "agent"))
    async def fetch(url: str) -> bytes:
        return url.encode()

    assert_type(read("notes.txt", limit=3), str)
    pending: Coroutine[Any, Any, bytes] = fetch("u")
    pending.close()
    assert_type(asyncio.run(fetch("u")), bytes)

    action = agentic_action("act", "agent", scope=0.2)
    check_agentic(action)
    try:
        assert_type(gate.guard(lambda: action)(lambda: 1)(), int)
    except ActionRefused as refused:
        assert_type(refused.verdict, Verdict)
        assert_type(refused.certificate, SafetyCertificate)
        assert_type(refused.tool, str)
    assert_type(verdict(gate.certifier.certify(action)).warnings, tuple[str, ...])
    assert_type(verdict("Certified").allowed, bool)
    with gate.admit("read", agentic_action("read", "agent"), cost=0.1,
                    record={"session": "s-1"}) as admission:
        assert_type(admission, Admission)
        assert_type(admission.refusal, str | None)
    admission.finish(result="cancelled")
    observed = asyncio.run(gate.admit_async("read", action, enforce=False))
    assert_type(observed.approved, bool | None)
    observed.finish(ValueError("x"))
    asker: Approver = approve_later

report: LogReport = verify_log(folder / "audit.jsonl", key=b"k")
assert report.ok and report.records == 7, report
assert_type(report.line, int | None)
assert_type(report.recovered, tuple[int, ...])
with AuditLog(folder / "audit.jsonl", key=b"k") as reopened:
    assert_type(reopened.head(), tuple[int, str])
    assert verify_log(folder / "audit.jsonl", key=b"k", expect=reopened.head()).ok
