"""The MCP relay: one host session joined to one upstream server, every tool call decided."""

from __future__ import annotations

import asyncio
import collections
import functools
import hashlib
import json
import logging
import math
import re
from collections.abc import Awaitable, Callable, Coroutine, Mapping
from contextvars import ContextVar
from dataclasses import dataclass
from typing import Any, Final, Protocol

import rfc8785
from ruvo_safety import AgenticAdapter, SafetyCertificate

from ._audit import AuditLog
from ._gate import ActionRefused, Admission, Gate
from ._policy import Denied, Policy, PolicyError, load_policy
from ._telemetry import continued
from ._verdicts import Outcome, Verdict

__all__ = ["MessageTooLarge", "PolicyHolder", "Relay", "RelayEnd", "RelayOptions", "Transport",
           "build_gate", "keep_rate_window"]


class MessageTooLarge(Exception):
    """A message longer than the transport's size limit, skipped without being held whole.

    Attributes:
        size_limit: the limit, in bytes, that the message went past.
        head: the message's first bytes, as far as the transport kept them (may be empty).
        tail: its last bytes, likewise; together they let the relay find the id of the
            request the message answered, so that request still gets an answer.
    """

    def __init__(self, size_limit: int, head: bytes = b"", tail: bytes = b"") -> None:
        super().__init__(f"a message went past the size limit of {size_limit} bytes")
        self.size_limit = size_limit
        self.head = head
        self.tail = tail


class Transport(Protocol):
    """One side of a relay: a stream of JSON-RPC messages, each one JSON text.

    A relay reads a transport from one task and writes it from others, so `send` must
    take whole messages from concurrent tasks without interleaving them.
    """

    async def receive(self) -> bytes | None:
        """The next message; None at the end of the stream.

        Raises:
            MessageTooLarge: the next message is longer than the size limit; it has been
                skipped without being held in memory whole, and the stream goes on.
        """
        ...

    async def send(self, message: bytes) -> None:
        """Sends one message (one JSON text)."""
        ...

    async def close(self) -> None:
        """Ends the stream; later sends fail, a pending receive returns None."""
        ...


# ---------------------------------------------------------------------------------------
# The relay
# ---------------------------------------------------------------------------------------

#: JSON-RPC error codes the relay answers with.
PARSE_ERROR: Final = -32700
INVALID_REQUEST: Final = -32600
INVALID_PARAMS: Final = -32602
INTERNAL_ERROR: Final = -32603

DEFAULT_MAX_MESSAGE: Final = 16 * 1024 * 1024
_META = "ruvo_gate/"
_SUMMARY = 300  # characters of the arguments shown to the human asked to approve a call
_ID_TEXT = re.compile(rb'"id"\s*:\s*("(?:[^"\\]|\\.){0,200}"|-?\d{1,20})')
_MISSING: Any = object()

logger = logging.getLogger("ruvo_gate")

#: What the task deciding a call asks when the gate escalates: the host's human, through
#: that task's own relay. A context variable, so one gate serves every session at once.
_ask_host: ContextVar[Callable[[Verdict, SafetyCertificate], Awaitable[bool]] | None] = \
    ContextVar("ruvo_gate_ask_host", default=None)


async def _approve_through_host(tool: str, verdict_: Verdict,
                                certificate: SafetyCertificate) -> bool:
    ask = _ask_host.get()
    return False if ask is None else await ask(verdict_, certificate)


def build_gate(policy: Policy, audit: AuditLog | None) -> Gate:
    """The gate a policy's relays decide through: its adapter, its thresholds, and
    escalations asked of the human behind whichever relay is deciding the call.

    One gate may serve any number of relays on one event loop: its budget and rate are
    then the whole proxy's.
    """
    adapter: Any = policy.adapter_factory() if policy.adapter_factory is not None \
        else AgenticAdapter(policy.budget_limit, policy.rate_limit)
    return Gate(adapter, config=policy.config(), approve=_approve_through_host, audit=audit)


class PolicyHolder:
    """The policy in force. A reload swaps it whole, so a call is decided by one policy;
    the holder is meant for one event loop's tasks (and a signal handler on that loop).
    """

    def __init__(self, policy: Policy) -> None:
        self._policy = policy

    @property
    def policy(self) -> Policy:
        """The policy in force."""
        return self._policy

    def reload(self) -> bool:
        """Reads the policy's file again; an invalid file is logged and the old policy stays.

        Returns:
            True when the new policy is in force.
        """
        try:
            new = load_policy(self._policy.path)
        except PolicyError as error:
            logger.error("the policy was not reloaded, the previous one stays in force: %s",
                         error)
            return False
        if not new.same_gate(self._policy):
            logger.warning("%s: [adapter], [thresholds] and adapter_factory take effect "
                           "when the proxy restarts; the rest of the policy is reloaded",
                           new.path)
        if new.enforce != self._policy.enforce:
            logger.warning("%s: the proxy now %s", new.path,
                           "enforces the policy" if new.enforce
                           else "observes only: it enforces nothing")
        self._policy = new
        logger.info("%s: policy reloaded", new.path)
        return True


async def keep_rate_window(gate: Gate, policy: PolicyHolder) -> None:
    """Ends the agentic adapter's rate window every `rate_window_seconds`, so its rate
    channel counts calls per window; runs until cancelled."""
    adapter = gate.adapter
    if not isinstance(adapter, AgenticAdapter):
        return
    while True:
        await asyncio.sleep(policy.policy.rate_window_seconds)
        adapter.reset_rate_window()


@dataclass(frozen=True)
class RelayOptions:
    """How a relay treats its sessions.

    Attributes:
        max_message: the longest message, in bytes, the transports should accept; the
            relay itself only reports it in errors.
    """

    max_message: int = DEFAULT_MAX_MESSAGE


@dataclass(frozen=True)
class RelayEnd:
    """Why a relay stopped.

    Attributes:
        by_host: True when the host ended the session (a clean end).
        reason: a sentence for the log.
    """

    by_host: bool
    reason: str


class _Duplicate(Exception):
    pass


def _unique(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    found = dict(pairs)
    if len(found) != len(pairs):
        raise _Duplicate
    return found


def _constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


_decode = json.JSONDecoder(object_pairs_hook=_unique, parse_constant=_constant).decode


def _encode(message: Mapping[str, Any]) -> bytes:
    return json.dumps(message, ensure_ascii=False, separators=(",", ":"),
                      allow_nan=False).encode()


def _key(request_id: object) -> tuple[bool, object]:
    # 1 and "1" are different ids.
    return (type(request_id) is str, request_id)


def _valid_id(value: object) -> bool:
    return type(value) is str or type(value) is int or (
        isinstance(value, float) and math.isfinite(value))


def _error(request_id: object, code: int, message: str) -> bytes:
    return _encode({"jsonrpc": "2.0", "id": request_id,
                    "error": {"code": code, "message": message}})


class _Call:
    """A host request the relay has taken and not yet seen answered."""

    __slots__ = ("id", "method", "tool", "task", "forwarded", "admission")

    def __init__(self, request_id: object, method: str, tool: str | None = None) -> None:
        self.id = request_id
        self.method = method
        self.tool = tool
        self.task: asyncio.Task[None] | None = None
        self.forwarded = False
        self.admission: Admission | None = None


class Relay:
    """Joins one MCP host session to one upstream server and decides every tool call.

    Every message passes in both directions with its id, concurrently: a call waiting for
    its decision or its result holds nothing else. `tools/call` goes through `gate`
    (built by `build_gate`) under the policy in force; `tools/list` results lose the tools
    the policy denies outright. The relay owns both transports once `run` starts and
    closes them when it returns. One relay serves one session; it is not thread-safe.

    Args:
        host: the host's side (the proxy's own stdio, or one HTTP session).
        upstream: the server's side (a child process, or an HTTP client session).
        policy: the policy in force, shared by every relay of a proxy.
        gate: the gate from `build_gate`, shared the same way.
        options: limits; the defaults when None.
    """

    def __init__(self, host: Transport, upstream: Transport, policy: PolicyHolder,
                 gate: Gate, options: RelayOptions | None = None) -> None:
        self._host = host
        self._upstream = upstream
        self._policy = policy
        self._gate = gate
        self._options = options or RelayOptions()
        self._calls: dict[tuple[bool, object], _Call] = {}
        self._upstream_requests: set[tuple[bool, object]] = set()
        self._approvals: dict[tuple[bool, object], asyncio.Future[dict[str, Any]]] = {}
        self._cancelled: collections.OrderedDict[tuple[bool, object], None] = \
            collections.OrderedDict()
        self._tasks: set[asyncio.Task[None]] = set()
        # A log that waits for the disk is written from worker threads; the relay's end
        # waits for the outcome records still being written.
        self._writer = gate._writer
        self._writes: set[asyncio.Future[None]] = set()
        self._approval_number = 0
        self._elicitation = False
        self._agent_id = "mcp-host"

    async def run(self) -> RelayEnd:
        """Relays until either side ends, then ends the other.

        Returns:
            Who ended the session, and why.
        """
        readers = [asyncio.create_task(self._read_host(), name="ruvo_gate relay: host"),
                   asyncio.create_task(self._read_upstream(), name="ruvo_gate relay: upstream")]
        end = RelayEnd(True, "the relay was stopped")
        try:
            done, _ = await asyncio.wait(readers, return_when=asyncio.FIRST_COMPLETED)
            end = next(iter(done)).result()
        finally:
            # Cancelled or not, the session's tasks end here and both sides are closed.
            await asyncio.shield(self._end(readers, end))
        return end

    async def _end(self, readers: list[asyncio.Task[RelayEnd]], end: RelayEnd) -> None:
        for reader in readers:
            reader.cancel()
        for task in list(self._tasks):
            task.cancel()
        await asyncio.gather(*readers, *self._tasks, return_exceptions=True)
        for future in self._approvals.values():
            future.cancel()
        if end.by_host:
            for call in self._calls.values():
                self._finish(call, "cancelled")
        else:
            message = f"the upstream server ended before answering: {end.reason}"
            for call in self._calls.values():
                self._finish(call, f"error {INTERNAL_ERROR}")
                await self._to_host(_error(call.id, INTERNAL_ERROR, message))
        self._calls.clear()
        await asyncio.gather(self._close(self._upstream), self._close(self._host),
                             *self._writes)

    def _finish(self, call: _Call, result: str, *, now: bool = True) -> None:
        """Writes a forwarded call's outcome record, once; with `now` False, after the
        messages this turn of the loop sent have left."""
        admission, call.admission = call.admission, None
        if admission is None:
            return
        if self._writer is None:
            if now:
                admission.finish(result=result)
            else:
                asyncio.get_running_loop().call_soon(
                    functools.partial(admission.finish, result=result))
            return
        written = self._writer.run(functools.partial(admission.finish, result=result))
        self._writes.add(written)
        written.add_done_callback(self._writes.discard)

    async def _record(self, entry: dict[str, object]) -> None:
        """Appends a record of the relay's own (a call refused before the gate)."""
        audit = self._gate.audit
        if audit is None:
            return
        if self._writer is not None:
            await self._writer.run(functools.partial(audit.append, entry))
        else:
            audit.append(entry)

    @staticmethod
    async def _close(transport: Transport) -> None:
        try:
            await transport.close()
        except Exception:
            logger.exception("closing a transport failed")

    async def _to_host(self, message: bytes) -> None:
        try:
            await self._host.send(message)
        except (OSError, RuntimeError) as error:
            # The host is gone; its reader sees the end and stops the relay.
            logger.debug("a message to the host was lost: %s", error)

    async def _to_upstream(self, message: bytes) -> bool:
        try:
            await self._upstream.send(message)
            return True
        except (OSError, RuntimeError) as error:
            logger.debug("a message to the upstream server was lost: %s", error)
            return False

    def _spawn(self, work: Coroutine[Any, Any, None], name: str) -> asyncio.Task[None]:
        # Started eagerly: a call that needs no human is decided and forwarded before the
        # reader takes the next message, without a trip through the loop's queue.
        task = asyncio.Task(work, name=name, eager_start=True)
        if not task.done():
            self._tasks.add(task)
            task.add_done_callback(self._tasks.discard)
        return task

    # -- from the host ----------------------------------------------------------------

    async def _read_host(self) -> RelayEnd:
        while True:
            try:
                raw = await self._host.receive()
            except MessageTooLarge as error:
                found = [key for key in _ids(error) if key not in self._calls]
                await self._to_host(_error(found[0][1] if len(found) == 1 else None,
                                           INVALID_REQUEST, f"the message went past the "
                                           f"size limit of {error.size_limit} bytes"))
                continue
            if raw is None:
                return RelayEnd(True, "the host ended the session")
            try:
                await self._from_host(raw)
            except Exception:
                logger.exception("a message from the host could not be relayed")

    async def _from_host(self, raw: bytes) -> None:
        try:
            message = _decode(raw.decode())
        except _Duplicate:
            await self._to_host(_error(None, INVALID_REQUEST,
                                       "a JSON object of the message names a key twice"))
            return
        except (ValueError, RecursionError) as error:
            await self._to_host(_error(None, PARSE_ERROR, f"not JSON: {error}"))
            return
        kind = _kind(message)
        if kind is None:
            await self._to_host(_error(
                message.get("id") if isinstance(message, dict)
                and _valid_id(message.get("id")) else None,
                INVALID_REQUEST, "not a JSON-RPC 2.0 request, notification or response"))
            return
        if kind == "response":
            await self._host_response(message, raw)
        elif kind == "notification":
            await self._host_notification(message, raw)
        else:
            await self._host_request(message, raw)

    async def _host_request(self, message: dict[str, Any], raw: bytes) -> None:
        request_id, method = message["id"], message["method"]
        key = _key(request_id)
        if key in self._calls:
            await self._to_host(_error(request_id, INVALID_REQUEST,
                                       f"the id {request_id!r} is already in use by a "
                                       "request still pending"))
            return
        params = message.get("params")
        if method == "initialize" and isinstance(params, dict):
            self._initialize(params)
        if method != "tools/call":
            self._calls[key] = call = _Call(request_id, method)
            call.forwarded = True
            if not await self._to_upstream(raw):
                del self._calls[key]
                await self._to_host(_error(request_id, INTERNAL_ERROR,
                                           "the upstream server is gone"))
            return
        tool = params.get("name") if isinstance(params, dict) else None
        arguments = params.get("arguments", {}) if isinstance(params, dict) else None
        if type(tool) is not str or not isinstance(arguments, dict):
            await self._to_host(_error(request_id, INVALID_PARAMS,
                                       "tools/call takes params with a string name and "
                                       "arguments that are an object"))
            return
        self._calls[key] = call = _Call(request_id, method, tool)
        call.task = self._spawn(self._call(call, message, tool, arguments),
                                f"ruvo_gate relay: tools/call {tool}")

    def _initialize(self, params: dict[str, Any]) -> None:
        capabilities = params.get("capabilities")
        elicitation = capabilities.get("elicitation", _MISSING) \
            if isinstance(capabilities, dict) else _MISSING
        # An empty object means forms; a host may declare only URL elicitation.
        self._elicitation = isinstance(elicitation, dict) and (
            not elicitation or "form" in elicitation)
        info = params.get("clientInfo")
        name = info.get("name") if isinstance(info, dict) else None
        if type(name) is str and name:
            self._agent_id = name

    async def _host_notification(self, message: dict[str, Any], raw: bytes) -> None:
        if message["method"] == "notifications/cancelled":
            params = message.get("params")
            request_id = params.get("requestId", _MISSING) if isinstance(params, dict) \
                else _MISSING
            call = self._calls.get(_key(request_id)) if _valid_id(request_id) else None
            if call is not None:
                del self._calls[_key(request_id)]
                if not call.forwarded:
                    # Still being decided: the upstream never saw it.
                    if call.task is not None:
                        call.task.cancel()
                    return
                self._finish(call, "cancelled")
                self._cancelled[_key(request_id)] = None
                if len(self._cancelled) > 1024:
                    self._cancelled.popitem(last=False)
        await self._to_upstream(raw)

    async def _host_response(self, message: dict[str, Any], raw: bytes) -> None:
        key = _key(message["id"])
        approval = self._approvals.pop(key, None)
        if approval is not None:
            if not approval.done():
                approval.set_result(message)
            return
        if key in self._upstream_requests:
            self._upstream_requests.discard(key)
            await self._to_upstream(raw)
            return
        logger.warning("dropped a response from the host for the id %r, which no pending "
                       "request has", message["id"])

    # -- tools/call ---------------------------------------------------------------------

    async def _call(self, call: _Call, message: dict[str, Any], tool: str,
                    arguments: dict[str, Any]) -> None:
        try:
            # The host's trace context, if its request carries one, parents the admission's
            # span, so a refusal shows in the host's own trace.
            meta = message["params"].get("_meta")
            if isinstance(meta, dict) and "traceparent" in meta:
                with continued(meta):
                    forward = await self._decide(call, tool, arguments)
            else:
                forward = await self._decide(call, tool, arguments)
        except asyncio.CancelledError:
            raise
        except Exception as error:
            # Whatever failed, the call must not reach the upstream undecided.
            logger.exception("%s: deciding the call failed", tool)
            forward = await self._internal_error(call, tool, error)
        if not forward:
            self._calls.pop(_key(call.id), None)
            return
        if self._calls.get(_key(call.id)) is not call:
            self._finish(call, "cancelled")  # the host cancelled it while it was decided
            return
        call.forwarded = True
        if not await self._to_upstream(_encode(message)):
            self._calls.pop(_key(call.id), None)
            self._finish(call, f"error {INTERNAL_ERROR}")
            await self._to_host(_error(call.id, INTERNAL_ERROR, "the upstream server is gone"))

    async def _decide(self, call: _Call, tool: str, arguments: dict[str, Any]) -> bool:
        """Decides a call; answers the host itself and returns False when it is refused."""
        policy = self._policy.policy
        enforce = policy.enforce
        record: dict[str, object] = {}
        if policy.record_arguments != "none":
            try:
                form = rfc8785.dumps(arguments)
            except rfc8785.CanonicalizationError as error:
                return await self._refuse_by_policy(
                    call, tool, f"its arguments cannot be written in canonical JSON for the "
                    f"audit trail ({error}); numbers must be exact in a double", record,
                    enforce=True)
            if policy.record_arguments == "digest":
                record["arguments_sha256"] = hashlib.sha256(form).hexdigest()
            else:
                record["arguments"] = arguments
        found = policy.decide(tool, arguments, self._agent_id)
        if isinstance(found, Denied):
            return await self._refuse_by_policy(call, tool, found.reason, record, enforce)
        asked: list[str] = []
        token = _ask_host.set(functools.partial(self._ask, tool, arguments, policy, asked))
        try:
            admission = await self._gate.admit_async(tool, found.action, cost=found.cost,
                                                     record=record, enforce=enforce)
        except ActionRefused as refused:
            await self._refuse(call, tool, _refusal_text(
                tool, refused.verdict, refused.certificate, asked, policy.approval_timeout),
                refused.certificate, refused.verdict)
            return False
        finally:
            _ask_host.reset(token)
        if admission.refusal is not None:
            logger.warning("%s: observe mode lets the call run; enforcing would refuse it: %s",
                           tool, admission.refusal)
        call.admission = admission
        return True

    async def _ask(self, tool: str, arguments: dict[str, Any], policy: Policy,
                   asked: list[str], verdict_: Verdict, certificate: SafetyCertificate) -> bool:
        """Asks the host's human about an escalation; True only for an explicit approval."""
        if not self._elicitation:
            asked.append("unable")
            return False
        while True:
            self._approval_number += 1
            request_id = f"ruvo-gate-approval-{self._approval_number}"
            key = _key(request_id)
            if key not in self._upstream_requests:
                break
        summary = json.dumps(arguments, ensure_ascii=False, sort_keys=True)
        if len(summary) > _SUMMARY:
            summary = summary[:_SUMMARY - 1] + "…"
        future: asyncio.Future[dict[str, Any]] = asyncio.get_running_loop().create_future()
        self._approvals[key] = future
        await self._to_host(_encode({
            "jsonrpc": "2.0", "id": request_id, "method": "elicitation/create",
            "params": {
                "message": f"The agent wants to call the tool {tool!r} with the arguments "
                           f"{summary}. The policy asks a human first: {verdict_.reason}. "
                           "Approve this call?",
                "requestedSchema": {
                    "type": "object",
                    "properties": {"approve": {
                        "type": "boolean", "title": "Approve",
                        "description": f"Let {tool!r} run with these arguments"}},
                    "required": ["approve"]}}}))
        try:
            answer = await asyncio.wait_for(future, policy.approval_timeout)
        except TimeoutError:
            asked.append("timeout")
            await self._to_host(_encode({
                "jsonrpc": "2.0", "method": "notifications/cancelled",
                "params": {"requestId": request_id, "reason": "no answer in time"}}))
            return False
        finally:
            self._approvals.pop(key, None)
        result = answer.get("result")
        action = result.get("action") if isinstance(result, dict) else None
        content = result.get("content") if isinstance(result, dict) else None
        if action == "accept" and isinstance(content, dict) and content.get("approve") is True:
            return True
        asked.append(action if action in ("decline", "cancel", "accept") else "malformed")
        return False

    async def _refuse_by_policy(self, call: _Call, tool: str, reason: str,
                                record: dict[str, object], enforce: bool) -> bool:
        entry: dict[str, object] = {"kind": "denied", "tool": tool,
                                    "agent_id": self._agent_id, "reason": reason}
        entry.update(record)
        if not enforce:
            entry["enforced"] = False
        await self._record(entry)
        if not enforce:
            logger.warning("%s: observe mode lets the call run; the policy would refuse it: "
                           "%s", tool, reason)
            return True
        await self._to_host(_encode({"jsonrpc": "2.0", "id": call.id, "result": {
            "content": [{"type": "text",
                         "text": f"The call of {tool!r} was refused: {reason}."}],
            "isError": True, "_meta": {_META + "outcome": "DeniedByPolicy"}}}))
        return False

    async def _refuse(self, call: _Call, tool: str, text: str,
                      certificate: SafetyCertificate, verdict_: Verdict) -> None:
        await self._to_host(_encode({"jsonrpc": "2.0", "id": call.id, "result": {
            "content": [{"type": "text", "text": text}], "isError": True,
            "_meta": {_META + "certificate_id": certificate.certificate_id,
                      _META + "zone": certificate.zone,
                      _META + "outcome": verdict_.outcome.value}}}))

    async def _internal_error(self, call: _Call, tool: str, error: Exception) -> bool:
        enforce = self._policy.policy.enforce
        reason = f"the proxy could not decide on it ({type(error).__name__}: {error})"
        entry: dict[str, object] = {"kind": "denied", "tool": tool,
                                    "agent_id": self._agent_id, "reason": reason}
        if not enforce:
            entry["enforced"] = False
        try:
            await self._record(entry)
        except Exception:
            logger.exception("%s: the failed decision could not be written to the audit log",
                             tool)
        if not enforce:
            return True
        await self._to_host(_encode({"jsonrpc": "2.0", "id": call.id, "result": {
            "content": [{"type": "text", "text": f"The call of {tool!r} was refused: "
                                                 f"{reason}."}],
            "isError": True, "_meta": {_META + "outcome": "Error"}}}))
        return False

    # -- from the upstream --------------------------------------------------------------

    async def _read_upstream(self) -> RelayEnd:
        while True:
            try:
                raw = await self._upstream.receive()
            except MessageTooLarge as error:
                await self._upstream_too_large(error)
                continue
            if raw is None:
                reason = getattr(self._upstream, "end_reason", None)
                return RelayEnd(False, str(reason) if reason else
                                "the upstream server closed its stream")
            try:
                await self._from_upstream(raw)
            except Exception:
                logger.exception("a message from the upstream server could not be relayed")

    async def _upstream_too_large(self, error: MessageTooLarge) -> None:
        found = [key for key in _ids(error)
                 if key in self._calls and self._calls[key].forwarded]
        if not found:
            forwarded = [key for key, call in self._calls.items() if call.forwarded]
            found = forwarded if len(forwarded) == 1 else []
        if len(found) != 1:
            logger.error("dropped a message from the upstream server that went past the size "
                         "limit of %d bytes; the request it answered could not be told",
                         error.size_limit)
            return
        call = self._calls.pop(found[0])
        self._finish(call, f"error {INTERNAL_ERROR}")
        await self._to_host(_error(call.id, INTERNAL_ERROR, f"the upstream server's answer "
                                   f"went past the size limit of {error.size_limit} bytes"))

    async def _from_upstream(self, raw: bytes) -> None:
        try:
            message = _decode(raw.decode())
        except (_Duplicate, ValueError, RecursionError) as error:
            logger.warning("dropped a message from the upstream server that is not valid "
                           "JSON (%s)", type(error).__name__)
            return
        kind = _kind(message)
        if kind is None:
            logger.warning("dropped a message from the upstream server that is not JSON-RPC")
            return
        if kind == "response":
            await self._upstream_response(message, raw)
        elif kind == "request":
            key = _key(message["id"])
            if key in self._upstream_requests or key in self._approvals:
                await self._to_upstream(_error(message["id"], INVALID_REQUEST,
                                               f"the id {message['id']!r} is already in use "
                                               "by a request still pending"))
                return
            self._upstream_requests.add(key)
            await self._to_host(raw)
        else:
            if message["method"] == "notifications/cancelled":
                params = message.get("params")
                if isinstance(params, dict) and _valid_id(params.get("requestId")):
                    self._upstream_requests.discard(_key(params["requestId"]))
            await self._to_host(raw)

    async def _upstream_response(self, message: dict[str, Any], raw: bytes) -> None:
        key = _key(message["id"])
        call = self._calls.get(key)
        if call is None or not call.forwarded:
            if self._cancelled.pop(key, _MISSING) is _MISSING:
                logger.warning("dropped a response from the upstream server for the id %r, "
                               "which the proxy never sent", message["id"])
            return
        del self._calls[key]
        if call.method != "tools/call":
            if call.method == "tools/list" and self._policy.policy.enforce:
                raw = self._listed(message, raw)
            await self._to_host(raw)
            return
        error = message.get("error")
        result = message.get("result")
        if isinstance(error, dict):
            outcome = f"error {error.get('code')}"
        elif isinstance(result, dict) and result.get("isError") is True:
            outcome = "isError"
        else:
            outcome = "returned"
        try:
            await self._to_host(raw)
        finally:
            self._finish(call, outcome, now=False)  # the host's answer waits for no record

    def _listed(self, message: dict[str, Any], raw: bytes) -> bytes:
        result = message.get("result")
        if not isinstance(result, dict) or not isinstance(result.get("tools"), list):
            return raw
        tools = result["tools"]
        policy = self._policy.policy
        kept = [tool for tool in tools
                if isinstance(tool, dict) and type(tool.get("name")) is str
                and policy.lists(tool["name"])]
        if len(kept) == len(tools):
            return raw
        result["tools"] = kept
        return _encode(message)


def _kind(message: object) -> str | None:
    """"request", "notification" or "response" for a JSON-RPC 2.0 message, else None."""
    if not isinstance(message, dict) or message.get("jsonrpc") != "2.0":
        return None
    method = message.get("method", _MISSING)
    request_id = message.get("id", _MISSING)
    if method is not _MISSING:
        if type(method) is not str or "result" in message or "error" in message:
            return None
        if request_id is _MISSING:
            return "notification"
        return "request" if _valid_id(request_id) else None
    if _valid_id(request_id) and ("result" in message) != ("error" in message):
        return "response"
    return None


def _ids(error: MessageTooLarge) -> list[tuple[bool, object]]:
    """The ids that the kept ends of an oversized message name."""
    found = []
    for part in (error.head, error.tail):
        for match in _ID_TEXT.finditer(part):
            try:
                value = json.loads(match.group(1))
            except ValueError:
                continue
            if _key(value) not in found:
                found.append(_key(value))
    return found


def _refusal_text(tool: str, verdict_: Verdict, certificate: SafetyCertificate,
                  asked: list[str], timeout: float) -> str:
    reason = verdict_.reason
    end = f" Certificate {certificate.certificate_id}."
    if verdict_.outcome is not Outcome.ESCALATE_TO_HUMAN:
        return f"The call of {tool!r} was refused: it is blocked ({reason}).{end}"
    why = {
        "unable": "this host cannot ask one (it did not declare elicitation)",
        "timeout": f"no answer came within {timeout:g} s",
        "decline": "the human declined",
        "cancel": "the human cancelled the request",
        "accept": "the answer did not approve it",
        "malformed": "the answer was not an approval",
    }.get(asked[-1] if asked else "", "nobody approved it")
    return f"The call of {tool!r} was refused: it needs a human's approval ({reason}), " \
           f"and {why}.{end}"
