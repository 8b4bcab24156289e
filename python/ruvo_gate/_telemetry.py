"""OpenTelemetry for the gate: a span per admission, decisions counted, admission time measured.

All of it is optional. Without `opentelemetry-api` installed, `Telemetry.create()` returns
None and the gate does nothing more; with the API but no SDK configured, the spans and the
instruments are OpenTelemetry's no-op ones, and that is all they cost.
"""

from __future__ import annotations

import math
import time
import types
from collections.abc import Iterator, Mapping
from contextlib import AbstractContextManager, contextmanager, nullcontext
from typing import Any, Final

__all__ = ["Telemetry", "Observation", "continued", "SPAN_NAME"]

SPAN_NAME: Final = "ruvo_gate.admit"
_SCOPE = "ruvo_gate"
# Seconds between two looks at the global providers while none is set.
_RECHECK = 1.0
# Admissions between two looks at the clock while none is set.
_SKIP = 256
# What a refusal or an error leaves in the metrics when no verdict says otherwise.
_ERROR = "error"


def _load() -> Any:
    try:
        from opentelemetry import context, metrics, trace
        from opentelemetry.trace.propagation.tracecontext import TraceContextTextMapPropagator
    except ImportError:
        return None
    return types.SimpleNamespace(context=context, metrics=metrics, trace=trace,
                                 propagator=TraceContextTextMapPropagator())


# The API's modules when installed, else None; fixed at import.
_OTEL: Final[Any] = _load()


class Telemetry:
    """The gate's tracer and instruments. Shared by every thread and task of a gate: the
    providers' tracers and instruments are thread-safe.

    Args:
        tracer_provider: where spans go; the global provider when None (a proxy until the
            application sets one, so a gate made before the SDK is configured still reports).
        meter_provider: where metrics go; the global provider when None.
    """

    def __init__(self, tracer_provider: Any = None, meter_provider: Any = None) -> None:
        # With the global providers, admissions skip the API entirely until an SDK is set:
        # its no-op span alone would cost more than certifying.
        self._listening = tracer_provider is not None or meter_provider is not None
        self._recheck = -math.inf
        self._skip = 0
        if _OTEL is None:
            raise ImportError("OpenTelemetry for the gate needs opentelemetry-api: install "
                              "Debian's python3-opentelemetry-api, or the package's extra: "
                              "pip install 'ruvo-safety[otel]'")
        self._tracer = _OTEL.trace.get_tracer(_SCOPE, tracer_provider=tracer_provider)
        meter = _OTEL.metrics.get_meter(_SCOPE, meter_provider=meter_provider)
        self._decisions = meter.create_counter(
            "ruvo_gate.decisions", unit="{decision}",
            description="Admissions decided by the gate, by outcome")
        # Attributes stay few: a tool name comes from the caller, and a counter per name
        # would let any client grow the metrics without bound.
        self._duration = meter.create_histogram(
            "ruvo_gate.admission.duration", unit="s",
            description="Time to admit or refuse a call: certification, an approver's "
                        "answer and the decision record's write")

    @classmethod
    def create(cls) -> Telemetry | None:
        """Telemetry through the global providers, or None when OpenTelemetry is not installed."""
        return None if _OTEL is None else cls()

    def observe(self, tool: str) -> AbstractContextManager[Observation]:
        """Spans one admission: run the decision step inside, and pass its admission to
        `Observation.admitted`. A refusal (`ActionRefused`) or an error raised inside is
        recorded and goes on."""
        return self._observe(tool) if self.active() else _IDLE

    def active(self) -> bool:
        """Whether spans or metrics go anywhere: providers were given, or an SDK is set.

        Asking the API for its global providers costs more than an admission, so while
        none is set the answer is asked again at most once a second (the clock itself is
        read every 256th admission); a provider once set stays set, and so does the
        answer.
        """
        if self._listening:
            return True
        self._skip -= 1
        if self._skip > 0:  # counting is cheaper than reading a clock
            return False
        self._skip = _SKIP
        now = time.monotonic()
        if now < self._recheck:
            return False
        self._recheck = now + _RECHECK
        self._listening = not (_unset(_OTEL.trace.get_tracer_provider())
                               and _unset(_OTEL.metrics.get_meter_provider()))
        return self._listening

    @contextmanager
    def _observe(self, tool: str) -> Iterator[Observation]:
        start = time.perf_counter()
        with self._tracer.start_as_current_span(
                SPAN_NAME, record_exception=False, set_status_on_exception=False) as span:
            observation = Observation(span)
            try:
                yield observation
            except BaseException as error:
                verdict = getattr(error, "verdict", None)
                certificate = getattr(error, "certificate", None)
                if verdict is not None and certificate is not None:
                    # A refused escalation was not approved; a block is never asked about.
                    approved = False if verdict.outcome.value == "EscalateToHuman" else None
                    observation.outcome = _describe(span, tool, verdict, certificate, approved)
                    _refused(span, str(error))
                else:
                    observation.outcome = _ERROR
                    if span.is_recording():
                        span.set_attribute("ruvo_gate.tool", tool)
                        span.record_exception(error)
                        _refused(span, f"{type(error).__qualname__}: {error}")
                raise
            finally:
                outcome = {"ruvo_gate.outcome": observation.outcome}
                self._decisions.add(1, outcome)
                self._duration.record(time.perf_counter() - start, outcome)
                if observation.admission is not None:
                    _describe(span, tool, observation.admission.verdict,
                              observation.admission.certificate,
                              observation.admission.approved)
                    refusal = getattr(observation.admission, "refusal", None)
                    if refusal:
                        span.set_attribute("ruvo_gate.refusal", refusal)


class Observation:
    """One admission being observed; the gate hands it the admission it made."""

    __slots__ = ("_span", "admission", "outcome")

    def __init__(self, span: Any) -> None:
        self._span = span
        self.admission: Any = None
        self.outcome = _ERROR

    def admitted(self, admission: Any) -> None:
        """The admission the decision step returned (its verdict, certificate, approved)."""
        self.admission = admission
        self.outcome = str(admission.verdict.outcome.value)


# Handed out while nothing listens; what `admitted` leaves in it is never read.
_IDLE = nullcontext(Observation(None))


def _unset(provider: object) -> bool:
    # The API's stand-ins until an application sets a provider, and its explicit no-ops.
    return type(provider).__name__ in ("ProxyTracerProvider", "NoOpTracerProvider",
                                       "_ProxyMeterProvider", "NoOpMeterProvider")


def _describe(span: Any, tool: str, verdict: Any, certificate: Any,
              approved: bool | None) -> str:
    outcome = str(verdict.outcome.value)
    if span.is_recording():
        attributes: dict[str, Any] = {
            "ruvo_gate.tool": tool, "ruvo_gate.outcome": outcome,
            "ruvo_gate.zone": certificate.zone,
            "ruvo_gate.certificate_id": certificate.certificate_id}
        if certificate.binding_constraint is not None:
            attributes["ruvo_gate.binding_constraint"] = certificate.binding_constraint
        if approved is not None:
            attributes["ruvo_gate.approved"] = approved
        span.set_attributes(attributes)
    return outcome


def _refused(span: Any, why: str) -> None:
    if span.is_recording():
        span.set_status(_OTEL.trace.Status(_OTEL.trace.StatusCode.ERROR, why))


@contextmanager
def continued(meta: Mapping[str, object] | None) -> Iterator[None]:
    """Makes the trace a request's `_meta` carries (`traceparent`, `tracestate`, as W3C
    Trace Context writes them) the parent of the spans started inside, so a tool call's
    admission shows in the caller's trace. Without OpenTelemetry, or without a valid
    `traceparent`, it changes nothing."""
    if _OTEL is None or not meta or type(meta.get("traceparent")) is not str:
        yield
        return
    carrier = {name: value for name in ("traceparent", "tracestate")
               if type(value := meta.get(name)) is str}
    parent = _OTEL.propagator.extract(carrier)
    token = _OTEL.context.attach(parent)
    try:
        yield
    finally:
        _OTEL.context.detach(token)
