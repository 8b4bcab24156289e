"""Domain logic written in Python: call order, conversions and fail-closed failures."""

import gc
import sys

import pytest

from ruvo_safety import (ConstraintChannel, DomainAdapter, SafetyCertifier, SimpleAction,
                         StateDelta)

ACTION = SimpleAction("act-1", "agent-1", [StateDelta("speed", 0.5, 0.8)])


class Channel(ConstraintChannel):
    def __new__(cls, name="c", margin=0.9, log=None):
        self = super().__new__(cls)
        self.channel_name, self.margin, self.log = name, margin, log
        return self

    def name(self):
        if self.log is not None:
            self.log.append(("name", self.channel_name))
        return self.channel_name

    def dimension_names(self):
        if self.log is not None:
            self.log.append(("dimension_names", self.channel_name))
        return ["x"]

    def evaluate(self, state):
        if self.log is not None:
            self.log.append(("evaluate", self.channel_name, list(state)))
        return self.margin


class Adapter(DomainAdapter):
    def __new__(cls, channels=(), state=(1.0, 2.0), regime=False, log=None):
        self = super().__new__(cls)
        self.channels, self.state, self.regime, self.log = list(channels), list(state), regime, log
        return self

    def _note(self, *entry):
        if self.log is not None:
            self.log.append(entry)

    def domain_name(self):
        self._note("domain_name")
        return "robot"

    def constraint_channels(self):
        self._note("constraint_channels")
        return self.channels

    def map_action_to_state(self, action):
        self._note("map_action_to_state", action)
        return self.state

    def detect_regime_change(self, current, proposed):
        self._note("detect_regime_change", list(current), list(proposed))
        return self.regime


def certify(adapter, action=ACTION):
    return SafetyCertifier(adapter).certify(action)


def certify_error(adapter, exc=RuntimeError):
    with pytest.raises(exc) as info:
        certify(adapter)
    return info.value


def test_calls_in_order_and_nothing_else_is_looked_up():
    log = []
    looked_up = []

    class Watched(Adapter):
        def __getattribute__(self, name):
            if not name.startswith("_") and name not in ("channels", "state", "regime", "log"):
                looked_up.append(name)
            return super().__getattribute__(name)

    adapter = Watched([Channel("b", 0.7, log), Channel("a", 0.95, log)], (3.0, 4.0, 5.0), log=log)
    cert = certify(adapter)
    assert [entry[0] for entry in log] == [
        "domain_name", "map_action_to_state", "constraint_channels", "name", "dimension_names",
        "name", "dimension_names", "evaluate", "evaluate", "detect_regime_change"]
    assert log[7] == ("evaluate", "b", [3.0, 4.0, 5.0])
    assert log[-1] == ("detect_regime_change", [0.0, 0.0, 0.0], [3.0, 4.0, 5.0])
    assert looked_up == ["domain_name", "map_action_to_state", "constraint_channels",
                         "detect_regime_change"]
    assert (cert.decision, cert.zone, cert.binding_constraint) == ("Certified", "Safe", "b")
    assert list(cert.margins.items()) == [("a", 0.95), ("b", 0.7)]


def test_the_mapping_gets_a_fresh_copy_of_the_action():
    log = []
    certify(Adapter(log=log))
    given = log[1][1]
    assert given is not ACTION and type(given) is SimpleAction
    assert (given.action_id, given.agent_id) == ("act-1", "agent-1")
    [delta] = given.state_deltas
    assert (delta.dimension, delta.from_value, delta.to_value) == ("speed", 0.5, 0.8)
    given.action_id = "changed"
    assert ACTION.action_id == "act-1"


def test_each_channel_gets_its_own_state_list():
    class Mutating(Channel):
        def evaluate(self, state):
            state[0] = -99.0
            state.append(1.0)
            return 0.9

    log = []
    certify(Adapter([Mutating("a"), Channel("b", log=log)], (1.0, 2.0), log=log))
    assert ("evaluate", "b", [1.0, 2.0]) in log
    assert log[-1] == ("detect_regime_change", [0.0, 0.0], [1.0, 2.0])


def test_any_object_with_the_methods_serves_and_instance_attributes_are_used():
    class Plain:
        def domain_name(self):
            return "plain"

        def constraint_channels(self):
            return (self.channel,)

        def map_action_to_state(self, action):
            return (0.5,)

        def detect_regime_change(self, current, proposed):
            return False

    class PlainChannel:
        name = staticmethod(lambda: "held")
        dimension_names = staticmethod(lambda: ("d",))

        def evaluate(self, state):
            return 1

    adapter = Plain()
    adapter.channel = PlainChannel()
    adapter.detect_regime_change = lambda current, proposed: True
    cert = certify(adapter)
    assert cert.margins == {"held": 1.0}
    assert type(cert.margins["held"]) is float
    assert cert.decision.startswith("EscalateToHuman { reason: \"Regime change detected "
                                    "(binding constraint: held, margin: 1.0000)")


@pytest.mark.parametrize("margin, recorded", [(1, 1.0), (3.0, 1.0), (-0.2, 0.0), (True, 1.0)])
def test_evaluate_results_are_converted_and_clamped(margin, recorded):
    assert certify(Adapter([Channel("c", margin)])).margins == {"c": recorded}


def test_empty_channel_list_and_tuple_results():
    cert = certify(Adapter([]))
    assert (cert.binding_constraint, cert.margins, cert.decision) == ("none", {}, "Certified")

    class TupleAdapter(Adapter):
        def constraint_channels(self):
            return (Channel("t", 0.2),)

    assert certify(TupleAdapter()).binding_constraint == "t"


class NotAnException(BaseException):
    pass


def raiser(exc):
    def method(*args):
        raise exc
    return method


@pytest.mark.parametrize("override, message", [
    ({"map_action_to_state": raiser(ValueError("bad"))}, "Domain adapter error: ValueError: bad"),
    ({"map_action_to_state": lambda self, a: "abc"},
     "Domain adapter error: TypeError: Can't extract `str` to `Vec`"),
    ({"map_action_to_state": lambda self, a: [1.0, "x"]},
     "Domain adapter error: TypeError: must be real number, not str"),
    ({"map_action_to_state": lambda self, a: {1.0}},
     "Domain adapter error: TypeError: 'set' object cannot be converted to 'Sequence'"),
    ({"constraint_channels": raiser(ValueError("no channels"))},
     "Domain adapter error: ValueError: no channels"),
    ({"constraint_channels": lambda self: "abc"},
     "Domain adapter error: TypeError: Can't extract `str` to `Vec`"),
    ({"constraint_channels": lambda self: Channel("single")},
     "Domain adapter error: TypeError: 'Channel' object cannot be converted to 'Sequence'"),
    ({"constraint_channels": lambda self: [Channel("ok"), object()]},
     "Domain adapter error: AttributeError: 'object' object has no attribute 'name'"),
    ({"detect_regime_change": lambda self, c, p: 1},
     "Domain adapter error: TypeError: 'int' object cannot be converted to 'PyBool'"),
    ({"detect_regime_change": lambda self, c, p: None},
     "Domain adapter error: TypeError: 'NoneType' object cannot be converted to 'PyBool'"),
    ({"detect_regime_change": raiser(ZeroDivisionError("division by zero"))},
     "Domain adapter error: ZeroDivisionError: division by zero"),
    ({"map_action_to_state": raiser(ValueError("lone \udc80 here"))},
     "Domain adapter error: ValueError: lone \ufffd here"),
])
def test_adapter_failures_end_the_certification(override, message):
    adapter_class = type("Broken", (Adapter,), override)
    error = certify_error(adapter_class([Channel("c", 0.9)]))
    assert str(error) == message and error.args == (message,)
    assert error.__cause__ is None


@pytest.mark.parametrize("override, message", [
    ({"name": lambda self: 5}, "TypeError: 'int' object cannot be converted to 'PyString'"),
    ({"name": raiser(KeyError("k"))}, "KeyError: 'k'"),
    ({"dimension_names": lambda self: "dim"}, "TypeError: Can't extract `str` to `Vec`"),
    ({"dimension_names": lambda self: ["ok", 3]},
     "TypeError: 'int' object cannot be converted to 'PyString'"),
    ({"dimension_names": ConstraintChannel.dimension_names},
     "NotImplementedError: Subclasses must implement dimension_names()"),
])
def test_a_channel_that_cannot_be_wrapped_fails_the_certification(override, message):
    broken = type("BrokenChannel", (Channel,), override)
    error = certify_error(Adapter([Channel("good"), broken("bad")]))
    assert str(error) == "Domain adapter error: " + message


@pytest.mark.parametrize("margin_exc, message", [
    (ValueError(""), "Constraint channel evaluation failed: ValueError: "),
    (ZeroDivisionError("division by zero"),
     "Constraint channel evaluation failed: ZeroDivisionError: division by zero"),
])
def test_evaluate_failures(margin_exc, message):
    log = []
    failing = type("Failing", (Channel,), {"evaluate": raiser(margin_exc)})
    adapter = Adapter([Channel("a", log=log), failing("b"), Channel("c", log=log)], log=log)
    assert str(certify_error(adapter)) == message
    evaluated = [entry[1] for entry in log if entry[0] == "evaluate"]
    assert evaluated == ["a"]
    assert "detect_regime_change" not in [entry[0] for entry in log]


def test_evaluate_returning_text_is_a_channel_failure():
    error = certify_error(Adapter([Channel("c", "0.5")]))
    assert str(error) == "Constraint channel evaluation failed: TypeError: must be real number, " \
                         "not str"


def test_exception_texts_from_callbacks():
    class Outer:
        class Bad(Exception):
            pass

    class Unprintable(Exception):
        def __str__(self):
            raise ValueError("no")

    for exc, text in [(Outer.Bad("x"), "test_exception_texts_from_callbacks.<locals>.Outer.Bad: x"),
                      (Unprintable(),
                       "test_exception_texts_from_callbacks.<locals>.Unprintable: "
                       "<exception str() failed>")]:
        adapter = type("A", (Adapter,), {"map_action_to_state": raiser(exc)})()
        assert str(certify_error(adapter)) == "Domain adapter error: " + text


@pytest.mark.parametrize("method", ["domain_name", "map_action_to_state", "constraint_channels",
                                    "detect_regime_change"])
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, NotAnException])
def test_exceptions_that_are_not_errors_propagate_unchanged(method, exc_type):
    raised = exc_type("stop")
    adapter = type("A", (Adapter,), {method: raiser(raised)})([Channel("c")])
    with pytest.raises(exc_type) as info:
        certify(adapter)
    assert info.value is raised
    # The certifier is usable again and nothing was left pending.
    assert certify(Adapter([Channel("c")])).decision == "Certified"


@pytest.mark.parametrize("where", ["name", "dimension_names", "evaluate"])
def test_keyboard_interrupt_from_a_channel_propagates(where):
    raised = KeyboardInterrupt()
    channel = type("C", (Channel,), {where: raiser(raised)})("c")
    with pytest.raises(KeyboardInterrupt) as info:
        certify(Adapter([channel]))
    assert info.value is raised


class Interrupted(list):
    def __len__(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("adapter", [
    lambda: type("A", (Adapter,), {"map_action_to_state": lambda s, a: Interrupted([1.0])})(),
    lambda: type("A", (Adapter,), {"constraint_channels": lambda s: Interrupted([Channel()])})(),
    lambda: Adapter([type("C", (Channel,), {"dimension_names": lambda s: Interrupted(["x"])})()]),
], ids=["map_action_to_state", "constraint_channels", "dimension_names"])
def test_an_interrupt_while_sizing_a_returned_sequence_propagates(adapter):
    with pytest.raises(KeyboardInterrupt):
        certify(adapter())


def test_keyboard_interrupt_while_rendering_an_exception_propagates():
    interrupt = KeyboardInterrupt("while rendering")

    class Nasty(Exception):
        def __str__(self):
            raise interrupt

    adapter = type("A", (Adapter,), {"map_action_to_state": raiser(Nasty())})()
    with pytest.raises(KeyboardInterrupt) as info:
        certify(adapter)
    assert info.value is interrupt
    resolving = type("A", (Adapter,), {"domain_name": raiser(Nasty())})()
    with pytest.raises(KeyboardInterrupt):
        certify(resolving)


def test_numpy_style_boolean_scalar_is_read_through_its_truth_value():
    fake_bool = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})
    other_bool = type("bool_", (), {"__module__": "mylib", "__bool__": lambda self: True})
    cert = certify(Adapter([Channel("c", 0.9)], regime=fake_bool()))
    assert cert.decision.startswith("EscalateToHuman")
    error = certify_error(Adapter([Channel("c")], regime=other_bool()))
    assert str(error) == "Domain adapter error: TypeError: 'bool_' object cannot be converted " \
                         "to 'PyBool'"


def test_reentrant_certification_from_a_callback():
    certifier = None
    seen = []

    class Reentrant(Adapter):
        def map_action_to_state(self, action):
            if not seen:
                seen.append("entered")
                seen.append(certifier.certify(action).decision)
                seen.append(repr(certifier.config))
            return [1.0]

    certifier = SafetyCertifier(Reentrant([Channel("c", 0.9)]))
    assert certifier.certify(ACTION).decision == "Certified"
    assert seen == ["entered", "Certified", "CertifierConfig(safe=0.6, caution=0.3, block=0.1, warning=0.5)"]


def test_references_are_released_on_every_path():
    channel = Channel("c", 0.9)
    good = Adapter([channel])
    def fail(self, current, proposed):
        raise ValueError("x")

    def interrupt(self, action):
        raise KeyboardInterrupt

    failing = type("F", (Adapter,), {"detect_regime_change": fail})([channel])
    interrupting = type("I", (Adapter,), {"map_action_to_state": interrupt})()
    before = [sys.getrefcount(o) for o in (channel, good, failing, interrupting)]
    for _ in range(200):
        certify(good)
        with pytest.raises(RuntimeError):
            certify(failing)
        with pytest.raises(KeyboardInterrupt):
            certify(interrupting)
    gc.collect()
    assert [sys.getrefcount(o) for o in (channel, good, failing, interrupting)] == before


@pytest.mark.parametrize("margins, regime, decision, zone", [
    ({"a": float("nan"), "b": 0.0}, False,
     'Blocked { reason: "Margin NaN on \'a\' is at or below block threshold 0.10" }', "Danger"),
    ({"only": float("nan")}, False,
     'Blocked { reason: "Margin NaN on \'only\' is at or below block threshold 0.10" }', "Danger"),
    ({"z": 0.9, "y": float("nan")}, True,
     'EscalateToHuman { reason: "Regime change detected (binding constraint: y, margin: NaN)" }',
     "Danger"),
])
def test_a_nan_margin_binds_and_never_certifies(margins, regime, decision, zone):
    cert = certify(Adapter([Channel(name, m) for name, m in margins.items()], regime=regime))
    assert (cert.decision, cert.zone, cert.drift_budget) == (decision, zone, 0.0)
    assert [k for k, v in cert.margins.items() if v != v] == [k for k, v in margins.items() if v != v]
