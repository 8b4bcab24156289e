"""RUVO Safety Kernel -- Python bindings"""

from collections.abc import Sequence
from typing import (Protocol, Self, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final,
                    type_check_only)

from typing_extensions import disjoint_base

__all__ = [
    "SafetyCertificate",
    "SafetyCertifier",
    "SimpleAction",
    "StateDelta",
    "CertifierConfig",
    "AgenticAdapter",
    "DomainAdapter",
    "ConstraintChannel",
    "certify_action",
]

# What the module turns into a float: float, int, or anything with __float__ or __index__.
_Real: TypeAlias = SupportsFloat | SupportsIndex
_RealT = TypeVar("_RealT", bound=_Real)

@type_check_only
class ConstraintChannelLike(Protocol):
    """What certification calls on each channel a domain adapter lists."""

    def name(self) -> str: ...
    def evaluate(self, state: list[float], /) -> _Real: ...
    def dimension_names(self) -> Sequence[str]: ...

@type_check_only
class DomainAdapterLike(Protocol):
    """What certification calls on an adapter written in Python (subclass or not)."""

    def domain_name(self) -> str: ...
    def constraint_channels(self) -> Sequence[ConstraintChannelLike]: ...
    def map_action_to_state(self, action: SimpleAction, /) -> Sequence[_Real]: ...
    def detect_regime_change(self, current: list[float], proposed: list[float], /) -> bool: ...

_Adapter: TypeAlias = AgenticAdapter | DomainAdapterLike

@final
class SafetyCertificate:
    """A sealed certificate; only `certify` and `certify_action` make one."""

    @property
    def certificate_id(self) -> str: ...
    @property
    def action_id(self) -> str: ...
    @property
    def agent_id(self) -> str: ...
    @property
    def decision(self) -> str: ...
    @property
    def zone(self) -> str: ...
    @property
    def margins(self) -> dict[str, float]: ...
    @property
    def binding_constraint(self) -> str | None: ...
    @property
    def drift_budget(self) -> float | None: ...
    @property
    def deterministic_hash(self) -> str: ...
    def to_json(self) -> str: ...

@final
class SafetyCertifier:
    """A stateful safety certifier that holds a domain adapter and configuration."""

    def __new__(cls, adapter: _Adapter, config: CertifierConfig | None = None) -> Self: ...
    @property
    def config(self) -> CertifierConfig:
        """A copy of the configuration: changing it leaves the certifier as it is."""

    def certify(self, action: SimpleAction) -> SafetyCertificate:
        """Certify a proposed action."""

@final
class SimpleAction:
    """A simple proposed action for safety certification."""

    def __new__(
        cls, action_id: str, agent_id: str, state_deltas: Sequence[StateDelta] | None = None
    ) -> Self: ...
    @property
    def action_id(self) -> str: ...
    @action_id.setter
    def action_id(self, value: str) -> None: ...
    @property
    def agent_id(self) -> str: ...
    @agent_id.setter
    def agent_id(self, value: str) -> None: ...
    @property
    def state_deltas(self) -> list[StateDelta]:
        """Get the state deltas for this action."""

    @state_deltas.setter
    def state_deltas(self, value: Sequence[StateDelta]) -> None: ...

@final
class StateDelta:
    """A single dimension of state change proposed by an action."""

    def __new__(cls, dimension: str, from_value: _Real = 0.0, to_value: _Real = 0.0) -> Self: ...
    @property
    def dimension(self) -> str: ...
    @dimension.setter
    def dimension(self, value: str) -> None: ...
    @property
    def from_value(self) -> float: ...
    @from_value.setter
    def from_value(self, value: _Real) -> None: ...
    @property
    def to_value(self) -> float: ...
    @to_value.setter
    def to_value(self, value: _Real) -> None: ...

@final
class CertifierConfig:
    """Configuration for the safety certifier."""

    def __new__(
        cls,
        safe_threshold: _Real = 0.6,
        caution_threshold: _Real = 0.3,
        block_threshold: _Real = 0.1,
        warning_margin_threshold: _Real = 0.5,
    ) -> Self: ...
    @property
    def safe_threshold(self) -> float: ...
    @safe_threshold.setter
    def safe_threshold(self, value: _Real) -> None: ...
    @property
    def caution_threshold(self) -> float: ...
    @caution_threshold.setter
    def caution_threshold(self, value: _Real) -> None: ...
    @property
    def block_threshold(self) -> float: ...
    @block_threshold.setter
    def block_threshold(self, value: _Real) -> None: ...
    @property
    def warning_margin_threshold(self) -> float: ...
    @warning_margin_threshold.setter
    def warning_margin_threshold(self, value: _Real) -> None: ...

@final
class AgenticAdapter:
    """The built-in agentic adapter: budget and rate constraint channels."""

    def __new__(cls, budget_limit: _Real = 100.0, rate_limit: _Real = 50.0) -> Self: ...
    def record_spend(self, amount: _Real) -> None:
        """Record spending against the budget."""

    def record_action(self) -> None:
        """Record an action against the rate limit."""

    def reset_rate_window(self) -> None:
        """Reset the rate window counter."""

    def budget_utilization(self) -> float:
        """Get current budget utilization (0.0 to 1.0)."""

# Each base class has its own C instance layout, so no class can derive from both.
@disjoint_base
class DomainAdapter:
    """Base class for domain adapters; every method must be overridden."""

    def __new__(cls) -> Self: ...
    def domain_name(self) -> str: ...
    def constraint_channels(self) -> Sequence[ConstraintChannelLike]: ...
    def map_action_to_state(self, _action: SimpleAction) -> Sequence[_Real]: ...
    def detect_regime_change(self, _current: list[float], _proposed: list[float]) -> bool: ...

@disjoint_base
class ConstraintChannel:
    """Base class for constraint channels; every method must be overridden."""

    def __new__(cls) -> Self: ...
    def name(self) -> str: ...
    def evaluate(self, _state: list[float]) -> _Real:
        """Margin of the state against this constraint, in [0, 1]."""

    def dimension_names(self) -> Sequence[str]: ...

def certify_action(
    adapter: _Adapter,
    action_id: str | None = None,
    agent_id: str | None = None,
    deltas: dict[str, _RealT] | None = None,
    action: SimpleAction | None = None,
    config: CertifierConfig | None = None,
    safe_threshold: _Real = 0.6,
    caution_threshold: _Real = 0.3,
    block_threshold: _Real = 0.1,
) -> SafetyCertificate:
    """Certify one action: an AgenticAdapter with `deltas`, or any adapter with `action`."""
