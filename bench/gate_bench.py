"""What ruvo_gate costs beside the work it stands for.

  gated call   a guarded no-op tool (strict, no audit) vs certify() of the same action
  admit        Gate.admit() and finish() of the same action, as a front end other than
               the decorator takes them (strict, no audit) vs certify()
  append       AuditLog(sync="never").append(decision record) vs the same by hand:
               json.dumps of the record, hashlib.sha256 of it, one os.write
  verify       verify_log over a log of decision records vs a hand loop over the same
               file: json.loads and hashlib.sha256 of each line

Rounds, clock and figures as in certify_bench.py (medians of ratios taken within
interleaved rounds, thread CPU time).

Run with: tools/run-example.sh bench/gate_bench.py [--quick] [--rounds N] [--wall] [--check]
"""

import hashlib
import json
import os
import sys
import tempfile
from itertools import repeat
from pathlib import Path

import certify_bench as timing
from ruvo_gate import AuditLog, Gate, agentic_action, verify_log
from ruvo_safety import AgenticAdapter, SafetyCertifier

LINES = 1000


def decision_record(certificate):
    return {"kind": "decision", "call": "4f0c6d1e9b2a4c7e8d5f3a1b0c9e8d7f", "tool": "read_file",
            "agent_id": certificate.agent_id, "action_id": certificate.action_id,
            "decision": certificate.decision, "outcome": "Certified", "approved": None,
            "zone": certificate.zone, "margins": certificate.margins,
            "binding_constraint": certificate.binding_constraint,
            "drift_budget": certificate.drift_budget,
            "deterministic_hash": certificate.deterministic_hash,
            "certificate_id": certificate.certificate_id}


def main():
    args, rounds = timing.options(__doc__.splitlines()[0], 100_000_000)
    print(f"Python {sys.version.split()[0]}; {rounds} rounds of {timing.round_ns / 1e6:g} ms, "
          f"{'wall' if args.wall else 'thread CPU'} time")

    # Limits far away, so that the counting of calls never changes the decision.
    adapter = AgenticAdapter(budget_limit=1e300, rate_limit=1e300)
    action = agentic_action("read_file", "agent-1", scope=0.9, reversibility=0.9,
                            sensitivity=0.8)
    certifier = SafetyCertifier(adapter)
    for strict in (True, False):
        @Gate(adapter, strict=strict).guard(lambda path: action)
        def read_file(path):
            return path
        timing.ratio("gated call" if strict else "  not strict", 2.0,
                     [timing.loop(read_file, "notes.txt"), timing.loop(certifier.certify, action)],
                     ("gated", "certify"), rounds)

    gate = Gate(adapter)

    def admitted(n):
        admit = gate.admit
        for _ in repeat(None, n):
            admit("read_file", action).finish()
    timing.ratio("admit", 2.75, [admitted, timing.loop(certifier.certify, action)],
                 ("admit + finish", "certify"), rounds)

    record = decision_record(certifier.certify(action))
    with tempfile.TemporaryDirectory() as folder:
        log = AuditLog(Path(folder) / "gate.jsonl", sync="never")
        fd = os.open(Path(folder) / "hand.jsonl", os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        sha = hashlib.sha256

        def by_hand(n):
            for _ in repeat(None, n):
                line = json.dumps(record)
                sha(line.encode()).hexdigest()
                os.write(fd, (line + "\n").encode())
        timing.ratio("append", 1.5, [timing.loop(log.append, record), by_hand],
                     ("append", "by hand"), rounds)
        log.close()
        os.close(fd)

        path = Path(folder) / "verify.jsonl"
        with AuditLog(path, sync="never") as small:
            for _ in range(LINES):
                small.append(record)

        def verifying(n):
            for _ in repeat(None, n):
                assert verify_log(path).ok

        def hand_loop(n):
            for _ in repeat(None, n):
                with open(path, "rb") as lines:
                    for line in lines:
                        json.loads(line)
                        sha(line).hexdigest()
        figure = timing.ratio("verify", 1.5, [verifying, hand_loop],
                              (f"verify_log ({LINES} lines)", "hand loop"), rounds)
        print(f"{'':<18} {figure:6.3f}  (verify_log reads at 1/{figure:.2f} of the hand loop)")
    return 1 if args.check and not all(timing.met) else 0


if __name__ == "__main__":
    sys.exit(main())
