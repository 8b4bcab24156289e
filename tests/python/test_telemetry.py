"""OpenTelemetry around admissions: the span, its attributes and parent, the metrics."""

from __future__ import annotations

import asyncio
import contextlib
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
