"""The MCP proxy over stdio, driven by the official SDK client against the reference servers,
and by a raw line driver for what no SDK client would send."""

from __future__ import annotations

import asyncio
import hashlib
import json
import os
import select
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from typing import Any, Iterator

import pytest
import rfc8785

from ruvo_gate import ActionRefused, agentic_action, load_policy
from ruvo_gate._mcp_relay import PolicyHolder, build_gate, keep_rate_window

MCP = Path(__file__).resolve().parents[2] / "tests" / "mcp"
BIN = MCP / "node_modules" / ".bin"
EVERYTHING = [str(BIN / "mcp-server-everything"), "stdio"]

POLICY = """
approval_timeout = 5
[adapter]
rate_limit = 10000
[[tools]]
name = "echo"
[[tools]]
name = "get-sum"
sensitivity = 0.2
[[tools]]
name = "trigger-long-running-operation"
[[tools]]
name = "get-env"
deny = true
"""

# An upstream that answers "echo" after its "delay" argument, and misbehaves on request.
FAKE = textwrap.dedent("""
    import json, os, sys, threading, time
    lock = threading.Lock()
    def send(message):
        with lock:
            sys.stdout.write(json.dumps(message) + "\\n"); sys.stdout.flush()
    def answer(request):
        arguments = request["params"].get("arguments", {})
        time.sleep(arguments.get("delay", 0))
        if arguments.get("die"):
            os._exit(3)
        text = "x" * arguments.get("size", 2)
        if arguments.get("stray"):
            send({"jsonrpc": "2.0", "id": "never-sent", "result": {}})
        send({"jsonrpc": "2.0", "id": request["id"],
              "result": {"content": [{"type": "text", "text": text}]}})
    for line in sys.stdin:
        request = json.loads(line)
        if "id" in request and request.get("method") == "tools/call":
            threading.Thread(target=answer, args=(request,)).start()
        elif "id" in request:
            send({"jsonrpc": "2.0", "id": request["id"], "result": {}})
""")


NOT_FOR_NODE = ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC")


def node_env() -> dict[str, str]:
    # Under the sanitizer pass these are set for Python; node must not inherit them.
    return {k: v for k, v in os.environ.items() if k not in NOT_FOR_NODE}


def proxy_command(policy: Path, *extra: str, upstream: list[str] = EVERYTHING) -> list[str]:
    """The proxy as this interpreter runs it, in front of `upstream` (run without the
    sanitizer's variables)."""
    unset = [arg for name in NOT_FOR_NODE for arg in ("-u", name)]
    return [sys.executable, "-m", "ruvo_gate", "mcp", "--policy", str(policy), *extra, "--",
            "env", *unset, *upstream]


@pytest.fixture
def policy(tmp_path: Path) -> Path:
    path = tmp_path / "policy.toml"
    path.write_text(POLICY)
    return path


elicited: list[str] = []  # what the last host run was asked


def host(plan: dict[str, Any], command: list[str]) -> list[Any]:
    """Runs the SDK client with `plan` against `command`; returns each step's result."""
    plan = {**plan, "env": dict(os.environ)} if command[0] == sys.executable else plan
    done = subprocess.run(["node", str(MCP / "stdio_client.mjs"), json.dumps(plan), "--",
                           *command], env=node_env(), cwd=MCP, capture_output=True,
                          timeout=60, check=True)
    out = json.loads(done.stdout)
    elicited.clear()
    elicited.extend(out["elicited"])
    return out["results"]


def text(result: Any) -> str:
    return str(result["result"]["content"][0]["text"])


def verify(audit: Path) -> str:
    done = subprocess.run([sys.executable, "-m", "ruvo_gate", "verify", str(audit)],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def records(audit: Path) -> list[Any]:
    return [json.loads(line) for line in audit.read_text().splitlines()]


def test_session_through_the_proxy(policy: Path, tmp_path: Path) -> None:
    audit = tmp_path / "audit.jsonl"
    steps = [{"list": True}, {"call": "echo", "arguments": {"message": "hé"}},
             {"call": "get-env"}, {"call": "no-such-tool"}]
    proxied = host({"steps": steps}, proxy_command(policy, "--audit", str(audit)))
    direct = host({"steps": steps[:2]}, EVERYTHING)
    assert "get-env" not in proxied[0]["tools"] and "echo" in proxied[0]["tools"]
    assert set(proxied[0]["tools"]) < set(direct[0]["tools"])
    assert proxied[1]["result"] == direct[1]["result"]
    assert proxied[2]["result"]["isError"] is True
    assert "denies the tool 'get-env'" in text(proxied[2])
    assert "no rule of the policy allows the tool 'no-such-tool'" in text(proxied[3])
    assert "intact: 4 records" in verify(audit)
    kinds = [(r["kind"], r["tool"]) for r in records(audit)]
    assert kinds == [("decision", "echo"), ("outcome", "echo"), ("denied", "get-env"),
                     ("denied", "no-such-tool")]
    assert records(audit)[0]["arguments_sha256"] == \
        hashlib.sha256(rfc8785.dumps({"message": "hé"})).hexdigest()


@pytest.mark.parametrize("answer, runs, reason", [
    ("accept", True, None),
    ("decline", False, "the human declined"),
    ("none", False, "this host cannot ask one"),
])
def test_escalation_asks_the_host(policy: Path, answer: str, runs: bool,
                                  reason: str | None) -> None:
    plan: dict[str, Any] = {"elicitation": answer,
                               "steps": [{"call": "get-sum", "arguments": {"a": 1, "b": 2}}]}
    [result] = host(plan, proxy_command(policy))
    if runs:
        assert text(result) == "The sum of 1 and 2 is 3."
    else:
        assert result["result"]["isError"] is True
        assert "needs a human's approval" in text(result) and reason in text(result)
        assert result["result"]["_meta"]["ruvo_gate/outcome"] == "EscalateToHuman"
    assert len(elicited) == (0 if answer == "none" else 1)


def test_fast_calls_overtake_a_long_one_and_progress_and_cancellation_pass(
        policy: Path, tmp_path: Path) -> None:
    audit = tmp_path / "audit.jsonl"
    slow = {"call": "trigger-long-running-operation", "arguments": {"duration": 1.5, "steps": 3},
            "progress": True}
    fast = [{"call": "echo", "arguments": {"message": str(n)}} for n in range(20)]
    cancel = {"call": "trigger-long-running-operation", "arguments": {"duration": 5, "steps": 5},
              "cancelAfterMs": 300}
    both, cancelled, after = host(
        {"steps": [{"parallel": [slow, *fast]}, cancel, {"call": "echo", "arguments": {
            "message": "after"}}]}, proxy_command(policy, "--audit", str(audit)))
    long, *quick = both["parallel"]
    # The SDK itself may drop the last one, racing the result (seen directly too).
    assert long["progress"][:2] == [1, 2]
    assert [text(r) for r in quick] == [f"Echo: {n}" for n in range(20)]
    assert max(r["ended"] for r in quick) < long["ended"] - 500
    assert "test cancels" in cancelled["error"] and text(after) == "Echo: after"
    assert after["ended"] - cancelled["ended"] < 2000
    assert [r["result"] for r in records(audit) if r["kind"] == "outcome"] == \
        ["returned"] * 21 + ["cancelled", "returned"]


def test_observe_mode_forwards_and_records(policy: Path, tmp_path: Path) -> None:
    policy.write_text('mode = "observe"\n' + POLICY)
    audit = tmp_path / "audit.jsonl"
    steps = [{"list": True}, {"call": "get-sum", "arguments": {"a": 2, "b": 2}},
             {"call": "get-env"}]
    listed, summed, env = host({"elicitation": "decline", "steps": steps},
                               proxy_command(policy, "--audit", str(audit)))
    assert "get-env" in listed["tools"] and text(summed) == "The sum of 2 and 2 is 4."
    assert "isError" not in env["result"]
    written = records(audit)
    assert [r["enforced"] for r in written if r["kind"] != "outcome"] == [False, False]
    verify(audit)


def test_blocked_write_on_the_filesystem_server(tmp_path: Path) -> None:
    root = tmp_path / "files"
    root.mkdir()
    (root / "notes.txt").write_text("kept")
    policy = tmp_path / "fs.toml"
    policy.write_text(textwrap.dedent(f"""
        [[tools]]
        name = "read_text_file"
        [[tools]]
        name = "write_file"
        reversibility = 0.05
        [[tools]]
        name = "*"
        deny = true
        """))
    target = root / "new.txt"
    steps = [{"call": "read_text_file", "arguments": {"path": str(root / "notes.txt")}},
             {"call": "write_file", "arguments": {"path": str(target), "content": "x"}}]
    read, write = host({"steps": steps}, proxy_command(
        policy, upstream=[str(BIN / "mcp-server-filesystem"), str(root)]))
    assert text(read) == "kept"
    assert write["result"]["isError"] is True and not target.exists()
    assert text(write).startswith("The call of 'write_file' was refused: it is blocked (")
    assert write["result"]["_meta"]["ruvo_gate/zone"] == "Danger"


class Raw:
    """The proxy driven line by line, for input no SDK client sends."""

    def __init__(self, command: list[str]) -> None:
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.err = b""  # what `wait_for` has read of its stderr

    def wait_for(self, text: bytes, timeout: float = 20) -> None:
        """Reads the proxy's stderr until `text` is in it."""
        assert self.process.stderr is not None
        deadline = time.monotonic() + timeout
        while text not in self.err:
            assert select.select([self.process.stderr], [], [], deadline - time.monotonic())[0]
            chunk = os.read(self.process.stderr.fileno(), 4096)
            assert chunk, f"the proxy ended without saying {text!r}"
            self.err += chunk

    def send(self, line: bytes) -> None:
        assert self.process.stdin is not None
        self.process.stdin.write(line + b"\n")
        self.process.stdin.flush()

    def receive(self) -> Any:
        assert self.process.stdout is not None
        return json.loads(self.process.stdout.readline())

    def end(self, *, close: bool = False) -> tuple[int, str]:
        """Waits for the proxy to exit, after closing its input (the host leaving) if `close`."""
        assert self.process.stdin is not None
        if close:
            self.process.stdin.close()
        try:
            _, err = self.process.communicate(timeout=20)
        finally:
            self.process.kill()
        return self.process.returncode, (self.err + err).decode()


def rpc(number: object, method: str, **params: object) -> bytes:
    return json.dumps({"jsonrpc": "2.0", "id": number, "method": method,
                       "params": params}).encode()


def call(number: object, **arguments: object) -> bytes:
    return rpc(number, "tools/call", name="echo", arguments=arguments)


@pytest.fixture
def fake_upstream(tmp_path: Path) -> list[str]:
    script = tmp_path / "fake.py"
    script.write_text(FAKE)
    return [sys.executable, str(script)]


@pytest.fixture
def raw(fake_upstream: list[str], policy: Path) -> Iterator[Raw]:
    """The proxy in front of the fake upstream, with a small message limit."""
    proxy = Raw(proxy_command(policy, "--max-message", "4096", upstream=fake_upstream))
    yield proxy
    proxy.process.kill()
    proxy.process.wait()


BAD_INPUT = [  # (line, JSON-RPC error code or None for a refused call, what the answer says)
    (b"{not json", -32700, "not JSON"),
    (b"[1, 2]", -32600, "not a JSON-RPC 2.0"),
    (b'{"jsonrpc": "2.0", "id": 1, "id": 2, "method": "ping"}', -32600, "twice"),
    (b'{"jsonrpc": "2.0", "id": 5, "method": "tools/call", "params": {"arguments": {}}}',
     -32602, "string name"),
    (b'{"jsonrpc": "2.0", "id": 5, "method": "tools/call", '
     b'"params": {"name": "echo", "arguments": [1]}}', -32602, "an object"),
    (call(6, message="x" * 5000), -32600, "size limit of 4096"),
    (call(7, n=2**60), None, "cannot be written in canonical JSON"),
]


def test_bad_input_from_the_host_is_answered_and_the_proxy_keeps_running(raw: Raw) -> None:
    for line, code, message in BAD_INPUT:
        raw.send(line)
        answer = raw.receive()
        if code is None:
            assert answer["result"]["isError"] is True and message in \
                answer["result"]["content"][0]["text"], (line, answer)
        else:
            assert answer["error"]["code"] == code and message in answer["error"]["message"], \
                (line, answer)
    raw.send(call(9, message="still here"))
    assert raw.receive()["id"] == 9
    assert raw.end(close=True)[0] == 0


def test_ids_oversized_answers_and_strays(raw: Raw) -> None:
    raw.send(call(1, delay=0.5))
    raw.send(call(1))
    assert raw.receive() == {"jsonrpc": "2.0", "id": 1, "error": {
        "code": -32600, "message": "the id 1 is already in use by a request still pending"}}
    raw.send(call(2, size=8000))
    too_large = raw.receive()
    assert too_large["id"] == 2 and "size limit of 4096" in too_large["error"]["message"]
    raw.send(call(3, stray=True))
    assert raw.receive()["id"] == 3
    assert raw.receive()["id"] == 1
    status, err = raw.end(close=True)
    assert status == 0 and "'never-sent', which the proxy never sent" in err


def test_an_upstream_that_dies_fails_every_pending_call(raw: Raw) -> None:
    raw.send(call(1, delay=5))
    raw.send(call(2, die=True, delay=0.2))
    answers = [raw.receive(), raw.receive()]
    assert sorted(answer["id"] for answer in answers) == [1, 2]
    for answer in answers:
        assert answer["error"]["code"] == -32603
        assert "exited with status 3" in answer["error"]["message"]
    status, err = raw.end()
    assert status == 1 and "exited with status 3" in err


def test_every_outcome_is_written_after_its_decision_before_the_proxy_exits(
        tmp_path: Path, policy: Path, fake_upstream: list[str]) -> None:
    audit = tmp_path / "audit.jsonl"  # fsynced, so written from the gate's writer thread
    raw = Raw(proxy_command(policy, "--audit", str(audit), upstream=fake_upstream))
    for number in range(1, 21):
        raw.send(call(number))
    raw.send(call(21, delay=5))  # still running when the host leaves
    assert sorted(raw.receive()["id"] for _ in range(20)) == list(range(1, 21))
    assert raw.end(close=True)[0] == 0
    trail = records(audit)
    decided = {record["call"]: at for at, record in enumerate(trail)
               if record["kind"] == "decision"}
    ended = {record["call"]: (at, record["result"]) for at, record in enumerate(trail)
             if record["kind"] == "outcome"}
    assert ended.keys() == decided.keys() and len(decided) == 21
    assert all(decided[call_id] < at for call_id, (at, _) in ended.items())
    assert sorted(result for _, result in ended.values()) == ["cancelled"] + ["returned"] * 20


def test_an_upstream_that_cannot_start(policy: Path) -> None:
    command = proxy_command(policy, upstream=["/nonexistent/server"])
    done = subprocess.run(command[:command.index("env")] + ["/nonexistent/server"],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    assert done.returncode == 2
    assert "cannot start the upstream server '/nonexistent/server'" in done.stderr


def test_sighup_reloads_and_keeps_the_old_policy_when_invalid(raw: Raw, policy: Path) -> None:
    def reload(rule: str) -> None:
        policy.write_text(POLICY.replace('name = "echo"', 'name = "echo"\n' + rule))
        raw.process.send_signal(signal.SIGHUP)

    def answer(number: int) -> Any:
        raw.send(call(number))
        return raw.receive()["result"]

    assert answer(1)["content"][0]["text"] == "xx"
    reload("scope = 7")
    raw.wait_for(b"the policy was not reloaded")
    assert "isError" not in answer(2)
    reload("deny = true")  # a reload in force is silent: calls show when it is
    deadline = time.monotonic() + 20
    while "isError" not in (result := answer(3)) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert "denies the tool 'echo'" in result["content"][0]["text"]
    status, err = raw.end(close=True)
    assert status == 0 and "key 'scope' (line 7)" in err


APPROVAL_ANSWERS = [  # (the host's answer, or None for none; what the call then gives)
    ({"result": {"action": "accept", "content": {"approve": True}}}, "xx"),
    ({"result": {"action": "accept", "content": {"approve": "yes"}}}, "the answer did not approve it"),
    ({"result": {"content": {"approve": True}}}, "the answer was not an approval"),
    ({"error": {"code": -1, "message": "no"}}, "the answer was not an approval"),
    (None, "no answer came within 0.3 s"),
]


@pytest.mark.parametrize("answers", [APPROVAL_ANSWERS[:-1], APPROVAL_ANSWERS[-1:]],
                         ids=["answered", "unanswered"])
def test_approval_answers(fake_upstream: list[str], policy: Path,
                          answers: list[tuple[Any, str]]) -> None:
    if answers[0][0] is None:  # only a host that never answers meets the short timeout
        policy.write_text(POLICY.replace("approval_timeout = 5", "approval_timeout = 0.3"))
    raw = Raw(proxy_command(policy, "--max-message", "4096", upstream=fake_upstream))
    raw.send(rpc(0, "initialize", capabilities={"elicitation": {}}))
    assert raw.receive()["id"] == 0
    for number, (answer, outcome) in enumerate(answers, 1):
        raw.send(rpc(number, "tools/call", name="get-sum", arguments={"a": 1}))
        asked = raw.receive()
        assert asked["method"] == "elicitation/create" and "'get-sum'" in asked["params"]["message"]
        if answer is not None:
            raw.send(json.dumps({"jsonrpc": "2.0", "id": asked["id"], **answer}).encode())
        else:
            assert raw.receive()["params"]["requestId"] == asked["id"]  # notifications/cancelled
        result = raw.receive()["result"]
        assert result["content"][0]["text"] == outcome if outcome == "xx" else \
            outcome in result["content"][0]["text"] and result["isError"] is True, (answer, result)
    assert raw.end(close=True)[0] == 0


def test_the_rate_channel_counts_calls_per_window(tmp_path: Path) -> None:
    path = tmp_path / "rate.toml"
    path.write_text('[adapter]\nrate_limit = 3\nrate_window_seconds = 0.2\n[[tools]]\nname = "t"')
    holder = PolicyHolder(load_policy(str(path)))
    gate = build_gate(holder.policy, None)
    action = agentic_action("t", "agent")

    async def calls() -> list[bool]:
        window = asyncio.create_task(keep_rate_window(gate, holder))
        admitted = []
        try:
            for pause in (0, 0, 0, 0, 0.3):
                await asyncio.sleep(pause)
                try:
                    await gate.admit_async("t", action)
                    admitted.append(True)
                except ActionRefused:
                    admitted.append(False)
        finally:
            window.cancel()
        return admitted

    assert asyncio.run(calls()) == [True, True, True, False, True]
