// A test host over Streamable HTTP: the official client runs a plan given as JSON in argv[2]
// and prints what it saw as one JSON object on stdout.
//
// plan: {url, sessions: n, elicit?: answer | [answer per session], sample?: text,
//        steps: [{list: true} | {call, arguments?, progress?}], terminate?: bool}
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";
import { CreateMessageRequestSchema, ElicitRequestSchema } from "@modelcontextprotocol/sdk/types.js";

const plan = JSON.parse(process.argv[2]);

async function open(index) {
  const elicit = Array.isArray(plan.elicit) ? plan.elicit[index] : plan.elicit;
  const seen = { id: null, error: null, steps: [], elicitations: [], samplings: [], progress: 0 };
  const capabilities = { ...(elicit && { elicitation: {} }), ...(plan.sample && { sampling: {} }) };
  const client = new Client({ name: "ruvo-http-test", version: "1.0.0" }, { capabilities });
  if (elicit) {
    client.setRequestHandler(ElicitRequestSchema, (request) => {
      seen.elicitations.push(request.params.message);
      const field = Object.keys(request.params.requestedSchema?.properties ?? {})[0];
      return elicit === "accept"
        ? { action: "accept", content: field ? { [field]: true } : {} }
        : { action: elicit };
    });
  }
  if (plan.sample) {
    client.setRequestHandler(CreateMessageRequestSchema, (request) => {
      seen.samplings.push(request.params.messages.length);
      return { model: "test", role: "assistant", content: { type: "text", text: plan.sample } };
    });
  }
  const transport = new StreamableHTTPClientTransport(new URL(plan.url));
  try {
    await client.connect(transport);
    seen.id = transport.sessionId ?? null;
  } catch (error) {
    seen.error = String(error.message ?? error);
  }
  return { client, transport, seen };
}

async function step(session, s) {
  try {
    if (s.list) {
      const { tools } = await session.client.listTools();
      return { tools: tools.map((tool) => tool.name).sort() };
    }
    const options = s.progress ? { onprogress: () => { session.seen.progress += 1; } } : {};
    return await session.client.callTool({ name: s.call, arguments: s.arguments ?? {} }, undefined, options);
  } catch (error) {
    return { error: String(error.message ?? error) };
  }
}

const sessions = [];
for (let i = 0; i < (plan.sessions ?? 1); i++) sessions.push(await open(i));
const opened = sessions.filter((s) => !s.seen.error);
for (const session of opened) {
  for (const s of plan.steps ?? []) session.seen.steps.push(await step(session, s));
}
if (plan.terminate) for (const session of opened) await session.transport.terminateSession();
for (const session of sessions) await session.client.close();
process.stdout.write(JSON.stringify({ sessions: sessions.map((s) => s.seen) }) + "\n");
