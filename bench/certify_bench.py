"""Nanoseconds per SafetyCertifier.certify call beside a bare SHA-256 of a canonical text.

Run with: tools/run-example.sh bench/certify_bench.py
"""

import hashlib
import statistics
import time

from ruvo_safety import AgenticAdapter, SafetyCertifier, SimpleAction, StateDelta

REPEATS = 7
CALLS = 100_000


def per_call_ns(fn, arg):
    samples = []
    for _ in range(REPEATS):
        start = time.perf_counter_ns()
        for _ in range(CALLS):
            fn(arg)
        samples.append((time.perf_counter_ns() - start) / CALLS)
    return statistics.median(samples)


def canonical_text_like(cert):
    # Same shape and length as what the kernel hashes for this certificate.
    margins = "".join(f"|channel:{name}:{value:.16e}" for name, value in cert.margins.items())
    return (f"action:{cert.action_id}|agent:{cert.agent_id}"
            f"|decided_at:2026-12-07T10:11:12.123456789+00:00{margins}"
            f"|decision:{cert.decision}|zone:{cert.zone}").encode()


def main():
    certifier = SafetyCertifier(AgenticAdapter())
    action = SimpleAction("act-1", "agent-1", [StateDelta("scope_score", 1.0, 0.4)])
    text = canonical_text_like(certifier.certify(action))

    certify_ns = per_call_ns(certifier.certify, action)
    sha_ns = per_call_ns(lambda t: hashlib.sha256(t).hexdigest(), text)
    print(f"certify:          {certify_ns:8.0f} ns/call")
    print(f"sha256 reference: {sha_ns:8.0f} ns/call  ({len(text)} bytes)")
    print(f"ratio:            {certify_ns / sha_ns:8.2f}  (target <= 3)")


if __name__ == "__main__":
    main()
