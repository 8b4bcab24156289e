"""The gate: certifies each tool call, then runs it, asks a human, or refuses it."""

from __future__ import annotations

import asyncio
import functools
import inspect
import logging
import math
import numbers
import threading
import types
import uuid
from collections.abc import AsyncGenerator, Awaitable, Callable, Generator, Mapping
from typing import TYPE_CHECKING, Any, ParamSpec, TypeAlias, TypeVar, cast

from ruvo_safety import (AgenticAdapter, CertifierConfig, SafetyCertificate, SafetyCertifier,
                         SimpleAction)

from ._actions import SCORE_DIMENSIONS, check_agentic
from ._audit import AuditLog
from ._audit_writer import AuditWriter
from ._jcs import KIND_DECISION, KIND_OUTCOME
from ._telemetry import Telemetry
from ._verdicts import Outcome, Verdict, verdict
from ._verdicts import _CERTIFIED

if TYPE_CHECKING:
    from ruvo_safety import DomainAdapterLike

__all__ = ["ActionRefused", "Admission", "Approver", "Gate"]

P = ParamSpec("P")
R = TypeVar("R")

Approver: TypeAlias = Callable[[str, Verdict, SafetyCertificate], "bool | Awaitable[bool]"]
"""What `Gate(approve=...)` takes: asked about an escalation as `approve(tool, verdict,
certificate)`, outside the gate's lock; only `True` lets the call run. It may be a coroutine
function when calls are admitted with `admit_async`, as guarded async tools are."""

logger = logging.getLogger("ruvo_gate")
_UNASKED = object()
_OBSERVED = object()
_WARNING = Outcome.CERTIFIED_WITH_WARNING
_ESCALATE = Outcome.ESCALATE_TO_HUMAN
_IN_ORDER = list(SCORE_DIMENSIONS)
_Coroutine = types.CoroutineType
# Every name a decision record holds; a caller's extra fields may not take one of them.
_DECISION_FIELDS = frozenset({
    "kind", "call", "tool", "agent_id", "action_id", "decision", "outcome", "approved", "zone",
    "margins", "binding_constraint", "drift_budget", "deterministic_hash", "certificate_id",
    "enforced", "v", "seq", "time", "prev", "digest"})


class ActionRefused(Exception):
    """A guarded call that did not run: blocked, or an escalation nobody approved.

    Attributes:
        tool: the tool's name (the guarded function's, or the `name` given to `guard`).
        verdict: the parsed decision.
        certificate: the certificate the decision came from.
        call_id: the id of the call's decision record; "" when the gate has no audit log.
    """

    def __init__(self, message: str, *, tool: str, verdict: Verdict,
                 certificate: SafetyCertificate, call_id: str = "") -> None:
        super().__init__(message)
        self.tool = tool
        self.verdict = verdict
        self.certificate = certificate
        self.call_id = call_id


class Admission:
    """A call the gate decided on and let run (or, with `enforce=False`, merely recorded).

    Whoever runs the call finishes it once with its outcome, with `finish` or by running
    the call inside `with admission:`. An admission belongs to its one call: finish it from
    the thread or task that ran it.

    Attributes:
        call_id: the id the call's decision and outcome records share (a `uuid4` in hex);
            "" when the gate has no audit log.
        certificate: the certificate the decision came from.
        verdict: the parsed decision.
        approved: True or False for an escalation the approver was asked about, None
            otherwise.
        refusal: with `enforce=False`, the `ActionRefused` message enforcement would have
            raised (None when the call would have run); always None when enforcing.
    """

    __slots__ = ("_tool", "call_id", "certificate", "verdict", "approved", "refusal", "_audit")

    call_id: str
    certificate: SafetyCertificate
    verdict: Verdict
    approved: bool | None
    refusal: str | None

    def __init__(self, tool: str, call_id: str, certificate: SafetyCertificate,
                 verdict: Verdict, approved: bool | None, refusal: str | None,
                 audit: AuditLog | None) -> None:
        self._tool = tool
        self.call_id = call_id
        self.certificate = certificate
        self.verdict = verdict
        self.approved = approved
        self.refusal = refusal
        self._audit = audit

    @property
    def tool(self) -> str:
        """The tool's name, as the decision record holds it."""
        return self._tool

    def finish(self, error: BaseException | None = None, *, result: str | None = None) -> None:
        """Writes the call's outcome record, once; later calls do nothing.

        The record's `result` is `result` verbatim when given (a front end's own word, such
        as "cancelled"), else "returned" when `error` is None, else "raised: " and the
        error's type. Best effort: the call has already run, so a failed write is logged
        to the `ruvo_gate` logger, never raised.

        Raises:
            TypeError: `result` is given and is not a str.
        """
        if result is not None and type(result) is not str:
            raise TypeError(f"result must be a str, not {type(result).__qualname__}")
        audit = self._audit
        if audit is None:
            return
        self._audit = None
        if result is None:
            result = "returned" if error is None else f"raised: {type(error).__qualname__}"
        certificate = self.certificate
        try:
            audit.append({
                "kind": KIND_OUTCOME, "call": self.call_id, "tool": self._tool,
                "agent_id": certificate.agent_id, "action_id": certificate.action_id,
                "result": result})
        except Exception:
            logger.exception("%s: the outcome of call %s could not be written to the audit log",
                             self._tool, self.call_id)

    def __enter__(self) -> Admission:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: types.TracebackType | None) -> None:
        self.finish(error)

    def __repr__(self) -> str:
        return (f"<Admission {self._tool!r} {self.verdict.outcome.value}"
                f"{' call ' + self.call_id if self.call_id else ''}>")


class Gate:
    """Certifies every call of the functions it guards, before they run, and fails closed.

    A certified call runs; a call certified with warnings runs and each warning goes to the
    `ruvo_gate` logger at WARNING; an escalation runs only when `approve` returns exactly
    `True`; a block, or an escalation not approved, raises `ActionRefused` without running
    the function. Any error on the way (building or checking the action, certifying,
    asking the approver, writing the decision to `audit`) propagates and the function
    does not run.

    With an `AgenticAdapter`, each call let run is counted (`record_action`) and charged
    its cost (`record_spend`) when it is admitted, together with its certification: calls
    in flight at the same time, in threads or tasks, are each certified against the ones
    admitted before them, so together they stay within the budget and rate limits.

    One gate may be shared by threads and by tasks; its adapter's counters should then be
    changed only through it. Certification runs under the gate's lock, so a domain adapter
    written in Python must not call into the same gate from its methods.

    Args:
        adapter: an `AgenticAdapter`, or any domain adapter written in Python.
        config: the thresholds; the defaults when None.
        approve: asked about escalations; none means every escalation is refused.
        audit: where each decision is written before the call runs or is refused, and each
            outcome after it ends.
        strict: with an `AgenticAdapter`, refuse actions holding dimensions it would
            ignore, or naming one twice (`check_agentic`), before certifying them.
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
        self._certify = self._certifier.certify
        self._adapter = adapter
        self._agentic = adapter if isinstance(adapter, AgenticAdapter) else None
        self._strict = bool(strict)
        self._check = self._strict and self._agentic is not None
        self._approve = approve
        self._audit = audit
        # Async callers write to a log that waits for the disk through this thread.
        self._writer = AuditWriter() if audit is not None and audit.sync == "always" else None
        self._telemetry = Telemetry.create()  # None without OpenTelemetry installed
        # Certification and the reservation it allows happen under it, so that no other
        # call is certified between them.
        self._lock = threading.Lock()

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

    def flush(self) -> None:
        """Waits until the audit records that `admit_async`, the async decorators and the
        MCP proxy left to the gate's writer thread are written: call it before closing the
        audit log. Only a log with `sync="always"` has such records; otherwise this returns
        at once."""
        if self._writer is not None:
            self._writer.flush()

    def __repr__(self) -> str:
        return (f"Gate({type(self._adapter).__name__}, strict={self._strict}, "
                f"approve={self._approve is not None}, audit={self._audit!r})")

    def admit(self, tool: str, action: SimpleAction, *, cost: float | None = None,
              record: Mapping[str, object] | None = None, enforce: bool = True) -> Admission:
        """Decides on one call before it runs: the step every front end of the gate takes.

        Checks `action` (with `strict`), certifies it and, when the call may run, reserves
        it at once: `record_action()`, and `record_spend(cost)` when `cost` is given. An
        escalation is put to the approver (outside the gate's lock) and reserved if it says
        exactly `True`. The decision record goes to the audit log before this returns or
        refuses; if it cannot be written the error propagates, the call must not run, and
        its reservation stands. Run the call after this returns, then `finish` the
        admission with its outcome.

        Args:
            tool: the tool's name in refusals, logs and the audit trail.
            action: the action to certify.
            cost: what the call costs, a finite number >= 0 charged with `record_spend`;
                `AgenticAdapter` only.
            record: extra fields for the decision record, such as a session id; they may
                not take a name the record holds already.
            enforce: False to observe only: the approver is not asked, nothing is refused,
                every call is reserved, the decision record gets `"enforced": false` and
                the admission's `refusal` holds what enforcement would have said.

        Raises:
            ActionRefused: a block, or an escalation not approved (when enforcing); the
                decision record is written first.
            TypeError: the approver returned an awaitable (use `admit_async`), or an
                argument has the wrong type.
            ValueError: `cost` is negative or not finite, or given to a gate over another
                adapter; `record` takes a name of the record's own; the strict check
                refused the action.
        """
        amount, extra = self._arguments(tool, cost, record, enforce)
        return self._admit(tool, action, amount, extra, enforce)

    async def admit_async(self, tool: str, action: SimpleAction, *, cost: float | None = None,
                          record: Mapping[str, object] | None = None,
                          enforce: bool = True) -> Admission:
        """`admit` for async code: an approver's awaitable answer is awaited.

        Everything else happens as in `admit`, in the calling thread, except the decision
        record's write to a log that waits for the disk (`sync="always"`): that one runs in
        the gate's writer thread, so the loop serves other tasks meanwhile. If the caller is
        cancelled during that write, the write still completes; a call it would have
        admitted then gets the outcome "cancelled" after it (call `flush` before closing
        the log).
        """
        amount, extra = self._arguments(tool, cost, record, enforce)
        return await self._admit_async(tool, action, amount, extra, enforce)

    def guard(self, action: Callable[..., SimpleAction], *, name: str | None = None,
              cost: float | Callable[..., float] | None = None,
              ) -> Callable[[Callable[P, R]], Callable[P, R]]:
        """Decorates a function so that every call is admitted by the gate (`admit`) first.

        Plain functions, `async def` functions, generator and async generator functions,
        and objects whose `__call__` is one of those may be guarded; async ones are
        admitted with `admit_async`. A generator is admitted when its body would start (the
        first `next()`), as a coroutine is when it is awaited, and its outcome is written
        when it is exhausted, closed ("raised: GeneratorExit") or raises. A plain function
        that returns a coroutine is refused with `TypeError` when it has returned it.

        Args:
            action: called with the function's own arguments; returns the `SimpleAction`
                to certify.
            name: the tool's name in refusals, logs and the audit trail; by default the
                function's `__name__` (a `functools.partial`'s function's), else the
                callable's type name.
            cost: a number, or a callable taking the function's arguments, charged with
                `record_spend` when the call is admitted; `AgenticAdapter` only. Each call
                admitted is also counted with `record_action` then, whether it goes on to
                return or raise; a refused call is not charged.
        """
        if not callable(action):
            raise TypeError("guard() takes the function that builds the action from the "
                            "call's arguments, e.g. @gate.guard(lambda path: "
                            "agentic_action(...))")
        if name is not None and type(name) is not str:
            raise TypeError(f"name must be a str, not {type(name).__qualname__}")
        fixed: float | None = None
        price: Callable[..., float] | None = None
        if cost is not None:
            if self._agentic is None:
                raise ValueError(_COST_NEEDS_AGENTIC)
            if callable(cost):
                price = cost
            else:
                fixed = _amount(cost)
        # A certified call with no audit log has nothing to finish: the plain and async
        # wrappers then skip the admission object, the rest is admit's own steps.
        admit, admit_async, decide = self._admit, self._admit_async, self._decide
        conclude, conclude_async, audit = self._conclude, self._conclude_async, self._audit
        telemetry = self._telemetry  # while it listens, every admission goes through admit
        writer = self._writer  # async tools' outcomes go through it too, off the loop

        def decorate(function: Callable[P, R]) -> Callable[P, R]:
            if not callable(function):
                raise TypeError(
                    f"the gate's decorator was given a {type(function).__qualname__}, not a "
                    "function: guard() takes the action builder first, as in "
                    "@gate.guard(lambda ...: agentic_action(...)) above the function, not a "
                    "bare @gate.guard")
            tool = name if name is not None else _tool_name(function)
            kind = _kind(function)
            wrapper: Callable[..., Any]

            if kind == "async":
                async def guarded_async(*args: P.args, **kwargs: P.kwargs) -> Any:
                    amount = fixed if price is None else _amount(price(*args, **kwargs))
                    if telemetry is not None and telemetry.active():
                        admission: Admission | None = await admit_async(
                            tool, action(*args, **kwargs), amount, None, True)
                    else:
                        certificate, found = decide(tool, action(*args, **kwargs), amount, True)
                        admission = None if found is _CERTIFIED and audit is None else \
                            await conclude_async(tool, certificate, found, amount, None, True)
                    try:
                        result = await cast(Awaitable[Any], function(*args, **kwargs))
                    except BaseException as error:
                        if admission is not None:
                            await _finish_async(writer, admission, error)
                        raise
                    if admission is not None:
                        await _finish_async(writer, admission, None)
                    return result
                wrapper = guarded_async

            elif kind == "generator":
                def guarded_generator(*args: P.args,
                                      **kwargs: P.kwargs) -> Generator[Any, Any, Any]:
                    with admit(tool, action(*args, **kwargs),
                               fixed if price is None else _amount(price(*args, **kwargs)),
                               None, True):
                        return (yield from cast(Generator[Any, Any, Any],
                                                function(*args, **kwargs)))
                wrapper = guarded_generator

            elif kind == "async generator":
                async def guarded_async_generator(*args: P.args,
                                                  **kwargs: P.kwargs) -> AsyncGenerator[Any, Any]:
                    admission = await admit_async(
                        tool, action(*args, **kwargs),
                        fixed if price is None else _amount(price(*args, **kwargs)), None, True)
                    ended: BaseException | None = None
                    try:
                        inner = cast(AsyncGenerator[Any, Any], function(*args, **kwargs))
                        # Relayed step by step, so that values sent and errors thrown in
                        # reach the tool as if it were called directly.
                        step: Awaitable[Any] = inner.asend(None)
                        while True:
                            try:
                                item = await step
                            except StopAsyncIteration:
                                return
                            try:
                                sent = yield item
                            except GeneratorExit:
                                await inner.aclose()
                                raise
                            except BaseException as error:
                                step = inner.athrow(error)
                            else:
                                step = inner.asend(sent)
                    except BaseException as error:
                        ended = error
                        raise
                    finally:
                        await _finish_async(writer, admission, ended)
                wrapper = guarded_async_generator

            else:
                def guarded(*args: P.args, **kwargs: P.kwargs) -> Any:
                    amount = fixed if price is None else _amount(price(*args, **kwargs))
                    if telemetry is not None and telemetry.active():
                        admission: Admission | None = admit(
                            tool, action(*args, **kwargs), amount, None, True)
                    else:
                        certificate, found = decide(tool, action(*args, **kwargs), amount, True)
                        admission = None if found is _CERTIFIED and audit is None else \
                            conclude(tool, certificate, found, amount, None, True)
                    try:
                        result: Any = function(*args, **kwargs)
                    except BaseException as error:
                        if admission is not None:
                            admission.finish(error)
                        raise
                    if type(result) is _Coroutine:
                        result.close()
                        refused = TypeError(
                            f"{tool!r} returned a coroutine, whose end the gate cannot see: "
                            "define the tool with async def (an async def that awaits the "
                            "coroutine will do), then guard that")
                        if admission is not None:
                            admission.finish(refused)
                        raise refused
                    if admission is not None:
                        admission.finish()
                    return result
                wrapper = guarded

            functools.update_wrapper(wrapper, function)
            if not hasattr(function, "__name__"):
                wrapper.__name__ = wrapper.__qualname__ = tool
            return cast(Callable[P, R], wrapper)

        return decorate

    # The steps of an admission, shared by admit, admit_async and the decorators.

    def _arguments(self, tool: object, cost: object, record: Mapping[str, object] | None,
                   enforce: object) -> tuple[float | None, dict[str, object] | None]:
        if type(tool) is not str:
            raise TypeError(f"tool must be a str (the tool's name), not {type(tool).__qualname__}")
        if enforce is not True and enforce is not False:
            raise TypeError(f"enforce must be True or False, not {enforce!r}")
        amount = None
        if cost is not None:
            if self._agentic is None:
                raise ValueError(_COST_NEEDS_AGENTIC)
            amount = _amount(cost)
        if record is None:
            return amount, None
        if not isinstance(record, Mapping):
            raise TypeError(f"record must be a mapping of extra fields, not "
                            f"{type(record).__qualname__}")
        extra = dict(record)  # checked as it will be written
        for key in extra:
            if type(key) is not str:
                raise TypeError(f"record's field names must be str, not {type(key).__qualname__}")
        taken = sorted(_DECISION_FIELDS.intersection(extra))
        if taken:
            raise ValueError(f"record may not set {', '.join(map(repr, taken))}: the decision "
                             "record holds that field itself; give the extra field another name")
        return amount, extra

    def _decide(self, tool: str, action: SimpleAction, amount: float | None,
                enforce: bool) -> tuple[SafetyCertificate, Verdict]:
        """Certifies the action and, if the call may run, reserves it in the same step."""
        if not isinstance(action, SimpleAction):
            raise TypeError(f"the action of {tool!r} is a {type(action).__qualname__}, not a "
                            "SimpleAction: build it with agentic_action(...) or SimpleAction(...)")
        # The three names in agentic_action's order need no closer look.
        if self._check and [delta.dimension for delta in action.state_deltas] != _IN_ORDER:
            check_agentic(action)
        lock = self._lock
        lock.acquire()
        try:
            certificate = self._certify(action)
            decision = certificate.decision
            if decision == "Certified":
                found = _CERTIFIED
            else:
                found = verdict(decision)
                if enforce and found.outcome is not _WARNING:
                    return certificate, found
            agentic = self._agentic
            if agentic is not None:
                agentic.record_action()
                if amount is not None:
                    agentic.record_spend(amount)
        finally:
            lock.release()
        return certificate, found

    def _admit(self, tool: str, action: SimpleAction, amount: float | None,
               extra: dict[str, object] | None, enforce: bool) -> Admission:
        telemetry = self._telemetry
        if telemetry is None or not telemetry.active():
            certificate, found = self._decide(tool, action, amount, enforce)
            if found is _CERTIFIED and self._audit is None:
                return Admission(tool, "", certificate, found, None, None, None)
            return self._conclude(tool, certificate, found, amount, extra, enforce)
        with telemetry.observe(tool) as observation:
            certificate, found = self._decide(tool, action, amount, enforce)
            admission = self._conclude(tool, certificate, found, amount, extra, enforce)
            observation.admitted(admission)
        return admission

    async def _admit_async(self, tool: str, action: SimpleAction, amount: float | None,
                           extra: dict[str, object] | None, enforce: bool) -> Admission:
        telemetry = self._telemetry
        if telemetry is None or not telemetry.active():
            certificate, found = self._decide(tool, action, amount, enforce)
            if found is _CERTIFIED and self._audit is None:
                return Admission(tool, "", certificate, found, None, None, None)
            return await self._conclude_async(tool, certificate, found, amount, extra, enforce)
        with telemetry.observe(tool) as observation:
            certificate, found = self._decide(tool, action, amount, enforce)
            admission = await self._conclude_async(tool, certificate, found, amount, extra,
                                                   enforce)
            observation.admitted(admission)
        return admission

    def _conclude(self, tool: str, certificate: SafetyCertificate, found: Verdict,
                  amount: float | None, extra: dict[str, object] | None,
                  enforce: bool) -> Admission:
        """Asks the approver about an escalation, then settles the admission."""
        audit = self._audit
        admission = Admission(tool, _call_id(audit), certificate, found, None, None, audit)
        answer = _UNASKED
        approve = self._approve
        if approve is not None and enforce and found.outcome is _ESCALATE:
            try:
                answer = approve(tool, found, certificate)
                if inspect.isawaitable(answer):
                    if inspect.iscoroutine(answer):
                        answer.close()
                    raise TypeError(
                        f"the approver returned an awaitable for {tool!r}, a plain function: "
                        "give it an approver that returns True or False, or make the tool "
                        "async")
            except BaseException:
                self._refused_by_error(admission, extra)
                raise
        return self._settle(admission, amount, answer, extra, enforce)

    async def _conclude_async(self, tool: str, certificate: SafetyCertificate, found: Verdict,
                              amount: float | None, extra: dict[str, object] | None,
                              enforce: bool) -> Admission:
        """`_conclude` with an approver's awaitable answer awaited."""
        audit = self._audit
        admission = Admission(tool, _call_id(audit), certificate, found, None, None, audit)
        answer = _UNASKED
        approve = self._approve
        if approve is not None and enforce and found.outcome is _ESCALATE:
            try:
                answer = approve(tool, found, certificate)
                if inspect.isawaitable(answer):
                    answer = await answer
            except BaseException:
                self._refused_by_error(admission, extra)
                raise
        writer = self._writer
        if writer is None or audit is None:
            return self._settle(admission, amount, answer, extra, enforce)
        approved, runs = self._reserve(admission, amount, answer)
        written = writer.run(functools.partial(
            _write_decision, audit, admission, approved, extra, enforce))
        try:
            await asyncio.shield(written)
        except asyncio.CancelledError:
            written.add_done_callback(functools.partial(_cancelled_after, admission, runs,
                                                        writer))
            raise
        return self._admitted(admission, answer, approved, runs, enforce)

    def _settle(self, admission: Admission, amount: float | None, answer: object,
                extra: dict[str, object] | None, enforce: bool) -> Admission:
        """Reserves an approved escalation, writes the decision, then admits or refuses."""
        approved, runs = self._reserve(admission, amount, answer)
        if self._audit is not None:
            _write_decision(self._audit, admission, approved, extra, enforce)
        return self._admitted(admission, answer, approved, runs, enforce)

    def _reserve(self, admission: Admission, amount: float | None,
                 answer: object) -> tuple[bool | None, bool]:
        """Logs the warnings and reserves an approved escalation: (approved, runs)."""
        tool, found = admission._tool, admission.verdict
        outcome = found.outcome
        runs = outcome is Outcome.CERTIFIED or outcome is _WARNING
        if outcome is _WARNING:
            for warning in found.warnings:
                logger.warning("%s: %s", tool, warning)
        approved = None
        if outcome is _ESCALATE:
            approved = answer is True
            if approved:
                runs = True
                agentic = self._agentic
                if agentic is not None:
                    with self._lock:
                        agentic.record_action()
                        if amount is not None:
                            agentic.record_spend(amount)
        return approved, runs

    def _admitted(self, admission: Admission, answer: object, approved: bool | None,
                  runs: bool, enforce: bool) -> Admission:
        """The admission of a call whose decision is written, or its refusal."""
        tool, found = admission._tool, admission.verdict
        if not runs:
            if enforce:
                raise ActionRefused(_refusal(tool, found, answer), tool=tool, verdict=found,
                                    certificate=admission.certificate, call_id=admission.call_id)
            admission.refusal = _refusal(tool, found,
                                         _UNASKED if self._approve is None else _OBSERVED)
        if answer is not _UNASKED:
            admission.approved = approved
        return admission

    def _refused_by_error(self, admission: Admission, extra: dict[str, object] | None) -> None:
        # The approver failed: the call is refused, and the log says so before the error
        # reaches the caller.
        if self._audit is not None:
            _write_decision(self._audit, admission, False, extra, True)


_COST_NEEDS_AGENTIC = ("cost= is charged with AgenticAdapter.record_spend(), so it needs a "
                       "gate over an AgenticAdapter")


def _call_id(audit: AuditLog | None) -> str:
    return uuid.uuid4().hex if audit is not None else ""


def _cancelled_after(admission: Admission, runs: bool, writer: AuditWriter,
                     written: asyncio.Future[None]) -> None:
    # The caller of admit_async went away while its decision was written: nobody runs the
    # call, and its outcome says so, after the decision and off the loop as well.
    if written.cancelled():
        return
    error = written.exception()
    if error is not None:
        logger.error("%s: the decision of call %s could not be written to the audit log: %s",
                     admission._tool, admission.call_id, error)
    elif runs:
        writer.run(functools.partial(admission.finish, result="cancelled"))


async def _finish_async(writer: AuditWriter | None, admission: Admission,
                        error: BaseException | None) -> None:
    """`admission.finish(error)`, in the writer thread when the gate has one (a cancelled
    caller then leaves the write to end there)."""
    if writer is None:
        admission.finish(error)
    else:
        await asyncio.shield(writer.run(functools.partial(admission.finish, error)))


def _write_decision(audit: AuditLog, admission: Admission, approved: bool | None,
                    extra: dict[str, object] | None, enforce: bool) -> None:
    certificate = admission.certificate
    entry: dict[str, object] = {
        "kind": KIND_DECISION, "call": admission.call_id, "tool": admission._tool,
        "agent_id": certificate.agent_id, "action_id": certificate.action_id,
        "decision": certificate.decision, "outcome": admission.verdict.outcome.value,
        "approved": approved, "zone": certificate.zone, "margins": certificate.margins,
        "binding_constraint": certificate.binding_constraint,
        "drift_budget": certificate.drift_budget,
        "deterministic_hash": certificate.deterministic_hash,
        "certificate_id": certificate.certificate_id}
    if not enforce:
        entry["enforced"] = False
    if extra:
        entry.update(extra)
    audit.append(entry)


def _tool_name(function: Callable[..., object]) -> str:
    """The function's own name, never a repr: a partial's keywords may hold secrets."""
    target: object = function
    while isinstance(target, functools.partial):
        target = target.func
    name = getattr(target, "__name__", None)
    return name if type(name) is str else type(target).__name__


def _kind(function: Callable[..., object]) -> str:
    """How a call of `function` ends: returning, or when what it returned is done."""
    for candidate in (function, getattr(type(function), "__call__", None)):
        if inspect.iscoroutinefunction(candidate):
            return "async"
        if inspect.isasyncgenfunction(candidate):
            return "async generator"
        if inspect.isgeneratorfunction(candidate):
            return "generator"
    return "plain"


def _amount(cost: object) -> float:
    if isinstance(cost, bool) or not isinstance(cost, numbers.Real):
        raise TypeError(f"cost must be a number (or a callable returning one), not "
                        f"{type(cost).__qualname__}")
    amount = float(cost)
    if not (0.0 <= amount < math.inf):
        # A NaN spend would disable the budget channel for good, a negative one refund it.
        raise ValueError(f"cost must be a finite number >= 0, got {cost!r}")
    return amount


def _refusal(tool: str, found: Verdict, answer: object) -> str:
    reason = found.reason
    if found.outcome is Outcome.BLOCKED:
        return f"{tool!r} is blocked: {reason}"
    if answer is _UNASKED:
        return (f"{tool!r} needs a human's approval ({reason}), and the gate has no "
                "approver: pass approve= to Gate to ask one")
    if answer is _OBSERVED:
        return (f"{tool!r} needs a human's approval ({reason}), which the gate does not ask "
                "for when it does not enforce")
    if answer is False:
        return f"{tool!r} needs a human's approval ({reason}), and the approver declined"
    return (f"{tool!r} needs a human's approval ({reason}), and the approver returned "
            f"{answer!r}, not True")
