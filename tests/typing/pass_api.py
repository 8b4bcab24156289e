"""Must type-check under mypy --strict, and run: what the stubs allow, the module does."""

from collections.abc import Sequence
from decimal import Decimal
from fractions import Fraction
from typing import Self, assert_type

from ruvo_safety import (AgenticAdapter, CertifierConfig, ConstraintChannel, DomainAdapter,
                         SafetyCertificate, SafetyCertifier, SimpleAction, StateDelta,
                         certify_action)


class Index:
    """Converted through __index__ only."""

    def __index__(self) -> int:
        return 1


# Every parameter by its name; numbers as int, float, __float__ and __index__.
delta = StateDelta(dimension="scope_score", from_value=1, to_value=Decimal("0.9"))
delta = StateDelta("scope_score", Fraction(1, 2), Index())
action = SimpleAction(action_id="a", agent_id="b", state_deltas=(delta,))
action = SimpleAction("a", "b", None)
config = CertifierConfig(safe_threshold=0.6, caution_threshold=Decimal("0.3"), block_threshold=0,
                         warning_margin_threshold=Index())
agentic = AgenticAdapter(budget_limit=100, rate_limit=50.0)
certifier = SafetyCertifier(adapter=agentic, config=config)

# Setters take what the constructors take; getters give plain values.
delta.dimension = "reversibility_score"
delta.from_value = Index()
delta.to_value = Decimal("0.8")
action.action_id = "a2"
action.agent_id = "b2"
action.state_deltas = [delta]
config.safe_threshold = 0.65
config.caution_threshold = Fraction(3, 10)
config.block_threshold = 0
config.warning_margin_threshold = Index()
assert_type(delta.dimension, str)
assert_type(delta.from_value, float)
assert_type(delta.to_value, float)
assert_type(action.action_id, str)
assert_type(action.state_deltas, list[StateDelta])
assert_type(config.warning_margin_threshold, float)
assert_type(certifier.config, CertifierConfig)

agentic.record_spend(Decimal("1.5"))
agentic.record_action()
agentic.reset_rate_window()
assert_type(agentic.budget_utilization(), float)

cert = certifier.certify(action=action)
assert_type(cert, SafetyCertificate)
assert_type(cert.certificate_id, str)
assert_type(cert.action_id, str)
assert_type(cert.agent_id, str)
assert_type(cert.decision, str)
assert_type(cert.zone, str)
assert_type(cert.margins, dict[str, float])
assert_type(cert.binding_constraint, str | None)
assert_type(cert.drift_budget, float | None)
assert_type(cert.deterministic_hash, str)
assert_type(cert.to_json(), str)


# A subclassed domain with attributes declared in the class body.
class Limit(ConstraintChannel):
    limit: float

    def __new__(cls, limit: float) -> Self:
        self = super().__new__(cls)
        self.limit = limit
        return self

    def name(self) -> str:
        return "limit"

    def evaluate(self, state: list[float]) -> float:
        return 1.0 - state[0] / self.limit

    def dimension_names(self) -> list[str]:
        return ["x"]


class Subclassed(DomainAdapter):
    def domain_name(self) -> str:
        return "subclassed"

    def constraint_channels(self) -> list[Limit]:
        return [Limit(4.0)]

    def map_action_to_state(self, action: SimpleAction) -> list[float]:
        return [d.to_value for d in action.state_deltas]

    def detect_regime_change(self, current: list[float], proposed: list[float]) -> bool:
        return False


# Duck-typed: certification only calls these methods, positionally.
class DuckChannel:
    def name(self) -> str:
        return "duck"

    def evaluate(self, s: Sequence[float]) -> Decimal:
        return Decimal("0.7")

    def dimension_names(self) -> tuple[str, ...]:
        return ("x",)


class DuckAdapter:
    def domain_name(self) -> str:
        return "duck"

    def constraint_channels(self) -> tuple[DuckChannel, Limit]:
        return DuckChannel(), Limit(2.0)

    def map_action_to_state(self, a: SimpleAction) -> tuple[int, ...]:
        return (1,)

    def detect_regime_change(self, c: list[float], p: list[float]) -> bool:
        return False


x = SimpleAction("x", "agent", [StateDelta("x", 0, 1)])
assert SafetyCertifier(Subclassed()).certify(x).zone == "Safe"
assert SafetyCertifier(DuckAdapter()).certify(x).margins == {"duck": 0.7, "limit": 0.5}

one_shot = certify_action(agentic, action_id="a", agent_id="b", deltas={"scope_score": 1},
                          safe_threshold=Index(), caution_threshold=0.3, block_threshold=0)
assert_type(one_shot, SafetyCertificate)
for adapter in (Subclassed(), DuckAdapter()):
    certify_action(adapter, action=x, config=CertifierConfig())
certify_action(agentic, deltas={"scope_score": Decimal("0.9")})
