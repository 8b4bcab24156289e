"""SafetyCertificate: properties, repr and JSON text."""

import hashlib
import json

import pytest

from ruvo_safety import (AgenticAdapter, SafetyCertificate, SafetyCertifier, SimpleAction,
                         StateDelta)


def make(action_id="act-1", agent_id="agent-1", *deltas):
    return SafetyCertifier(AgenticAdapter()).certify(SimpleAction(action_id, agent_id,
                                                                  list(deltas)))


def test_no_python_constructor():
    with pytest.raises(TypeError) as info:
        SafetyCertificate()
    assert str(info.value) == "No constructor defined for SafetyCertificate"
    with pytest.raises(TypeError, match="^No constructor defined for SafetyCertificate$"):
        SafetyCertificate(1, x=2)
    assert SafetyCertificate.__doc__ == "Python-visible safety certificate."
    assert SafetyCertificate.__text_signature__ is None


def test_properties_are_read_only_and_fresh():
    cert = make()
    names = ["certificate_id", "action_id", "agent_id", "decision", "zone", "margins",
             "binding_constraint", "drift_budget", "deterministic_hash"]
    assert [n for n in dir(SafetyCertificate) if not n.startswith("_")] == sorted(
        names + ["to_json"])
    for name in names:
        assert vars(SafetyCertificate)[name].__doc__ == ""
        with pytest.raises(AttributeError):
            setattr(cert, name, None)
        with pytest.raises(AttributeError):
            delattr(cert, name)
    assert cert.margins is not cert.margins and cert.margins == cert.margins
    assert len(cert.deterministic_hash) == 64
    assert int(cert.deterministic_hash, 16) >= 0 and cert.deterministic_hash.lower() == \
        cert.deterministic_hash
    assert cert.certificate_id == "cert-" + cert.deterministic_hash[:32]
    assert len(cert.certificate_id) == 37


def test_repr_and_json_layout():
    cert = make()
    assert repr(cert) == (f"SafetyCertificate(id={cert.certificate_id}, decision=Certified, "
                          f"zone=Safe)")
    assert cert.to_json() == (
        "{\n"
        '  "action_id": "act-1",\n'
        '  "agent_id": "agent-1",\n'
        f'  "certificate_id": "{cert.certificate_id}",\n'
        '  "decision": "Certified",\n'
        f'  "deterministic_hash": "{cert.deterministic_hash}",\n'
        '  "zone": "Safe"\n'
        "}")
    assert cert.to_json() == cert.to_json()
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        cert.to_json(1)
    assert SafetyCertificate.to_json.__text_signature__ == "($self)"
    assert SafetyCertificate.to_json.__doc__ is None


@pytest.mark.parametrize("action_id, expected", [
    ("", '""'),
    ('q"b\\n\nt\t', '"q\\"b\\\\n\\nt\\t"'),
    ("\x01\x1f\x08\x0c\r\x7f/", '"\\u0001\\u001f\\b\\f\\r\x7f/"'),
    ("é中😀", '"é中😀"'),
])
def test_json_string_escapes(action_id, expected):
    text = make(action_id).to_json()
    assert f'  "action_id": {expected},\n' in text
    assert json.loads(text)["action_id"] == action_id


def test_escalation_decision_is_escaped_twice_in_json():
    a = AgenticAdapter()
    a.record_spend(95)
    cert = SafetyCertifier(a).certify(SimpleAction("a", "b"))
    assert cert.decision.startswith('EscalateToHuman { reason: "Regime change detected')
    line = cert.to_json().splitlines()[4]
    assert line.startswith('  "decision": "EscalateToHuman { reason: \\"Regime change')
    assert json.loads(cert.to_json())["decision"] == cert.decision


def test_hash_is_sha256_of_the_canonical_text_when_the_time_is_recovered():
    # The decision time is not exposed, but the canonical text is otherwise known: search the
    # current second's millisecond/microsecond renderings would be too slow, so check the
    # structure instead: the hash differs between two certifications of the same action.
    first, second = make(), make()
    assert first.deterministic_hash != second.deterministic_hash
    assert first.certificate_id != second.certificate_id
    assert hashlib.sha256(b"").hexdigest() != first.deterministic_hash


def test_margins_keys_in_byte_order():
    cert = make("a", "b", StateDelta("scope_score", 1, 0.2))
    assert list(cert.margins) == sorted(cert.margins, key=lambda k: k.encode())
