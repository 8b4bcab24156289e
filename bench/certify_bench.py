"""What certification costs beside the plain Python work it stands for.

  agentic            certify() with AgenticAdapter vs sha256().hexdigest() of a text with
                     the shape and length of the one the certificate's hash covers
  python domain      certify() with a 3-channel Python domain vs the Python calls certify
                     makes (domain_name, map_action_to_state, constraint_channels, name and
                     dimension_names, evaluate per channel, detect_regime_change) in a loop
  per extra channel  the same two with 3+8 channels minus with 3 channels
  certify_action     certify_action(adapter, deltas={3 entries}) vs certify(prebuilt action)
  growth             ns per delta (agentic) and per channel (Python), 1 to 10000 of them:
                     the cost per item at 10000 over that at 100

Each figure is a median over interleaved rounds: a round (about 40 ms) times one batch of
each side, in an order that rotates from round to round so drift and neighbours hit all
sides alike, and ratios are taken within the round. The clock is the thread's CPU time
(time.thread_time_ns): on a shared machine it stays steady where wall time swings with
every other process; --wall uses time.perf_counter_ns. The collector is off during batches.

Run with: tools/run-example.sh bench/certify_bench.py [--quick] [--rounds N] [--wall] [--check]
The exit status is 0 unless --check is given and a target is missed.
"""

import argparse
import gc
import hashlib
import os
import statistics
import sys
import time
from itertools import repeat

import ruvo_safety
from ruvo_safety import (AgenticAdapter, ConstraintChannel, DomainAdapter, SafetyCertifier,
                         SimpleAction, StateDelta, certify_action)

clock = time.thread_time_ns
round_ns = 40_000_000
met = []


def timed(batch, n):
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = clock()
        batch(n)
        return clock() - start
    finally:
        if enabled:
            gc.enable()


def per_call(sides, rounds):
    """ns per call of each side, one list per side, one entry per round."""
    batch_ns, sizes = round_ns // len(sides), []
    for side in sides:  # double until long enough to scale from, then scale to a batch
        n = 1
        while (spent := timed(side, n)) < batch_ns // 16:
            n *= 2
        sizes.append(max(1, round(n * batch_ns / spent)))
    out = [[] for _ in sides]
    for r in range(rounds):
        for i in [(r + k) % len(sides) for k in range(len(sides))]:
            out[i].append(timed(sides[i], sizes[i]) / sizes[i])
    return out


def loop(fn, arg):
    def batch(n):
        for _ in repeat(None, n):
            fn(arg)
    return batch


def canonical_text_like(cert):
    # The bytes the kernel hashes but for the decision time: margins with a plain decimal
    # exponent ("4.0000000000000002e-1"), a time with nanoseconds.
    def exp16(value):
        mantissa, exponent = f"{value:.16e}".split("e")
        return f"{mantissa}e{int(exponent)}"
    margins = "".join(f"|channel:{name}:{exp16(m)}" for name, m in cert.margins.items())
    return (f"action:{cert.action_id}|agent:{cert.agent_id}"
            f"|decided_at:2026-12-07T10:11:12.123456789+00:00{margins}"
            f"|decision:{cert.decision}|zone:{cert.zone}").encode()


DIMENSIONS = ["speed", "temperature", "torque"]
MOVE = SimpleAction("move-1", "controller",
                    [StateDelta(d, 0.0, v) for d, v in zip(DIMENSIONS, [0.2, 0.3, 0.1])])


class Limit(ConstraintChannel):
    def __new__(cls, label, position, limit):
        self = super().__new__(cls)
        self.label, self.position, self.limit = label, position, limit
        return self

    def name(self):
        return self.label

    def evaluate(self, state):
        return 1.0 - state[self.position] / self.limit

    def dimension_names(self):
        return [DIMENSIONS[self.position]]


class Machine(DomainAdapter):
    def __new__(cls, channels):
        self = super().__new__(cls)
        self.channels = [Limit(f"limit_{i:05d}", i % 3, 1.0 + i % 5) for i in range(channels)]
        return self

    def domain_name(self):
        return "machine"

    def constraint_channels(self):
        return self.channels

    def map_action_to_state(self, action):
        return [delta.to_value for delta in action.state_deltas]

    def detect_regime_change(self, current, proposed):
        return proposed[0] < 0.0


def direct(adapter, action):
    # The calls sit in the loop itself: the Python side pays no extra call per action.
    def batch(n):
        for _ in repeat(None, n):
            adapter.domain_name()
            state = adapter.map_action_to_state(action)
            channels = adapter.constraint_channels()
            for channel in channels:
                channel.name()
                channel.dimension_names()
            for channel in channels:
                channel.evaluate(list(state))
            adapter.detect_regime_change([0.0] * len(state), list(state))
    return batch


def report(name, figure, target, detail):
    met.append(figure <= target)
    print(f"{name:<18} {figure:6.3f}  target <= {target}  {'ok' if met[-1] else 'MISSED':<6}  "
          f"{detail}")


def ratio(name, target, sides, labels, rounds):
    a, b = per_call(sides, rounds)
    ratios = [x / y for x, y in zip(a, b)]
    q1, figure, q3 = statistics.quantiles(ratios, n=4) if len(ratios) > 1 else ratios * 3
    report(name, figure, target, f"quartiles {q1:.2f}-{q3:.2f}; {labels[0]} "
           f"{statistics.median(a):.0f} ns, {labels[1]} {statistics.median(b):.0f} ns")
    return figure


def options(description, full_round_ns=round_ns):
    """Reads the options every benchmark takes, sets the clock and the length of a round,
    and returns them with the number of rounds per figure."""
    global clock, round_ns
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--quick", action="store_true", help="5 rounds of 4 ms")
    parser.add_argument("--rounds", type=int, help="rounds per figure (default 21)")
    parser.add_argument("--wall", action="store_true", help="wall time, not thread CPU time")
    parser.add_argument("--check", action="store_true", help="exit 1 if a target is missed")
    args = parser.parse_args()
    round_ns = 4_000_000 if args.quick else full_round_ns
    clock = time.perf_counter_ns if args.wall else clock
    return args, args.rounds or (5 if args.quick else 21)


def main():
    args, rounds = options(__doc__.splitlines()[0])
    built = time.strftime("%Y-%m-%d %H:%M", time.localtime(os.path.getmtime(ruvo_safety.__file__)))
    print(f"Python {sys.version.split()[0]}; {ruvo_safety.__file__}, built {built}")
    print(f"{rounds} rounds of {round_ns / 1e6:g} ms, "
          f"{'wall' if args.wall else 'thread CPU'} time")

    agentic = SafetyCertifier(AgenticAdapter())
    action = SimpleAction("act-1", "agent-1", [StateDelta("scope_score", 1.0, 0.4)])
    text, sha = canonical_text_like(agentic.certify(action)), hashlib.sha256

    def hashing(n):
        for _ in repeat(None, n):
            sha(text).hexdigest()
    figure = ratio("agentic", 1.5, [loop(agentic.certify, action), hashing],
                   ("certify", f"sha256 of {len(text)} bytes"), rounds)
    print(f"{'':<18} {figure / 1.3:6.3f}  times the 1.3 aimed at")

    narrow, wide = Machine(3), Machine(3 + 8)
    narrow_certify = loop(SafetyCertifier(narrow).certify, MOVE)
    ratio("python domain", 2.5, [narrow_certify, direct(narrow, MOVE)], ("certify", "direct"),
          rounds)
    c3, c11, d3, d11 = per_call([narrow_certify, loop(SafetyCertifier(wide).certify, MOVE),
                                 direct(narrow, MOVE), direct(wide, MOVE)], rounds)
    kernel = statistics.median(y - x for x, y in zip(c3, c11)) / 8
    plain = statistics.median(y - x for x, y in zip(d3, d11)) / 8
    report("per extra channel", kernel / plain, 2.5,
           f"certify {kernel:.0f} ns, direct {plain:.0f} ns per channel")

    adapter = AgenticAdapter()
    deltas = {"reversibility_score": 0.8, "scope_score": 0.4, "sensitivity_score": 0.7}
    prebuilt = SimpleAction("act-1", "agent-1", [StateDelta(d, 1.0, v) for d, v in deltas.items()])

    def one_shot(n):
        for _ in repeat(None, n):
            certify_action(adapter, action_id="act-1", agent_id="agent-1", deltas=deltas)
    ratio("certify_action", 1.2, [one_shot, loop(SafetyCertifier(adapter).certify, prebuilt)],
          ("certify_action", "certify"), rounds)

    # Big sizes get fewer calls per batch from the sizing; they also get fewer rounds.
    sizes = [1, 10, 100, 1000, 10000]
    for kind, unit, sides in [
        ("agentic", "delta", [loop(agentic.certify, SimpleAction("act-1", "agent-1", [
            StateDelta(f"dim_{i}" if i else "scope_score", 1.0, 0.4) for i in range(size)]))
            for size in sizes]),
        ("python", "channel", [loop(SafetyCertifier(Machine(size)).certify, MOVE)
                               for size in sizes]),
    ]:
        times = [statistics.median(t) for t in per_call(sides, max(3, rounds // 2))]
        # All in, since the cost beyond the first item is lost in noise while it is small.
        each = {size: t / size for size, t in zip(sizes, times)}
        beyond = [""] + [f" ({(t - times[0]) / (size - 1):.1f})"
                         for size, t in zip(sizes[1:], times[1:])]
        print(f"{kind}, ns per {unit} (beyond the first): " + ", ".join(
            f"{size}: {each[size]:.1f}{more}" for size, more in zip(sizes, beyond)))
        growth = each[10000] / each[100]
        report(f"{kind} growth", growth, 3, f"linear: {'yes' if growth <= 3 else 'no'}")
    return 1 if args.check and not all(met) else 0


if __name__ == "__main__":
    sys.exit(main())
