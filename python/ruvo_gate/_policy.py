"""The MCP proxy's policy: a TOML file that turns each tool call into an action, or denies it.

The file is read and checked whole before anything starts; a policy in use never changes
(a reload builds a new one), so any number of tasks and threads may share one.
"""

from __future__ import annotations

import fnmatch
import importlib
import math
import posixpath
import re
import tomllib
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any, Final, Literal, TypeAlias, cast

from ruvo_safety import CertifierConfig, SimpleAction

from ._actions import agentic_action

__all__ = ["Allowed", "Denied", "Policy", "PolicyError", "load_policy"]

#: Builds the action of a tool call for a custom domain: `actions(tool, arguments)`.
ActionBuilder: TypeAlias = Callable[[str, dict[str, Any]], SimpleAction]

_SCORES: Final = ("scope", "reversibility", "sensitivity")
_MATCHERS: Final = ("glob", "regex", "prefix", "path_under", "one_of", "above", "below",
                    "missing")
_THRESHOLDS: Final = ("safe_threshold", "caution_threshold", "block_threshold",
                      "warning_margin_threshold")
_TOP: Final = ("mode", "approval_timeout", "record_arguments", "actions", "adapter_factory",
               "adapter", "thresholds", "tools")
_ADAPTER: Final = ("budget_limit", "rate_limit", "rate_window_seconds")
_RULE: Final = ("name", *_SCORES, "cost", "cost_argument", "deny", "when")
_WHEN: Final = ("argument", *_MATCHERS, *_SCORES, "deny")
_MISSING: Final = object()


class PolicyError(ValueError):
    """A policy file that cannot be read or is not valid; the text names the place."""


@dataclass(frozen=True, slots=True)
class Allowed:
    """A call the policy lets go on to certification."""

    action: SimpleAction
    cost: float | None


@dataclass(frozen=True, slots=True)
class Denied:
    """A call the policy refuses before certification, and why (a sentence for the model)."""

    reason: str


@dataclass(frozen=True, slots=True)
class _When:
    argument: tuple[str, ...]
    matcher: str
    operand: Any
    scores: Mapping[str, float]
    deny: bool

    def matches(self, arguments: Mapping[str, Any]) -> bool:
        """Whether the argument matches; raises _Unjudgeable on a value of the wrong type."""
        value: Any = arguments
        for part in self.argument:
            if not isinstance(value, dict):
                raise _Unjudgeable(f"{self._name} is inside a value that is not an object")
            value = value.get(part, _MISSING)
            if value is _MISSING:
                break
        if self.matcher == "missing":
            return (value is _MISSING) == bool(self.operand)
        if value is _MISSING:
            return False
        if self.matcher in ("above", "below"):
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise _Unjudgeable(f"{self._name} must be a number, not {_kind(value)}")
            return bool(value > self.operand if self.matcher == "above"
                        else value < self.operand)
        if self.matcher == "one_of":
            kind = _kind(value)
            if all(_kind(choice) != kind for choice in self.operand):
                raise _Unjudgeable(f"{self._name} cannot be {kind} here")
            return any(_kind(choice) == kind and choice == value for choice in self.operand)
        if type(value) is not str:
            raise _Unjudgeable(f"{self._name} must be a string, not {_kind(value)}")
        if self.matcher == "glob":
            return fnmatch.fnmatchcase(value, self.operand)
        if self.matcher == "regex":
            return self.operand.search(value) is not None
        if self.matcher == "prefix":
            return value.startswith(self.operand)
        if not value.startswith("/"):
            raise _Unjudgeable(f"{self._name} must be an absolute path, not {value!r}")
        path = _normal(value)
        return path == self.operand or path.startswith(self.operand.rstrip("/") + "/")

    @property
    def _name(self) -> str:
        return f"the argument {'.'.join(self.argument)!r}"


@dataclass(frozen=True, slots=True)
class _Rule:
    name: str
    scores: Mapping[str, float]
    cost: float | None
    cost_argument: tuple[str, ...] | None
    deny: bool
    when: tuple[_When, ...]

    def names(self, tool: str) -> bool:
        return tool == self.name or fnmatch.fnmatchcase(tool, self.name)


class _Unjudgeable(Exception):
    """An argument the policy cannot judge: the call is refused."""


@dataclass(frozen=True)
class Policy:
    """A loaded, checked policy. Build it with `load_policy`.

    Attributes:
        path: the file it was read from.
        enforce: False in observe mode: calls are certified and recorded, never refused.
        approval_timeout: seconds to wait for a human's answer to an escalation.
        record_arguments: "digest", "full" or "none": what the audit trail keeps of a
            call's arguments.
        budget_limit, rate_limit, rate_window_seconds: the agentic adapter's settings.
        thresholds: the certifier's thresholds.
        actions: the custom action builder (`actions = "module:function"`), if any.
        adapter_factory: the custom adapter's factory, if any.
    """

    path: str
    enforce: bool
    approval_timeout: float
    record_arguments: Literal["digest", "full", "none"]
    budget_limit: float
    rate_limit: float
    rate_window_seconds: float
    thresholds: Mapping[str, float]
    actions: ActionBuilder | None
    adapter_factory: Callable[[], Any] | None
    _rules: tuple[_Rule, ...] = field(repr=False)
    _settings: tuple[object, ...] = field(repr=False)

    def config(self) -> CertifierConfig:
        """The certifier's configuration the thresholds make."""
        return CertifierConfig(**self.thresholds)

    def same_gate(self, other: Policy) -> bool:
        """Whether `other` needs the same adapter and thresholds (a reload can keep the gate)."""
        return self._settings == other._settings

    def lists(self, tool: str) -> bool:
        """False for a tool the policy denies whatever its arguments: no rule, or `deny`."""
        for rule in self._rules:
            if rule.names(tool):
                return not rule.deny
        return False

    def decide(self, tool: str, arguments: dict[str, Any], agent_id: str) -> Allowed | Denied:
        """The action to certify for a call, and its cost; or why the policy refuses it.

        Raises:
            Exception: whatever the `actions` builder raises, or a SimpleAction check; the
                caller refuses the call.
        """
        for rule in self._rules:
            if rule.names(tool):
                break
        else:
            return Denied(f"no rule of the policy allows the tool {tool!r}")
        if rule.deny:
            return Denied(f"the policy denies the tool {tool!r}")
        scores = dict(rule.scores)
        try:
            for when in rule.when:
                if when.matches(arguments):
                    if when.deny:
                        return Denied(f"the policy denies {tool!r} when {when._name} "
                                      f"matches {when.matcher} {_show(when)}")
                    scores.update(when.scores)
                    break
            cost = rule.cost
            if rule.cost_argument is not None:
                cost = _cost_of(rule.cost_argument, arguments)
        except _Unjudgeable as error:
            return Denied(f"the policy cannot judge this call of {tool!r}: {error}")
        if self.actions is not None:
            action = self.actions(tool, arguments)
            if not isinstance(action, SimpleAction):
                raise TypeError(f"the policy's actions builder returned "
                                f"{type(action).__qualname__} for {tool!r}, not a SimpleAction")
        else:
            action = agentic_action(tool, agent_id, **scores)
        return Allowed(action, cost)


def _cost_of(path: tuple[str, ...], arguments: Mapping[str, Any]) -> float:
    value: Any = arguments
    name = ".".join(path)
    for part in path:
        if not isinstance(value, dict) or part not in value:
            raise _Unjudgeable(f"its cost is the argument {name!r}, which is missing")
        value = value[part]
    if isinstance(value, bool) or not isinstance(value, (int, float)) \
            or not (0 <= value < math.inf):
        raise _Unjudgeable(f"its cost, the argument {name!r}, must be a number >= 0, "
                           f"not {value!r}")
    return float(value)


def _normal(path: str) -> str:
    normal = posixpath.normpath(path)
    return "/" + normal.lstrip("/")  # normpath keeps a leading "//" as it is


def _kind(value: object) -> str:
    if value is None:
        return "null"
    return {bool: "a boolean", int: "a number", float: "a number", str: "a string",
            list: "a list", dict: "an object"}.get(type(value), type(value).__name__)


def _show(when: _When) -> str:
    operand = when.operand.pattern if isinstance(when.operand, re.Pattern) else when.operand
    return repr(operand)


def load_policy(path: str) -> Policy:
    """Reads and checks the policy file at `path`.

    Raises:
        PolicyError: the file cannot be read, is not TOML, or holds anything the policy
            does not accept; the text names the file, the table, the key and the line.
    """
    try:
        with open(path, "rb") as stream:
            raw = stream.read()
    except OSError as error:
        raise PolicyError(f"{path}: cannot read the policy: {error.strerror or error}") \
            from None
    try:
        text = raw.decode()
        data = tomllib.loads(text)
    except UnicodeDecodeError as error:
        raise PolicyError(f"{path}: the policy is not UTF-8 text ({error.reason} at byte "
                          f"{error.start})") from None
    except tomllib.TOMLDecodeError as error:
        raise PolicyError(f"{path}: not valid TOML: {error}") from None
    return _Reader(path, text).policy(data)


class _Reader:
    """Checks the parsed file, naming the place of each fault."""

    def __init__(self, path: str, text: str) -> None:
        self._path = path
        self._lines = _key_lines(text)

    def fail(self, table: str, key: str | None, message: str) -> PolicyError:
        where = f"{self._path}: {table}"
        if key is not None:
            where += f", key {key!r}"
        line = self._lines.get((table, key))
        if line is not None:
            where += f" (line {line})"
        return PolicyError(f"{where}: {message}")

    def keys(self, table: str, data: Mapping[str, Any], allowed: tuple[str, ...]) -> None:
        for key in data:
            if key not in allowed:
                raise self.fail(table, key, "not a key of this table (it takes "
                                + ", ".join(allowed) + ")")

    def number(self, table: str, data: Mapping[str, Any], key: str, default: float | None,
               low: float = -math.inf, high: float = math.inf,
               low_open: bool = False) -> float | None:
        value = data.get(key, _MISSING)
        if value is _MISSING:
            return default
        if isinstance(value, bool) or not isinstance(value, (int, float)) \
                or not (low < value if low_open else low <= value) or not value <= high \
                or not math.isfinite(value):
            bounds = f"{'>' if low_open else '>='} {low:g}" if high == math.inf \
                else f"in [{low:g}, {high:g}]"
            raise self.fail(table, key, f"must be a finite number {bounds}, not {value!r}")
        return float(value)

    def real(self, table: str, data: Mapping[str, Any], key: str, default: float,
             low: float = -math.inf, high: float = math.inf, low_open: bool = False) -> float:
        value = self.number(table, data, key, default, low, high, low_open)
        return default if value is None else value

    def string(self, table: str, data: Mapping[str, Any], key: str,
               choices: tuple[str, ...] | None = None) -> str | None:
        value = data.get(key, _MISSING)
        if value is _MISSING:
            return None
        if type(value) is not str or (choices is not None and value not in choices):
            expected = "a string" if choices is None else " or ".join(map(repr, choices))
            raise self.fail(table, key, f"must be {expected}, not {value!r}")
        return value

    def table(self, table: str, data: Mapping[str, Any], key: str) -> dict[str, Any]:
        value = data.get(key, {})
        if not isinstance(value, dict):
            raise self.fail(table, key, f"must be a table ([{key}]), not {value!r}")
        return value

    def function(self, key: str, reference: str | None) -> Callable[..., Any] | None:
        if reference is None:
            return None
        module_name, _, name = reference.partition(":")
        if not module_name or not name:
            raise self.fail("top level", key, f'must be "module:function", not {reference!r}')
        try:
            found: Any = importlib.import_module(module_name)
            for part in name.split("."):
                found = getattr(found, part)
        except Exception as error:
            raise self.fail("top level", key, f"cannot import {reference!r}: {error}") \
                from None
        if not callable(found):
            raise self.fail("top level", key, f"{reference!r} is not callable")
        return cast(Callable[..., Any], found)

    def policy(self, data: dict[str, Any]) -> Policy:
        top = "top level"
        self.keys(top, data, _TOP)
        mode = self.string(top, data, "mode", ("enforce", "observe")) or "enforce"
        timeout = self.real(top, data, "approval_timeout", 120.0, 0.0, low_open=True)
        recorded = self.string(top, data, "record_arguments", ("digest", "full", "none"))
        actions = self.function("actions", self.string(top, data, "actions"))
        factory = self.function("adapter_factory", self.string(top, data, "adapter_factory"))

        adapter = self.table(top, data, "adapter")
        self.keys("[adapter]", adapter, _ADAPTER)
        if factory is not None and adapter:
            raise self.fail("[adapter]", next(iter(adapter)), "the adapter comes from "
                            "adapter_factory: its limits are that adapter's own")
        if factory is not None and actions is None:
            raise self.fail(top, "adapter_factory", "a custom adapter needs custom actions: "
                            'set actions = "module:function" too')
        budget = self.real("[adapter]", adapter, "budget_limit", 100.0, 0.0)
        rate = self.real("[adapter]", adapter, "rate_limit", 50.0, 0.0)
        window = self.real("[adapter]", adapter, "rate_window_seconds", 60.0, 0.0,
                           low_open=True)

        thresholds_table = self.table(top, data, "thresholds")
        self.keys("[thresholds]", thresholds_table, _THRESHOLDS)
        defaults = CertifierConfig()
        thresholds = {key: self.real("[thresholds]", thresholds_table, key,
                                     getattr(defaults, key), 0.0, 1.0)
                      for key in _THRESHOLDS}
        if not (thresholds["block_threshold"] <= thresholds["caution_threshold"]
                <= thresholds["safe_threshold"]):
            raise self.fail("[thresholds]", None, "block_threshold <= caution_threshold <= "
                            "safe_threshold must hold")

        rules = data.get("tools", [])
        if not isinstance(rules, list):
            raise self.fail(top, "tools", "must be an array of tables ([[tools]])")
        checked = tuple(self.rule(index, rule, actions is not None, factory is not None)
                        for index, rule in enumerate(rules, 1))
        return Policy(
            path=self._path, enforce=mode == "enforce", approval_timeout=timeout,
            record_arguments=cast(Literal["digest", "full", "none"], recorded or "digest"),
            budget_limit=budget, rate_limit=rate, rate_window_seconds=window,
            thresholds=thresholds,
            actions=actions, adapter_factory=factory, _rules=checked,
            _settings=(budget, rate, window, tuple(thresholds.items()), factory))

    def rule(self, index: int, data: object, custom_actions: bool, custom_adapter: bool) -> _Rule:
        table = f"[[tools]] #{index}"
        if not isinstance(data, dict):
            raise self.fail(table, None, "must be a table")
        self.keys(table, data, _RULE)
        name = self.string(table, data, "name")
        if not name:
            raise self.fail(table, "name", 'is required: the tool\'s name, or a glob such '
                            'as "write_*" ("*" for every tool)')
        table = f"[[tools]] #{index} ({name})"
        self._alias(f"[[tools]] #{index}", table)
        deny = self.flag(table, data, "deny")
        scores = self.scores(table, data, custom_actions)
        cost = self.number(table, data, "cost", None, 0.0)
        cost_argument = self.string(table, data, "cost_argument")
        if cost is not None and cost_argument is not None:
            raise self.fail(table, "cost_argument", "give cost or cost_argument, not both")
        if custom_adapter and (cost is not None or cost_argument is not None):
            raise self.fail(table, "cost" if cost is not None else "cost_argument",
                            "a cost is charged to the agentic adapter, and this policy "
                            "has adapter_factory")
        when_list = data.get("when", [])
        if not isinstance(when_list, list):
            raise self.fail(table, "when", "must be an array of tables ([[tools.when]])")
        if deny and (scores or cost is not None or cost_argument or when_list):
            raise self.fail(table, "deny", "a rule that denies its tools takes nothing else")
        when = tuple(self.when(f"{table} [[tools.when]] #{number}", f"[[tools]] #{index} "
                               f"[[tools.when]] #{number}", item, custom_actions)
                     for number, item in enumerate(when_list, 1))
        return _Rule(name, scores, cost,
                     tuple(cost_argument.split(".")) if cost_argument else None, deny, when)

    def when(self, table: str, alias: str, data: object, custom_actions: bool) -> _When:
        self._alias(alias, table)
        if not isinstance(data, dict):
            raise self.fail(table, None, "must be a table")
        self.keys(table, data, _WHEN)
        argument = self.string(table, data, "argument")
        if not argument or "" in argument.split("."):
            raise self.fail(table, "argument", "is required: the argument's name, dotted "
                            'for a nested object ("options.path")')
        found = [key for key in _MATCHERS if key in data]
        if len(found) != 1:
            raise self.fail(table, found[1] if found else None,
                            "takes exactly one matcher of " + ", ".join(_MATCHERS))
        matcher = found[0]
        operand = data[matcher]
        bad = None
        if matcher in ("glob", "prefix", "regex", "path_under"):
            if type(operand) is not str:
                bad = "a string"
            elif matcher == "regex":
                try:
                    operand = re.compile(operand)
                except re.error as error:
                    raise self.fail(table, matcher, f"not a valid regular expression: "
                                    f"{error}") from None
            elif matcher == "path_under":
                if not operand.startswith("/"):
                    bad = "an absolute path"
                else:
                    operand = _normal(operand)
        elif matcher in ("above", "below"):
            operand = self.number(table, data, matcher, None)
        elif matcher == "one_of":
            if not isinstance(operand, list) or not operand or not all(
                    type(choice) in (str, int, float, bool) for choice in operand):
                bad = "a non-empty list of strings, numbers or booleans"
            else:
                operand = tuple(operand)
        elif type(operand) is not bool:
            bad = "true or false"
        if bad is not None:
            raise self.fail(table, matcher, f"must be {bad}, not {operand!r}")
        deny = self.flag(table, data, "deny")
        scores = self.scores(table, data, custom_actions)
        if deny and scores:
            raise self.fail(table, "deny", "a sub-rule that denies takes no scores")
        if not deny and not scores:
            raise self.fail(table, None, "does nothing: give it scores or deny = true")
        return _When(tuple(argument.split(".")), matcher, operand, scores, deny)

    def flag(self, table: str, data: Mapping[str, Any], key: str) -> bool:
        value = data.get(key, False)
        if type(value) is not bool:
            raise self.fail(table, key, f"must be true or false, not {value!r}")
        return value

    def scores(self, table: str, data: Mapping[str, Any], custom_actions: bool
               ) -> dict[str, float]:
        scores = {}
        for key in _SCORES:
            value = self.number(table, data, key, None, 0.0, 1.0)
            if value is not None:
                if custom_actions:
                    raise self.fail(table, key, "the actions come from actions=, which "
                                    "sets its own scores")
                scores[key] = value
        return scores

    def _alias(self, short: str, long: str) -> None:
        for (table, key), line in list(self._lines.items()):
            if table == short:
                self._lines[(long, key)] = line


_HEADER = re.compile(r"^\s*(\[\[?)\s*([A-Za-z0-9_.\- ]+?)\s*\]\]?\s*(#.*)?$")
_KEY = re.compile(r"^\s*([A-Za-z0-9_\-]+)\s*=")


def _key_lines(text: str) -> dict[tuple[str, str | None], int]:
    """Where each key of the usual layout is, by (table, key): errors name the line."""
    lines: dict[tuple[str, str | None], int] = {}
    table, tools, when = "top level", 0, 0
    for number, line in enumerate(text.splitlines(), 1):
        header = _HEADER.match(line)
        if header is not None:
            name = header.group(2)
            if name == "tools":
                tools, when = tools + 1, 0
                table = f"[[tools]] #{tools}"
            elif name == "tools.when":
                when += 1
                table = f"[[tools]] #{tools} [[tools.when]] #{when}"
            else:
                table = f"[{name}]"
            lines.setdefault((table, None), number)
            continue
        key = _KEY.match(line)
        if key is not None:
            lines.setdefault((table, key.group(1)), number)
    return lines
