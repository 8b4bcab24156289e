"""Input value classes: value semantics, setters and representations."""

import math
from decimal import Decimal

import pytest
from hypothesis import given, strategies as st

from ruvo_safety import CertifierConfig, SimpleAction, StateDelta


def test_state_delta_defaults_and_conversions():
    d = StateDelta("a")
    assert (d.dimension, d.from_value, d.to_value) == ("a", 0.0, 0.0)
    d = StateDelta("a", 2, True)
    assert type(d.from_value) is float and d.from_value == 2.0 and d.to_value == 1.0

    class Index:
        def __index__(self):
            return 7

    assert StateDelta(dimension="x", to_value=Index()).to_value == 7.0
    assert StateDelta("x", float("nan")).from_value != StateDelta("x", float("nan")).from_value

    class Name(str):
        pass

    d = StateDelta(Name("sub"))
    assert type(d.dimension) is str and d.dimension == "sub"


@pytest.mark.parametrize("obj, text", [
    (StateDelta("budget", 0.0, 50.0), "StateDelta(dimension=budget, from_value=0, to_value=50)"),
    (StateDelta("x", float("nan"), float("inf")),
     "StateDelta(dimension=x, from_value=NaN, to_value=inf)"),
    (StateDelta("x", -float("nan"), -float("inf")),
     "StateDelta(dimension=x, from_value=NaN, to_value=-inf)"),
    (StateDelta("a b,\n\"é", -0.0, 0.1 + 0.2),
     "StateDelta(dimension=a b,\n\"é, from_value=-0, to_value=0.30000000000000004)"),
    (StateDelta("x", 2.0**60, 1e-7),
     "StateDelta(dimension=x, from_value=1152921504606847000, to_value=0.0000001)"),
    (StateDelta("x", 1e21, 5e-324),
     "StateDelta(dimension=x, from_value=1" + "0" * 21 + ", to_value=0." + "0" * 323 + "5)"),
    (SimpleAction("act-1", "agent-1", [StateDelta("budget", 0.0, 50.0)]),
     "SimpleAction(action_id=act-1, agent_id=agent-1, deltas=1)"),
    (SimpleAction("", "", None), "SimpleAction(action_id=, agent_id=, deltas=0)"),
    (CertifierConfig(), "CertifierConfig(safe=0.6, caution=0.3, block=0.1, warning=0.5)"),
    (CertifierConfig(1.0, 0.25, 0.0, -1.5),
     "CertifierConfig(safe=1, caution=0.25, block=0, warning=-1.5)"),
])
def test_reprs(obj, text):
    assert repr(obj) == text
    assert str(obj) == text


def reference_number_text(value):
    """Python's shortest repr digits laid out positionally."""
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    text = format(Decimal(repr(value)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


@given(st.floats(allow_nan=False))
def test_repr_number_text_matches_shortest_round_trip_digits(value):
    text = repr(StateDelta("x", value))[len("StateDelta(dimension=x, from_value="):-len(", to_value=0)")]
    assert text == reference_number_text(value)
    assert float(text) == value


def test_action_copies_deltas_in_and_out():
    d = StateDelta("budget", 0.0, 50.0)
    action = SimpleAction("act-1", "agent-1", (d, d))
    d.to_value = 99.0
    first, second = action.state_deltas
    assert first is not second and first.to_value == 50.0
    listed = action.state_deltas
    listed.append(StateDelta("x"))
    listed[0].to_value = 1.0
    assert len(action.state_deltas) == 2 and action.state_deltas[0].to_value == 50.0
    assert action.state_deltas is not action.state_deltas


def test_state_deltas_setter():
    action = SimpleAction("a", "b", [StateDelta("x")])
    action.state_deltas = [StateDelta("y", 1, 2), StateDelta("z")]
    assert [d.dimension for d in action.state_deltas] == ["y", "z"]
    action.state_deltas = ()
    assert action.state_deltas == []
    action.state_deltas = [StateDelta("keep")]
    for bad, message in [
        ("abc", "argument 'deltas': Can't extract `str` to `Vec`"),
        (None, "argument 'deltas': 'NoneType' object cannot be converted to 'Sequence'"),
        ({StateDelta("s")}, "argument 'deltas': 'set' object cannot be converted to 'Sequence'"),
        (iter([StateDelta("s")]),
         "argument 'deltas': 'list_iterator' object cannot be converted to 'Sequence'"),
        ({"k": 1}, "argument 'deltas': 'dict' object cannot be converted to 'Sequence'"),
        ([StateDelta("s"), 1], "argument 'deltas': 'int' object cannot be converted to 'StateDelta'"),
    ]:
        with pytest.raises(TypeError) as info:
            action.state_deltas = bad
        assert str(info.value) == message
        # All or nothing: the earlier good items did not replace the held deltas.
        assert [d.dimension for d in action.state_deltas] == ["keep"]


@pytest.mark.parametrize("obj, prop, good, bad, message", [
    (StateDelta("a"), "dimension", "b", 1,
     "argument 'dimension': 'int' object cannot be converted to 'PyString'"),
    (StateDelta("a"), "from_value", 2, "x", "argument 'from_value': must be real number, not str"),
    (StateDelta("a"), "to_value", 2.5, None,
     "argument 'to_value': must be real number, not NoneType"),
    (SimpleAction("a", "b"), "action_id", "c", None,
     "argument 'action_id': 'NoneType' object cannot be converted to 'PyString'"),
    (SimpleAction("a", "b"), "agent_id", "c", 1.0,
     "argument 'agent_id': 'float' object cannot be converted to 'PyString'"),
    (CertifierConfig(), "safe_threshold", 0.9, [],
     "argument 'safe_threshold': must be real number, not list"),
    (CertifierConfig(), "caution_threshold", -1, "0.3",
     "argument 'caution_threshold': must be real number, not str"),
    (CertifierConfig(), "block_threshold", float("inf"), object(),
     "argument 'block_threshold': must be real number, not object"),
    (CertifierConfig(), "warning_margin_threshold", 0, None,
     "argument 'warning_margin_threshold': must be real number, not NoneType"),
])
def test_property_setters(obj, prop, good, bad, message):
    setattr(obj, prop, good)
    assert getattr(obj, prop) == good
    with pytest.raises(TypeError) as info:
        setattr(obj, prop, bad)
    assert str(info.value) == message
    assert getattr(obj, prop) == good


def test_config_values_are_stored_unvalidated():
    c = CertifierConfig(safe_threshold=0.1, block_threshold=0.9)
    assert (c.safe_threshold, c.caution_threshold, c.block_threshold,
            c.warning_margin_threshold) == (0.1, 0.3, 0.9, 0.5)
    c = CertifierConfig(float("nan"), float("-inf"), 7, True)
    assert math.isnan(c.safe_threshold) and c.caution_threshold == -math.inf
    assert repr(c) == "CertifierConfig(safe=NaN, caution=-inf, block=7, warning=1)"
