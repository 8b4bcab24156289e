// A host for the proxy's tests: the official SDK client over stdio, running a plan of steps
// given as JSON in argv[2] and printing what each step saw as one JSON document on stdout.
//
//   node stdio_client.mjs PLAN -- COMMAND [ARG...]
//
// PLAN: {"env": {...} (the command's environment), "elicitation": "accept" | "decline" | "cancel" | "none" (default),
//        "steps": [{"list": true} | {"call": NAME, "arguments": {...}, "progress": bool,
//                   "cancelAfterMs": N} | {"parallel": [step, ...]}]}
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { ElicitRequestSchema } from "@modelcontextprotocol/sdk/types.js";

const plan = JSON.parse(process.argv[2]);
const split = process.argv.indexOf("--");
const [command, ...args] = process.argv.slice(split + 1);
const answer = plan.elicitation ?? "none";

const client = new Client(
  { name: "ruvo-gate-test-host", version: "1.0.0" },
  { capabilities: answer === "none" ? {} : { elicitation: {} } },
);
const elicited = [];
if (answer !== "none") {
  client.setRequestHandler(ElicitRequestSchema, async (request) => {
    elicited.push(request.params.message);
    return answer === "accept" ? { action: "accept", content: { approve: true } }
                               : { action: answer };
  });
}

// The proxy under test gets the test's own environment (sanitizer variables included).
const env = plan.env ?? process.env;
const transport = new StdioClientTransport({ command, args, env, stderr: "inherit" });

async function run(step) {
  try {
    if (step.list) {
      const { tools } = await client.listTools();
      return { tools: tools.map((tool) => tool.name).sort() };
    }
    if (step.parallel) return { parallel: await Promise.all(step.parallel.map(run)) };
    const progress = [];
    const controller = new AbortController();
    if (step.cancelAfterMs !== undefined) setTimeout(() => controller.abort("test cancels"), step.cancelAfterMs);
    const result = await client.callTool(
      { name: step.call, arguments: step.arguments ?? {} }, undefined,
      { signal: controller.signal, timeout: 30000,
        onprogress: step.progress ? (p) => progress.push(p.progress) : undefined });
    return { result, progress, ended: Date.now() };
  } catch (error) {
    return { error: String(error?.message ?? error), ended: Date.now() };
  }
}

await client.connect(transport);
const results = [];
for (const step of plan.steps) results.push(await run(step));
await client.close();
process.stdout.write(JSON.stringify({ results, elicited }) + "\n");
