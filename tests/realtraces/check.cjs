// Checks what tracedx makes of the recordings: node check.cjs TRACEDX DIR
// For each recorded scenario: the run status and the steps `tracedx import --from otlp`
// gives (types in order, "!" marking a failed step), the failed step's error, and the primary
// label of `tracedx diagnose --from otlp`. `reader` is the finding a careful reader of the
// run would name; where the engine's fixed rules cannot reach it, `engine` is what it names
// and `why` says why. Prints how many scenarios got the finding a reader expects.
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const { execFileSync } = require("node:child_process");

const [tracedx, dir] = process.argv.slice(2);

const UNENDED_MODEL_SPAN =
  "the instrumentation never ends the span of a model call that threw, so the recording holds " +
  "no model step for it";
const NO_FAILED_MODEL_SPAN = `${UNENDED_MODEL_SPAN}; the error is on the agent span, which ` +
  "becomes the failed step";
const LOOP_WHY =
  "the engine's loop rule reads retrieval-typed steps whose text says there were no relevant " +
  "results; a web_search tool is a tool call, and its answer (\"No results found\") is not one of " +
  "the rule's phrases";
const RATE_LIMIT_WHY = "the engine has no rate-limit finding; a failed run with a failed step " +
  "whose error is not a tool or timeout error is its generic failure";

const loopSteps = [
  ...Array(4).fill(["llm_reasoning", "tool_call"]).flat(), "final_answer",
];
const handoffSteps = [
  "llm_reasoning", "tool_call", "delegation", "llm_reasoning",
  "llm_reasoning", "tool_call", "delegation", "llm_reasoning", "final_answer",
];

// Scenarios recorded by record.cjs with each of its libraries, and what differs per library.
const common = {
  tool_error: {
    reader: "Tool failure or misuse", run: "failed",
    steps: ["llm_reasoning", "tool_call!", "final_answer"], error: /502 Bad Gateway/,
  },
  empty_retrieval: {
    reader: "Unsupported answer after empty retrieval", run: "completed",
    steps: ["retrieval", "final_answer"], results_count: 0,
  },
  content_filter: {
    reader: "Safety-policy / content-filter failure", run: "failed",
    steps: ["llm_reasoning!"], error: /content filter \(finish reason content_filter\)/,
  },
  rate_limit: {
    reader: "Run failure during execution", run: "failed", steps: ["llm_reasoning!"],
    error: /Rate limit reached/, why: RATE_LIMIT_WHY,
  },
  timeout: {
    reader: "Timeout or stalled execution", run: "failed", steps: ["llm_reasoning!"], error: /timed out/i,
  },
  retry_recovered: {
    reader: "Recovered timeout after retry", run: "completed", steps: ["llm_reasoning!", "final_answer"],
    error: /timed out/i,
  },
  search_loop: {
    reader: "Navigation / retrieval loop without progress", engine: "Healthy run", why: LOOP_WHY,
    run: "completed", steps: loopSteps,
  },
  invalid_json: {
    reader: "Invalid JSON response", run: "failed", steps: ["final_answer", "agent_run!"], error: /JSON/,
  },
  handoff: { reader: "Healthy run", run: "completed", steps: handoffSteps, names: ["Researcher", "Writer"] },
};

const agentSpanOnly = {
  rate_limit: { steps: ["agent_run!"], why: `${RATE_LIMIT_WHY}; ${NO_FAILED_MODEL_SPAN}` },
  // The engine names the timeout all the same, from the agent span's error.
  timeout: { steps: ["agent_run!"] },
  retry_recovered: {
    steps: ["final_answer"], engine: "Healthy run", error: undefined,
    why: `${UNENDED_MODEL_SPAN}: the attempt that timed out left no span, and the agent that ` +
      "retried it succeeded, so nothing in the recording failed",
  },
};

// Each library's table: the common expectations, with its own differences merged in.
const merged = (...overrides) => {
  const out = {};
  for (const name of Object.keys(common))
    out[name] = Object.assign({}, common[name], ...overrides.map((o) => o[name] || {}));
  return out;
};

const expectations = {
  genai: merged({
    empty_retrieval: {
      engine: "Healthy run",
      why: "the OpenTelemetry GenAI instrumentation records message content only as log events, " +
        "not on spans, so the trace has no answer text to find confident or specific",
    },
  }),
  openinference: merged(agentSpanOnly),
  traceloop: merged(agentSpanOnly, {
    empty_retrieval: {
      steps: ["policy_search", "final_answer"], results_count: undefined, engine: "Healthy run",
      why: "OpenLLMetry has no retriever span kind: the retrieval is a task whose output is an " +
        "empty list, so nothing says that a retrieval came back empty",
    },
  }),
  langchain: {
    rag_empty_retrieval: common.empty_retrieval,
    tool_error: common.tool_error,
  },
};

function tracedxJson(args) {
  return JSON.parse(execFileSync(tracedx, args, { encoding: "utf8", maxBuffer: 64 << 20 }));
}

let checked = 0, expected = 0;
const failures = [];
for (const [library, table] of Object.entries(expectations)) {
  const file = path.join(dir, `${library}.otlp.jsonl`);
  const manifest = JSON.parse(fs.readFileSync(path.join(dir, `${library}.manifest.json`), "utf8"));
  for (const [scenario, want] of Object.entries(table)) {
    const where = `${library}/${scenario}`;
    const fail = (what) => failures.push(`${where}: ${what}`);
    const id = manifest[scenario];
    if (!id) { fail("not recorded"); continue; }
    const fixture = tracedxJson(["import", "--from", "otlp", file, "--trace-id", id]);
    const diagnosis = tracedxJson(["diagnose", "--from", "otlp", file, "--trace-id", id, "--compact"]);
    const steps = fixture.steps.map((s) => s.step_type + (s.status === "failed" ? "!" : ""));
    if (fixture.run.status !== want.run) fail(`run status ${fixture.run.status}, expected ${want.run}`);
    if (JSON.stringify(steps) !== JSON.stringify(want.steps))
      fail(`steps ${JSON.stringify(steps)}, expected ${JSON.stringify(want.steps)}`);
    const failed = fixture.steps.find((s) => s.status === "failed");
    if (want.error && !(failed && want.error.test(failed.error_message || "")))
      fail(`failed step error ${JSON.stringify(failed && failed.error_message)} does not match ${want.error}`);
    if (want.results_count !== undefined) {
      const r = fixture.steps.find((s) => s.step_type === "retrieval");
      if (!r || r.metadata.results_count !== want.results_count)
        fail(`results_count ${r && r.metadata.results_count}, expected ${want.results_count}`);
    }
    for (const name of want.names || []) {
      if (!fixture.steps.some((s) => s.step_type === "delegation" && s.display_name === name))
        fail(`no delegation step for ${name}`);
    }
    if (fixture.steps.some((s) => s.metadata && Object.keys(s.metadata).some((k) => k.startsWith("llm.tools") || k === "llm.invocation_parameters")))
      fail("request configuration (tool definitions, invocation parameters) in step metadata");
    const label = diagnosis.root_cause ? diagnosis.root_cause.label : null;
    const engine = want.engine || want.reader;
    if (label !== engine) fail(`primary label ${JSON.stringify(label)}, expected ${JSON.stringify(engine)}`);
    checked += 1;
    if (label === want.reader) expected += 1;
    console.log(`${where.padEnd(32)} ${String(label).padEnd(45)}${label === want.reader ? "" : `(reader: ${want.reader}; ${want.why})`}`);
  }
}
console.log(`${expected} of ${checked} recorded scenarios got the finding a careful reader expects`);
if (failures.length) {
  console.error(failures.join("\n"));
  process.exit(1);
}
