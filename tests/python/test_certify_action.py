"""certify_action: loose arguments, conversion order and the chosen forms."""

import pytest

import ruvo_safety
from ruvo_safety import (AgenticAdapter, CertifierConfig, ConstraintChannel, DomainAdapter,
                         SimpleAction, StateDelta, certify_action)


class Recorder(DomainAdapter):
    """Records the action it was asked to map; its one channel reads position 0."""

    def __new__(cls):
        self = super().__new__(cls)
        self.actions = []
        return self

    def domain_name(self):
        return "rec"

    def constraint_channels(self):
        return [Reader()]

    def map_action_to_state(self, action):
        self.actions.append(action)
        return [d.to_value for d in action.state_deltas] or [1.0]

    def detect_regime_change(self, current, proposed):
        return False


class Reader(ConstraintChannel):
    def name(self):
        return "first"

    def evaluate(self, state):
        return state[0]

    def dimension_names(self):
        return ["first"]


def test_function_surface():
    assert certify_action.__module__ == "ruvo_safety"
    assert certify_action.__self__ is ruvo_safety
    assert certify_action.__name__ == "certify_action"
    assert certify_action.__text_signature__ == (
        "(adapter, action_id=None, agent_id=None, deltas=None, action=None, config=None, "
        "safe_threshold=0.6, caution_threshold=0.3, block_threshold=0.1)")
    doc = certify_action.__doc__
    assert doc.startswith("Certify an action using a domain adapter.\n\nThe adapter can be "
                          "either:\n- An AgenticAdapter (convenience wrapper)\n")
    assert doc.endswith("\n\nReturns:\n    SafetyCertificate with the certification decision")
    assert len(doc.splitlines()) == 23
    assert "    caution_threshold: Margin threshold for Caution zone (default 0.3, ignored if " \
           "config set)\n" in doc


def test_defaults():
    cert = certify_action(AgenticAdapter(budget_limit=100.0, rate_limit=50.0))
    assert (cert.action_id, cert.agent_id, cert.decision) == ("unnamed", "unnamed", "Certified")
    recorder = Recorder()
    certify_action(recorder, action_id="", agent_id=None)
    assert (recorder.actions[0].action_id, recorder.actions[0].agent_id) == ("", "unnamed")
    assert recorder.actions[0].state_deltas == []


def test_deltas_become_byte_ordered_deltas_from_one():
    recorder = Recorder()
    certify_action(recorder, "x", "y", {"b": 1, "a": 2, "B": 0.5, "é": 0.25})
    deltas = recorder.actions[0].state_deltas
    assert [(d.dimension, d.from_value, d.to_value) for d in deltas] == [
        ("B", 1.0, 0.5), ("a", 1.0, 2.0), ("b", 1.0, 1.0), ("é", 1.0, 0.25)]
    cert = certify_action(AgenticAdapter(), deltas={"scope_score": 0.2})
    assert cert.margins["scope"] == 0.2
    assert certify_action(AgenticAdapter(), deltas={}).decision == "Certified"


def test_an_action_wins_over_loose_identifiers_and_deltas():
    recorder = Recorder()
    act = SimpleAction("mine", "agent", [StateDelta("z", 0.0, 0.7), StateDelta("a", 0.0, 0.2)])
    cert = certify_action(recorder, action_id="x", deltas={"q": 0.1}, action=act)
    assert (cert.action_id, cert.margins) == ("mine", {"first": 0.7})
    assert recorder.actions[0] is not act


def test_config_wins_over_loose_thresholds_which_are_still_converted():
    config = CertifierConfig(0.95, 0.5, 0.2, 0.5)
    cert = certify_action(AgenticAdapter(), deltas={"scope_score": 0.9}, config=config,
                          safe_threshold=0.1)
    assert cert.zone == "Caution"
    with pytest.raises(TypeError, match="^argument 'safe_threshold': "):
        certify_action(AgenticAdapter(), config=config, safe_threshold="high")
    cert = certify_action(AgenticAdapter(), deltas={"scope_score": 0.5}, safe_threshold=0.4,
                          caution_threshold=0.2, block_threshold=0.05)
    assert (cert.decision, cert.zone) == ("Certified", "Safe")
    cert = certify_action(AgenticAdapter(), deltas={"scope_score": 0.5}, safe_threshold=0.9,
                          config=None)
    # Loose thresholds keep the warning threshold at 0.5.
    assert cert.decision == ('CertifiedWithWarning { warnings: ["Channel \'scope\' margin 0.5000 '
                             'below warning threshold"] }')


@pytest.mark.parametrize("kwargs, message", [
    ({"safe_threshold": None}, "argument 'safe_threshold': must be real number, not NoneType"),
    ({"block_threshold": "x"}, "argument 'block_threshold': must be real number, not str"),
    ({"deltas": [("a", 1.0)]}, "argument 'deltas': 'list' object cannot be converted to 'PyDict'"),
    ({"deltas": {1: 2.0}}, "argument 'deltas': 'int' object cannot be converted to 'PyString'"),
    ({"deltas": {"a": "x"}}, "argument 'deltas': must be real number, not str"),
    ({"action_id": 5}, "argument 'action_id': 'int' object cannot be converted to 'PyString'"),
    ({"agent_id": b"x"}, "argument 'agent_id': 'bytes' object cannot be converted to 'PyString'"),
    ({"action": "a"}, "argument 'action': 'str' object cannot be converted to 'SimpleAction'"),
    ({"config": 1}, "argument 'config': 'int' object cannot be converted to 'CertifierConfig'"),
    # Parameter order decides which error is reported.
    ({"block_threshold": "x", "action_id": 5},
     "argument 'action_id': 'int' object cannot be converted to 'PyString'"),
    ({"action": 1, "deltas": [1]},
     "argument 'deltas': 'list' object cannot be converted to 'PyDict'"),
])
def test_argument_errors(kwargs, message):
    with pytest.raises(TypeError) as info:
        certify_action(AgenticAdapter(), **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("call, message", [
    (lambda: certify_action(), "certify_action() missing 1 required positional argument: "
                               "'adapter'"),
    (lambda: certify_action(*range(10)),
     "certify_action() takes from 1 to 9 positional arguments but 10 were given"),
    (lambda: certify_action(AgenticAdapter(), bogus=1),
     "certify_action() got an unexpected keyword argument 'bogus'"),
    (lambda: certify_action(AgenticAdapter(), "a", action_id="b"),
     "certify_action() got multiple values for argument 'action_id'"),
    (lambda: certify_action(42, action="bad"),
     "argument 'action': 'str' object cannot be converted to 'SimpleAction'"),
])
def test_binding_errors_and_argument_errors_before_the_adapter(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_unusable_adapter():
    with pytest.raises(TypeError, match="^Adapter must be an AgenticAdapter or a DomainAdapter "
                                        "subclass: AttributeError: "):
        certify_action(42)


def test_other_exceptions_from_conversions_pass_through():
    class Broken:
        def __float__(self):
            raise ValueError("bad float")

    with pytest.raises(ValueError, match="^bad float$"):
        certify_action(AgenticAdapter(), deltas={"a": Broken()})
    with pytest.raises(OverflowError):
        certify_action(AgenticAdapter(), caution_threshold=10**400)


# Plain floats ahead of the changing value take the single-walk path up to it.
@pytest.mark.parametrize("plain_first", [False, True])
def test_a_dict_changed_during_its_conversion_fails(plain_first):
    deltas = {"c": 0.5} if plain_first else {}

    class Grows:
        def __float__(self):
            deltas["new"] = 1.0
            return 0.5

    class Swaps:
        def __float__(self):
            del deltas["b"]
            deltas["z"] = 1.0
            return 0.5

    deltas.update(a=Grows(), b=1.0)
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        certify_action(AgenticAdapter(), deltas=deltas)
    del deltas["a"], deltas["b"]
    deltas.pop("new", None)
    deltas.update(a=Swaps(), b=1.0)
    with pytest.raises(RuntimeError, match="^dictionary keys changed during iteration$"):
        certify_action(AgenticAdapter(), deltas=deltas)


def test_each_value_is_read_when_the_walk_reaches_its_key():
    deltas = {}

    class Lowers:
        def __float__(self):
            deltas["scope_score"] = 0.05
            return 0.9

    deltas.update(a=Lowers(), scope_score=0.95)
    cert = certify_action(AgenticAdapter(), deltas=deltas)
    assert cert.margins["scope"] == pytest.approx(0.05)
    assert cert.decision.startswith("Blocked")
