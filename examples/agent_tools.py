"""An agent loop whose tool calls are gated by certification, with a verifiable audit trail.

A scripted planner stands in for the model. Every tool is guarded: a certified call runs, a
call certified with warnings runs and its warnings are logged, an escalation runs only if a
human at the console approves it, and a block refuses it. Each decision is written to a
hash-chained audit log before the tool runs or is refused, and each outcome after; the log
is checked at the end, as `python -m ruvo_gate verify AUDIT_FILE` would.

Usage: tools/run-example.sh examples/agent_tools.py [AUDIT_FILE]
"""

import logging
import sys
import tempfile
from collections.abc import Callable, Iterable
from pathlib import Path

from ruvo_gate import ActionRefused, AuditLog, Gate, Verdict, agentic_action, verify_log
from ruvo_safety import AgenticAdapter, SafetyCertificate

AGENT = "ops-agent"


def tools(gate: Gate) -> dict[str, Callable[..., str]]:
    """The agent's tools, each with what one call risks (1.0 the safest) and costs."""

    @gate.guard(lambda query: agentic_action("search_docs", AGENT), cost=0.5)
    def search_docs(query: str) -> str:
        return f"3 pages about {query!r}"

    @gate.guard(lambda path: agentic_action("read_file", AGENT, sensitivity=0.7), cost=0.1)
    def read_file(path: str) -> str:
        return f"{path}: 42 lines"

    @gate.guard(lambda key, value: agentic_action("edit_config", AGENT, scope=0.45,
                                                  reversibility=0.8), cost=0.2)
    def edit_config(key: str, value: str) -> str:
        return f"{key} set to {value}"

    @gate.guard(lambda to, body: agentic_action(
        "send_email", AGENT, sensitivity=0.9 if to.endswith("@ourco.example") else 0.25),
        cost=0.3)
    def send_email(to: str, body: str) -> str:
        return f"mail sent to {to}"

    @gate.guard(lambda table: agentic_action("drop_table", AGENT, reversibility=0.0), cost=0.1)
    def drop_table(table: str) -> str:
        return f"table {table} dropped"

    return {f.__name__: f for f in (search_docs, read_file, edit_config, send_email, drop_table)}


def ask_human(tool: str, verdict: Verdict, certificate: SafetyCertificate) -> bool:
    print(f"  review needed for {tool}: {verdict.reason}")
    if not sys.stdin.isatty():
        print("  nobody at the console: refused")
        return False
    return input("  approve? [y/N] ").strip().lower() == "y"


def planner() -> Iterable[tuple[str, dict[str, str]]]:
    """What a model might ask for while rotating an API key."""
    yield "search_docs", {"query": "api key rotation"}
    yield "read_file", {"path": "config/keys.yaml"}
    yield "edit_config", {"key": "rotation_days", "value": "30"}
    yield "send_email", {"to": "security@partner.example", "body": "new key attached"}
    yield "drop_table", {"table": "api_keys_old"}
    yield "send_email", {"to": "team@ourco.example", "body": "rotation done"}


def main() -> None:
    logging.basicConfig(level=logging.INFO, format="  %(levelname)s %(name)s: %(message)s",
                        stream=sys.stdout)
    if len(sys.argv) > 1:
        audit_path = Path(sys.argv[1])
    else:
        audit_path = Path(tempfile.mkdtemp(prefix="ruvo-audit-")) / "audit.jsonl"

    with AuditLog(audit_path) as audit:
        gate = Gate(AgenticAdapter(budget_limit=10.0, rate_limit=20.0), approve=ask_human,
                    audit=audit)
        agent_tools = tools(gate)
        for name, args in planner():
            print(f"{name}({', '.join(f'{k}={v!r}' for k, v in args.items())})")
            try:
                print(f"  -> {agent_tools[name](**args)}")
            except ActionRefused as refused:
                print(f"  -> refused: {refused}")

    print(f"audit trail {audit_path}: {verify_log(audit_path)}")


if __name__ == "__main__":
    main()
