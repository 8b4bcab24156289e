"""Under mypy --strict, each line marked `# E` is an error and no other line is."""

from collections.abc import Sequence

from ruvo_safety import (AgenticAdapter, CertifierConfig, ConstraintChannel, DomainAdapter,
                         SafetyCertifier, SimpleAction, StateDelta, certify_action)

# Parameter names, arity and argument types.
StateDelta(dim="a")  # E
StateDelta(1.0)  # E
StateDelta("a", "1.0")  # E
StateDelta("a", None)  # E
SimpleAction("a")  # E
SimpleAction("a", "b", StateDelta("a"))  # E
SimpleAction("a", "b", [("a", 1.0)])  # E
CertifierConfig(safe=0.5)  # E
CertifierConfig(0.6, 0.3, 0.1, 0.5, 0.2)  # E
AgenticAdapter(budget_limit=None)  # E
AgenticAdapter().record_spend("5")  # E
SafetyCertifier(AgenticAdapter(), config=AgenticAdapter())  # E
SafetyCertifier(AgenticAdapter()).certify(StateDelta("a"))  # E

cert = certify_action(AgenticAdapter())

# Values keep their types.
margin: str = cert.margins["scope"]  # E
budget: float = cert.drift_budget  # E
binding: str = cert.binding_constraint  # E

# Read-only properties (mypy narrows after an assignment: these come last), and setters
# that convert like the constructors.
cert.certificate_id = "c"  # E
cert.action_id = "a"  # E
cert.agent_id = "a"  # E
cert.decision = "Certified"  # E
cert.zone = "Safe"  # E
cert.margins = {}  # E
cert.binding_constraint = None  # E
cert.drift_budget = 1.0  # E
cert.deterministic_hash = "h"  # E
SafetyCertifier(AgenticAdapter()).config = CertifierConfig()  # E
StateDelta("a").from_value = "1"  # E
SimpleAction("a", "b").state_deltas = None  # E
CertifierConfig().block_threshold = None  # E

# certify_action's loose form.
certify_action(AgenticAdapter(), deltas=[("scope_score", 1.0)])  # E
certify_action(AgenticAdapter(), deltas={"scope_score": "high"})  # E
certify_action(AgenticAdapter(), deltas={1: 1.0})  # E
certify_action(AgenticAdapter(), action_id=1)  # E
certify_action(AgenticAdapter(), safe_threshold=None)  # E
certify_action(AgenticAdapter(), thresholds=0.5)  # E


# Adapters and channels: the duck-typed forms must have every method, with usable types.
class NoRegime:
    def domain_name(self) -> str:
        return "x"

    def constraint_channels(self) -> Sequence[object]:
        return []

    def map_action_to_state(self, action: SimpleAction) -> list[float]:
        return []


class TextChannels(NoRegime):
    def constraint_channels(self) -> list[str]:
        return []

    def detect_regime_change(self, current: list[float], proposed: list[float]) -> bool:
        return False


certify_action(object())  # E
certify_action(NoRegime())  # E
SafetyCertifier(NoRegime())  # E
SafetyCertifier(TextChannels())  # E


class NotAChannel(ConstraintChannel):
    def evaluate(self, state: str) -> float:  # E
        return 0.0


class TextMargin(ConstraintChannel):
    def evaluate(self, state: list[float]) -> str:  # E
        return ""


class BadState(DomainAdapter):
    def map_action_to_state(self, action: SimpleAction) -> str:  # E
        return ""


# Only the two base classes can be subclassed, and not both at once.
class SubDelta(StateDelta):  # E
    pass


class Both(DomainAdapter, ConstraintChannel):  # E
    pass

