"""Gating an agent's tool calls with ruvo_safety: typed verdicts, a fail-closed gate for
plain and async tools, a tamper-evident audit trail in a file or a database, and the
policy of the MCP proxy (`ruvo-gate mcp`).

```python
gate = Gate(AgenticAdapter(budget_limit=10.0), audit=AuditLog("audit.jsonl"))

@gate.guard(lambda path: agentic_action("read_file", "agent-1",
                                        sensitivity=0.7))
def read_file(path: str) -> str: ...
```
"""

from ._actions import agentic_action, check_agentic
from ._audit import AuditLog, LogReport, verify_log
from ._gate import ActionRefused, Admission, Approver, Gate
from ._policy import Allowed, Denied, Policy, PolicyError, load_policy
from ._verdicts import Outcome, Verdict, verdict

# In the order the reference shows them: where a user starts, then what it hands back.
__all__ = [
    "Gate",
    "Admission",
    "Approver",
    "ActionRefused",
    "agentic_action",
    "check_agentic",
    "Outcome",
    "Verdict",
    "verdict",
    "AuditLog",
    "LogReport",
    "verify_log",
    "load_policy",
    "Policy",
    "PolicyError",
    "Allowed",
    "Denied",
]
