"""SafetyCertifier: construction, config, repr, certify step order and adapter resolution."""

import gc
import os
import sys
import weakref

import pytest

from ruvo_safety import (AgenticAdapter, CertifierConfig, SafetyCertifier, SimpleAction,
                         StateDelta)

ADAPTER_ERROR = "Adapter must be an AgenticAdapter or a DomainAdapter subclass: "


def test_class_surface():
    assert SafetyCertifier.__text_signature__ == "(adapter, config=None)"
    assert SafetyCertifier.__doc__ == "\n".join([
        "A stateful safety certifier that holds a domain adapter and configuration.",
        "",
        "Create once, then call `certify()` repeatedly:",
        "",
        "```python",
        "from ruvo_safety import SafetyCertifier, AgenticAdapter, SimpleAction, StateDelta",
        "",
        "adapter = AgenticAdapter(budget_limit=100.0, rate_limit=50.0)",
        "certifier = SafetyCertifier(adapter)",
        "",
        'action = SimpleAction("act-1", "agent-1", [StateDelta("budget", 0.0, 50.0)])',
        "cert = certifier.certify(action)",
        "print(cert.decision)",
        "```",
    ])
    assert SafetyCertifier.certify.__text_signature__ == "($self, action)"
    assert SafetyCertifier.certify.__doc__ == (
        "Certify a proposed action.\n\nArgs:\n"
        "    action: A SimpleAction instance describing the proposed action.\n\n"
        "Returns:\n    SafetyCertificate with the certification decision.")
    assert SafetyCertifier.config.__doc__ == "Get the current configuration."
    assert [n for n in dir(SafetyCertifier) if not n.startswith("_")] == ["certify", "config"]


def test_constructor_and_config():
    adapter = AgenticAdapter()
    default = "SafetyCertifier(config=CertifierConfig(safe=0.6, caution=0.3, block=0.1, warning=0.5))"
    assert repr(SafetyCertifier(adapter)) == default
    assert str(SafetyCertifier(adapter, None)) == default
    assert repr(SafetyCertifier(42)) == default
    config = CertifierConfig(1.0, 0.25, 0.0, 0.5)
    certifier = SafetyCertifier(adapter=adapter, config=config)
    assert repr(certifier) == (
        "SafetyCertifier(config=CertifierConfig(safe=1, caution=0.25, block=0, warning=0.5))")
    config.safe_threshold = 0.9
    assert certifier.config.safe_threshold == 1.0
    assert certifier.config is not certifier.config
    certifier.config.safe_threshold = 0.1
    assert certifier.config.safe_threshold == 1.0
    with pytest.raises(AttributeError):
        certifier.config = CertifierConfig()
    with pytest.raises(AttributeError):
        del certifier.config
    with pytest.raises(AttributeError):
        certifier.adapter


@pytest.mark.parametrize("call, message", [
    (lambda: SafetyCertifier(),
     "SafetyCertifier.__new__() missing 1 required positional argument: 'adapter'"),
    (lambda: SafetyCertifier(1, 2, 3),
     "SafetyCertifier.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: SafetyCertifier(AgenticAdapter(), config=1),
     "argument 'config': 'int' object cannot be converted to 'CertifierConfig'"),
    (lambda: SafetyCertifier(AgenticAdapter()).certify(),
     "SafetyCertifier.certify() missing 1 required positional argument: 'action'"),
    (lambda: SafetyCertifier(AgenticAdapter()).certify(SimpleAction("a", "b"), 1),
     "SafetyCertifier.certify() takes 1 positional arguments but 2 were given"),
    (lambda: SafetyCertifier(AgenticAdapter()).certify(act=1),
     "SafetyCertifier.certify() got an unexpected keyword argument 'act'"),
    (lambda: SafetyCertifier(AgenticAdapter()).certify("a"),
     "argument 'action': 'str' object cannot be converted to 'SimpleAction'"),
    # The action is converted before the adapter is looked at.
    (lambda: SafetyCertifier(42).certify("a"),
     "argument 'action': 'str' object cannot be converted to 'SimpleAction'"),
    (lambda: SafetyCertifier(42).certify(action=None),
     "argument 'action': 'NoneType' object cannot be converted to 'SimpleAction'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class Outer:
    class Bad(Exception):
        pass


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")


class Module(Exception):
    pass


def raising(exc):
    class Adapter:
        def domain_name(self):
            raise exc
    return Adapter()


def returning(value):
    class Adapter:
        def domain_name(self):
            return value
    return Adapter()


@pytest.mark.parametrize("adapter, text", [
    (raising(ValueError("bad")), "ValueError: bad"),
    (raising(ValueError("")), "ValueError: "),
    (raising(Outer.Bad("nested")), "Outer.Bad: nested"),
    (raising(Module("plain")), "Module: plain"),
    (raising(Unprintable("x")), "Unprintable: <exception str() failed>"),
    (raising(ValueError("lone \ud800 surrogate")), "ValueError: lone \ufffd surrogate"),
    (returning(5), "TypeError: 'int' object cannot be converted to 'PyString'"),
    (returning(b"x"), "TypeError: 'bytes' object cannot be converted to 'PyString'"),
    (returning(None), "TypeError: 'NoneType' object cannot be converted to 'PyString'"),
])
def test_adapter_resolution_failures(adapter, text):
    certifier = SafetyCertifier(adapter)
    with pytest.raises(TypeError) as info:
        certifier.certify(SimpleAction("a", "b"))
    assert str(info.value) == ADAPTER_ERROR + text
    assert info.value.args == (ADAPTER_ERROR + text,)
    assert info.value.__cause__ is None


def test_adapter_without_domain_name():
    with pytest.raises(TypeError) as info:
        SafetyCertifier(42).certify(SimpleAction("a", "b"))
    assert str(info.value) == ADAPTER_ERROR + "AttributeError: 'int' object has no attribute " \
                                              "'domain_name'"


def test_certify_matches_the_documented_example():
    adapter = AgenticAdapter(budget_limit=100.0, rate_limit=50.0)
    certifier = SafetyCertifier(adapter)
    cert = certifier.certify(SimpleAction("act-1", "agent-1",
                                          [StateDelta("scope_score", 1.0, 0.4)]))
    assert cert.decision == ('CertifiedWithWarning { warnings: ["Channel \'scope\' margin 0.4000 '
                             'below warning threshold"] }')
    assert cert.zone == "Caution"
    assert list(cert.margins.items()) == [("budget", 1.0), ("data_sensitivity", 1.0),
                                          ("rate_limit", 1.0), ("reversibility", 1.0),
                                          ("scope", 0.4)]
    assert cert.binding_constraint == "scope"
    assert cert.drift_budget == 0.10000000000000003
    assert (cert.action_id, cert.agent_id) == ("act-1", "agent-1")


@pytest.mark.parametrize("scope, config, decision, zone", [
    (0.05, None, 'Blocked { reason: "Margin 0.0500 on \'scope\' is at or below block threshold '
                 '0.10" }', "Danger"),
    (0.2, None, 'EscalateToHuman { reason: "Margin 0.2000 on \'scope\' requires human review '
                '(threshold: 0.30)" }', "Danger"),
    (0.55, None, 'CertifiedWithWarning { warnings: ["Minimum margin 0.5500 in caution zone"] }',
     "Caution"),
    (0.61, None, "Certified", "Safe"),
    (0.5, CertifierConfig(0.9, 0.6, 0.55), 'Blocked { reason: "Margin 0.5000 on \'scope\' is at '
                                           'or below block threshold 0.55" }', "Danger"),
])
def test_classification_reaches_python(scope, config, decision, zone):
    cert = SafetyCertifier(AgenticAdapter(), config).certify(
        SimpleAction("a", "b", [StateDelta("scope_score", 1.0, scope)]))
    assert (cert.decision, cert.zone) == (decision, zone)


def test_later_changes_to_inputs_do_not_reach_issued_certificates():
    action = SimpleAction("a", "b", [StateDelta("scope_score", 1.0, 0.4)])
    certifier = SafetyCertifier(AgenticAdapter())
    cert = certifier.certify(action)
    action.action_id = "changed"
    action.state_deltas = []
    assert cert.action_id == "a" and cert.margins["scope"] == 0.4
    assert certifier.certify(action).margins["scope"] == 1.0


def test_certifier_takes_part_in_cycle_collection():
    class Adapter:
        pass

    adapter = Adapter()
    certifier = SafetyCertifier(adapter)
    adapter.certifier = certifier
    assert gc.is_tracked(certifier)
    probe = weakref.ref(adapter)
    del adapter, certifier
    gc.collect()
    assert probe() is None


@pytest.mark.skipif(os.environ.get("RUVO_SANITIZED") == "1",
                    reason="the sanitizer holds freed memory back on purpose")
def test_many_certifications_neither_grow_memory_nor_leak_references():
    def rss_kib():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS")

    adapter = AgenticAdapter()
    certifier = SafetyCertifier(adapter)
    action = SimpleAction("act-1", "agent-1", [StateDelta("scope_score", 1.0, 0.4)])
    for _ in range(20_000):  # warm up allocator pools
        certifier.certify(action)
    gc.collect()
    refs_before = sys.getrefcount(adapter)
    rss_before = rss_kib()
    for _ in range(200_000):
        certifier.certify(action)
    gc.collect()
    assert rss_kib() - rss_before < 4 * 1024
    assert sys.getrefcount(adapter) == refs_before
