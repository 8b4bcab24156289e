"""MCP over Streamable HTTP: the official client and servers through the proxy's transports."""
import asyncio
import contextlib
import json
import os
import pathlib
import shutil
import socket
import subprocess
import sys

import pytest

aiohttp = pytest.importorskip("aiohttp")
from aiohttp import web  # noqa: E402

from ruvo_gate import Gate, verify_log  # noqa: E402
from ruvo_gate import _mcp_http as mcp_http  # noqa: E402
from ruvo_gate._audit import AuditLog  # noqa: E402
from ruvo_gate._mcp_relay import PolicyHolder, Relay, RelayOptions, build_gate  # noqa: E402
from ruvo_gate._policy import load_policy  # noqa: E402

MCP = pathlib.Path(__file__).resolve().parents[1] / "mcp"
EVERYTHING = MCP / "node_modules" / ".bin" / "mcp-server-everything"
NODE = shutil.which("node")
needs_admission = pytest.mark.skipif(not hasattr(Gate, "admit_async"),
                                     reason="the gate's decision step")


def child_env(**extra):
    """The environment of a node process: the sanitizer's and the allocator's settings are
    for this interpreter only."""
    drop = ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC")
    return {**{k: v for k, v in os.environ.items() if k not in drop}, **extra}


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
        return (await self.process.stdout.readline()).rstrip(b"\n") or None

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


async def run_node(script, plan, *command):
    """Runs a client script of tests/mcp with `plan`; returns what it printed, parsed."""
    process = await asyncio.create_subprocess_exec(
        NODE, str(MCP / script), json.dumps(plan), *command, env=child_env(), cwd=MCP,
        stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
    try:
        out, err = await asyncio.wait_for(process.communicate(), 60)
    finally:
        await stop(process)
    assert process.returncode == 0, err.decode()
    return json.loads(out)


async def run_client(plan):
    return (await run_node("http_client.mjs", plan))["sessions"]


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, 120))


def text_of(result):
    return " ".join(part.get("text", "") for part in result.get("content", []))


class Answering:
    """An upstream in this process: answers every request with its own method and id."""

    closed = 0
    holds = 0  # "hold" requests received, which are never answered

    def __init__(self):
        self.queue = asyncio.Queue()

    @classmethod
    async def start(cls):
        return cls()

    async def receive(self):
        return await self.queue.get()

    async def send(self, message):
        request = json.loads(message)
        type(self).holds += request.get("method") == "hold"
        if "id" in request and request.get("method") not in (None, "hold"):
            result = {"method": request["method"]}
            if request["method"] == "initialize":
                result = {"protocolVersion": "2025-11-25", "capabilities": {},
                          "serverInfo": {"name": "answering", "version": "1"}}
            await self.queue.put(json.dumps(
                {"jsonrpc": "2.0", "id": request["id"], "result": result}).encode())

    async def close(self):
        type(self).closed += 1
        await self.queue.put(None)


def rpc(method, id=1, **params):
    return json.dumps({"jsonrpc": "2.0", "id": id, "method": method, "params": params})


ACCEPT = {"Accept": "application/json, text/event-stream", "Content-Type": "application/json"}


async def exchange(server, steps, *, init_headers=()):
    """POSTs `steps` ((headers, body) pairs) in one session opened by an initialize request;
    returns each answer's status and body."""
    answers = []
    async with aiohttp.ClientSession() as http:
        async with http.post(server.url, data=rpc("initialize"),
                             headers={**ACCEPT, **dict(init_headers)}) as response:
            answers.append((response.status, await response.text()))
            session = response.headers.get("Mcp-Session-Id")
        for headers, body in steps:
            headers = {**ACCEPT, **({"Mcp-Session-Id": session} if session else {}), **headers}
            async with http.post(server.url, data=body, headers=headers) as response:
                answers.append((response.status, await response.text()))
    return answers


def serve(steps, *, init_headers=(), **options):
    async def scenario():
        async with await mcp_http.serve_http(pump, Answering.start, **options) as server:
            return await exchange(server, steps, init_headers=init_headers)
    return run(scenario())


@pytest.mark.parametrize("headers, body, status, code", [
    ({}, b"{not json", 400, -32700),
    ({}, b'{"jsonrpc":"2.0","id":1,"id":2,"method":"ping"}', 400, -32600),
    ({}, b'[{"jsonrpc":"2.0","id":1,"method":"ping"}]', 400, -32600),
    ({}, b'{"jsonrpc":"2.0","id":true,"method":"ping"}', 400, -32600),
    ({}, b'{"jsonrpc":"2.0"}', 400, -32600),
    ({"Content-Type": "text/plain"}, rpc("ping", 2), 415, -32600),
    ({"Accept": "application/json"}, rpc("ping", 2), 406, -32600),
    ({}, rpc("ping", 2, pad="x" * 2000), 413, -32600),
    ({"Mcp-Session-Id": "nobody"}, rpc("ping", 2), 404, -32600),
])
def test_bad_input_is_refused_with_a_json_rpc_error(headers, body, status, code):
    answers = serve([(headers, body)], max_message=1000)
    assert answers[0][0] == 200
    got_status, text = answers[1]
    assert (got_status, json.loads(text)["error"]["code"]) == (status, code)


def test_a_request_id_in_flight_is_not_reused_and_gets_an_answer_when_the_session_ends():
    async def scenario():
        async with await mcp_http.serve_http(pump, Answering.start) as server, \
                aiohttp.ClientSession() as http:
            async with http.post(server.url, data=rpc("initialize"), headers=ACCEPT) as response:
                headers = {**ACCEPT, "Mcp-Session-Id": response.headers["Mcp-Session-Id"]}

            async def post(body):
                async with http.post(server.url, data=body, headers=headers) as response:
                    return response.status, await response.text()

            holds = Answering.holds
            held = asyncio.create_task(post(rpc("hold", 7)))
            async with asyncio.timeout(10):  # the id is in use once the upstream has it
                while Answering.holds == holds:
                    await asyncio.sleep(0.01)
            reused = await post(rpc("ping", 7))
            closed = Answering.closed
            async with http.delete(server.url, headers=headers) as response:
                deleted = response.status
            return reused, await held, deleted, Answering.closed - closed, await post(rpc("ping"))

    reused, held, deleted, upstreams_closed, after = run(scenario())
    assert reused[0] == 400 and "already in use" in reused[1]
    assert held[0] == 200 and json.loads(held[1])["error"]["code"] == -32603
    assert (deleted, upstreams_closed, after[0]) == (200, 1, 404)


@pytest.mark.parametrize("options, headers, status", [
    ({}, {"Origin": "http://evil.example"}, 403),
    ({}, {"Origin": "null"}, 403),
    ({}, {"Origin": "http://localhost:5173"}, 200),
    ({"allowed_origins": ["https://app.example"]}, {"Origin": "https://app.example"}, 200),
    ({}, {"Host": "rebound.example:80"}, 403),
    ({"token": "s3cret"}, {}, 401),
    ({"token": "s3cret"}, {"Authorization": "Bearer s3cre"}, 401),
    ({"token": "s3cret"}, {"Authorization": "Basic s3cret"}, 401),
    ({"token": "s3cret"}, {"Authorization": "Bearer s3cret"}, 200),
])
def test_who_may_use_the_endpoint(options, headers, status):
    (got, text), = serve([], init_headers=headers, **options)
    assert got == status, text
    if status == 401:
        assert "Authorization: Bearer" in text


@pytest.mark.parametrize("host, token, accepted", [
    ("0.0.0.0", None, False), ("192.0.2.1", None, False), ("::", None, False),
    ("127.0.0.1", "", False), ("localhost", None, True), ("::1", None, True),
])
def test_listening_beyond_loopback_needs_a_token(host, token, accepted):
    async def scenario():
        await (await mcp_http.serve_http(pump, Answering.start, host=host, token=token)).close()

    with contextlib.nullcontext() if accepted else pytest.raises(ValueError, match="--token-file"):
        run(scenario())


def test_a_session_whose_host_went_away_ends_with_its_upstream():
    async def scenario():
        async with await mcp_http.serve_http(pump, Answering.start,
                                             idle_timeout=0.2) as server:
            closed = Answering.closed
            await exchange(server, [])
            opened = server.sessions
            async with asyncio.timeout(5):
                while server.sessions:
                    await asyncio.sleep(0.05)
            return opened, Answering.closed - closed

    assert run(scenario()) == (1, 1)


def test_one_session_more_than_allowed_is_refused_with_a_clear_error():
    async def scenario():
        async with await mcp_http.serve_http(pump, Answering.start, max_sessions=2) as server:
            return await run_client({"url": server.url, "sessions": 3})

    first, second, third = run(scenario())
    assert first["error"] is second["error"] is None
    assert "at most 2 at once (--max-sessions)" in third["error"]


@pytest.mark.parametrize("text, expected", [
    ("127.0.0.1:8080", ("127.0.0.1", 8080)), (":0", ("127.0.0.1", 0)),
    ("[::1]:9", ("::1", 9)), ("0.0.0.0:80", ("0.0.0.0", 80)),
    ("8080", "HOST:PORT"), ("::1:80", "brackets"), ("h:99999", "HOST:PORT"),
    ("[::1:80", "brackets"),
])
def test_parse_listen(text, expected):
    with contextlib.nullcontext() if isinstance(expected, tuple) else \
            pytest.raises(ValueError, match=expected):
        assert mcp_http.parse_listen(text) == expected


@pytest.mark.parametrize("chunks, expected", [
    ([b"data: {}\n\n"], [b"{}"]),
    ([b"da", b"ta: {\"a\":", b"1}\r", b"\n\r\n"], [b'{"a":1}']),
    ([b"id: 7\nretry: 50\n\n: keep-alive\n\nevent: message\ndata:x\rdata: y\r\r", b"\n"], [b"x\ny"]),
    ([b"event: other\ndata: skipped\n\ndata: kept\n\n"], [b"kept"]),
    ([b"data: " + b"x" * 20, b"x" * 20 + b"\n\n"], "too large"),
    ([b"data: " + b"x" * 40], "too large"),  # a line with no end yet counts too
])
def test_sse_decoder(chunks, expected):
    decoder = mcp_http._SseDecoder(limit=32)
    try:
        events = [e.data for chunk in chunks for e in decoder.feed(chunk) if e.kind == "message"]
    except mcp_http._EventTooLarge:
        events = "too large"
    assert events == expected


@contextlib.asynccontextmanager
async def fake_upstream(answer):
    """An HTTP server whose every POST gets `answer(body) -> aiohttp.web.Response`."""
    async def handle(request):
        if request.method != "POST":
            return web.Response(status=405)
        return answer(await request.read())

    app = web.Application()
    app.router.add_route("*", "/mcp", handle)
    runner = web.AppRunner(app)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    try:
        yield f"http://127.0.0.1:{runner.addresses[0][1]}/mcp"
    finally:
        await runner.cleanup()


def sse(*messages):
    return b"".join(mcp_http._sse_event(m) for m in messages)


@pytest.mark.parametrize("status, ctype, body, says", [
    (500, "text/plain", b"boom", "HTTP 500"),
    (200, "application/json", b"x" * 2000, "over the limit of 1000 bytes"),
    (200, "text/event-stream", sse(b"x" * 2000), "over the limit of 1000 bytes"),
    (200, "text/event-stream", sse(b'{"jsonrpc":"2.0","method":"n"}'), "before answering"),
    (200, "text/html", b"<p>", "unexpected content type"),
], ids=["error", "json", "sse", "unanswered", "html"])
def test_an_upstream_request_that_cannot_be_answered_gets_an_error(status, ctype, body, says):
    # An unanswered request first relays the notification that came instead.
    received = 2 if says == "before answering" else 1

    async def scenario():
        async with fake_upstream(lambda _: web.Response(status=status, body=body,
                                                        content_type=ctype)) as url:
            upstream = await mcp_http.connect_http(url, max_message=1000)
            try:
                await upstream.send(rpc("tools/call", 5).encode())
                return [json.loads(await upstream.receive()) for _ in range(received)]
            finally:
                await upstream.close()

    *_, answer = run(scenario())
    assert answer["id"] == 5 and answer["error"]["code"] == -32603
    assert says in answer["error"]["message"]


@pytest.mark.parametrize("where", [["--upstream", "http://127.0.0.1:9/mcp"],
                                   ["--listen", "127.0.0.1:0", "--", "true"]])
def test_without_aiohttp_the_command_says_what_to_install(tmp_path, where):
    (tmp_path / "policy.toml").write_text(POLICY, encoding="utf-8")
    code = ("import sys; sys.modules['aiohttp'] = None\n"
            "from ruvo_gate._cli import main; sys.exit(main(sys.argv[1:]))")
    done = subprocess.run([sys.executable, "-c", code, "mcp", "--policy",
                           str(tmp_path / "policy.toml"), *where],
                          capture_output=True, text=True, timeout=60,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert done.returncode == 2 and "ruvo-safety[mcp]" in done.stderr, done.stderr


POLICY = """
[adapter]
budget_limit = 1000.0
rate_limit = 1000

[[tools]]
name = "get-sum"
scope = 0.25

[[tools]]
name = "get-tiny-image"
scope = 0.05

[[tools]]
name = "get-env"
deny = true

[[tools]]
name = "*"
"""

GATED = [{"list": True},
         {"call": "echo", "arguments": {"message": "hi"}},
         {"call": "get-sum", "arguments": {"a": 2, "b": 3}},
         {"call": "get-tiny-image"},
         {"call": "get-env"},
         {"call": "trigger-sampling-request", "arguments": {"prompt": "p", "maxTokens": 5}},
         {"call": "trigger-long-running-operation", "arguments": {"duration": 0.3, "steps": 3},
          "progress": True},
         {"call": "trigger-elicitation-request"}]


@needs_admission
@pytest.mark.parametrize("upstream", ["stdio", "http"])
def test_tool_calls_over_http_are_decided_by_the_policy(tmp_path, upstream):
    """Certified, approved, declined, blocked and denied calls, progress, sampling and the
    server's own elicitation, in two sessions at once, each on its own upstream, ended by
    DELETE; the audit trail verifies."""
    (tmp_path / "policy.toml").write_text(POLICY, encoding="utf-8")
    policy = load_policy(str(tmp_path / "policy.toml"))
    audit = AuditLog(str(tmp_path / "audit.jsonl"), sync="never")
    gate, holder = build_gate(policy, audit), PolicyHolder(policy)

    async def relay(host, up):
        return await Relay(host, up, holder, gate, RelayOptions()).run()

    async def scenario():
        async with contextlib.AsyncExitStack() as stack:
            make = StdioChild.start
            if upstream == "http":
                url = await stack.enter_async_context(everything_http())
                make = lambda: mcp_http.connect_http(url)  # noqa: E731
            server = await stack.enter_async_context(await mcp_http.serve_http(relay, make))
            before = len(StdioChild.started)
            sessions = await run_client({"url": server.url, "sessions": 2, "sample": "sampled",
                                         "elicit": ["accept", "decline"], "steps": GATED,
                                         "terminate": True})
            return sessions, server.sessions, StdioChild.started[before:]

    try:
        (approving, declining), left, children = run(scenario())
    finally:
        audit.close()
    assert approving["id"] != declining["id"] and left == 0
    assert all(child.returncode is not None for child in children)
    assert len(children) == (2 if upstream == "stdio" else 0)
    for seen in approving, declining:
        listed, echo, total, blocked, denied, sampled, slow, _ = seen["steps"]
        assert "get-env" not in listed["tools"] and "get-tiny-image" in listed["tools"]
        assert text_of(echo) == "Echo: hi" and not echo.get("isError")
        assert blocked["isError"] and "get-tiny-image" in text_of(blocked)
        assert denied["isError"] and "get-env" in text_of(denied)
        assert "sampled" in text_of(sampled) and seen["samplings"] == [1]
        assert seen["progress"] == 3 and "completed" in text_of(slow).lower()
        assert "get-sum" in seen["elicitations"][0] and len(seen["elicitations"]) == 2
    assert "5" in text_of(approving["steps"][2]) and not approving["steps"][2].get("isError")
    assert declining["steps"][2]["isError"]
    report = verify_log(str(tmp_path / "audit.jsonl"))
    assert report.ok and report.records >= 12


def proxy_command(tmp_path, *options):
    (tmp_path / "policy.toml").write_text(POLICY, encoding="utf-8")
    return [sys.executable, "-m", "ruvo_gate", "mcp", "--policy", str(tmp_path / "policy.toml"),
            "--audit", str(tmp_path / "audit.jsonl"), *options]


def through_env(command):
    """`command` for a node parent that clears the sanitizer's settings: `env` gives the
    interpreter back its own."""
    mine = [f"{k}={os.environ[k]}" for k in ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC",
                                              "PYTHONPATH") if k in os.environ]
    return ["env", *mine, *command]


CLI_STEPS = [{"list": True}, {"call": "echo", "arguments": {"message": "hi"}}, {"call": "get-env"}]


@needs_admission
@pytest.mark.parametrize("host", ["stdio", "http"])
def test_the_command_with_an_upstream_url(tmp_path, host):
    async def scenario():
        async with everything_http() as url:
            command = proxy_command(tmp_path, "--upstream", url)
            if host == "stdio":
                out = await run_node("stdio_client.mjs", {"steps": CLI_STEPS},
                                     "--", *through_env(command))
                return [step.get("result", step) for step in out["results"]], 0
            process = await asyncio.create_subprocess_exec(
                *command, "--listen", "127.0.0.1:0", stderr=asyncio.subprocess.PIPE)
            try:
                async with asyncio.timeout(30):
                    while b"serving http" not in (line := await process.stderr.readline()):
                        assert line, "the proxy did not start"
                (seen,) = await run_client({"url": line.split()[-1].decode(),
                                            "steps": CLI_STEPS, "terminate": True})
                process.terminate()
                return seen["steps"], await asyncio.wait_for(process.wait(), 20)
            finally:
                await stop(process)

    (listed, echo, denied), status = run(scenario())
    assert "echo" in listed["tools"] and "get-env" not in listed["tools"]
    assert text_of(echo) == "Echo: hi" and denied["isError"]
    assert status == 0 and verify_log(str(tmp_path / "audit.jsonl")).ok


@needs_admission
def test_the_command_lets_an_allowed_origin_in(tmp_path):
    async def scenario():
        async with everything_http() as url:
            process = await asyncio.create_subprocess_exec(
                *proxy_command(tmp_path, "--upstream", url, "--listen", "127.0.0.1:0",
                               "--allow-origin", "https://app.example"),
                stderr=asyncio.subprocess.PIPE)
            try:
                async with asyncio.timeout(30):
                    while b"serving http" not in (line := await process.stderr.readline()):
                        assert line, "the proxy did not start"
                statuses = []
                async with aiohttp.ClientSession() as http:
                    for origin in ("https://app.example", "https://other.example"):
                        async with http.post(line.split()[-1].decode(), headers={
                                **ACCEPT, "Origin": origin}, data=rpc(
                                    "initialize", protocolVersion="2025-11-25",
                                    capabilities={}, clientInfo={"name": "t", "version": "1"},
                                )) as response:
                            statuses.append(response.status)
                return statuses
            finally:
                await stop(process)

    assert run(scenario()) == [200, 403]


@pytest.mark.parametrize("options, says", [
    (["--listen", "127.0.0.1:0", "--allow-origin", "app.example"], "is not an origin"),
    (["--listen", "127.0.0.1:0", "--allow-origin", "https://app.example/page"],
     "is not an origin"),
    (["--allow-origin", "https://app.example"], "--allow-origin goes with --listen"),
])
def test_the_command_refuses_what_is_not_an_origin(tmp_path, options, says):
    done = subprocess.run([*proxy_command(tmp_path, *options), "--", "true"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and says in done.stderr, done.stderr
