"""DomainAdapter and ConstraintChannel: subclassing, documented defaults, argument errors."""

import pytest

from ruvo_safety import (ConstraintChannel, DomainAdapter, SafetyCertifier, SimpleAction,
                         StateDelta)

DOMAIN_DOC = "\n".join([
    "Base class for domain adapters.",
    "",
    "Subclass this to create custom domain adapters that plug domain-specific",
    "logic into the safety certification kernel:",
    "",
    "```python",
    "class MyAdapter(DomainAdapter):",
    "    def domain_name(self) -> str:",
    '        return "my_domain"',
    "    def constraint_channels(self) -> list[ConstraintChannel]:",
    "        return [MyChannel()]",
    "    def map_action_to_state(self, action) -> list[float]:",
    "        return [1.0]",
    "    def detect_regime_change(self, current, proposed) -> bool:",
    "        return False",
    "```",
])

CHANNEL_DOC = "\n".join([
    "Base class for constraint channels.",
    "",
    "Subclass this to create custom constraint channels:",
    "",
    "```python",
    "class MyChannel(ConstraintChannel):",
    "    def name(self) -> str:",
    '        return "my_channel"',
    "    def evaluate(self, state: list[float]) -> float:",
    "        return 0.8  # margin in [0, 1]",
    "    def dimension_names(self) -> list[str]:",
    '        return ["dim1"]',
    "```",
])


def test_class_docstrings():
    assert DomainAdapter.__text_signature__ == ConstraintChannel.__text_signature__ == "()"
    assert DomainAdapter.__doc__ == DOMAIN_DOC
    assert ConstraintChannel.__doc__ == CHANNEL_DOC


@pytest.mark.parametrize("method, signature, doc", [
    (DomainAdapter.domain_name, "($self)",
     'Name of the domain (e.g., "finance", "agentic", "robotics").'),
    (DomainAdapter.constraint_channels, "($self)",
     "Provide the constraint channels for this domain."),
    (DomainAdapter.map_action_to_state, "($self, _action)",
     "Map a proposed action's state deltas into a state vector."),
    (DomainAdapter.detect_regime_change, "($self, _current, _proposed)",
     "Detect whether the proposed state change represents a regime change."),
    (ConstraintChannel.name, "($self)", "Human-readable name of this constraint channel."),
    (ConstraintChannel.evaluate, "($self, _state)",
     "Evaluate this constraint against the state vector.\nMust return a margin in [0, 1]."),
    (ConstraintChannel.dimension_names, "($self)",
     "Names of state dimensions this channel operates on."),
])
def test_method_docstrings(method, signature, doc):
    assert (method.__text_signature__, method.__doc__) == (signature, doc)


@pytest.mark.parametrize("call, exc, message", [
    (lambda: DomainAdapter().domain_name(), NotImplementedError,
     "Subclasses must implement domain_name()"),
    (lambda: DomainAdapter().constraint_channels(), NotImplementedError,
     "Subclasses must implement constraint_channels()"),
    (lambda: DomainAdapter().map_action_to_state(None), NotImplementedError,
     "Subclasses must implement map_action_to_state(action)"),
    (lambda: DomainAdapter().map_action_to_state(_action=1), NotImplementedError,
     "Subclasses must implement map_action_to_state(action)"),
    (lambda: DomainAdapter().detect_regime_change([1.0], (2,)), NotImplementedError,
     "Subclasses must implement detect_regime_change(current, proposed)"),
    (lambda: DomainAdapter().detect_regime_change("a", [1.0]), TypeError,
     "argument '_current': Can't extract `str` to `Vec`"),
    (lambda: DomainAdapter().detect_regime_change([1.0], [None]), TypeError,
     "argument '_proposed': must be real number, not NoneType"),
    (lambda: DomainAdapter().detect_regime_change("a", "b"), TypeError,
     "argument '_current': Can't extract `str` to `Vec`"),
    (lambda: DomainAdapter().detect_regime_change([1.0]), TypeError,
     "DomainAdapter.detect_regime_change() missing 1 required positional argument: '_proposed'"),
    (lambda: DomainAdapter().map_action_to_state(), TypeError,
     "DomainAdapter.map_action_to_state() missing 1 required positional argument: '_action'"),
    (lambda: DomainAdapter().domain_name(1), TypeError,
     "DomainAdapter.domain_name() takes no arguments (1 given)"),
    (lambda: ConstraintChannel().name(), NotImplementedError, "Subclasses must implement name()"),
    (lambda: ConstraintChannel().dimension_names(), NotImplementedError,
     "Subclasses must implement dimension_names()"),
    (lambda: ConstraintChannel().evaluate([0.5]), NotImplementedError,
     "Subclasses must implement evaluate(state)"),
    (lambda: ConstraintChannel().evaluate("abc"), TypeError,
     "argument '_state': Can't extract `str` to `Vec`"),
    (lambda: ConstraintChannel().evaluate({0.5}), TypeError,
     "argument '_state': 'set' object cannot be converted to 'Sequence'"),
    (lambda: DomainAdapter(1), TypeError,
     "DomainAdapter.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: ConstraintChannel(x=1), TypeError,
     "ConstraintChannel.__new__() got an unexpected keyword argument 'x'"),
])
def test_defaults_and_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message and info.value.args == (message,)


def test_subclassing():
    class A(DomainAdapter):
        pass

    a = A()
    assert type(a) is A and isinstance(a, DomainAdapter)
    a.anything = 1
    assert a.anything == 1
    with pytest.raises(AttributeError):
        DomainAdapter().anything = 1
    with pytest.raises(AttributeError):
        ConstraintChannel().anything = 1


def test_a_subclass_built_with_arguments_needs_its_own_new():
    class OnlyInit(ConstraintChannel):
        def __init__(self, limit):
            self.limit = limit

    with pytest.raises(TypeError) as info:
        OnlyInit(5)
    assert str(info.value) == "ConstraintChannel.__new__() takes 0 positional arguments but 1 " \
                              "was given"

    class WithNew(ConstraintChannel):
        def __new__(cls, limit):
            return super().__new__(cls)

        def __init__(self, limit):
            self.limit = limit

    assert WithNew(5).limit == 5


ACTION = SimpleAction("a", "b", [StateDelta("x", 0, 1)])


class Complete(DomainAdapter):
    def domain_name(self):
        return "d"

    def constraint_channels(self):
        return [Good()]

    def map_action_to_state(self, action):
        return [1.0]

    def detect_regime_change(self, current, proposed):
        return False


class Good(ConstraintChannel):
    def name(self):
        return "g"

    def evaluate(self, state):
        return 0.9

    def dimension_names(self):
        return ["x"]


@pytest.mark.parametrize("base, method, exc, message", [
    (DomainAdapter, "domain_name", TypeError,
     "Adapter must be an AgenticAdapter or a DomainAdapter subclass: NotImplementedError: "
     "Subclasses must implement domain_name()"),
    (DomainAdapter, "map_action_to_state", RuntimeError,
     "Domain adapter error: NotImplementedError: Subclasses must implement "
     "map_action_to_state(action)"),
    (DomainAdapter, "constraint_channels", RuntimeError,
     "Domain adapter error: NotImplementedError: Subclasses must implement "
     "constraint_channels()"),
    (DomainAdapter, "detect_regime_change", RuntimeError,
     "Domain adapter error: NotImplementedError: Subclasses must implement "
     "detect_regime_change(current, proposed)"),
    (ConstraintChannel, "name", RuntimeError,
     "Domain adapter error: NotImplementedError: Subclasses must implement name()"),
    (ConstraintChannel, "dimension_names", RuntimeError,
     "Domain adapter error: NotImplementedError: Subclasses must implement dimension_names()"),
    (ConstraintChannel, "evaluate", RuntimeError,
     "Constraint channel evaluation failed: NotImplementedError: Subclasses must implement "
     "evaluate(state)"),
])
def test_a_default_left_in_place_fails_the_certification(base, method, exc, message):
    overrides = {method: getattr(base, method)}
    if base is DomainAdapter:
        adapter = type("Partial", (Complete,), overrides)()
    else:
        channel_class = type("Partial", (Good,), overrides)
        adapter = type("WithPartial", (Complete,),
                       {"constraint_channels": lambda self: [channel_class()]})()
    with pytest.raises(exc) as info:
        SafetyCertifier(adapter).certify(ACTION)
    assert str(info.value) == message


def test_plain_base_adapter_is_refused_at_resolution():
    with pytest.raises(TypeError) as info:
        SafetyCertifier(DomainAdapter()).certify(ACTION)
    assert str(info.value) == ("Adapter must be an AgenticAdapter or a DomainAdapter subclass: "
                               "NotImplementedError: Subclasses must implement domain_name()")
