"""An agent loop whose tool calls are gated by certification.

A scripted planner stands in for the model. Before a tool runs, the gate certifies the
call: a certified call runs, a warning is logged and the call runs, an escalation runs
only if the human callback approves it, and a block refuses it. Every certificate is
appended to a JSON-lines audit file, whatever the outcome.

Usage: tools/run-example.sh examples/agent_tools.py [AUDIT_FILE]
"""

import json
import logging
import sys
import tempfile
from collections import Counter
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from pathlib import Path

from ruvo_safety import (AgenticAdapter, SafetyCertificate, SafetyCertifier, SimpleAction,
                         StateDelta)

log = logging.getLogger("agent")


@dataclass(frozen=True)
class ToolCall:
    tool: str
    args: dict[str, str]


@dataclass(frozen=True)
class Tool:
    run: Callable[[dict[str, str]], str]
    cost: float
    # The AgenticAdapter's risk scores for one call, in [0, 1] with 1.0 the safest:
    # scope_score, reversibility_score, sensitivity_score (an omitted score is 1.0).
    scores: Callable[[dict[str, str]], dict[str, float]]


# Asked on an escalation; True lets the call run.
Approver = Callable[[ToolCall, SafetyCertificate], bool]


def email_scores(args: dict[str, str]) -> dict[str, float]:
    internal = args["to"].endswith("@ourco.example")
    return {"sensitivity_score": 0.9 if internal else 0.25}


TOOLS = {
    "search_docs": Tool(lambda a: f"3 pages about {a['query']!r}", 0.5, lambda a: {}),
    "read_file": Tool(lambda a: f"{a['path']}: 42 lines", 0.1,
                      lambda a: {"sensitivity_score": 0.7}),
    "edit_config": Tool(lambda a: f"{a['key']} set to {a['value']}", 0.2,
                        lambda a: {"scope_score": 0.45, "reversibility_score": 0.8}),
    "send_email": Tool(lambda a: f"mail sent to {a['to']}", 0.3, email_scores),
    "drop_table": Tool(lambda a: f"table {a['table']} dropped", 0.1,
                       lambda a: {"reversibility_score": 0.0}),
}


class Gate:
    """Certifies each tool call, runs or refuses it, and writes the audit trail."""

    def __init__(self, tools: dict[str, Tool], approve: Approver, audit: Path,
                 budget: float) -> None:
        self.tools = tools
        self.approve = approve
        self.audit = audit
        self.adapter = AgenticAdapter(budget_limit=budget, rate_limit=20.0)
        self.certifier = SafetyCertifier(self.adapter)
        self.count = 0

    def call(self, agent_id: str, call: ToolCall) -> str:
        tool = self.tools[call.tool]
        self.count += 1
        deltas = [StateDelta(name, 1.0, score) for name, score in tool.scores(call.args).items()]
        cert = self.certifier.certify(
            SimpleAction(f"{call.tool}-{self.count}", agent_id, deltas))
        # The decision text starts with its kind; anything unknown is refused.
        match cert.decision.split(" ", 1)[0]:
            case "Certified":
                outcome = "ran"
            case "CertifiedWithWarning":
                log.warning("%s: %s", call.tool, cert.decision)
                outcome = "ran"
            case "EscalateToHuman":
                outcome = "approved" if self.approve(call, cert) else "refused"
            case _:
                outcome = "blocked"
        self.write_audit(call, cert, outcome)
        if outcome not in ("ran", "approved"):
            return f"refused: {cert.decision}"
        self.adapter.record_spend(tool.cost)
        self.adapter.record_action()
        return tool.run(call.args)

    def write_audit(self, call: ToolCall, cert: SafetyCertificate, outcome: str) -> None:
        record = {"certificate": json.loads(cert.to_json()), "tool": call.tool,
                  "outcome": outcome}
        with self.audit.open("a", encoding="utf-8") as out:
            out.write(json.dumps(record) + "\n")


def ask_human(call: ToolCall, cert: SafetyCertificate) -> bool:
    print(f"  review needed for {call.tool} {call.args}: {cert.decision}")
    if not sys.stdin.isatty():
        print("  nobody at the console: refused")
        return False
    return input("  approve? [y/N] ").strip().lower() == "y"


def planner() -> Iterable[ToolCall]:
    """What a model might ask for while rotating an API key."""
    yield ToolCall("search_docs", {"query": "api key rotation"})
    yield ToolCall("read_file", {"path": "config/keys.yaml"})
    yield ToolCall("edit_config", {"key": "rotation_days", "value": "30"})
    yield ToolCall("send_email", {"to": "security@partner.example", "body": "new key attached"})
    yield ToolCall("drop_table", {"table": "api_keys_old"})
    yield ToolCall("send_email", {"to": "team@ourco.example", "body": "rotation done"})


def run_agent(gate: Gate, calls: Iterable[ToolCall]) -> None:
    for call in calls:
        print(f"{call.tool}({', '.join(f'{k}={v!r}' for k, v in call.args.items())})")
        print(f"  -> {gate.call('ops-agent', call)}")


def main() -> None:
    logging.basicConfig(level=logging.INFO, format="  %(levelname)s %(name)s: %(message)s",
                        stream=sys.stdout)
    if len(sys.argv) > 1:
        audit = Path(sys.argv[1])
    else:
        audit = Path(tempfile.mkdtemp(prefix="ruvo-audit-")) / "audit.jsonl"
    run_agent(Gate(TOOLS, ask_human, audit, budget=10.0), planner())

    with audit.open(encoding="utf-8") as lines:
        outcomes = Counter(json.loads(line)["outcome"] for line in lines)
    print(f"audit trail: {audit} ({dict(outcomes)})")


if __name__ == "__main__":
    main()
