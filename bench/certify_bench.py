"""What certification costs beside the plain Python work it stands for.

  agentic            certify() with AgenticAdapter vs sha256().hexdigest() of a text with
                     the shape and length of the one the certificate's hash covers

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
from ruvo_safety import AgenticAdapter, SafetyCertifier, SimpleAction, StateDelta

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


def main():
    global clock, round_ns
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="5 rounds of 4 ms")
    parser.add_argument("--rounds", type=int, help="rounds per figure (default 21)")
    parser.add_argument("--wall", action="store_true", help="wall time, not thread CPU time")
    parser.add_argument("--check", action="store_true", help="exit 1 if a target is missed")
    args = parser.parse_args()
    rounds = args.rounds or (5 if args.quick else 21)
    round_ns = 4_000_000 if args.quick else round_ns
    clock = time.perf_counter_ns if args.wall else clock
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

    return 1 if args.check and not all(met) else 0


if __name__ == "__main__":
    sys.exit(main())
