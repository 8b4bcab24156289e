"""MCP over Streamable HTTP: the official client and servers through the proxy's transports."""
import asyncio
import contextlib
import json
import os
import pathlib
import shutil
import socket

import pytest

aiohttp = pytest.importorskip("aiohttp")

from ruvo_gate import _mcp_http as mcp_http  # noqa: E402

MCP = pathlib.Path(__file__).resolve().parents[1] / "mcp"
EVERYTHING = MCP / "node_modules" / ".bin" / "mcp-server-everything"
NODE = shutil.which("node")
pytestmark = pytest.mark.skipif(NODE is None or not EVERYTHING.exists(),
                                reason="node and the MCP test packages (tools/toolchain.sh)")


def child_env(**extra):
    """The environment of a node process: the sanitizer's and the allocator's settings are
    for this interpreter only."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC")}
    return {**env, **extra}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


async def stop(process):
    if process.returncode is None:
        process.terminate()
        try:
            await asyncio.wait_for(process.wait(), 5)
        except TimeoutError:
            process.kill()
            await process.wait()


@contextlib.asynccontextmanager
async def everything_http():
    """server-everything over Streamable HTTP on a free port; yields its URL."""
    port = free_port()
    process = await asyncio.create_subprocess_exec(
        str(EVERYTHING), "streamableHttp", env=child_env(PORT=str(port)),
        stdout=asyncio.subprocess.DEVNULL, stderr=asyncio.subprocess.PIPE)
    try:
        async with asyncio.timeout(20):
            while b"listening on port" not in await process.stderr.readline():
                assert process.returncode is None, "server-everything did not start"
        yield f"http://127.0.0.1:{port}/mcp"
    finally:
        await stop(process)


class StdioChild:
    """The smallest stdio upstream: one child process, one JSON text a line."""

    started = []

    @classmethod
    async def start(cls):
        process = await asyncio.create_subprocess_exec(
            str(EVERYTHING), "stdio", env=child_env(), stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.DEVNULL, limit=1 << 24)
        cls.started.append(process)
        return cls(process)

    def __init__(self, process):
        self.process = process

    async def receive(self):
        line = await self.process.stdout.readline()
        return line.rstrip(b"\n") or None

    async def send(self, message):
        self.process.stdin.write(message + b"\n")
        await self.process.stdin.drain()

    async def close(self):
        await stop(self.process)


async def pump(host, upstream):
    """A relay that passes everything both ways: the transports' own behaviour, alone."""
    async def copy(source, target):
        while (message := await source.receive()) is not None:
            await target.send(message)

    tasks = [asyncio.create_task(copy(host, upstream)), asyncio.create_task(copy(upstream, host))]
    try:
        await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
    finally:
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)


async def run_client(plan, timeout=60):
    process = await asyncio.create_subprocess_exec(
        NODE, str(MCP / "http_client.mjs"), json.dumps(plan), env=child_env(), cwd=MCP,
        stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
    try:
        out, err = await asyncio.wait_for(process.communicate(), timeout)
    finally:
        await stop(process)
    assert process.returncode == 0, err.decode()
    return json.loads(out)["sessions"]


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, 120))


def text_of(result):
    return " ".join(part.get("text", "") for part in result.get("content", []))


ALL = [{"list": True},
       {"call": "echo", "arguments": {"message": "hi"}},
       {"call": "get-sum", "arguments": {"a": 2, "b": 3}},
       {"call": "trigger-long-running-operation", "arguments": {"duration": 0.3, "steps": 3},
        "progress": True},
       {"call": "trigger-sampling-request", "arguments": {"prompt": "p", "maxTokens": 5}},
       {"call": "trigger-elicitation-request"}]


@pytest.mark.parametrize("upstream", ["stdio", "http"])
def test_the_official_client_through_both_transports(upstream):
    """Host over HTTP; upstream a child per session or server-everything over HTTP: calls,
    progress, sampling and elicitation all pass, both sessions at once on their own upstream."""
    async def scenario():
        async with contextlib.AsyncExitStack() as stack:
            if upstream == "http":
                url = await stack.enter_async_context(everything_http())
                make = lambda: mcp_http.connect_http(url)  # noqa: E731
            else:
                make = StdioChild.start
            before = len(StdioChild.started)
            server = await stack.enter_async_context(await mcp_http.serve_http(pump, make))
            sessions = await run_client({"url": server.url, "sessions": 2, "elicit": "accept",
                                         "sample": "sampled", "steps": ALL, "terminate": True})
            assert server.sessions == 0
            children = StdioChild.started[before:]
            return sessions, children

    sessions, children = run(scenario())
    assert len({s["id"] for s in sessions}) == 2
    for seen in sessions:
        assert seen["error"] is None
        tools, echo, total, slow, sampled, elicited = seen["steps"]
        assert {"echo", "trigger-elicitation-request"} <= set(tools["tools"])
        assert text_of(echo) == "Echo: hi"
        assert "5" in text_of(total)
        assert seen["progress"] == 3 and "completed" in text_of(slow).lower()
        assert "sampled" in text_of(sampled) and seen["samplings"] == [1]
        assert len(seen["elicitations"]) == 1 and "error" not in elicited
    if upstream == "stdio":
        assert len(children) == 2
        assert all(child.returncode is not None for child in children)
