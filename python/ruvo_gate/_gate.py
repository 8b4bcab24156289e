"""The gate: certifies each tool call, then runs it, asks a human, or refuses it."""

from __future__ import annotations

import functools
import inspect
import logging
import math
import numbers
import uuid
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Any, ParamSpec, TypeAlias, TypeVar, cast

from ruvo_safety import (AgenticAdapter, CertifierConfig, SafetyCertificate, SafetyCertifier,
                         SimpleAction)

from ._actions import SCORE_DIMENSIONS, check_agentic
from ._audit import AuditLog
from ._jcs import KIND_DECISION, KIND_OUTCOME
from ._verdicts import Outcome, Verdict, verdict
from ._verdicts import _CERTIFIED

if TYPE_CHECKING:
    from ruvo_safety import DomainAdapterLike

__all__ = ["ActionRefused", "Approver", "Gate"]

P = ParamSpec("P")
R = TypeVar("R")

#: Asked about an escalation: `approve(tool, verdict, certificate)`; only `True` lets the
#: call run. May be a coroutine function when the tools it guards are async.
Approver: TypeAlias = Callable[[str, Verdict, SafetyCertificate], "bool | Awaitable[bool]"]

logger = logging.getLogger("ruvo_gate")
_UNASKED = object()
_ESCALATE = Outcome.ESCALATE_TO_HUMAN
_SCORES = frozenset(SCORE_DIMENSIONS)


class ActionRefused(Exception):
    """A guarded call that did not run: blocked, or an escalation nobody approved.

    Attributes:
        tool: the guarded function's name (or the `name` given to `guard`).
        verdict: the parsed decision.
        certificate: the certificate the decision came from.
    """

    def __init__(self, message: str, *, tool: str, verdict: Verdict,
                 certificate: SafetyCertificate) -> None:
        super().__init__(message)
        self.tool = tool
        self.verdict = verdict
        self.certificate = certificate


class Gate:
    """Certifies every call of the functions it guards, before they run, and fails closed.

    A certified call runs; a call certified with warnings runs and each warning goes to the
    `ruvo_gate` logger at WARNING; an escalation runs only when `approve` returns exactly
    `True`; a block, or an escalation not approved, raises `ActionRefused` without running
    the function. Any error on the way (building or checking the action, certifying,
    asking the approver, writing the decision to `audit`) propagates and the function
    does not run.

    Args:
        adapter: an `AgenticAdapter`, or any domain adapter written in Python.
        config: the thresholds; the defaults when None.
        approve: asked about escalations; none means every escalation is refused.
        audit: where each decision is written before the call runs or is refused, and each
            outcome after it ends.
        strict: with an `AgenticAdapter`, refuse actions holding dimensions it would
            ignore (`check_agentic`) before certifying them.
    """

    def __init__(self, adapter: AgenticAdapter | DomainAdapterLike, *,
                 config: CertifierConfig | None = None, approve: Approver | None = None,
                 audit: AuditLog | None = None, strict: bool = True) -> None:
        if approve is not None and not callable(approve):
            raise TypeError(f"approve must be callable as approve(tool, verdict, certificate), "
                            f"not {type(approve).__qualname__}")
        if audit is not None and not isinstance(audit, AuditLog):
            raise TypeError(f"audit must be an AuditLog (AuditLog(path)), not "
                            f"{type(audit).__qualname__}")
        self._certifier = SafetyCertifier(adapter, config)
        self._adapter = adapter
        self._agentic = adapter if isinstance(adapter, AgenticAdapter) else None
        self._strict = bool(strict)
        self._check = self._strict and self._agentic is not None
        self._approve = approve
        self._audit = audit

    @property
    def adapter(self) -> AgenticAdapter | DomainAdapterLike:
        """The adapter every certification uses."""
        return self._adapter

    @property
    def certifier(self) -> SafetyCertifier:
        """The gate's own certifier."""
        return self._certifier

    @property
    def audit(self) -> AuditLog | None:
        """The audit log, if any."""
        return self._audit

    def __repr__(self) -> str:
        return (f"Gate({type(self._adapter).__name__}, strict={self._strict}, "
                f"approve={self._approve is not None}, audit={self._audit!r})")

    def guard(self, action: Callable[..., SimpleAction], *, name: str | None = None,
              cost: float | Callable[..., float] | None = None,
              ) -> Callable[[Callable[P, R]], Callable[P, R]]:
        """Decorates a function (plain or `async def`) so every call is certified first.

        Args:
            action: called with the function's own arguments; returns the `SimpleAction`
                to certify.
            name: the tool's name in refusals, logs and the audit trail; the function's
                `__name__` by default.
            cost: a number, or a callable taking the function's arguments, charged with
                `record_spend` when a call that ran ends; `AgenticAdapter` only. Each call
                that ran is also counted with `record_action`. The budget channel measures
                spending already recorded, so a call's own cost weighs on the next one.
        """
        if not callable(action):
            raise TypeError("guard() takes the function that builds the action from the "
                            "call's arguments, e.g. @gate.guard(lambda path: "
                            "agentic_action(...))")
        if name is not None and type(name) is not str:
            raise TypeError(f"name must be a str, not {type(name).__qualname__}")
        if cost is not None:
            if self._agentic is None:
                raise ValueError("cost= is charged with AgenticAdapter.record_spend(), so it "
                                 "needs a gate over an AgenticAdapter")
            if not callable(cost):
                _amount(cost)

        certify = self._certifier.certify
        check, agentic, audit, approve = self._check, self._agentic, self._audit, self._approve

        def begin(tool: str, args: tuple[Any, ...],
                  kwargs: dict[str, Any]) -> tuple[SafetyCertificate, Verdict, float | None]:
            """Builds, checks and certifies the call's action."""
            proposed = action(*args, **kwargs)
            if not isinstance(proposed, SimpleAction):
                raise TypeError(f"the action builder of {tool!r} returned "
                                f"{type(proposed).__qualname__}, not a SimpleAction")
            if check and not _SCORES.issuperset([d.dimension for d in proposed.state_deltas]):
                check_agentic(proposed)
            amount = None if cost is None else _amount(
                cost(*args, **kwargs) if callable(cost) else cost)
            certificate = certify(proposed)
            decision = certificate.decision
            return certificate, _CERTIFIED if decision == "Certified" else verdict(decision), \
                amount

        def ask(approve: Approver, tool: str, certificate: SafetyCertificate, verdict_: Verdict,
                call_id: str) -> object:
            """The approver's answer about an escalation of a plain function."""
            try:
                answer = approve(tool, verdict_, certificate)
                if inspect.isawaitable(answer):
                    if inspect.iscoroutine(answer):
                        answer.close()
                    raise TypeError(
                        f"the approver returned an awaitable for {tool!r}, a plain function: "
                        "give it an approver that returns True or False, or make the tool "
                        "async")
            except BaseException:
                _refused_by_error(audit, tool, certificate, verdict_, call_id)
                raise
            return answer

        async def ask_async(approve: Approver, tool: str, certificate: SafetyCertificate,
                            verdict_: Verdict, call_id: str) -> object:
            """The approver's answer about an escalation of an async function."""
            try:
                answer = approve(tool, verdict_, certificate)
                return await answer if inspect.isawaitable(answer) else answer
            except BaseException:
                _refused_by_error(audit, tool, certificate, verdict_, call_id)
                raise

        def ended(tool: str, certificate: SafetyCertificate, amount: float | None,
                  call_id: str, raised: type[BaseException] | None) -> None:
            """A call that ran has used its slot, whether it returned or raised."""
            if agentic is not None:
                agentic.record_action()
                if amount is not None:
                    agentic.record_spend(amount)
            if audit is not None:
                _write_outcome(audit, tool, certificate, call_id, raised)

        def decorate(function: Callable[P, R]) -> Callable[P, R]:
            tool = name if name is not None else getattr(function, "__name__", repr(function))

            if inspect.iscoroutinefunction(function):
                @functools.wraps(function)
                async def guarded_async(*args: P.args, **kwargs: P.kwargs) -> Any:
                    certificate, verdict_, amount = begin(tool, args, kwargs)
                    call_id = uuid.uuid4().hex if audit is not None else ""
                    if verdict_ is not _CERTIFIED or audit is not None:
                        answer = await ask_async(approve, tool, certificate, verdict_, call_id) \
                            if verdict_.outcome is _ESCALATE and approve is not None else _UNASKED
                        _admit(audit, tool, certificate, verdict_, call_id, answer)
                    raised: type[BaseException] | None = None
                    try:
                        return await cast(Awaitable[Any], function(*args, **kwargs))
                    except BaseException as error:
                        raised = type(error)
                        raise
                    finally:
                        ended(tool, certificate, amount, call_id, raised)

                return cast(Callable[P, R], guarded_async)

            @functools.wraps(function)
            def guarded(*args: P.args, **kwargs: P.kwargs) -> R:
                certificate, verdict_, amount = begin(tool, args, kwargs)
                call_id = uuid.uuid4().hex if audit is not None else ""
                if verdict_ is not _CERTIFIED or audit is not None:
                    answer = ask(approve, tool, certificate, verdict_, call_id) \
                        if verdict_.outcome is _ESCALATE and approve is not None else _UNASKED
                    _admit(audit, tool, certificate, verdict_, call_id, answer)
                raised: type[BaseException] | None = None
                try:
                    return function(*args, **kwargs)
                except BaseException as error:
                    raised = type(error)
                    raise
                finally:
                    ended(tool, certificate, amount, call_id, raised)

            return guarded

        return decorate


def _admit(audit: AuditLog | None, tool: str, certificate: SafetyCertificate,
           verdict_: Verdict, call_id: str, answer: object) -> None:
    """Writes the decision, then lets the call run or refuses it."""
    outcome = verdict_.outcome
    approved = answer is True if outcome is Outcome.ESCALATE_TO_HUMAN else None
    if audit is not None:
        _write_decision(audit, tool, certificate, verdict_, call_id, approved)
    if outcome is Outcome.CERTIFIED:
        return
    if outcome is Outcome.CERTIFIED_WITH_WARNING:
        for warning in verdict_.warnings:
            logger.warning("%s: %s", tool, warning)
        return
    if approved:
        return
    raise ActionRefused(_refusal(tool, verdict_, answer), tool=tool, verdict=verdict_,
                        certificate=certificate)


def _refused_by_error(audit: AuditLog | None, tool: str, certificate: SafetyCertificate,
                      verdict_: Verdict, call_id: str) -> None:
    # The approver failed: the call is refused, and the log says so before the error
    # reaches the caller.
    if audit is not None:
        _write_decision(audit, tool, certificate, verdict_, call_id, False)


def _write_decision(audit: AuditLog, tool: str, certificate: SafetyCertificate,
                    verdict_: Verdict, call_id: str, approved: bool | None) -> None:
    audit.append({
        "kind": KIND_DECISION, "call": call_id, "tool": tool,
        "agent_id": certificate.agent_id, "action_id": certificate.action_id,
        "decision": certificate.decision, "outcome": verdict_.outcome.value,
        "approved": approved, "zone": certificate.zone, "margins": certificate.margins,
        "binding_constraint": certificate.binding_constraint,
        "drift_budget": certificate.drift_budget,
        "deterministic_hash": certificate.deterministic_hash,
        "certificate_id": certificate.certificate_id})


def _write_outcome(audit: AuditLog, tool: str, certificate: SafetyCertificate, call_id: str,
                   raised: type[BaseException] | None) -> None:
    # Best effort: the call has already run, and what it returned or raised stands.
    try:
        audit.append({
            "kind": KIND_OUTCOME, "call": call_id, "tool": tool,
            "agent_id": certificate.agent_id, "action_id": certificate.action_id,
            "result": "returned" if raised is None else f"raised: {raised.__qualname__}"})
    except Exception:
        logger.exception("%s: the outcome of call %s could not be written to the audit log",
                         tool, call_id)


def _amount(cost: object) -> float:
    if isinstance(cost, bool) or not isinstance(cost, numbers.Real):
        raise TypeError(f"cost must be a number (or a callable returning one), not "
                        f"{type(cost).__qualname__}")
    amount = float(cost)
    if not (0.0 <= amount < math.inf):
        # A NaN spend would disable the budget channel for good, a negative one refund it.
        raise ValueError(f"cost must be a finite number >= 0, got {cost!r}")
    return amount


def _refusal(tool: str, verdict_: Verdict, answer: object) -> str:
    reason = verdict_.reason
    if verdict_.outcome is Outcome.BLOCKED:
        return f"{tool!r} is blocked: {reason}"
    if answer is _UNASKED:
        return (f"{tool!r} needs a human's approval ({reason}), and the gate has no "
                "approver: pass approve= to Gate to ask one")
    if answer is False:
        return f"{tool!r} needs a human's approval ({reason}), and the approver declined"
    return (f"{tool!r} needs a human's approval ({reason}), and the approver returned "
            f"{answer!r}, not True")
