"""Canonical JSON (RFC 8785, JCS) of audit records, and recognising a text already in it.

The canonical form is the rfc8785 library's. The three record shapes the gate writes are
rendered by templates that give the same bytes at a fraction of the library's cost, and the
verifier recognises a line of one of those shapes that is already canonical without
encoding it again; every other record, and every line in another JSON form, goes through
the library.
"""

from __future__ import annotations

import json
import json.encoder
import math
import re
from collections.abc import Callable, Mapping
from typing import Final

import rfc8785

__all__ = ["canonical", "recognise", "number", "KIND_DECISION", "KIND_OUTCOME", "KIND_RECOVERED"]

KIND_DECISION: Final = "decision"
KIND_OUTCOME: Final = "outcome"
KIND_RECOVERED: Final = "recovered"

# json's C string encoder escapes exactly what JCS escapes, in the same forms: \" \\ \b \f
# \n \r \t, \u00xx (lowercase) for the other controls, and nothing else.
_encode_string: Callable[[str], str] = json.encoder.encode_basestring
_SAFE_INT = 2**53  # JCS numbers are doubles: integers must be exact in one


def number(value: float | int) -> str:
    """The JCS text of a number; `null` for a float that is not finite."""
    if type(value) is int:
        if -_SAFE_INT < value < _SAFE_INT:
            return str(value)
        raise rfc8785.IntegerDomainError(value)
    if value != value or value in (math.inf, -math.inf):
        return "null"
    if value.is_integer():
        if -_SAFE_INT < value < _SAFE_INT:
            return str(int(value))  # also turns -0.0 into 0, as JCS does
    else:
        text = repr(value)
        # Between 1e-4 and 1e16 Python and ECMAScript both write the shortest digits
        # positionally; outside it their exponent forms differ.
        if "e" not in text:
            return text
    return rfc8785.dumps(value).decode()


def _string(value: object) -> str | None:
    return _encode_string(value) if type(value) is str else None


def _optional_string(value: object) -> str | None:
    return "null" if value is None else _string(value)


def _integer(value: object) -> str | None:
    return number(value) if type(value) is int else None


def _optional_bool(value: object) -> str | None:
    return "true" if value is True else "false" if value is False else "null" \
        if value is None else None


def _optional_number(value: object) -> str | None:
    if value is None:
        return "null"
    return number(value) if type(value) is float or type(value) is int else None


def _margins(value: object) -> str | None:
    if type(value) is not dict:
        return None
    for key, margin in value.items():
        if type(key) is not str or not (margin is None or type(margin) is float
                                        or type(margin) is int):
            return None
    items = _sorted_items(value)
    return "{" + ",".join([_encode_string(k) + ":" + ("null" if m is None else number(m))
                           for k, m in items]) + "}"


def _sorted_items(value: dict[str, object]) -> list[tuple[str, object]]:
    # Code point order is UTF-16 order unless a key holds a character above U+FFFF.
    if all(map(str.isascii, value)):
        return sorted(value.items())
    return sorted(value.items(), key=lambda item: item[0].encode("utf-16-be"))


_STRING_RE = r'"[^"\\\x00-\x1f]*(?:\\(?:["\\bfnrt]|u00(?:0[0-7bef]|1[0-9a-f]))[^"\\\x00-\x1f]*)*"'
_NUMBER_RE = r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:e[+-][0-9]+)?"
_MARGIN_RE = re.compile(f"({_STRING_RE}):({_NUMBER_RE}|null)")

# Field types: how each renders, and the pattern of its canonical text.
_TYPES: dict[str, tuple[Callable[[object], str | None], str]] = {
    "str": (_string, _STRING_RE),
    "str?": (_optional_string, f"{_STRING_RE}|null"),
    "int": (_integer, r"0|-?[1-9][0-9]{0,15}"),
    "bool?": (_optional_bool, "true|false|null"),
    "number?": (_optional_number, f"{_NUMBER_RE}|null"),
    "margins": (_margins, rf"\{{(?:{_STRING_RE}:(?:{_NUMBER_RE}|null)"
                          rf"(?:,{_STRING_RE}:(?:{_NUMBER_RE}|null))*)?\}}"),
}
_LINKS = {"v": "int", "seq": "int", "time": "str", "prev": "str"}


class _Shape:
    """One kind of record with fixed fields: its template and its canonical pattern."""

    def __init__(self, kind: str, fields: dict[str, str]) -> None:
        fields = {"kind": "str", **fields, **_LINKS}
        self.kind = kind
        self.keys = frozenset(fields)
        # Every key is ASCII, so sorted() gives the JCS order.
        ordered = sorted(fields)
        self.fields = [(key, _encode_string(key) + ":", _TYPES[fields[key]][0])
                       for key in ordered]
        patterns = []
        for key in ordered:
            if key == "kind":
                pattern = re.escape(_encode_string(kind))
            elif key == "v":
                pattern = "1"
            else:
                pattern = _TYPES[fields[key]][1]
            patterns.append(f'"{key}":(?P<{key}>{pattern})')
        self.pattern = re.compile(r"\{" + ",".join(patterns) + r"\}")
        self.numbers = [key for key in ordered if fields[key] == "number?"]
        self.margins = [key for key in ordered if fields[key] == "margins"]

    def render(self, record: Mapping[str, object]) -> str | None:
        parts = []
        for key, prefix, render in self.fields:
            text = render(record[key])
            if text is None:
                return None
            parts.append(prefix + text)
        return "{" + ",".join(parts) + "}"


_IDENTITY = {"call": "str", "tool": "str", "agent_id": "str", "action_id": "str"}
_SHAPES = {
    KIND_DECISION: _Shape(KIND_DECISION, {
        **_IDENTITY, "approved": "bool?", "decision": "str", "outcome": "str", "zone": "str",
        "margins": "margins", "binding_constraint": "str?", "drift_budget": "number?",
        "deterministic_hash": "str", "certificate_id": "str"}),
    KIND_OUTCOME: _Shape(KIND_OUTCOME, {**_IDENTITY, "result": "str"}),
    KIND_RECOVERED: _Shape(KIND_RECOVERED, {"length": "int", "sha256": "str", "base64": "str"}),
}


def canonical(record: Mapping[str, object]) -> bytes:
    """The JCS bytes of `record`, with every float that is not finite taken as null.

    Raises:
        ValueError: the record holds something JSON cannot carry exactly (a key that is not
            a string, an integer beyond 2**53, a string that is not valid Unicode, an object
            of another type).
    """
    kind = record.get("kind")
    shape = _SHAPES.get(kind) if type(kind) is str else None
    if shape is not None and record.keys() == shape.keys:
        text = shape.render(record)
        if text is not None:
            return text.encode()
    try:
        return rfc8785.dumps(_finite(record))
    except rfc8785.CanonicalizationError:
        raise
    except (TypeError, AttributeError) as error:
        raise ValueError(f"cannot write this record as JSON: {error}") from error


def _finite(value: object) -> object:
    """The value with non-finite floats as None and mappings and tuples made plain."""
    if type(value) is float:
        return value if math.isfinite(value) else None
    if isinstance(value, Mapping):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def recognise(text: str, seen: dict[str, bool]) -> re.Match[str] | None:
    """The match of `text` against a known shape when the text is in canonical form.

    `seen` caches, across the lines of one verification, whether a number token is in
    canonical form. None means: not known to be canonical, ask the library.
    """
    for shape in _SHAPES.values():
        match = shape.pattern.fullmatch(text)
        if match is not None:
            break
    else:
        return None
    for key in shape.numbers:
        if not _canonical_number(match[key], seen):
            return None
    for key in shape.margins:
        if not _canonical_margins(match[key], seen):
            return None
    return match


def _canonical_number(token: str, seen: dict[str, bool]) -> bool:
    known = seen.get(token)
    if known is None:
        known = token == "null" or number(float(token)) == token
        seen[token] = known
    return known


def _canonical_margins(text: str, seen: dict[str, bool]) -> bool:
    previous: str | None = None
    for key_token, margin in _MARGIN_RE.findall(text):
        if not _canonical_number(margin, seen):
            return False
        key = json.loads(key_token) if "\\" in key_token else key_token[1:-1]
        if previous is not None and not _before(previous, key):
            return False
        previous = key
    return True


def _before(a: str, b: str) -> bool:
    if a.isascii() and b.isascii():
        return a < b
    return a.encode("utf-16-be") < b.encode("utf-16-be")
