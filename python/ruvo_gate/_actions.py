"""Actions for the agentic adapter that cannot silently miss a dimension."""

from __future__ import annotations

import difflib
import json
import numbers

from ruvo_safety import SimpleAction, StateDelta

__all__ = ["SCORE_DIMENSIONS", "agentic_action", "check_agentic"]

# The only dimensions the agentic adapter reads from an action, matched byte for byte.
SCORE_DIMENSIONS = ("scope_score", "reversibility_score", "sensitivity_score")
_KNOWN = frozenset(SCORE_DIMENSIONS)
# Names a caller may reach for: the channels' own names, and the counters the adapter keeps.
_CHANNEL_NAMES = {
    "scope": "scope_score",
    "reversibility": "reversibility_score",
    "data_sensitivity": "sensitivity_score",
    "sensitivity": "sensitivity_score",
}
_SPEND_NAMES = frozenset({"budget", "current_spend", "budget_limit", "spend", "cost"})
_RATE_NAMES = frozenset({"rate", "rate_limit", "current_rate", "max_rate"})


def agentic_action(action_id: str, agent_id: str, *, scope: float = 1.0,
                   reversibility: float = 1.0, sensitivity: float = 1.0) -> SimpleAction:
    """A `SimpleAction` carrying the three scores the agentic adapter reads.

    Each score is a finite number in [0, 1], 1.0 the safest: `scope` (how far the action
    reaches), `reversibility` (how easily it is undone), `sensitivity` (how harmless the
    data it touches is). They become the deltas `scope_score`, `reversibility_score` and
    `sensitivity_score`, each from 1.0 to the score.

    Raises:
        ValueError: a score is not a finite number in [0, 1].
    """
    return SimpleAction(action_id, agent_id, [
        StateDelta("scope_score", 1.0, _score("scope", scope)),
        StateDelta("reversibility_score", 1.0, _score("reversibility", reversibility)),
        StateDelta("sensitivity_score", 1.0, _score("sensitivity", sensitivity)),
    ])


def _score(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number in [0, 1] (1.0 is the safest), "
                         f"not {type(value).__qualname__}")
    score = float(value)
    if not (0.0 <= score <= 1.0):  # also false for NaN
        raise ValueError(f"{name} must be a finite number in [0, 1] (1.0 is the safest), "
                         f"got {value!r}")
    return score


def check_agentic(action: SimpleAction) -> None:
    """Refuses an action the agentic adapter would read only in part.

    The adapter reads exactly `scope_score`, `reversibility_score` and `sensitivity_score`
    and ignores every other dimension, so a misspelt name certifies as if its score were
    1.0, the safest. Of a dimension named twice it reads only the last value, so a low
    score followed by a high one certifies on the high one.

    Raises:
        TypeError: `action` is not a `SimpleAction`.
        ValueError: naming every dimension the adapter would ignore, with the closest
            known name where one is close, and every dimension named more than once.
    """
    if not isinstance(action, SimpleAction):
        raise TypeError(f"check_agentic() takes a SimpleAction, not {type(action).__qualname__}")
    dimensions = [delta.dimension for delta in action.state_deltas]
    if _KNOWN.issuperset(dimensions) and len(set(dimensions)) == len(dimensions):
        return
    unknown = dict.fromkeys(d for d in dimensions if d not in _KNOWN)
    repeated = {d: dimensions.count(d) for d in dimensions if dimensions.count(d) > 1}
    raise ValueError(f"action {_show(action.action_id)}: " + " ".join(
        [_unknown(dimension) for dimension in unknown]
        + [f"{_show(dimension)} is named {count} times, and the agentic adapter reads only "
           "the last value: name each dimension once." for dimension, count in repeated.items()]))


def _unknown(dimension: str) -> str:
    lowered = dimension.lower()
    if lowered in _SPEND_NAMES:
        return (f"{_show(dimension)} is not read from actions: record spending with "
                "AgenticAdapter.record_spend() (or the gate's cost=).")
    if lowered in _RATE_NAMES:
        return (f"{_show(dimension)} is not read from actions: actions are counted with "
                "AgenticAdapter.record_action().")
    guess = _CHANNEL_NAMES.get(lowered)
    if guess is None:
        close = difflib.get_close_matches(lowered, SCORE_DIMENSIONS, n=1, cutoff=0.6)
        guess = close[0] if close else None
    if guess is None:
        return (f"{_show(dimension)} is not a dimension the agentic adapter reads (it reads "
                '"scope_score", "reversibility_score" and "sensitivity_score").')
    return (f"{_show(dimension)} is not a dimension the agentic adapter reads; "
            f"did you mean {_show(guess)}?")


def _show(text: str) -> str:
    return json.dumps(text, ensure_ascii=False)
