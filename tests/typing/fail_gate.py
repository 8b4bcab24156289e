"""Under mypy --strict, each line marked `# E` is an error and no other line is."""

from ruvo_gate import AuditLog, Gate, agentic_action, verdict
from ruvo_safety import AgenticAdapter

gate = Gate(AgenticAdapter())


@gate.guard(lambda path, limit=10: agentic_action(path, "agent"))
def read(path: str, limit: int = 10) -> str:
    return path


@gate.guard(lambda url: agentic_action(url, "agent"))
async def fetch(url: str) -> bytes:
    return url.encode()


# A guarded function keeps its parameters and its return type; an async one stays awaitable.
read(1)  # E
read("a", limit="10")  # E
read("a", size=10)  # E
count: int = read("a")  # E
data: bytes = fetch("u")  # E

verdict(5)  # E
agentic_action("act", "agent", 0.5)  # E
agentic_action("act", "agent", scope="high")  # E
AuditLog("audit.jsonl", sync="sometimes")  # E
AuditLog("audit.jsonl", key="secret")  # E
Gate(AgenticAdapter(), config=AgenticAdapter())  # E
gate.guard(lambda: agentic_action("act", "agent"), cost="cheap")  # E
gate.admit("read", agentic_action("act", "agent"), cost="cheap")  # E
gate.admit("read", agentic_action("act", "agent")).finish(result=404)  # E
