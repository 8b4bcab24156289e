"""ruvo_gate.verdict: decision texts of real certificates parsed back exactly, and nothing else."""

from types import SimpleNamespace

import pytest
from hypothesis import example, given, settings, strategies as st

from ruvo_gate import Outcome, Verdict, verdict
from ruvo_safety import SafetyCertifier, SimpleAction


def certify(margins, regime=False):
    """Certifies with a Python domain whose channels have the given names and margins."""
    channels = [SimpleNamespace(name=lambda n=n: n, evaluate=lambda state, m=m: m,
                                dimension_names=lambda: []) for n, m in margins.items()]
    domain = SimpleNamespace(domain_name=lambda: "hostile", constraint_channels=lambda: channels,
                             map_action_to_state=lambda action: [],
                             detect_regime_change=lambda current, proposed: regime)
    return SafetyCertifier(domain).certify(SimpleAction("act", "agent"))


# Channel names with everything the quoting escapes: quotes, backslashes, controls, NUL,
# combining marks, unassigned and private-use code points, emoji.
NAMES = st.text(st.characters(exclude_categories=("Cs",)), min_size=1, max_size=12)


@settings(max_examples=150, deadline=None)
@given(st.lists(NAMES, min_size=1, max_size=3, unique=True))
@example(['say "hi"\\', "tab\there\r\n\0", "e\u0301\u200b\U0001f600", "\ue000\U000e0001x"])
def test_the_payload_comes_back_exactly(names):
    first = names[0]
    cases = [
        (certify({first: 0.0}), Verdict(Outcome.BLOCKED, reason=(
            f"Margin 0.0000 on '{first}' is at or below block threshold 0.10"))),
        (certify({first: 0.2}), Verdict(Outcome.ESCALATE_TO_HUMAN, reason=(
            f"Margin 0.2000 on '{first}' requires human review (threshold: 0.30)"))),
        (certify({first: 0.9}, regime=True), Verdict(Outcome.ESCALATE_TO_HUMAN, reason=(
            f"Regime change detected (binding constraint: {first}, margin: 0.9000)"))),
        (certify(dict.fromkeys(names, 0.45)), Verdict(Outcome.CERTIFIED_WITH_WARNING, warnings=tuple(
            f"Channel '{name}' margin 0.4500 below warning threshold"
            for name in sorted(names, key=lambda n: n.encode())))),
        (certify({first: 1.0}), Verdict(Outcome.CERTIFIED)),
    ]
    for certificate, expected in cases:
        assert verdict(certificate) == expected == verdict(certificate.decision)
        assert expected.allowed == (expected.outcome in ("Certified", "CertifiedWithWarning"))


@pytest.mark.parametrize("text", [
    "", "certified", "Certified ", " Certified", "Blocked", "Unknown { reason: \"x\" }",
    'Blocked { reason: "x" }x', 'Blocked { reason: "x"}', 'Blocked {reason: "x" }',
    'Blocked { reason: "x }', 'Blocked { reason: x }', 'Blocked { reason: "a", "b" }',
    'EscalateToHuman { warnings: [] }', 'CertifiedWithWarning { reason: "a" }',
    'CertifiedWithWarning { warnings: ["a",] }', 'CertifiedWithWarning { warnings: ["a" "b"] }',
    'CertifiedWithWarning { warnings: [ ] }', 'CertifiedWithWarning { warnings: ["a"] ',
    # Escapes the quoting never writes, and characters it never leaves unescaped.
    'Blocked { reason: "\\q" }', 'Blocked { reason: "\\u{41}" }', 'Blocked { reason: "\\u{0301}" }',
    'Blocked { reason: "\\u{D800}" }', 'Blocked { reason: "\\u{d800}" }',
    'Blocked { reason: "\\u{110000}" }', 'Blocked { reason: "\\u{9}" }',
    'Blocked { reason: "\\u{301" }', 'Blocked { reason: "\\u{}" }', 'Blocked { reason: "\\" }',
    'Blocked { reason: "a\tb" }', 'Blocked { reason: "e\u0301" }', 'Blocked { reason: "\x00" }',
])
def test_anything_else_is_refused(text):
    with pytest.raises(ValueError, match="^not a decision text: "):
        verdict(text)


def test_the_empty_list_and_the_argument_type():
    assert verdict("CertifiedWithWarning { warnings: [] }") == Verdict(
        Outcome.CERTIFIED_WITH_WARNING)
    assert verdict('Blocked { reason: "\\u{301}\\0\\"" }').reason == '\u0301\0"'
    with pytest.raises(TypeError, match="not int"):
        verdict(5)
