"""Typed verdicts: a certificate's decision text, parsed back exactly."""

from __future__ import annotations

import enum
import re
from bisect import bisect_right
from dataclasses import dataclass

from ruvo_safety import SafetyCertificate

from ._unicode_tables import ESCAPED_BOUNDS

__all__ = ["Outcome", "Verdict", "verdict"]


class Outcome(enum.StrEnum):
    """The four decisions a certificate can carry; each value is the name its text starts with."""

    CERTIFIED = "Certified"
    CERTIFIED_WITH_WARNING = "CertifiedWithWarning"
    ESCALATE_TO_HUMAN = "EscalateToHuman"
    BLOCKED = "Blocked"


@dataclass(frozen=True, slots=True)
class Verdict:
    """A decision with its payload: `reason` for escalations and blocks, `warnings` for a
    certification with warnings (never empty when certification wrote it)."""

    outcome: Outcome
    reason: str | None = None
    warnings: tuple[str, ...] = ()

    @property
    def allowed(self) -> bool:
        """True for `CERTIFIED` and `CERTIFIED_WITH_WARNING`, false otherwise."""
        return self.outcome is Outcome.CERTIFIED or self.outcome is Outcome.CERTIFIED_WITH_WARNING


_CERTIFIED = Verdict(Outcome.CERTIFIED)
_REASON_HEADS = (
    ("EscalateToHuman { reason: ", Outcome.ESCALATE_TO_HUMAN),
    ("Blocked { reason: ", Outcome.BLOCKED),
)
_WARNINGS_HEAD = "CertifiedWithWarning { warnings: ["
_TAIL = " }"
# A run that needs no look-up: printable ASCII other than the quote and the backslash.
_PLAIN_ASCII_RUN = re.compile(r'[ !#-\[\]-~]*')
_QUOTE_OR_BACKSLASH = re.compile(r'["\\]')
_HEX = re.compile(r"[0-9a-f]+")
_SHORT_ESCAPES = {'"': '"', "\\": "\\", "t": "\t", "r": "\r", "n": "\n", "0": "\0"}
# Characters with an escape of their own never appear as \u{...}.
_SHORT_ESCAPED = frozenset(map(ord, '"\\\t\r\n\0'))


def _escaped(cp: int) -> bool:
    return bisect_right(ESCAPED_BOUNDS, cp) % 2 == 1


def verdict(decision: SafetyCertificate | str) -> Verdict:
    """Parses a certificate's decision text (or the certificate itself) into a `Verdict`.

    The text must be exactly what certification writes: `Certified`,
    `CertifiedWithWarning { warnings: ["...", ...] }` (an empty list is `[]`),
    `EscalateToHuman { reason: "..." }` or `Blocked { reason: "..." }`, with the texts quoted
    and escaped as certification escapes them. Anything else raises `ValueError`: an
    unknown variant, bytes after the closing brace, an escape certification never writes.

    Raises:
        TypeError: `decision` is neither a `SafetyCertificate` nor a `str`.
        ValueError: the text is not a decision text.
    """
    if isinstance(decision, SafetyCertificate):
        text = decision.decision
    elif isinstance(decision, str):
        text = decision
    else:
        raise TypeError(
            "verdict() takes a SafetyCertificate or its decision text (str), not "
            f"{type(decision).__qualname__}")
    if text == "Certified":
        return _CERTIFIED
    for head, outcome in _REASON_HEADS:
        if text.startswith(head):
            reason, end = _unquote(text, len(head))
            _expect_end(text, end)
            return Verdict(outcome, reason=reason)
    if text.startswith(_WARNINGS_HEAD):
        pos = len(_WARNINGS_HEAD)
        warnings: list[str] = []
        if text.startswith("]", pos):
            pos += 1
        else:
            while True:
                warning, pos = _unquote(text, pos)
                warnings.append(warning)
                if text.startswith(", ", pos):
                    pos += 2
                elif text.startswith("]", pos):
                    pos += 1
                    break
                else:
                    raise _malformed(text, pos, "expected ', ' or ']' after a warning")
        _expect_end(text, pos)
        return Verdict(Outcome.CERTIFIED_WITH_WARNING, warnings=tuple(warnings))
    raise _malformed(text, 0, "unknown decision (expected Certified, CertifiedWithWarning, "
                     "EscalateToHuman or Blocked with its payload)")


def _expect_end(text: str, pos: int) -> None:
    if text[pos:] != _TAIL:
        raise _malformed(text, pos, "expected ' }' to end the decision")


def _unquote(text: str, pos: int) -> tuple[str, int]:
    """Reads the quoted text starting at `pos`; returns it and the position after it."""
    if not text.startswith('"', pos):
        raise _malformed(text, pos, "expected a quoted text")
    pos += 1
    out: list[str] = []
    while True:
        special = _QUOTE_OR_BACKSLASH.search(text, pos)
        if special is None:
            raise _malformed(text, len(text), "unterminated quoted text")
        run_end = special.start()
        if _PLAIN_ASCII_RUN.fullmatch(text, pos, run_end) is None:
            for i in range(pos, run_end):
                cp = ord(text[i])
                if cp in _SHORT_ESCAPED or _escaped(cp):
                    raise _malformed(text, i, f"U+{cp:04X} is always escaped, never written as is")
        out.append(text[pos:run_end])
        pos = run_end
        if text[pos] == '"':
            return "".join(out), pos + 1
        # A backslash: one of the short escapes, or \u{hex} for a character without one.
        escape = text[pos + 1 : pos + 2]
        if escape in _SHORT_ESCAPES:
            out.append(_SHORT_ESCAPES[escape])
            pos += 2
            continue
        if escape != "u" or not text.startswith("{", pos + 2):
            raise _malformed(text, pos, "unknown escape")
        digits = _HEX.match(text, pos + 3)
        if digits is None or not text.startswith("}", digits.end()):
            raise _malformed(text, pos, "expected lowercase hexadecimal digits in \\u{...}")
        hex_text = digits.group()
        cp = int(hex_text, 16) if len(hex_text) <= 6 else 0x110000
        if hex_text.startswith("0") or cp > 0x10FFFF or 0xD800 <= cp <= 0xDFFF \
                or cp in _SHORT_ESCAPED or not _escaped(cp):
            raise _malformed(text, pos, f"\\u{{{hex_text}}} is not an escape certification writes")
        out.append(chr(cp))
        pos = digits.end() + 1


def _malformed(text: str, pos: int, why: str) -> ValueError:
    shown = text if len(text) <= 120 else text[:117] + "..."
    return ValueError(f"not a decision text: {why} at offset {pos} in {shown!r}")
