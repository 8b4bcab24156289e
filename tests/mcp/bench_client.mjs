// The MCP proxy's benchmark client (bench/mcp_bench.py runs it): one official SDK client per
// configuration, all connected at once, measured in interleaved rounds so that every
// configuration sees the same machine load. Prints one JSON document on stdout.
//
//   node bench_client.mjs SETUP
// SETUP: {"rounds": N, "calls": N, "callers": N, "seconds": S,
//         "targets": {"label": [COMMAND, ARG...], ...}}
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

const setup = JSON.parse(process.argv[2]);
const env = { ...process.env };
for (const name of ["LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC"]) delete env[name];

const clients = {};
for (const [label, [command, ...args]] of Object.entries(setup.targets)) {
  const client = new Client({ name: "ruvo-gate-bench", version: "1.0.0" });
  await client.connect(new StdioClientTransport({ command, args, env, stderr: "ignore" }));
  clients[label] = client;
}

const echo = (client, n) => client.callTool({ name: "echo", arguments: { message: `m${n}` } });
const out = {};
for (const label of Object.keys(clients)) out[label] = { latencies_ms: [], calls_per_s: [] };

for (const client of Object.values(clients)) {
  for (let n = 0; n < 200; n++) await echo(client, n);  // warm up the JIT and the proxy
}
for (let round = 0; round < setup.rounds; round++) {
  for (const [label, client] of Object.entries(clients)) {
    for (let n = 0; n < setup.calls; n++) {
      const started = process.hrtime.bigint();
      await echo(client, n);
      out[label].latencies_ms.push(Number(process.hrtime.bigint() - started) / 1e6);
    }
    let done = 0;
    const until = performance.now() + setup.seconds * 1000;
    const caller = async () => {
      while (performance.now() < until) { await echo(client, done); done++; }
    };
    const started = performance.now();
    await Promise.all(Array.from({ length: setup.callers }, caller));
    out[label].calls_per_s.push(done / ((performance.now() - started) / 1000));
  }
}
for (const client of Object.values(clients)) await client.close();
process.stdout.write(JSON.stringify(out) + "\n");
