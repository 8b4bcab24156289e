"""The MCP proxy's policy file: what it refuses to load, and how it judges calls."""

from __future__ import annotations

import textwrap
from pathlib import Path

import pytest

from ruvo_gate._policy import Allowed, Denied, Policy, PolicyError, load_policy

RULES = """
[[tools]]
name = "read_*"
sensitivity = 0.8
cost_argument = "price"

[[tools.when]]
argument = "path"
path_under = "/data/secret"
sensitivity = 0.2

[[tools.when]]
argument = "options.mode"
one_of = ["raw", 3]
deny = true

[[tools]]
name = "read_anything"
deny = true

[[tools]]
name = "fetch"
cost = 2.5

[[tools.when]]
argument = "url"
regex = "^https?://internal\\\\."
deny = true

[[tools.when]]
argument = "retries"
above = 3
scope = 0.4

[[tools.when]]
argument = "token"
missing = true
reversibility = 0.5
"""


def write(tmp_path: Path, text: str) -> str:
    path = tmp_path / "policy.toml"
    path.write_text(textwrap.dedent(text))
    return str(path)


@pytest.fixture
def policy(tmp_path: Path) -> Policy:
    return load_policy(write(tmp_path, RULES))


def scores(found: Allowed | Denied) -> dict[str, float]:
    assert isinstance(found, Allowed), found
    return {d.dimension: d.to_value for d in found.action.state_deltas}


@pytest.mark.parametrize("tool, arguments, scope, reversibility, sensitivity", [
    # The first matching sub-rule replaces the scores it names; the others stay the tool's.
    ("read_file", {"path": "/data/public/../secret/x", "price": 1}, 1.0, 1.0, 0.2),
    ("read_file", {"path": "/data/secretive", "price": 0}, 1.0, 1.0, 0.8),
    ("fetch", {"url": "https://example.org", "retries": 9, "token": "t"}, 0.4, 1.0, 1.0),
    ("fetch", {"url": "https://example.org"}, 1.0, 0.5, 1.0),
])
def test_scores_from_rules(policy: Policy, tool: str, arguments: dict[str, object],
                           scope: float, reversibility: float, sensitivity: float) -> None:
    assert scores(policy.decide(tool, arguments, "agent")) == {
        "scope_score": scope, "reversibility_score": reversibility,
        "sensitivity_score": sensitivity}


@pytest.mark.parametrize("tool, arguments, reason", [
    ("write_file", {}, "no rule of the policy allows the tool 'write_file'"),
    ("read_file", {"path": "/x", "options": {"mode": 3}, "price": 1}, "when the argument "
     "'options.mode' matches one_of"),
    ("fetch", {"url": "http://internal.corp/x"}, "matches regex"),
    # Values of the wrong type refuse the call rather than fall back to the tool's scores.
    ("read_file", {"path": ["/data/secret"], "price": 1}, "'path' must be a string, not a list"),
    ("read_file", {"path": "secret/x", "price": 1}, "must be an absolute path"),
    ("read_file", {"path": "/x", "options": "raw", "price": 1}, "not an object"),
    ("read_file", {"path": "/x", "options": {"mode": True}, "price": 1},
     "'options.mode' cannot be a boolean here"),
    ("fetch", {"url": "https://x", "retries": "9"}, "'retries' must be a number, not a string"),
    ("read_file", {"path": "/x"}, "the argument 'price', which is missing"),
    ("read_file", {"path": "/x", "price": -1}, "must be a number >= 0"),
])
def test_denials(policy: Policy, tool: str, arguments: dict[str, object],
                 reason: str) -> None:
    found = policy.decide(tool, arguments, "agent")
    assert isinstance(found, Denied) and reason in found.reason


def test_cost_and_listing(policy: Policy) -> None:
    costs = [policy.decide("read_x", {"price": 4}, "a"), policy.decide("fetch", {"token": "t"}, "a")]
    assert [found.cost for found in costs if isinstance(found, Allowed)] == [4.0, 2.5]
    # read_anything matches "read_*" first: the earlier rule wins.
    assert [policy.lists(name) for name in ("read_anything", "fetch", "other")] == \
        [True, True, False]


@pytest.mark.parametrize("text, message", [
    ("mode = 'loud'", "top level, key 'mode' (line 1): must be 'enforce' or 'observe'"),
    ("colour = 1", "top level, key 'colour' (line 1): not a key of this table"),
    ("[adapter]\nbudget_limit = -1", "[adapter], key 'budget_limit' (line 2): must be a finite"),
    ("[thresholds]\nsafe_threshold = 0.2", "block_threshold <= caution_threshold"),
    ("[[tools]]\nscope = 0.5", "[[tools]] #1, key 'name' (line 1): is required"),
    ("[[tools]]\nname = 'a'\n\n[[tools]]\nname = 'b'\nscope = 2",
     "[[tools]] #2 (b), key 'scope' (line 6): must be a finite number in [0, 1], not 2"),
    ("[[tools]]\nname = 'a'\ndeny = true\nscope = 0.5", "a rule that denies its tools takes"),
    ("[[tools]]\nname = 'a'\ncost = 1\ncost_argument = 'p'", "not both"),
    ("[[tools]]\nname = 'a'\n[[tools.when]]\nargument = 'p'\nglob = 'x'\nprefix = 'y'\n"
     "deny = true", "[[tools]] #1 (a) [[tools.when]] #1, key 'prefix' (line 6): takes exactly "
     "one matcher"),
    ("[[tools]]\nname = 'a'\n[[tools.when]]\nargument = 'p'\nregex = '('\ndeny = true",
     "key 'regex' (line 5): not a valid regular expression"),
    ("[[tools]]\nname = 'a'\n[[tools.when]]\nargument = 'p'\npath_under = 'rel'\ndeny = true",
     "must be an absolute path"),
    ("[[tools]]\nname = 'a'\n[[tools.when]]\nargument = 'p'\nmissing = true",
     "does nothing: give it scores or deny = true"),
    ("actions = 'no_such_module_x:f'", "key 'actions' (line 1): cannot import"),
    ("adapter_factory = 'os:getcwd'", "a custom adapter needs custom actions"),
    ("name = [", "not valid TOML: "),
])
def test_invalid_policies(tmp_path: Path, text: str, message: str) -> None:
    path = write(tmp_path, text)
    with pytest.raises(PolicyError) as raised:
        load_policy(path)
    assert str(raised.value).startswith(path + ": ")
    assert message in str(raised.value)


def test_custom_actions(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    (tmp_path / "my_actions.py").write_text(textwrap.dedent("""
        from ruvo_safety import SimpleAction, StateDelta
        def build(tool, arguments):
            return SimpleAction(tool, "custom", [StateDelta("rows", 0, arguments["rows"])])
        """))
    monkeypatch.syspath_prepend(str(tmp_path))
    policy = load_policy(write(tmp_path, 'actions = "my_actions:build"\n[[tools]]\nname = "q"'))
    found = policy.decide("q", {"rows": 7}, "ignored")
    assert isinstance(found, Allowed) and found.action.agent_id == "custom"
    assert found.action.state_deltas[0].to_value == 7
