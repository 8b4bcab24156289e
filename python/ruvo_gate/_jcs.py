"""Canonical JSON (RFC 8785, JCS) of audit records.

The canonical form is the rfc8785 library's. The three kinds of record the gate writes
have fixed fields, and each has a renderer of its own that gives the library's bytes at a
fraction of its cost (the tests compare the two); every other record goes through the
library itself.
"""

from __future__ import annotations

import bisect
import json.encoder
import math
from collections.abc import Callable, Mapping
from typing import Any, Final

import rfc8785

__all__ = ["canonical", "number", "read_integer", "KIND_DECISION", "KIND_OUTCOME", "KIND_RECOVERED"]

KIND_DECISION: Final = "decision"
KIND_OUTCOME: Final = "outcome"
KIND_RECOVERED: Final = "recovered"

# json's C string encoder escapes exactly what JCS escapes, in the same forms: \" \\ \b \f
# \n \r \t, \u00xx (lowercase) for the other controls, and nothing else.
_string: Callable[[str], str] = json.encoder.encode_basestring
_SAFE_INT = 2**53  # JCS numbers are doubles: an integer must be exact in one
_CACHED_NUMBERS = 4096


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


def read_integer(text: str) -> int | float:
    """A JSON integer as JCS reads it: a double, so one too large to be exact becomes a float."""
    value = int(text)
    return value if -_SAFE_INT < value < _SAFE_INT else float(text)


def _number(value: object, numbers: dict[object, str]) -> str | None:
    """`number` for an int, a float or None (null), through a cache of recent texts."""
    if type(value) is not float and type(value) is not int:
        return "null" if value is None else None
    text = numbers.get(value)
    if text is None:
        text = number(value)
        if len(numbers) >= _CACHED_NUMBERS:
            numbers.clear()
        numbers[value] = text
    return text


def _count(value: object) -> str | None:
    return str(value) if type(value) is int and 0 <= value < _SAFE_INT else None


def _margins(value: object, numbers: dict[object, str]) -> str | None:
    if type(value) is not dict:
        return None
    for key in value:
        # Code point order is UTF-16 order for ASCII keys; the library sorts the others.
        if type(key) is not str or not key.isascii():
            return None
    parts = []
    for key, margin in sorted(value.items()):
        text = _number(margin, numbers)
        if text is None:
            return None
        parts.append(f"{_string(key)}:{text}")
    return "{" + ",".join(parts) + "}"


_DECISION_KEYS: Final = (
    "action_id", "agent_id", "approved", "binding_constraint", "call", "certificate_id",
    "decision", "deterministic_hash", "drift_budget", "kind", "margins", "outcome", "prev",
    "seq", "time", "tool", "v", "zone")
_DECISION_FIELDS: Final = frozenset(_DECISION_KEYS)


def _decision(r: Mapping[str, object], numbers: dict[object, str]) -> str | None:
    size = len(r)
    if size < 18:
        return None
    try:
        action_id, agent_id, approved, binding, call, certificate_id, decision, hash_, drift, \
            margins, outcome, prev, seq, time, tool, version, zone = (
                r["action_id"], r["agent_id"], r["approved"], r["binding_constraint"],
                r["call"], r["certificate_id"], r["decision"], r["deterministic_hash"],
                r["drift_budget"], r["margins"], r["outcome"], r["prev"], r["seq"],
                r["time"], r["tool"], r["v"], r["zone"])
    except KeyError:
        return None
    if not (type(action_id) is str and type(agent_id) is str and type(call) is str
            and type(certificate_id) is str and type(decision) is str and type(hash_) is str
            and type(outcome) is str and type(prev) is str and type(time) is str
            and type(tool) is str and type(zone) is str):
        return None
    if binding is None:
        binding_text = "null"
    elif type(binding) is str:
        binding_text = _string(binding)
    else:
        return None
    approved_text = "true" if approved is True else "false" if approved is False \
        else "null" if approved is None else None
    drift_text = _number(drift, numbers)
    margins_text = _margins(margins, numbers)
    seq_text, version_text = _count(seq), _count(version)
    if approved_text is None or drift_text is None or margins_text is None \
            or seq_text is None or version_text is None:
        return None
    if size == 18:
        return (f'{{"action_id":{_string(action_id)},"agent_id":{_string(agent_id)},'
                f'"approved":{approved_text},"binding_constraint":{binding_text},'
                f'"call":{_string(call)},"certificate_id":{_string(certificate_id)},'
                f'"decision":{_string(decision)},"deterministic_hash":{_string(hash_)},'
                f'"drift_budget":{drift_text},"kind":"decision","margins":{margins_text},'
                f'"outcome":{_string(outcome)},"prev":{_string(prev)},"seq":{seq_text},'
                f'"time":{_string(time)},"tool":{_string(tool)},"v":{version_text},'
                f'"zone":{_string(zone)}}}')
    # Fields a caller added (the MCP proxy's arguments, observe mode's "enforced") go
    # between the fixed ones in key order; the fixed ones keep their fast texts.
    parts = [
        f'"action_id":{_string(action_id)}', f'"agent_id":{_string(agent_id)}',
        f'"approved":{approved_text}', f'"binding_constraint":{binding_text}',
        f'"call":{_string(call)}', f'"certificate_id":{_string(certificate_id)}',
        f'"decision":{_string(decision)}', f'"deterministic_hash":{_string(hash_)}',
        f'"drift_budget":{drift_text}', '"kind":"decision"', f'"margins":{margins_text}',
        f'"outcome":{_string(outcome)}', f'"prev":{_string(prev)}', f'"seq":{seq_text}',
        f'"time":{_string(time)}', f'"tool":{_string(tool)}', f'"v":{version_text}',
        f'"zone":{_string(zone)}']
    added = sorted(r.keys() - _DECISION_FIELDS, reverse=True)
    for key in added:
        # Code point order is UTF-16 order for ASCII keys; the library sorts the others.
        if type(key) is not str or not key.isascii():
            return None
        text = _value(r[key], numbers)
        if text is None:
            return None
        parts.insert(bisect.bisect(_DECISION_KEYS, key), f"{_string(key)}:{text}")
    return "{" + ",".join(parts) + "}"


def _value(value: object, numbers: dict[object, str]) -> str | None:
    """The JCS text of an added field's value; None to leave the record to the library."""
    kind = type(value)
    if isinstance(value, str):
        return _string(value)
    if value is True or value is False:
        return "true" if value else "false"
    if kind is int or kind is float or value is None:
        try:
            return _number(value, numbers)
        except rfc8785.CanonicalizationError:
            return None
    try:
        return rfc8785.dumps(_finite(value)).decode()
    except (rfc8785.CanonicalizationError, TypeError, AttributeError):
        return None


def _outcome(r: Mapping[str, object], numbers: dict[object, str]) -> str | None:
    if len(r) != 10:
        return None
    try:
        action_id, agent_id, call, prev, result, seq, time, tool, version = (
            r["action_id"], r["agent_id"], r["call"], r["prev"], r["result"], r["seq"],
            r["time"], r["tool"], r["v"])
    except KeyError:
        return None
    seq_text, version_text = _count(seq), _count(version)
    if not (type(action_id) is str and type(agent_id) is str and type(call) is str
            and type(prev) is str and type(result) is str and type(time) is str
            and type(tool) is str and seq_text is not None and version_text is not None):
        return None
    return (f'{{"action_id":{_string(action_id)},"agent_id":{_string(agent_id)},'
            f'"call":{_string(call)},"kind":"outcome","prev":{_string(prev)},'
            f'"result":{_string(result)},"seq":{seq_text},"time":{_string(time)},'
            f'"tool":{_string(tool)},"v":{version_text}}}')


def _recovered(r: Mapping[str, object], numbers: dict[object, str]) -> str | None:
    if len(r) != 8:
        return None
    try:
        base64, length, prev, seq, sha256, time, version = (
            r["base64"], r["length"], r["prev"], r["seq"], r["sha256"], r["time"], r["v"])
    except KeyError:
        return None
    length_text, seq_text, version_text = _count(length), _count(seq), _count(version)
    if not (type(base64) is str and type(prev) is str and type(sha256) is str
            and type(time) is str and length_text is not None and seq_text is not None
            and version_text is not None):
        return None
    return (f'{{"base64":{_string(base64)},"kind":"recovered","length":{length_text},'
            f'"prev":{_string(prev)},"seq":{seq_text},"sha256":{_string(sha256)},'
            f'"time":{_string(time)},"v":{version_text}}}')


_RENDERERS: dict[object, Callable[[Mapping[str, object], dict[object, str]], str | None]] = {
    KIND_DECISION: _decision, KIND_OUTCOME: _outcome, KIND_RECOVERED: _recovered}


def canonical(record: Mapping[str, object], numbers: dict[object, str] | None = None) -> bytes:
    """The JCS bytes of `record`, every float that is not finite taken as null.

    `numbers` caches number texts between calls; any dict the caller keeps will do.

    Raises:
        ValueError: the record holds something JSON cannot carry exactly: a key that is
            not a string, an integer beyond 2**53, a string that is not valid Unicode, an
            object of another type, nesting deeper than the interpreter's recursion.
    """
    kind = record.get("kind")
    render = _RENDERERS.get(kind) if type(kind) is str else None
    if render is not None:
        text = render(record, {} if numbers is None else numbers)
        if text is not None:
            return text.encode()
    try:
        return rfc8785.dumps(_finite(record))
    except rfc8785.CanonicalizationError:
        raise
    except (TypeError, AttributeError) as error:
        raise ValueError(f"cannot write this record as JSON: {error}") from error
    except RecursionError:
        raise ValueError("cannot write this record as JSON: it is nested too deeply") from None


def _finite(value: object) -> Any:
    """The value with non-finite floats as None, and mappings and tuples made plain."""
    if type(value) is float:
        return value if math.isfinite(value) else None
    if isinstance(value, Mapping):
        return {key: _finite(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(item) for item in value]
    return value
