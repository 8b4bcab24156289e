"""AgenticAdapter: construction, counters, borrow rules and its effect on certificates."""

import fractions
import math
import sys
import threading
import time

import pytest

from ruvo_safety import AgenticAdapter, SafetyCertifier, SimpleAction, StateDelta


def certify(adapter, *deltas):
    return SafetyCertifier(adapter).certify(SimpleAction("act", "agent", list(deltas)))


def test_class_surface():
    assert AgenticAdapter.__text_signature__ == "(budget_limit=100.0, rate_limit=50.0)"
    assert AgenticAdapter.__doc__ == (
        "Python-visible agentic adapter.\n\n"
        "A convenience wrapper around the built-in agentic domain adapter,\n"
        "pre-configured with budget and rate constraint channels.")
    methods = {
        "record_spend": ("($self, amount)", "Record spending against the budget."),
        "record_action": ("($self)", "Record an action against the rate limit."),
        "reset_rate_window": ("($self)", "Reset the rate window counter."),
        "budget_utilization": ("($self)", "Get current budget utilization (0.0 to 1.0)."),
    }
    for name, (sig, doc) in methods.items():
        method = getattr(AgenticAdapter, name)
        assert (method.__text_signature__, method.__doc__) == (sig, doc)
    public = {n for n in dir(AgenticAdapter) if not n.startswith("_")}
    assert public == set(methods)
    assert "__repr__" not in vars(AgenticAdapter)
    assert repr(AgenticAdapter()).startswith("<builtins.AgenticAdapter object at 0x")
    with pytest.raises(TypeError):
        type("Sub", (AgenticAdapter,), {})


@pytest.mark.parametrize("call, exc, message", [
    (lambda: AgenticAdapter(None), TypeError,
     "argument 'budget_limit': must be real number, not NoneType"),
    (lambda: AgenticAdapter(1.0, "x"), TypeError,
     "argument 'rate_limit': must be real number, not str"),
    (lambda: AgenticAdapter(1, 2, 3), TypeError,
     "AgenticAdapter.__new__() takes from 0 to 2 positional arguments but 3 were given"),
    (lambda: AgenticAdapter(limit=1), TypeError,
     "AgenticAdapter.__new__() got an unexpected keyword argument 'limit'"),
    (lambda: AgenticAdapter().record_spend(), TypeError,
     "AgenticAdapter.record_spend() missing 1 required positional argument: 'amount'"),
    (lambda: AgenticAdapter().record_spend(1, 2), TypeError,
     "AgenticAdapter.record_spend() takes 1 positional arguments but 2 were given"),
    (lambda: AgenticAdapter().record_spend("5"), TypeError,
     "argument 'amount': must be real number, not str"),
    (lambda: AgenticAdapter().record_action(1), TypeError,
     "AgenticAdapter.record_action() takes no arguments (1 given)"),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def test_counters_and_utilization():
    a = AgenticAdapter()
    assert a.budget_utilization() == 0.0
    a.record_spend(amount=25)
    a.record_spend(True)
    assert a.budget_utilization() == 0.26
    a.record_spend(250)
    assert a.budget_utilization() == 1.0
    b = AgenticAdapter()
    b.record_spend(-10.0)
    assert b.budget_utilization() == -0.1
    assert AgenticAdapter(budget_limit=0.0).budget_utilization() == 1.0
    assert AgenticAdapter(budget_limit=-5.0).budget_utilization() == 1.0
    assert AgenticAdapter(budget_limit=math.nan).budget_utilization() == 1.0


def test_fresh_adapter_certifies_safe_with_all_margins_one():
    cert = certify(AgenticAdapter())
    assert cert.margins == dict.fromkeys(
        ["budget", "data_sensitivity", "rate_limit", "reversibility", "scope"], 1.0)
    assert list(cert.margins) == ["budget", "data_sensitivity", "rate_limit", "reversibility",
                                  "scope"]
    assert (cert.decision, cert.zone, cert.binding_constraint) == ("Certified", "Safe", "budget")
    assert cert.drift_budget == 1.0 - 0.6


def test_spend_near_the_limit_is_a_regime_change():
    a = AgenticAdapter()
    a.record_spend(90.0)
    cert = certify(a)
    # 1 - 0.9 is 0.09999999999999998: below 0.1, so tight.
    assert cert.decision == ('EscalateToHuman { reason: "Regime change detected (binding '
                             'constraint: budget, margin: 0.1000)" }')
    assert cert.zone == "Danger"


def test_rate_limit_and_window_reset():
    a = AgenticAdapter()
    for _ in range(45):
        a.record_action()
    a.record_spend(30)
    cert = certify(a)
    assert cert.binding_constraint == "rate_limit" and cert.zone == "Danger"
    assert cert.decision.startswith("EscalateToHuman { reason: \"Regime change detected")
    a.reset_rate_window()
    cert = certify(a)
    assert cert.margins["rate_limit"] == 1.0 and cert.margins["budget"] == 0.7
    assert a.budget_utilization() == 0.3


def test_zero_budget_limit_blocks_by_regime_change():
    cert = certify(AgenticAdapter(budget_limit=0.0))
    assert cert.margins["budget"] == 0.0
    assert cert.decision == ('EscalateToHuman { reason: "Regime change detected (binding '
                             'constraint: budget, margin: 0.0000)" }')
    assert cert.zone == "Danger"


def test_nan_limit_gives_nan_margin_that_binds_and_escalates():
    cert = certify(AgenticAdapter(budget_limit=math.nan))
    assert math.isnan(cert.margins["budget"])
    assert cert.binding_constraint == "budget"
    assert cert.decision == ('EscalateToHuman { reason: "Regime change detected (binding '
                             'constraint: budget, margin: NaN)" }')
    assert (cert.zone, cert.drift_budget) == ("Danger", 0.0)


@pytest.mark.parametrize("deltas, scope, reversibility, sensitivity", [
    ([StateDelta("scope_score", 0.0, 1.4)], 1.0, 1.0, 1.0),
    ([StateDelta("scope_score", 0.0, -0.3)], 0.0, 1.0, 1.0),
    ([StateDelta("reversibility_score", 0, 0.2), StateDelta("reversibility_score", 0, 0.7)],
     1.0, 0.7, 1.0),
    ([StateDelta("Scope_score", 0, 0.1), StateDelta("budget", 0, 0.1),
      StateDelta("scope_score ", 0, 0.1)], 1.0, 1.0, 1.0),
    ([StateDelta("sensitivity_score", 0.9, 0.65)], 1.0, 1.0, 0.65),
])
def test_score_deltas(deltas, scope, reversibility, sensitivity):
    margins = certify(AgenticAdapter(), *deltas).margins
    assert (margins["scope"], margins["reversibility"], margins["data_sensitivity"]) == (
        scope, reversibility, sensitivity)


def test_certification_reads_but_never_moves_the_counters():
    a = AgenticAdapter()
    a.record_spend(20)
    certifier = SafetyCertifier(a)
    first = certifier.certify(SimpleAction("a", "b"))
    assert a.budget_utilization() == 0.2
    a.record_spend(40)
    second = certifier.certify(SimpleAction("a", "b"))
    assert (first.margins["budget"], second.margins["budget"]) == (0.8, 0.4)
    assert a.budget_utilization() == 0.6


def test_record_spend_converts_its_amount_before_taking_the_adapter():
    a = AgenticAdapter()

    class Reads:
        def __float__(self):
            return a.budget_utilization() + 1.0

    class Writes:
        def __float__(self):
            a.record_action()
            return 1.0

    class Certifies:
        def __float__(self):
            SafetyCertifier(a).certify(SimpleAction("x", "y"))
            return 1.0

    for amount in (Reads(), Writes(), Certifies()):
        a.record_spend(amount)
    assert a.budget_utilization() == 0.03


def test_threads_spending_and_certifying_never_meet_a_borrow_error():
    a = AgenticAdapter(budget_limit=1e12)
    certifier = SafetyCertifier(a)
    action = SimpleAction("a", "b", [StateDelta("scope_score", 1.0, 0.5)])
    errors = []
    stop = time.monotonic() + 1.0

    def run(step):
        try:
            while time.monotonic() < stop:
                step()
        except RuntimeError as e:
            errors.append(e)

    steps = [lambda: a.record_spend(fractions.Fraction(1, 3))] * 2 + \
        [lambda: certifier.certify(action)] * 2
    threads = [threading.Thread(target=run, args=(s,)) for s in steps]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == []
