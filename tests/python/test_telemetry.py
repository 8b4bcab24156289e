"""OpenTelemetry around admissions: the span, its attributes and parent, the metrics."""

from __future__ import annotations

import asyncio
import contextlib
import json
import types

import pytest
from opentelemetry.sdk.metrics import MeterProvider
from opentelemetry.sdk.metrics.export import InMemoryMetricReader
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
from opentelemetry.trace import StatusCode
from ruvo_safety import AgenticAdapter, SafetyCertifier

from ruvo_gate import ActionRefused, Gate, Outcome, agentic_action, verdict
from ruvo_gate import _telemetry

TRACE = "4bf92f3577b34da6a3ce929d0e0e4736"
SCORES = {Outcome.CERTIFIED: {}, Outcome.ESCALATE_TO_HUMAN: {"scope": 0.2},
          Outcome.BLOCKED: {"reversibility": 0.0}}


@pytest.fixture
def otel():
    spans, reader = InMemorySpanExporter(), InMemoryMetricReader()
    tracer_provider = TracerProvider()
    tracer_provider.add_span_processor(SimpleSpanProcessor(spans))
    telemetry = _telemetry.Telemetry(tracer_provider, MeterProvider(metric_readers=[reader]))
    yield telemetry, spans, reader
    tracer_provider.shutdown()


def decided(outcome):
    certificate = SafetyCertifier(AgenticAdapter()).certify(
        agentic_action("act", "agent", **SCORES[outcome]))
    return certificate, verdict(certificate.decision)


def metrics(reader):
    found = {}
    for resource in reader.get_metrics_data().resource_metrics:
        for scope in resource.scope_metrics:
            for metric in scope.metrics:
                for point in metric.data.data_points:
                    key = (metric.name, point.attributes["ruvo_gate.outcome"])
                    found[key] = getattr(point, "value", None) or point.count
    return found


@pytest.mark.parametrize("outcome, how, approved, status", [
    (Outcome.CERTIFIED, "admitted", None, StatusCode.UNSET),
    (Outcome.ESCALATE_TO_HUMAN, "admitted", True, StatusCode.UNSET),
    (Outcome.ESCALATE_TO_HUMAN, "refused", False, StatusCode.ERROR),
    (Outcome.BLOCKED, "refused", None, StatusCode.ERROR),
    (Outcome.CERTIFIED, "failed", None, StatusCode.ERROR),
])
def test_an_admission_is_spanned_and_counted(otel, outcome, how, approved, status):
    telemetry, spans, reader = otel
    certificate, found = decided(outcome)
    with pytest.raises((ActionRefused, OSError)) if how != "admitted" else contextlib.nullcontext():
        with telemetry.observe("read_file") as observation:
            if how == "refused":
                raise ActionRefused("refused", tool="read_file", verdict=found,
                                    certificate=certificate)
            if how == "failed":
                raise OSError("the audit database is down")
            observation.admitted(types.SimpleNamespace(
                verdict=found, certificate=certificate, approved=approved, refusal=None))
    (span,) = spans.get_finished_spans()
    assert span.name == "ruvo_gate.admit" and span.status.status_code is status
    attributes = dict(span.attributes)
    recorded = outcome.value if how != "failed" else "error"
    assert metrics(reader) == {("ruvo_gate.decisions", recorded): 1,
                               ("ruvo_gate.admission.duration", recorded): 1}
    if how == "failed":
        assert attributes == {"ruvo_gate.tool": "read_file"} and span.events[0].name == "exception"
        return
    assert attributes.pop("ruvo_gate.approved", None) is approved
    assert attributes == {
        "ruvo_gate.tool": "read_file", "ruvo_gate.outcome": outcome.value,
        "ruvo_gate.zone": certificate.zone, "ruvo_gate.certificate_id": certificate.certificate_id,
        **({"ruvo_gate.binding_constraint": certificate.binding_constraint}
           if certificate.binding_constraint is not None else {})}


@pytest.mark.parametrize("meta, parent", [
    ({"traceparent": f"00-{TRACE}-00f067aa0ba902b7-01", "tracestate": "a=1"}, TRACE),
    ({"traceparent": "garbage"}, None),
    ({"progressToken": 3}, None),
    (None, None),
])
def test_a_request_continues_its_callers_trace(otel, meta, parent):
    telemetry, spans, _ = otel
    certificate, found = decided(Outcome.CERTIFIED)
    with _telemetry.continued(meta), telemetry.observe("tool") as observation:
        observation.admitted(types.SimpleNamespace(
            verdict=found, certificate=certificate, approved=None, refusal=None))
    (span,) = spans.get_finished_spans()
    if parent is None:
        assert span.parent is None
    else:
        assert f"{span.context.trace_id:032x}" == parent and span.parent.span_id == 0x00f067aa0ba902b7
        assert span.context.trace_state.get("a") == "1"


def test_without_opentelemetry_there_is_none(monkeypatch):
    monkeypatch.setattr(_telemetry, "_OTEL", None)
    assert _telemetry.Telemetry.create() is None
    with pytest.raises(ImportError, match="python3-opentelemetry-api"):
        _telemetry.Telemetry()
    with _telemetry.continued({"traceparent": f"00-{TRACE}-00f067aa0ba902b7-01"}):
        pass


@pytest.mark.parametrize("asynchronous", [False, True])
def test_the_gate_spans_every_admission(otel, asynchronous):
    telemetry, spans, reader = otel
    gate = Gate(AgenticAdapter())
    gate._telemetry = telemetry
    calls = [("read", {}), ("drop", SCORES[Outcome.BLOCKED])]
    for tool, scores in calls:
        action = agentic_action(tool, "agent", **scores)
        with contextlib.suppress(ActionRefused):
            if asynchronous:
                asyncio.run(gate.admit_async(tool, action))
            else:
                gate.guard(lambda: action, name=tool)(lambda: None)()
    assert [(s.attributes["ruvo_gate.tool"], s.attributes["ruvo_gate.outcome"])
            for s in spans.get_finished_spans()] == [("read", "Certified"), ("drop", "Blocked")]
    assert metrics(reader)[("ruvo_gate.decisions", "Blocked")] == 1


def test_the_proxy_continues_the_hosts_trace(otel, tmp_path):
    """A tools/call whose `_meta` carries a traceparent has its admission span in that trace."""
    from test_mcp_stdio import EVERYTHING, NOT_FOR_NODE

    from ruvo_gate._mcp_relay import PolicyHolder, Relay, build_gate
    from ruvo_gate._mcp_stdio import start_child
    from ruvo_gate._policy import load_policy

    telemetry, spans, _ = otel
    (tmp_path / "policy.toml").write_text('[[tools]]\nname = "echo"\n', encoding="utf-8")
    policy = load_policy(str(tmp_path / "policy.toml"))
    gate = build_gate(policy, None)
    gate._telemetry = telemetry

    class Host:  # the host's side of the session, scripted
        def __init__(self, messages):
            self.inbox, self.outbox = asyncio.Queue(), asyncio.Queue()
            for message in messages:
                self.inbox.put_nowait(json.dumps(message).encode())

        async def receive(self):
            return await self.inbox.get()

        async def send(self, message):
            await self.outbox.put(json.loads(message))

        async def close(self):
            pass

    async def session():
        host = Host([
            {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
                "protocolVersion": "2025-11-25", "capabilities": {},
                "clientInfo": {"name": "trace-test", "version": "1"}}},
            {"jsonrpc": "2.0", "method": "notifications/initialized"},
            {"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": {
                "name": "echo", "arguments": {"message": "hi"},
                "_meta": {"traceparent": f"00-{TRACE}-00f067aa0ba902b7-01"}}}])
        unset = [arg for name in NOT_FOR_NODE for arg in ("-u", name)]
        upstream = await start_child(["env", *unset, *EVERYTHING])
        relay = asyncio.create_task(Relay(host, upstream, PolicyHolder(policy), gate).run())
        while (answer := await asyncio.wait_for(host.outbox.get(), 30)).get("id") != 2:
            pass
        host.inbox.put_nowait(None)
        await asyncio.wait_for(relay, 30)
        return answer

    assert "Echo: hi" in json.dumps(asyncio.run(session()))
    (span,) = spans.get_finished_spans()
    assert f"{span.context.trace_id:032x}" == TRACE and span.parent.span_id == 0x00f067aa0ba902b7


def test_an_idle_api_is_asked_about_its_providers_once_a_second(monkeypatch):
    # Each look at the global providers costs more than an admission.
    looks = []
    real = _telemetry._OTEL.trace.get_tracer_provider
    monkeypatch.setattr(_telemetry._OTEL.trace, "get_tracer_provider",
                        lambda: looks.append(1) or real())
    telemetry = _telemetry.Telemetry()
    looks.clear()
    assert not any(telemetry.active() for _ in range(1000)) and len(looks) == 1
