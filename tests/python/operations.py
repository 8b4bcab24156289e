"""Every public operation of the module, on its success path and on each of its failure paths.

CASES holds `pytest.param(call, outcome, id=...)`: `call` takes no argument, `outcome` is None
when the call returns and the exception type otherwise. The reference-leak check and the
allocation-failure sweep run the same table. A call leaves no state behind that changes the
next call's outcome, so it can be repeated any number of times.
"""

import pytest

from ruvo_safety import (AgenticAdapter, CertifierConfig, ConstraintChannel, DomainAdapter,
                         SafetyCertificate, SafetyCertifier, SimpleAction, StateDelta,
                         certify_action)


def raising(exc_type):
    """A method (or __float__, __len__, __str__) raising a fresh exc_type("stop")."""
    def method(self, *args):
        raise exc_type("stop")
    return method


class Channel(ConstraintChannel):
    def name(self):
        return "c"

    def dimension_names(self):
        return ["x"]

    def evaluate(self, state):
        return 0.9


class Adapter(DomainAdapter):
    def domain_name(self):
        return "py"

    def constraint_channels(self):
        return [Channel()]

    def map_action_to_state(self, action):
        return [1.0]

    def detect_regime_change(self, current, proposed):
        return False


def adapter_with(**methods):
    return type("Custom", (Adapter,), methods)()


def channel_with(**methods):
    channel_class = type("CustomChannel", (Channel,), methods)
    return adapter_with(constraint_channels=lambda self: [channel_class()])


class Real:
    """Converts to a float through Python code that fails."""

    def __init__(self, exc_type):
        self.exc_type = exc_type

    def __float__(self):
        raise self.exc_type("stop")


class Items:
    """A sequence read through __getitem__ whose second item fails."""

    def __init__(self, first, exc_type):
        self.first, self.exc_type = first, exc_type

    def __len__(self):
        return 2

    def __getitem__(self, index):
        if index == 0:
            return self.first
        raise self.exc_type("stop")


# Lists whose length read fails: the length is only a size hint, so an error is ignored, but
# an interrupt is the user's and must arrive.
ErrorLength = type("ErrorLength", (list,), {"__len__": raising(RuntimeError)})
InterruptedLength = type("InterruptedLength", (list,), {"__len__": raising(KeyboardInterrupt)})

Unprintable = type("Unprintable", (Exception,), {"__str__": raising(ValueError)})
InterruptedStr = type("InterruptedStr", (Exception,), {"__str__": raising(KeyboardInterrupt)})

DELTA = StateDelta("scope_score", 1.0, 0.4)
ACTION = SimpleAction("act-1", "agent-1", [DELTA])
CONFIG = CertifierConfig(0.7, 0.3, 0.1, 0.5)
AGENTIC = AgenticAdapter()
SPENDING = AgenticAdapter()  # record_spend moves only this one's counter
CERTIFIER = SafetyCertifier(AGENTIC, CONFIG)
CERTIFICATE = CERTIFIER.certify(ACTION)
PYTHON_CERTIFIER = SafetyCertifier(Adapter())
# Refused writes go to objects of their own, so that one wrongly taken changes no other case.
SPARE_DELTA = StateDelta("spare")
SPARE_ACTION = SimpleAction("spare", "spare")
SPARE_CONFIG = CertifierConfig()

# A conversion that reads the adapter being written: refused by its borrow flag.
BORROWED = AgenticAdapter()
ReadsBack = type("ReadsBack", (), {"__float__": lambda self: BORROWED.budget_utilization()})


def assign(obj, name, value):
    setattr(obj, name, value)
    return getattr(obj, name)


def certifying(adapter):
    """The call certifying ACTION with `adapter` (built once, outside the call)."""
    return lambda: SafetyCertifier(adapter).certify(ACTION)


class Grows:
    """A delta value whose conversion adds a key to the dict being converted."""

    def __init__(self, deltas):
        self.deltas = deltas

    def __float__(self):
        self.deltas["new"] = 1.0
        return 0.5


def changing_deltas():
    deltas = {}
    deltas.update(a=Grows(deltas), b=1.0)
    return deltas


def case(call, outcome=None, *, id):
    return pytest.param(call, outcome, id=id)


CASES = [
    # StateDelta
    case(lambda: StateDelta("a", 1, 2.5), id="StateDelta"),
    case(lambda: StateDelta(dimension="a", to_value=True), id="StateDelta-keywords"),
    case(lambda: StateDelta(), TypeError, id="StateDelta-missing"),
    case(lambda: StateDelta("a", 1, 2, 3), TypeError, id="StateDelta-too-many"),
    case(lambda: StateDelta("a", size=1), TypeError, id="StateDelta-unknown-keyword"),
    case(lambda: StateDelta("a", dimension="b"), TypeError, id="StateDelta-twice"),
    case(lambda: StateDelta(5), TypeError, id="StateDelta-bad-dimension"),
    case(lambda: StateDelta("a", None), TypeError, id="StateDelta-bad-value"),
    case(lambda: StateDelta("\ud800"), UnicodeEncodeError, id="StateDelta-surrogate"),
    case(lambda: StateDelta("a", 10**400), OverflowError, id="StateDelta-overflow"),
    case(lambda: StateDelta("a", Real(ValueError)), ValueError, id="StateDelta-float-raises"),
    case(lambda: StateDelta("a", Real(KeyboardInterrupt)), KeyboardInterrupt,
         id="StateDelta-float-interrupted"),
    case(lambda: DELTA.dimension, id="StateDelta.dimension"),
    case(lambda: DELTA.from_value, id="StateDelta.from_value"),
    case(lambda: DELTA.to_value, id="StateDelta.to_value"),
    case(lambda: repr(DELTA), id="StateDelta-repr"),
    case(lambda: assign(StateDelta("a"), "dimension", "b"), id="StateDelta.dimension="),
    case(lambda: assign(StateDelta("a"), "from_value", 2), id="StateDelta.from_value="),
    case(lambda: assign(StateDelta("a"), "to_value", 0.5), id="StateDelta.to_value="),
    case(lambda: assign(SPARE_DELTA, "dimension", 1), TypeError, id="StateDelta.dimension=bad"),
    case(lambda: assign(SPARE_DELTA, "to_value", "x"), TypeError, id="StateDelta.to_value=bad"),
    case(lambda: assign(SPARE_DELTA, "from_value", Real(KeyboardInterrupt)), KeyboardInterrupt,
         id="StateDelta.from_value=interrupted"),
    case(lambda: delattr(SPARE_DELTA, "to_value"), AttributeError, id="StateDelta-del"),
    # SimpleAction
    case(lambda: SimpleAction("a", "b", [DELTA, DELTA]), id="SimpleAction"),
    case(lambda: SimpleAction("a", "b"), id="SimpleAction-no-deltas"),
    case(lambda: SimpleAction(agent_id="b", action_id="a", state_deltas=(DELTA,)),
         id="SimpleAction-keywords"),
    case(lambda: SimpleAction("a", "b", ErrorLength([DELTA])), id="SimpleAction-length-fails"),
    case(lambda: SimpleAction(), TypeError, id="SimpleAction-missing"),
    case(lambda: SimpleAction("a", "b", [], 1), TypeError, id="SimpleAction-too-many"),
    case(lambda: SimpleAction("a", b"b"), TypeError, id="SimpleAction-bad-id"),
    case(lambda: SimpleAction("a", "b", "abc"), TypeError, id="SimpleAction-str-deltas"),
    case(lambda: SimpleAction("a", "b", {DELTA}), TypeError, id="SimpleAction-set-deltas"),
    case(lambda: SimpleAction("a", "b", [DELTA, 1]), TypeError, id="SimpleAction-bad-item"),
    case(lambda: SimpleAction("a", "b", Items(DELTA, TypeError)), TypeError,
         id="SimpleAction-item-raises"),
    case(lambda: SimpleAction("a", "b", Items(DELTA, KeyboardInterrupt)), KeyboardInterrupt,
         id="SimpleAction-item-interrupted"),
    case(lambda: SimpleAction("a", "b", InterruptedLength([DELTA])), KeyboardInterrupt,
         id="SimpleAction-length-interrupted"),
    case(lambda: ACTION.action_id, id="SimpleAction.action_id"),
    case(lambda: ACTION.agent_id, id="SimpleAction.agent_id"),
    case(lambda: ACTION.state_deltas, id="SimpleAction.state_deltas"),
    case(lambda: repr(ACTION), id="SimpleAction-repr"),
    case(lambda: assign(SimpleAction("a", "b"), "action_id", "c"), id="SimpleAction.action_id="),
    case(lambda: assign(SimpleAction("a", "b"), "agent_id", "c"), id="SimpleAction.agent_id="),
    case(lambda: assign(SimpleAction("a", "b"), "state_deltas", [DELTA]),
         id="SimpleAction.state_deltas="),
    case(lambda: assign(SPARE_ACTION, "agent_id", None), TypeError, id="SimpleAction.agent_id=bad"),
    case(lambda: assign(SPARE_ACTION, "state_deltas", [DELTA, "x"]), TypeError,
         id="SimpleAction.state_deltas=bad"),
    case(lambda: assign(SPARE_ACTION, "state_deltas", InterruptedLength([DELTA])),
         KeyboardInterrupt, id="SimpleAction.state_deltas=length-interrupted"),
    case(lambda: delattr(SPARE_ACTION, "state_deltas"), AttributeError, id="SimpleAction-del"),
    # CertifierConfig
    case(lambda: CertifierConfig(), id="CertifierConfig"),
    case(lambda: CertifierConfig(0.9, block_threshold=0.2), id="CertifierConfig-keywords"),
    case(lambda: CertifierConfig(1, 2, 3, 4, 5), TypeError, id="CertifierConfig-too-many"),
    case(lambda: CertifierConfig(safe=1), TypeError, id="CertifierConfig-unknown-keyword"),
    case(lambda: CertifierConfig("x"), TypeError, id="CertifierConfig-bad-value"),
    case(lambda: CertifierConfig(Real(KeyboardInterrupt)), KeyboardInterrupt,
         id="CertifierConfig-float-interrupted"),
    case(lambda: CONFIG.safe_threshold, id="CertifierConfig.safe_threshold"),
    case(lambda: CONFIG.caution_threshold, id="CertifierConfig.caution_threshold"),
    case(lambda: CONFIG.block_threshold, id="CertifierConfig.block_threshold"),
    case(lambda: CONFIG.warning_margin_threshold, id="CertifierConfig.warning_margin_threshold"),
    case(lambda: repr(CONFIG), id="CertifierConfig-repr"),
    case(lambda: assign(CertifierConfig(), "safe_threshold", 0.8),
         id="CertifierConfig.safe_threshold="),
    case(lambda: assign(CertifierConfig(), "caution_threshold", 0.2),
         id="CertifierConfig.caution_threshold="),
    case(lambda: assign(CertifierConfig(), "block_threshold", 0),
         id="CertifierConfig.block_threshold="),
    case(lambda: assign(CertifierConfig(), "warning_margin_threshold", 0.4),
         id="CertifierConfig.warning_margin_threshold="),
    case(lambda: assign(SPARE_CONFIG, "block_threshold", []), TypeError,
         id="CertifierConfig.block_threshold=bad"),
    case(lambda: delattr(SPARE_CONFIG, "safe_threshold"), AttributeError, id="CertifierConfig-del"),
    # AgenticAdapter
    case(lambda: AgenticAdapter(), id="AgenticAdapter"),
    case(lambda: AgenticAdapter(rate_limit=10), id="AgenticAdapter-keywords"),
    case(lambda: AgenticAdapter(1, 2, 3), TypeError, id="AgenticAdapter-too-many"),
    case(lambda: AgenticAdapter(limit=1), TypeError, id="AgenticAdapter-unknown-keyword"),
    case(lambda: AgenticAdapter(None), TypeError, id="AgenticAdapter-bad-value"),
    case(lambda: SPENDING.record_spend(0.5), id="record_spend"),
    case(lambda: SPENDING.record_spend(amount=0.5), id="record_spend-keyword"),
    case(lambda: SPENDING.record_spend(), TypeError, id="record_spend-missing"),
    case(lambda: SPENDING.record_spend(1, 2), TypeError, id="record_spend-too-many"),
    case(lambda: SPENDING.record_spend(cost=1), TypeError, id="record_spend-unknown-keyword"),
    case(lambda: SPENDING.record_spend("5"), TypeError, id="record_spend-bad-value"),
    case(lambda: SPENDING.record_spend(Real(KeyboardInterrupt)), KeyboardInterrupt,
         id="record_spend-float-interrupted"),
    case(lambda: BORROWED.record_spend(ReadsBack()), id="record_spend-reads-the-adapter"),
    case(lambda: SPENDING.record_action(), id="record_action"),
    case(lambda: SPENDING.record_action(1), TypeError, id="record_action-too-many"),
    case(lambda: SPENDING.reset_rate_window(), id="reset_rate_window"),
    case(lambda: AGENTIC.budget_utilization(), id="budget_utilization"),
    # DomainAdapter and ConstraintChannel, with their default methods
    case(lambda: DomainAdapter(), id="DomainAdapter"),
    case(lambda: DomainAdapter(1), TypeError, id="DomainAdapter-too-many"),
    case(lambda: Adapter(), id="DomainAdapter-subclass"),
    case(lambda: DomainAdapter().domain_name(), NotImplementedError, id="domain_name-default"),
    case(lambda: DomainAdapter().constraint_channels(), NotImplementedError,
         id="constraint_channels-default"),
    case(lambda: DomainAdapter().map_action_to_state(ACTION), NotImplementedError,
         id="map_action_to_state-default"),
    case(lambda: DomainAdapter().map_action_to_state(), TypeError,
         id="map_action_to_state-missing"),
    case(lambda: DomainAdapter().detect_regime_change([1.0], (2,)), NotImplementedError,
         id="detect_regime_change-default"),
    case(lambda: DomainAdapter().detect_regime_change([1.0]), TypeError,
         id="detect_regime_change-missing"),
    case(lambda: DomainAdapter().detect_regime_change("a", [1.0]), TypeError,
         id="detect_regime_change-bad-state"),
    case(lambda: DomainAdapter().detect_regime_change(InterruptedLength([1.0]), [1.0]),
         KeyboardInterrupt, id="detect_regime_change-length-interrupted"),
    case(lambda: ConstraintChannel(), id="ConstraintChannel"),
    case(lambda: ConstraintChannel(x=1), TypeError, id="ConstraintChannel-unknown-keyword"),
    case(lambda: ConstraintChannel().name(), NotImplementedError, id="name-default"),
    case(lambda: ConstraintChannel().dimension_names(), NotImplementedError,
         id="dimension_names-default"),
    case(lambda: ConstraintChannel().evaluate([0.5]), NotImplementedError, id="evaluate-default"),
    case(lambda: ConstraintChannel().evaluate(), TypeError, id="evaluate-missing"),
    case(lambda: ConstraintChannel().evaluate({0.5}), TypeError, id="evaluate-bad-state"),
    case(lambda: ConstraintChannel().evaluate([Real(KeyboardInterrupt)]), KeyboardInterrupt,
         id="evaluate-default-float-interrupted"),
    # SafetyCertifier
    case(lambda: SafetyCertifier(AGENTIC), id="SafetyCertifier"),
    case(lambda: SafetyCertifier(adapter=AGENTIC, config=CONFIG), id="SafetyCertifier-keywords"),
    case(lambda: SafetyCertifier(), TypeError, id="SafetyCertifier-missing"),
    case(lambda: SafetyCertifier(AGENTIC, CONFIG, 3), TypeError, id="SafetyCertifier-too-many"),
    case(lambda: SafetyCertifier(AGENTIC, config=1), TypeError, id="SafetyCertifier-bad-config"),
    case(lambda: repr(CERTIFIER), id="SafetyCertifier-repr"),
    case(lambda: CERTIFIER.config, id="SafetyCertifier.config"),
    case(lambda: CERTIFIER.certify(ACTION), id="certify-agentic"),
    case(lambda: CERTIFIER.certify(action=SimpleAction("a", "b")), id="certify-keyword"),
    case(lambda: CERTIFIER.certify(), TypeError, id="certify-missing"),
    case(lambda: CERTIFIER.certify(ACTION, 1), TypeError, id="certify-too-many"),
    case(lambda: CERTIFIER.certify(act=ACTION), TypeError, id="certify-unknown-keyword"),
    case(lambda: CERTIFIER.certify("a"), TypeError, id="certify-bad-action"),
    case(lambda: PYTHON_CERTIFIER.certify(ACTION), id="certify-python"),
    case(certifying(adapter_with(detect_regime_change=lambda self, c, p: True)),
         id="certify-python-regime-change"),
    case(certifying(adapter_with(constraint_channels=lambda self: ())),
         id="certify-python-no-channel"),
    case(certifying(adapter_with(constraint_channels=lambda self: ErrorLength([Channel()]))),
         id="certify-python-length-fails"),
    case(certifying(42), TypeError, id="certify-not-an-adapter"),
    case(certifying(DomainAdapter()), TypeError, id="certify-base-adapter"),
    case(certifying(adapter_with(domain_name=raising(ValueError))), TypeError,
         id="certify-domain_name-raises"),
    case(certifying(adapter_with(domain_name=lambda self: 5)), TypeError,
         id="certify-domain_name-not-text"),
    case(certifying(adapter_with(map_action_to_state=raising(ValueError))), RuntimeError,
         id="certify-map-raises"),
    case(certifying(adapter_with(map_action_to_state=lambda self, a: "abc")), RuntimeError,
         id="certify-map-str"),
    case(certifying(adapter_with(map_action_to_state=lambda self, a: [1.0, "x"])),
         RuntimeError, id="certify-map-bad-item"),
    case(certifying(adapter_with(constraint_channels=raising(ValueError))), RuntimeError,
         id="certify-channels-raise"),
    case(certifying(adapter_with(constraint_channels=lambda self: [object()])), RuntimeError,
         id="certify-channels-bad-item"),
    case(certifying(adapter_with(detect_regime_change=raising(ValueError))), RuntimeError,
         id="certify-regime-raises"),
    case(certifying(adapter_with(detect_regime_change=lambda self, c, p: None)),
         RuntimeError, id="certify-regime-not-bool"),
    case(certifying(adapter_with(map_action_to_state=raising(Unprintable))), RuntimeError,
         id="certify-unprintable-exception"),
    case(certifying(channel_with(name=lambda self: 5)), RuntimeError,
         id="certify-channel-name-not-text"),
    case(certifying(channel_with(name=raising(KeyError))), RuntimeError,
         id="certify-channel-name-raises"),
    case(certifying(channel_with(dimension_names=lambda self: "dim")), RuntimeError,
         id="certify-channel-dimensions-str"),
    case(certifying(channel_with(dimension_names=ConstraintChannel.dimension_names)),
         RuntimeError, id="certify-channel-dimensions-default"),
    case(certifying(channel_with(evaluate=raising(ZeroDivisionError))), RuntimeError,
         id="certify-evaluate-raises"),
    case(certifying(channel_with(evaluate=lambda self, state: "0.5")), RuntimeError,
         id="certify-evaluate-str"),
    case(certifying(channel_with(evaluate=ConstraintChannel.evaluate)), RuntimeError,
         id="certify-evaluate-default"),
    case(certifying(adapter_with(domain_name=raising(KeyboardInterrupt))), KeyboardInterrupt,
         id="certify-domain_name-interrupted"),
    case(certifying(adapter_with(map_action_to_state=raising(KeyboardInterrupt))),
         KeyboardInterrupt, id="certify-map-interrupted"),
    case(certifying(adapter_with(map_action_to_state=raising(SystemExit))), SystemExit,
         id="certify-map-exits"),
    case(certifying(adapter_with(constraint_channels=raising(KeyboardInterrupt))),
         KeyboardInterrupt, id="certify-channels-interrupted"),
    case(certifying(adapter_with(detect_regime_change=raising(KeyboardInterrupt))),
         KeyboardInterrupt, id="certify-regime-interrupted"),
    case(certifying(adapter_with(map_action_to_state=raising(InterruptedStr))),
         KeyboardInterrupt, id="certify-str-interrupted"),
    case(certifying(channel_with(name=raising(KeyboardInterrupt))), KeyboardInterrupt,
         id="certify-channel-name-interrupted"),
    case(certifying(channel_with(dimension_names=raising(KeyboardInterrupt))),
         KeyboardInterrupt, id="certify-channel-dimensions-interrupted"),
    case(certifying(channel_with(evaluate=raising(KeyboardInterrupt))), KeyboardInterrupt,
         id="certify-evaluate-interrupted"),
    case(certifying(adapter_with(map_action_to_state=lambda self, a: [Real(KeyboardInterrupt)])),
         KeyboardInterrupt, id="certify-map-float-interrupted"),
    case(certifying(adapter_with(constraint_channels=lambda self: InterruptedLength([Channel()]))),
         KeyboardInterrupt, id="certify-channels-length-interrupted"),
    case(certifying(adapter_with(map_action_to_state=lambda self, a: InterruptedLength([1.0]))),
         KeyboardInterrupt, id="certify-map-length-interrupted"),
    # SafetyCertificate
    case(lambda: SafetyCertificate(), TypeError, id="SafetyCertificate-no-constructor"),
    case(lambda: CERTIFICATE.certificate_id, id="SafetyCertificate.certificate_id"),
    case(lambda: CERTIFICATE.action_id, id="SafetyCertificate.action_id"),
    case(lambda: CERTIFICATE.agent_id, id="SafetyCertificate.agent_id"),
    case(lambda: CERTIFICATE.decision, id="SafetyCertificate.decision"),
    case(lambda: CERTIFICATE.zone, id="SafetyCertificate.zone"),
    case(lambda: CERTIFICATE.margins, id="SafetyCertificate.margins"),
    case(lambda: CERTIFICATE.binding_constraint, id="SafetyCertificate.binding_constraint"),
    case(lambda: CERTIFICATE.drift_budget, id="SafetyCertificate.drift_budget"),
    case(lambda: CERTIFICATE.deterministic_hash, id="SafetyCertificate.deterministic_hash"),
    case(lambda: CERTIFICATE.to_json(), id="SafetyCertificate.to_json"),
    case(lambda: CERTIFICATE.to_json(1), TypeError, id="SafetyCertificate.to_json-too-many"),
    case(lambda: repr(CERTIFICATE), id="SafetyCertificate-repr"),
    case(lambda: setattr(CERTIFICATE, "zone", "Safe"), AttributeError,
         id="SafetyCertificate-read-only"),
    # certify_action
    case(lambda: certify_action(AGENTIC), id="certify_action-defaults"),
    case(lambda: certify_action(AGENTIC, "a", "b", {"scope_score": 0.4, "x": 1}),
         id="certify_action-deltas"),
    case(lambda: certify_action(AGENTIC, deltas={"scope_score": 0.5}, safe_threshold=0.9,
                                caution_threshold=0.2, block_threshold=0.05),
         id="certify_action-thresholds"),
    case(lambda: certify_action(AGENTIC, config=CONFIG, safe_threshold=0.1),
         id="certify_action-config"),
    case(lambda: certify_action(Adapter(), action=ACTION), id="certify_action-python"),
    case(lambda: certify_action(), TypeError, id="certify_action-missing"),
    case(lambda: certify_action(*range(10)), TypeError, id="certify_action-too-many"),
    case(lambda: certify_action(AGENTIC, bogus=1), TypeError, id="certify_action-unknown-keyword"),
    case(lambda: certify_action(AGENTIC, "a", action_id="b"), TypeError,
         id="certify_action-twice"),
    case(lambda: certify_action(AGENTIC, action_id=5), TypeError, id="certify_action-bad-id"),
    case(lambda: certify_action(AGENTIC, deltas=[("a", 1.0)]), TypeError,
         id="certify_action-deltas-not-dict"),
    case(lambda: certify_action(AGENTIC, deltas={1: 2.0}), TypeError,
         id="certify_action-bad-dimension"),
    case(lambda: certify_action(AGENTIC, deltas={"a": "x"}), TypeError,
         id="certify_action-bad-value"),
    case(lambda: certify_action(AGENTIC, deltas={"a": Real(ValueError)}), ValueError,
         id="certify_action-float-raises"),
    case(lambda: certify_action(AGENTIC, deltas={"a": Real(KeyboardInterrupt)}),
         KeyboardInterrupt, id="certify_action-float-interrupted"),
    case(lambda: certify_action(AGENTIC, deltas=changing_deltas()), RuntimeError,
         id="certify_action-dict-changed"),
    case(lambda: certify_action(AGENTIC, action="a"), TypeError, id="certify_action-bad-action"),
    case(lambda: certify_action(AGENTIC, config=1), TypeError, id="certify_action-bad-config"),
    case(lambda: certify_action(AGENTIC, config=CONFIG, block_threshold=None), TypeError,
         id="certify_action-bad-threshold"),
    case(lambda: certify_action(42), TypeError, id="certify_action-not-an-adapter"),
    case(lambda a=adapter_with(map_action_to_state=raising(ValueError)):
         certify_action(a, action=ACTION), RuntimeError, id="certify_action-python-fails"),
    case(lambda a=adapter_with(detect_regime_change=raising(KeyboardInterrupt)):
         certify_action(a, action=ACTION), KeyboardInterrupt,
         id="certify_action-python-interrupted"),
]


def describe(value):
    """A comparable account of a call's result: objects with an address compare by type."""
    if isinstance(value, SafetyCertificate):
        return (value.action_id, value.agent_id, value.decision, value.zone, value.margins,
                value.binding_constraint, value.drift_budget)
    if isinstance(value, (AgenticAdapter, DomainAdapter, ConstraintChannel)):
        return type(value).__name__
    if isinstance(value, list):
        return [describe(item) for item in value]
    return repr(value)
