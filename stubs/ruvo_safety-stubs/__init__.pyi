"""RUVO Safety Kernel -- Python bindings

Before an agent acts, describe the action as a `SimpleAction` (two identifiers and a list
of `StateDelta` records) and certify it with `SafetyCertifier.certify` or
`certify_action`. A domain adapter (the built-in `AgenticAdapter`, or Python code written
against `DomainAdapter` and `ConstraintChannel`) maps the action to a state vector and
lists its constraint channels; each channel answers with a margin in [0, 1] (1.0 far from
its limit, 0.0 at or beyond it). The smallest margin, the adapter's regime-change answer
and the thresholds of `CertifierConfig` give the zone, the decision and the drift budget,
sealed into a `SafetyCertificate` with a SHA-256 hash.
"""

from collections.abc import Sequence
from typing import Protocol, Self, SupportsFloat, SupportsIndex, final, type_check_only

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

# A number the module takes is written out as `SupportsFloat | SupportsIndex` (float, int, or
# anything with __float__ or __index__) rather than through an alias, so that editors and the
# reference show the public names.

@type_check_only
class ConstraintChannelLike(Protocol):
    """What certification calls on each channel a domain adapter lists.

    Any object with these three methods serves; deriving from `ConstraintChannel` is
    optional. Right after the adapter's `constraint_channels()`, certification asks each
    channel for `name()` and `dimension_names()`, then calls `evaluate()` on each, in list
    order. A method that raises an `Exception`, or returns a value of the wrong type, makes
    the certification raise `RuntimeError` (see each method); other exceptions, such as
    `KeyboardInterrupt`, propagate unchanged.
    """

    def name(self) -> str:
        """Name of the channel: the key of its margin, and the binding constraint's name.

        Return a `str`. Names are expected to differ: a later channel with the same name
        replaces the earlier one's margin. If the method raises or returns anything else,
        certification raises `RuntimeError` "Domain adapter error: " followed by the
        exception's type name, ": " and its message.
        """

    def evaluate(self, state: list[float], /) -> SupportsFloat | SupportsIndex:
        """Margin of the proposed state against this channel's limit.

        If the method raises, or returns something that does not convert to `float`,
        certification raises `RuntimeError` "Constraint channel evaluation failed: "
        followed by the exception's type name, ": " and its message, and the channels
        after it are not evaluated.

        Args:
            state: A new list of floats: the vector the adapter's `map_action_to_state`
                returned, the same for every channel.

        Returns:
            A number (`float`, `int`, or anything with `__float__` or `__index__`): 1.0
                far from the limit, 0.0 at or beyond it. Above 1.0 is recorded as 1.0,
                below 0.0 as 0.0; NaN is kept, binds, and blocks unless a regime
                change escalates first (see `CertifierConfig`).
        """

    def dimension_names(self) -> Sequence[str]:
        """Names of the state dimensions this channel reads.

        Certification asks for them once per channel and checks them; they do not enter the
        certificate. Return a list, tuple or other sequence of `str` (a `str` itself is
        refused). If the method raises or returns anything else, certification raises
        `RuntimeError` "Domain adapter error: " followed by the exception's type name,
        ": " and its message.
        """

@type_check_only
class DomainAdapterLike(Protocol):
    """What certification calls on an adapter written in Python (subclass or not).

    Any object whose `domain_name()` returns a `str` is taken as a Python adapter;
    deriving from `DomainAdapter` is optional. Each certification calls, in this order:
    `domain_name()`, `map_action_to_state(action)`, `constraint_channels()` (then `name()`
    and `dimension_names()` on each channel), `evaluate(state)` on each channel, and
    `detect_regime_change(current, proposed)`; nothing else is looked up. A method that
    raises an `Exception`, or returns a value of the wrong type, ends the certification
    with `TypeError` (`domain_name`) or `RuntimeError` (the others); other exceptions, such
    as `KeyboardInterrupt`, propagate unchanged.
    """

    def domain_name(self) -> str:
        """Name of the domain, for example "robot_arm".

        Asked once at the start of every certification; a `str` answer is what makes an
        object usable as an adapter. The name does not enter the certificate. If the
        method is missing, raises, or returns anything else, certification raises
        `TypeError` "Adapter must be an AgenticAdapter or a DomainAdapter subclass: "
        followed by the exception's type name, ": " and its message.
        """

    def constraint_channels(self) -> Sequence[ConstraintChannelLike]:
        """The domain's constraint channels, asked for once per certification.

        Return a list, tuple or other sequence (not a `str`, generator or set) of channel
        objects, usually `ConstraintChannel` subclass instances. An empty sequence
        certifies with no margins: binding constraint "none" at margin 1.0. If the method
        raises or returns anything else, certification raises `RuntimeError` "Domain
        adapter error: " followed by the exception's type name, ": " and its message.
        """

    def map_action_to_state(
        self, action: SimpleAction, /
    ) -> Sequence[SupportsFloat | SupportsIndex]:
        """Map the proposed action to the state vector the channels read.

        If the method raises, or the result is not a sequence of numbers, certification
        raises `RuntimeError` "Domain adapter error: " followed by the exception's type
        name, ": " and its message, and no other method is called.

        Args:
            action: A new `SimpleAction` holding copies of the certified action's
                identifiers and deltas; changing it has no effect on the certification.

        Returns:
            A list, tuple or other sequence of numbers (not a `str`), empty allowed; what
                each position means is up to the adapter and its channels.
        """

    def detect_regime_change(self, current: list[float], proposed: list[float], /) -> bool:
        """Whether the proposed state is a regime change, which always escalates to a human.

        `True` gives `EscalateToHuman` whatever the margins (see `CertifierConfig`).

        Args:
            current: A new list of 0.0 as long as `proposed`: a Python adapter has no
                current state.
            proposed: A new list of floats, the vector `map_action_to_state` returned.

        Returns:
            A real `bool` (NumPy's boolean scalar is read through its truth value). Any
                other result, `1` included, or an exception makes certification raise
                `RuntimeError` "Domain adapter error: " followed by the exception's type
                name, ": " and its message (for `1`, "TypeError: 'int' object cannot be
                converted to 'PyBool'").
        """


@final
class SafetyCertificate:
    """A sealed certificate; only `certify` and `certify_action` make one.

    Read-only: each property read builds a fresh value, assigning a property raises
    `AttributeError`, and calling the class raises `TypeError`. `repr()` gives
    `SafetyCertificate(id=<certificate_id>, decision=<decision>, zone=<zone>)`.
    """

    @property
    def certificate_id(self) -> str:
        """Identifier of the certificate: "cert-" and the first 32 digits of the hash.

        37 characters, for example "cert-9758b8c47a32aa18407f2d9834b68d41"; always equal to
        `"cert-" + deterministic_hash[:32]`.
        """

    @property
    def action_id(self) -> str:
        """Identifier of the certified action, unchanged ("unnamed" if `certify_action` made it).

        Covered by `deterministic_hash`.
        """

    @property
    def agent_id(self) -> str:
        """Identifier of the agent that proposed the action, unchanged.

        "unnamed" when `certify_action` built the action without one. Covered by
        `deterministic_hash`.
        """

    @property
    def decision(self) -> str:
        r"""The decision as text, in one of four forms.

        - `Certified`
        - `CertifiedWithWarning { warnings: ["...", "..."] }`: one warning per channel
          whose margin is at or below the warning margin threshold, in the order of
          `margins`, or else the single warning `Minimum margin <m> in caution zone`.
          Each channel warning reads `Channel '<name>' margin <m> below warning threshold`.
        - `EscalateToHuman { reason: "..." }`: for a regime change,
          `Regime change detected (binding constraint: <name>, margin: <m>)`; for a
          binding margin at or below the caution threshold,
          `Margin <m> on '<name>' requires human review (threshold: <caution>)`.
        - `Blocked { reason: "..." }`: for a binding margin at or below the block threshold
          (or NaN), `Margin <m> on '<name>' is at or below block threshold <block>`.

        Margins are written with four decimals, thresholds with two, NaN as "NaN" (for
        example `Margin 0.0500 on 'scope' is at or below block threshold 0.10`); names
        are written unchanged. Each reason and warning then stands in double quotes, where
        `"` and `\` take a backslash; tab, CR, LF and NUL are written `\t`, `\r`, `\n`
        and `\0`; other control, format, private-use, unassigned and separator
        characters (except the space) and combining marks are written `\u{<hex>}`, as in
        `\u{200b}`; a single quote and other characters, non-ASCII included, are kept.
        Covered by `deterministic_hash`.
        """

    @property
    def zone(self) -> str:
        """The zone of the binding margin: "Safe", "Caution" or "Danger".

        "Safe" goes with `Certified`; "Caution" with `CertifiedWithWarning`, and with a
        regime change whose binding margin is above the caution threshold; "Danger" with
        `Blocked` and every other escalation. Covered by `deterministic_hash`.
        """

    @property
    def margins(self) -> dict[str, float]:
        """Margin of each channel, by channel name.

        A new dict at each read, with its keys in ascending order of their UTF-8 bytes (so
        "Zeta" comes before "alpha"). Values are clamped to [0, 1]: a channel's 1.7 reads
        1.0 and its -0.2 reads 0.0; NaN passes unchanged. Channels with the same name leave
        one entry, the later channel's margin. Empty when the adapter listed no channels.
        Covered by `deterministic_hash`.
        """

    @property
    def binding_constraint(self) -> str | None:
        """Name of the channel with the smallest margin, or "none" with no channels.

        Ties go to the name that sorts first in `margins`. A NaN margin binds before any
        number: the first channel by name with a NaN margin is the binding constraint.
        Always a `str` on certificates this module makes. Not covered by
        `deterministic_hash`.
        """

    @property
    def drift_budget(self) -> float | None:
        """How far the binding margin can fall before it reaches the next lower threshold.

        With m the binding margin (1.0 with no channels): m - safe when m is above the safe
        threshold, else m - caution when above the caution threshold, else m - block when
        above the block threshold, else 0.0 (also when m is NaN). Computed in floating
        point (0.9 - 0.6 gives 0.30000000000000004), the same way whatever the decision,
        a regime change included. Always a `float` on certificates this module makes. Not
        covered by `deterministic_hash`.
        """

    @property
    def deterministic_hash(self) -> str:
        """SHA-256 of the certificate's canonical text, as 64 lowercase hexadecimal digits.

        The canonical text is these pieces joined with "|", nothing escaped:
        "action:" + `action_id`; "agent:" + `agent_id`; "decided_at:" + the UTC time at
        which certification began (RFC 3339 with "+00:00" and 0, 3, 6 or 9 fractional
        digits, the fewest that hold it exactly); one `channel:<name>:<margin>` per entry
        of `margins`, in its order, the margin with 17 significant digits (0.8 as
        "8.0000000000000004e-1", 1.0 as "1.0000000000000000e0"); "decision:" +
        `decision`; "zone:" + `zone`. `binding_constraint` and `drift_budget` are not
        covered. The time is not readable from Python, and it makes two certifications of
        the same action differ.
        """

    def to_json(self) -> str:
        r"""The certificate as JSON text: one object with six string members.

        The members, in this order, each on its own line indented by two spaces:
        "action_id", "agent_id", "certificate_id", "decision", "deterministic_hash",
        "zone"; no line feed after the closing brace. The margins, binding constraint and
        drift budget are left out. In the strings, `"` and `\` take a backslash and
        control characters are escaped (`\n`, `\t`, `\u001f`, ...); other characters,
        non-ASCII included, are written as they are.

        Returns:
            A new `str`, the same for every call on the same certificate.
        """

@final
class SafetyCertifier:
    """A stateful safety certifier that holds a domain adapter and configuration.

    Create one, then call `certify` as often as needed. The certifier keeps a reference to
    its adapter, so an `AgenticAdapter`'s counters are read as they stand at each call, and
    a copy of its configuration. `repr()` shows the configuration:
    `SafetyCertifier(config=CertifierConfig(safe=0.6, caution=0.3, block=0.1, warning=0.5))`
    with the defaults.

    Example:
        Certify an action with the agentic adapter:

            certifier = SafetyCertifier(AgenticAdapter(budget_limit=100.0))
            cert = certifier.certify(SimpleAction("act-1", "agent-1"))
            cert.decision  # "Certified"
    """

    def __new__(
        cls, adapter: AgenticAdapter | DomainAdapterLike, config: CertifierConfig | None = None
    ) -> Self:
        """Make a certifier around an adapter.

        Args:
            adapter: An `AgenticAdapter`, or an adapter written in Python (see
                `DomainAdapter`). Not examined here: `certify` reports an unusable one.
            config: The thresholds, copied: later changes to the object do not reach the
                certifier. `None` or omitted: the defaults 0.6, 0.3, 0.1 and 0.5.

        Raises:
            TypeError: `config` is neither `None` nor a `CertifierConfig`.
        """

    @property
    def config(self) -> CertifierConfig:
        """A copy of the configuration: changing it leaves the certifier as it is.

        A new `CertifierConfig` at each read. Read-only: the certifier's thresholds are
        fixed when it is made.
        """

    def certify(self, action: SimpleAction) -> SafetyCertificate:
        """Certify a proposed action.

        The action is copied, and the adapter is taken as it stands at this call: an
        `AgenticAdapter`'s counters are read (certifying never changes them), and a Python
        adapter's `domain_name()` is asked again. Exceptions that do not derive from
        `Exception`, such as `KeyboardInterrupt`, raised in a Python adapter or channel
        propagate unchanged. A failed call leaves the certifier usable.

        Args:
            action: The proposed action.

        Returns:
            A new certificate.

        Raises:
            TypeError: `action` is not a `SimpleAction` (checked before the adapter), or
                the adapter is neither an `AgenticAdapter` nor an object whose
                `domain_name()` returns a `str`: "Adapter must be an AgenticAdapter or a
                DomainAdapter subclass: " followed by the failure's type name, ": " and
                its message.
            RuntimeError: A method of a Python adapter or channel raised or returned a
                value of the wrong type. The message is "Domain adapter error: " or, for
                `evaluate`, "Constraint channel evaluation failed: ", followed by the
                exception's type name, ": " and its message, for example "Domain adapter
                error: ValueError: bad".
        """

@final
class SimpleAction:
    """A simple proposed action for safety certification.

    Holds its identifiers and deltas by value: the constructor and the `state_deltas`
    setter copy the given `StateDelta` objects, and reading `state_deltas` gives new ones,
    so later changes on one side never reach the other. Certification copies the action
    too. `repr()` gives `SimpleAction(action_id=<id>, agent_id=<id>, deltas=<count>)`.
    """

    def __new__(
        cls, action_id: str, agent_id: str, state_deltas: Sequence[StateDelta] | None = None
    ) -> Self:
        """Make an action.

        Args:
            action_id: Identifier of the action, any `str`.
            agent_id: Identifier of the agent proposing it, any `str`.
            state_deltas: The proposed changes, in order, repeats kept: a list, tuple or
                other sequence of `StateDelta` (not a `str` or a set). `None` or omitted:
                no deltas.

        Raises:
            TypeError: An identifier is not a `str`, or `state_deltas` is not such a
                sequence.
        """

    @property
    def action_id(self) -> str:
        """Identifier of the action; it enters the certificate and its hash.

        Any `str`, empty included; assigning anything else raises `TypeError`.
        """

    @action_id.setter
    def action_id(self, value: str) -> None:
        """Replace the identifier of the action."""

    @property
    def agent_id(self) -> str:
        """Identifier of the agent proposing the action; it enters the certificate and its hash.

        Any `str`, empty included; assigning anything else raises `TypeError`.
        """

    @agent_id.setter
    def agent_id(self, value: str) -> None:
        """Replace the identifier of the agent."""

    @property
    def state_deltas(self) -> list[StateDelta]:
        """Get the state deltas for this action.

        A new list of new `StateDelta` objects at each read: changing the list or its
        objects leaves the action as it is. Assigning accepts what the constructor accepts,
        except `None`, and copies the given deltas; a failed assignment (`TypeError`) keeps
        the old ones.
        """

    @state_deltas.setter
    def state_deltas(self, value: Sequence[StateDelta]) -> None:
        """Replace all deltas with copies of the given ones."""

@final
class StateDelta:
    """A single dimension of state change proposed by an action.

    Nothing is validated: empty or repeated names, NaN and infinities are kept. The
    `AgenticAdapter` reads only the `to_value` of three dimensions; an adapter written in
    Python reads what it chooses. `repr()` gives
    `StateDelta(dimension=scope_score, from_value=1, to_value=0.4)`.
    """

    def __new__(
        cls,
        dimension: str,
        from_value: SupportsFloat | SupportsIndex = 0.0,
        to_value: SupportsFloat | SupportsIndex = 0.0,
    ) -> Self:
        """Make a delta.

        Args:
            dimension: Name of the state dimension the action changes.
            from_value: Value before the action: a `float`, an `int`, or anything with
                `__float__` or `__index__`, stored as `float`.
            to_value: Value after the action, converted the same way.

        Raises:
            TypeError: `dimension` is not a `str`, or a value is not a number.
        """

    @property
    def dimension(self) -> str:
        """Name of the state dimension the action changes.

        Matched byte for byte: the `AgenticAdapter` reads "scope_score", not
        "Scope_score". Assigning anything but a `str` raises `TypeError`.
        """

    @dimension.setter
    def dimension(self, value: str) -> None:
        """Replace the dimension name."""

    @property
    def from_value(self) -> float:
        """Value of the dimension before the action.

        The `AgenticAdapter` never reads it. Assigning converts any number to `float`.
        """

    @from_value.setter
    def from_value(self, value: SupportsFloat | SupportsIndex) -> None:
        """Replace the value before the action."""

    @property
    def to_value(self) -> float:
        """Value of the dimension after the action: the value adapters judge.

        Assigning converts any number to `float`.
        """

    @to_value.setter
    def to_value(self, value: SupportsFloat | SupportsIndex) -> None:
        """Replace the value after the action."""

@final
class CertifierConfig:
    """Configuration for the safety certifier: four thresholds on the binding margin.

    With m the binding margin (the smallest channel margin, NaN before any number; 1.0
    when there are no channels), the first rule that applies decides:

    1. The adapter reports a regime change: `EscalateToHuman`, zone "Caution" when m is
       above `caution_threshold`, else "Danger". A regime change always escalates: it is
       never `Blocked`, never `Certified`.
    2. m is NaN, or at or below `block_threshold`: `Blocked`, zone "Danger".
    3. m is at or below `caution_threshold`: `EscalateToHuman`, zone "Danger".
    4. m is at or below `safe_threshold`: `CertifiedWithWarning`, zone "Caution".
    5. Otherwise: `Certified`, zone "Safe".

    Nothing is validated: thresholds in any order, outside [0, 1], infinite or NaN are
    kept as given, and a comparison with a NaN threshold is false. The object is copied
    wherever it is passed. `repr()` gives
    `CertifierConfig(safe=0.6, caution=0.3, block=0.1, warning=0.5)` for the defaults.
    """

    def __new__(
        cls,
        safe_threshold: SupportsFloat | SupportsIndex = 0.6,
        caution_threshold: SupportsFloat | SupportsIndex = 0.3,
        block_threshold: SupportsFloat | SupportsIndex = 0.1,
        warning_margin_threshold: SupportsFloat | SupportsIndex = 0.5,
    ) -> Self:
        """Make a configuration; each threshold is any number, stored as `float`.

        Args:
            safe_threshold: A binding margin above it is certified outright.
            caution_threshold: A binding margin at or below it needs human review.
            block_threshold: A binding margin at or below it is blocked.
            warning_margin_threshold: In the "Caution" zone, each channel at or below it
                gets a warning.

        Raises:
            TypeError: A threshold is not a number.
        """

    @property
    def safe_threshold(self) -> float:
        """A binding margin strictly above this is `Certified`, zone "Safe" (default 0.6).

        At or below it, and above `caution_threshold`, the action is `CertifiedWithWarning`.
        Assigning converts any number to `float`.
        """

    @safe_threshold.setter
    def safe_threshold(self, value: SupportsFloat | SupportsIndex) -> None:
        """Replace the safe threshold."""

    @property
    def caution_threshold(self) -> float:
        """At or below this a binding margin needs human review (default 0.3).

        At or below it, and above `block_threshold`: `EscalateToHuman`, zone "Danger". It
        also sets the zone of a regime change: "Caution" above it, "Danger" at or below.
        Assigning converts any number to `float`.
        """

    @caution_threshold.setter
    def caution_threshold(self, value: SupportsFloat | SupportsIndex) -> None:
        """Replace the caution threshold."""

    @property
    def block_threshold(self) -> float:
        """At or below this a binding margin is `Blocked`, zone "Danger" (default 0.1).

        A regime change is decided first and escalates instead. Assigning converts any
        number to `float`.
        """

    @block_threshold.setter
    def block_threshold(self, value: SupportsFloat | SupportsIndex) -> None:
        """Replace the block threshold."""

    @property
    def warning_margin_threshold(self) -> float:
        """Channels at or below this margin get a warning in the "Caution" zone (default 0.5).

        Used only for `CertifiedWithWarning`: each channel whose margin is at or below it
        (NaN never) gets its own warning; when none does, the single warning is
        `Minimum margin <m> in caution zone`. `certify_action` without `config` uses 0.5.
        Assigning converts any number to `float`.
        """

    @warning_margin_threshold.setter
    def warning_margin_threshold(self, value: SupportsFloat | SupportsIndex) -> None:
        """Replace the warning margin threshold."""

@final
class AgenticAdapter:
    """The built-in agentic adapter: budget and rate constraint channels.

    It keeps two counters, the money spent (`record_spend`) and the actions taken
    (`record_action`, `reset_rate_window`), and reads three risk scores from each action.
    Certification reads the counters as they stand and never changes them: the budget and
    rate channels measure what was already recorded, not the action being certified, so
    record the spend and the action once it is done.

    Scores: the `to_value` of a delta whose dimension is exactly "scope_score",
    "reversibility_score" or "sensitivity_score" (byte for byte, case-sensitive; the last
    such delta wins); a missing score counts as 1.0. `from_value` and every other
    dimension, "budget" included, are ignored.

    Five channels, by margin name:

    - "budget": 1 - spent / budget_limit, clamped to [0, 1]; 0.0 when the limit is zero
      or negative.
    - "rate_limit": 1 - actions / rate_limit, the same way.
    - "scope", "reversibility", "data_sensitivity": the score, clamped to [0, 1].

    Regime change: when the budget or the rate headroom (1 - used / limit) is strictly
    below 0.1, or its limit is zero, negative or NaN, the action escalates to a human
    whatever the thresholds. This comes before the block threshold is looked at, so an
    exhausted budget escalates rather than blocks; the 0.1 is fixed, not `block_threshold`.

    Example:
        Gate an agent's step, then record what it did:

            adapter = AgenticAdapter(budget_limit=100.0, rate_limit=50.0)
            cert = certify_action(adapter, deltas={"scope_score": 0.4})
            # CertifiedWithWarning: scope 0.4 is at or below the warning margin 0.5
            adapter.record_spend(12.5)
            adapter.record_action()
    """

    def __new__(
        cls,
        budget_limit: SupportsFloat | SupportsIndex = 100.0,
        rate_limit: SupportsFloat | SupportsIndex = 50.0,
    ) -> Self:
        """Make an adapter with both counters at 0.0.

        Args:
            budget_limit: The money the agent may spend; any number, not validated.
            rate_limit: The actions the agent may take in one rate window; any number.

        Raises:
            TypeError: A limit is not a number.
        """

    def record_spend(self, amount: SupportsFloat | SupportsIndex) -> None:
        """Record spending against the budget.

        Adds `amount` to the money spent; a negative amount is accepted and lowers it. The
        next certification's budget margin is 1 - spent / budget_limit.

        Args:
            amount: Any number (`float`, `int`, or anything with `__float__` or
                `__index__`).

        Raises:
            TypeError: `amount` is not a number.
        """

    def record_action(self) -> None:
        """Record an action against the rate limit: the action count goes up by 1."""

    def reset_rate_window(self) -> None:
        """Reset the rate window counter: the action count goes back to 0.

        The money spent is kept. There is no clock: a window ends when this is called.
        """

    def budget_utilization(self) -> float:
        """Get current budget utilization (0.0 to 1.0).

        The money spent divided by `budget_limit`, capped at 1.0; 1.0 when the limit is
        zero, negative or NaN, or the quotient is NaN. There is no lower bound: after
        `record_spend(-10)` with the default limit it is -0.1.
        """

# Each base class has its own C instance layout, so no class can derive from both.
@disjoint_base
class DomainAdapter:
    """Base class for domain adapters; every method must be overridden.

    Subclass it to bring domain logic written in Python into certification;
    `DomainAdapterLike` tells when each method is called and what it must return. A
    method left as it is raises `NotImplementedError`, and certification then fails
    (`TypeError` for `domain_name`, `RuntimeError` for the others).

    The constructor takes no arguments, so a subclass made with arguments defines its own
    `__new__` that calls `super().__new__(cls)` (see `ConstraintChannel`); one that only
    defines `__init__(self, x)` fails with `TypeError`
    `DomainAdapter.__new__() takes 0 positional arguments but 1 was given`. Declare in the
    class body the attributes `__new__` sets, for type checkers. A plain `DomainAdapter()`
    takes no attributes; subclass instances do.

    Example:
        A robot arm whose only channel is `Speed` (see `ConstraintChannel`):

            class Arm(DomainAdapter):
                def domain_name(self) -> str:
                    return "arm"

                def constraint_channels(self) -> list[ConstraintChannel]:
                    return [Speed(2.0)]

                def map_action_to_state(self, action: SimpleAction) -> list[float]:
                    return [d.to_value for d in action.state_deltas]

                def detect_regime_change(
                    self, current: list[float], proposed: list[float]
                ) -> bool:
                    return False

            move = SimpleAction("move-1", "arm", [StateDelta("speed", 0.0, 0.5)])
            SafetyCertifier(Arm()).certify(move)  # speed margin 0.75: Certified
    """

    def __new__(cls) -> Self:
        """Make an instance of the class being instantiated; takes no arguments.

        Raises:
            TypeError: An argument was given.
        """

    def domain_name(self) -> str:
        """Name of the domain (e.g., "finance", "agentic", "robotics").

        Asked once at the start of each certification; returning a `str` is what makes an
        object usable as an adapter.

        Raises:
            NotImplementedError: Unless overridden; certification then raises `TypeError`
                "Adapter must be an AgenticAdapter or a DomainAdapter subclass:
                NotImplementedError: Subclasses must implement domain_name()".
        """

    def constraint_channels(self) -> Sequence[ConstraintChannelLike]:
        """Provide the constraint channels for this domain.

        Return a list, tuple or other sequence (not a `str`, generator or set) of channel
        objects; an empty one certifies with binding constraint "none" at margin 1.0.

        Raises:
            NotImplementedError: Unless overridden; certification then raises
                `RuntimeError` "Domain adapter error: NotImplementedError: ...".
        """

    def map_action_to_state(self, _action: SimpleAction) -> Sequence[SupportsFloat | SupportsIndex]:
        """Map a proposed action's state deltas into a state vector.

        Args:
            _action: The action. During certification an override receives a new
                `SimpleAction` copy of the certified one; this default accepts any object.

        Returns:
            In an override, a list, tuple or other sequence of numbers: the proposed
                state vector that every channel's `evaluate` receives.

        Raises:
            NotImplementedError: Unless overridden; certification then raises
                `RuntimeError` "Domain adapter error: NotImplementedError: Subclasses must
                implement map_action_to_state(action)".
        """

    def detect_regime_change(self, _current: list[float], _proposed: list[float]) -> bool:
        """Detect whether the proposed state change represents a regime change.

        A regime change escalates the action to a human whatever its margins. An override
        must return a real `bool` (or NumPy's boolean scalar); anything else, `1`
        included, makes certification raise `RuntimeError`.

        Args:
            _current: During certification, a list of 0.0 as long as `_proposed` (a
                Python adapter has no current state).
            _proposed: The state vector `map_action_to_state` returned, as floats.

        Raises:
            TypeError: An argument is not a sequence of numbers (this default converts
                both before it raises `NotImplementedError`).
            NotImplementedError: Unless overridden; certification then raises
                `RuntimeError`.
        """

@disjoint_base
class ConstraintChannel:
    """Base class for constraint channels; every method must be overridden.

    Subclass it for the channels a `DomainAdapter` lists; `ConstraintChannelLike` tells
    when each method is called and what it must return. A method left as it is raises
    `NotImplementedError`, and a certification that calls it raises `RuntimeError`.

    The constructor takes no arguments, so a channel made with arguments defines its own
    `__new__` that calls `super().__new__(cls)`, and declares its attributes in the class
    body for type checkers; defining only `__init__(self, limit)` fails with `TypeError`
    `ConstraintChannel.__new__() takes 0 positional arguments but 1 was given`.

    Example:
        The margin of position 0 of the state against a limit:

            class Speed(ConstraintChannel):
                limit: float

                def __new__(cls, limit: float) -> Self:
                    self = super().__new__(cls)
                    self.limit = limit
                    return self

                def name(self) -> str:
                    return "speed"

                def evaluate(self, state: list[float]) -> float:
                    return 1.0 - state[0] / self.limit

                def dimension_names(self) -> list[str]:
                    return ["speed"]
    """

    def __new__(cls) -> Self:
        """Make an instance of the class being instantiated; takes no arguments.

        Raises:
            TypeError: An argument was given.
        """

    def name(self) -> str:
        """Human-readable name of this constraint channel.

        The key of the channel's margin in the certificate; a later channel with the same
        name replaces the earlier one's margin.

        Raises:
            NotImplementedError: Unless overridden; certification then raises
                `RuntimeError` "Domain adapter error: NotImplementedError: ...".
        """

    def evaluate(self, _state: list[float]) -> SupportsFloat | SupportsIndex:
        """Margin of the state against this constraint, in [0, 1].

        An override returns 1.0 far from the limit and 0.0 at or beyond it. Certification
        records values above 1.0 as 1.0 and below 0.0 as 0.0; NaN is kept, binds, and
        blocks unless a regime change escalates first.

        Args:
            _state: The proposed state vector from the adapter's `map_action_to_state`.

        Returns:
            In an override, a number (`float`, `int`, or anything with `__float__` or
                `__index__`).

        Raises:
            TypeError: `_state` is not a sequence of numbers (this default converts it
                before it raises `NotImplementedError`).
            NotImplementedError: Unless overridden; certification then raises
                `RuntimeError` "Constraint channel evaluation failed: NotImplementedError:
                Subclasses must implement evaluate(state)".
        """

    def dimension_names(self) -> Sequence[str]:
        """Names of state dimensions this channel operates on.

        Asked for and checked during certification, but not part of the certificate.

        Raises:
            NotImplementedError: Unless overridden; certification then raises
                `RuntimeError` "Domain adapter error: NotImplementedError: ...".
        """

def certify_action[Number: SupportsFloat | SupportsIndex](
    adapter: AgenticAdapter | DomainAdapterLike,
    action_id: str | None = None,
    agent_id: str | None = None,
    deltas: dict[str, Number] | None = None,
    action: SimpleAction | None = None,
    config: CertifierConfig | None = None,
    safe_threshold: SupportsFloat | SupportsIndex = 0.6,
    caution_threshold: SupportsFloat | SupportsIndex = 0.3,
    block_threshold: SupportsFloat | SupportsIndex = 0.1,
) -> SafetyCertificate:
    """Certify one action: an AgenticAdapter with `deltas`, or any adapter with `action`.

    Builds the action and the configuration from the arguments, then certifies exactly as
    `SafetyCertifier.certify` does. Every combination is accepted:

    - With `action`, that action is certified; `action_id`, `agent_id` and `deltas` are
      ignored.
    - Otherwise the action is built: `action_id` and `agent_id` ("unnamed" when omitted)
      and one `StateDelta` per entry of `deltas`, in byte order of the keys (not the
      dict's order), each with `from_value` 1.0 and the entry's value as `to_value`.
    - With `config`, its thresholds are used and the three threshold arguments are
      ignored, though still checked. Otherwise the three thresholds are used, with a
      warning margin threshold of 0.5.

    Every argument is checked, in parameter order, before the adapter is looked at.

    Args:
        adapter: An `AgenticAdapter`, or an adapter written in Python (see
            `DomainAdapter`).
        action_id: Identifier of the built action.
        agent_id: Identifier of the agent for the built action.
        deltas: Target value by dimension name, for example `{"scope_score": 0.4}`: a dict
            with `str` keys and number values.
        action: A ready action; the three arguments above are then ignored.
        config: The thresholds; the three arguments below are then ignored.
        safe_threshold: See `CertifierConfig.safe_threshold`; `None` is refused.
        caution_threshold: See `CertifierConfig.caution_threshold`; `None` is refused.
        block_threshold: See `CertifierConfig.block_threshold`; `None` is refused.

    Returns:
        A new certificate.

    Raises:
        TypeError: An argument of the wrong type (`argument '<name>': ...`), or an
            unusable adapter, as for `SafetyCertifier.certify`.
        RuntimeError: A method of a Python adapter or channel failed, as for
            `SafetyCertifier.certify`.

    Example:
        A broad action that is hard to undo, on a fresh budget:

            cert = certify_action(
                AgenticAdapter(budget_limit=100.0),
                action_id="send-report",
                agent_id="agent-1",
                deltas={"scope_score": 0.7, "reversibility_score": 0.25},
            )
            # reversibility 0.25 is at or below 0.3: EscalateToHuman, zone "Danger"
    """
