// Checks what tracedx makes of the recordings: node check.cjs TRACEDX DIR [--logs]
// (with --logs, only the checks of the GenAI content in log records, at the end of this file)
// Each row says what a careful reader of the recorded run gives, and the check compares it
// with `tracedx diagnose --from otlp` (the finding) and `tracedx import --from otlp` (the steps
// the finding points at, and what the recording holds). Row members:
//   label     the primary finding's label
//   anchor    the step the finding is anchored on: {type, name, nth}, where name is the
//             step's display name or span name and nth counts the steps of that type and name
//             from 1 (the first repeat of a loop is the second call)
//   shown_at  the step where the failure shows, when it is not the anchor
//   agent     the responsible agent: for a failed call, the agent that issued it
//   tool, arguments   the anchor's tool name and a pattern its arguments must match
//   evidence  patterns that must each match an evidence line or the anchor's error
//   secondary labels that must be among the secondary issues; no_secondary: must not be
//   run, steps, error, results_count, names   what the import must give: the run status, the
//             step types in order ("!" marks a failed step), the first failed step's error, the
//             retrieval's results_count, the delegation steps' names
//   known_gap why the recording cannot show what the reader knows; the finding's mismatches
//             are printed, not failed (the import checks still fail)
// Prints, for each run, what tracedx gives beside what the reader gives, and how many agree;
// exits 1 on any mismatch outside the known gaps.
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const { execFileSync } = require("node:child_process");

const [tracedx, dir] = process.argv.slice(2);

const HEALTHY = "Healthy run";
const LOOP = "Navigation / retrieval loop without progress";
const UNSUPPORTED = "Unsupported answer after empty retrieval";
const TOOL_FAILURE = "Tool failure or misuse";

const NO_FAILED_ATTEMPT_SPAN =
  "the instrumentation never ends the span of a model call that threw, so the attempt that " +
  "failed left no span; the recording holds only the successful retry";
const NO_ANSWER_TEXT =
  "the OpenTelemetry GenAI instrumentation records message content only as log events, not " +
  "on spans, so the recording holds no answer text to find specific or declining";

const turns = (n, tool = "tool_call") => Array(n).fill(["llm_reasoning", tool]).flat();
const handoffSteps = [
  "llm_reasoning", "tool_call", "delegation", "llm_reasoning",
  "llm_reasoning", "tool_call", "delegation", "llm_reasoning", "final_answer",
];

// Runs recorded by record.cjs with each of its libraries, and what differs per library below.
const common = {
  // A tool failure
  tool_error: {
    label: TOOL_FAILURE, anchor: { type: "tool_call", name: "search_flights" }, agent: "TravelPlanner",
    tool: "search_flights", arguments: /BER to LIS on Friday/, evidence: [/502 Bad Gateway from flights provider/],
    run: "failed", steps: ["llm_reasoning", "tool_call!", "final_answer"], error: /502 Bad Gateway/,
  },
  // The orders database refused the connection and the agent gave up.
  tool_econnrefused: {
    label: TOOL_FAILURE, anchor: { type: "tool_call", name: "query_orders" }, agent: "OrdersAgent",
    tool: "query_orders", arguments: /C-2291/, evidence: [/connect ECONNREFUSED 10\.0\.0\.5:5432/],
    run: "failed", steps: ["llm_reasoning", "tool_call!", "final_answer"], error: /^connect ECONNREFUSED 10\.0\.0\.5:5432$/,
  },

  // Errors of the model call, classified by their status and class
  content_filter: {
    label: "Safety-policy / content-filter failure", anchor: { type: "llm_reasoning" }, agent: "StoryWriter",
    evidence: [/content_filter/],
    run: "failed", steps: ["llm_reasoning!"], error: /content filter \(finish reason content_filter\)/,
  },
  rate_limit: {
    label: "Rate limit reached", anchor: { type: "llm_reasoning" }, agent: "Summarizer", evidence: [/429/],
    run: "failed", steps: ["llm_reasoning!"], error: /Rate limit reached/,
  },
  auth_401: {
    label: "Authentication or permission failure", anchor: { type: "llm_reasoning" }, agent: "Translator",
    evidence: [/401/],
    run: "failed", steps: ["llm_reasoning!"], error: /^401 Incorrect API key provided/,
  },
  timeout: {
    label: "Timeout or stalled execution", anchor: { type: "llm_reasoning" }, agent: "Summarizer", evidence: [/timed out/i],
    run: "failed", steps: ["llm_reasoning!"], error: /timed out/i,
  },

  // Output the agent's code could not parse: the model call that wrote it is the cause, the
  // agent span that threw is where it shows.
  invalid_json: {
    label: "Invalid JSON response", anchor: { type: "final_answer" }, shown_at: { type: "agent_run", name: "Extractor" },
    agent: "Extractor", evidence: [/is not valid JSON/],
    run: "failed", steps: ["final_answer", "agent_run!"], error: /JSON/,
  },
  schema_validation: {
    label: "Structured output schema mismatch", anchor: { type: "final_answer" },
    shown_at: { type: "agent_run", name: "InvoiceExtractor" }, agent: "InvoiceExtractor",
    evidence: [/invoice\.total: Required/, /schema validation failure \(error type ValidationError\)/],
    run: "failed", steps: ["final_answer", "agent_run!"],
    error: /^ValidationError: invoice\.total: Required|^invoice\.total: Required/,
  },
  json_parse_runtime: {
    label: "Invalid JSON response", anchor: { type: "final_answer" },
    shown_at: { type: "agent_run", name: "InvoiceExtractor" }, agent: "InvoiceExtractor",
    evidence: [/Expected double-quoted property name in JSON at position 71/],
    run: "failed", steps: ["tool_call", "final_answer", "agent_run!"],
    error: /^Expected double-quoted property name in JSON at position 71$/,
  },

  // Limits and loops. The same search with the same arguments, empty each time: the loop is
  // the finding, anchored on the first repeat, and a turn limit that ends it is secondary.
  search_turn_limit: {
    label: LOOP, anchor: { type: "tool_call", name: "kb_search", nth: 2 }, agent: "HelpdeskAgent",
    tool: "kb_search", arguments: /reset password for SSO accounts/, evidence: [/kb_search/, /\b5\b/],
    secondary: ["Turn or iteration limit reached"],
    run: "failed", steps: [...turns(5), "agent_run!"], error: /^Max turns \(5\) exceeded$/,
  },
  invoice_loop: {
    label: LOOP, anchor: { type: "tool_call", name: "search_invoices", nth: 2 }, agent: "BillingAgent",
    tool: "search_invoices", arguments: /ACME GmbH/, evidence: [/search_invoices/, /\b6\b/],
    run: "completed", steps: [...turns(6), "final_answer"],
  },
  // Four searches of one tool, each with the same empty result ({"results": [], "message":
  // "No results found"}); the queries differ only in wording, so nothing was learnt between
  // them, and the run ended without the answer. A reader names the loop, from its first
  // repeat, though the arguments are not identical.
  search_loop: {
    label: LOOP, anchor: { type: "tool_call", name: "web_search", nth: 2 }, agent: "ResearchBot",
    tool: "web_search", arguments: /hometown of 2019 chemistry nobel laureate/, evidence: [/web_search/, /\b4\b/],
    run: "completed", steps: [...turns(4), "final_answer"],
  },
  // A different file each turn: no repetition, the turn limit is the finding.
  turn_limit: {
    label: "Turn or iteration limit reached", anchor: { type: "agent_run", name: "CodeReviewer" }, agent: "CodeReviewer",
    evidence: [/Max turns \(4\) exceeded/],
    run: "failed", steps: [...turns(4), "agent_run!"], error: /^Max turns \(4\) exceeded$/,
  },

  // Answers after a retrieval that found nothing: specific ones are unsupported, whatever
  // their wording; one that says nothing was found is healthy.
  empty_retrieval: {
    label: UNSUPPORTED, anchor: { type: "final_answer" }, shown_at: { type: "retrieval", name: "policy_search" },
    agent: "SupportBot", evidence: [/policy_search/],
    run: "completed", steps: ["retrieval", "final_answer"], results_count: 0,
  },
  empty_retrieval_45_days: {
    label: UNSUPPORTED, anchor: { type: "final_answer" }, shown_at: { type: "retrieval", name: "policy_search" },
    agent: "SupportBot", evidence: [/policy_search/],
    run: "completed", steps: ["retrieval", "final_answer"], results_count: 0,
  },
  empty_retrieval_declined: {
    label: HEALTHY, run: "completed", steps: ["retrieval", "final_answer"], results_count: 0,
  },

  // Retries that recovered: not a failed run.
  retry_recovered: {
    label: "Recovered timeout after retry", anchor: { type: "llm_reasoning" }, agent: "Summarizer", evidence: [/timed out/i],
    run: "completed", steps: ["llm_reasoning!", "final_answer"], error: /timed out/i,
  },
  retry_500: {
    label: "Recovered error after retry", anchor: { type: "llm_reasoning" }, agent: "Summarizer", evidence: [/500/],
    run: "completed", steps: ["llm_reasoning!", "final_answer"], error: /^500 The server had an error/,
  },

  // A failure no pattern explains: the agent's own code threw.
  code_error: {
    label: "Run failed; no known failure pattern found", anchor: { type: "agent_run", name: "CheckoutAgent" },
    agent: "CheckoutAgent", evidence: [/Cannot read properties of undefined \(reading 'reduce'\)/],
    run: "failed", steps: ["llm_reasoning", "tool_call", "agent_run!"], error: /^Cannot read properties of undefined \(reading 'reduce'\)$/,
  },

  // Delegation: a worker failed and the supervisor reported success without its result.
  worker_failed: {
    label: "Missing delegated worker result", anchor: { type: "delegation", name: "Researcher" }, agent: "Researcher",
    evidence: [/503 Service Unavailable from warehouse API/],
    run: "failed", steps: ["delegation!", "tool_call!", "final_answer"], error: /503 Service Unavailable/,
  },
  handoff: { label: HEALTHY, run: "completed", steps: handoffSteps, names: ["Researcher", "Writer"] },

  // Healthy runs whose text looks alarming: a tool error the agent worked around, and bulk
  // payloads (a fetched page, test output, a file) full of failure words.
  tool_error_recovered: {
    label: HEALTHY, run: "completed",
    steps: ["llm_reasoning", "tool_call!", "llm_reasoning", "tool_call", "final_answer"], error: /^404 Not Found: no order A-1042$/,
  },
  fetched_policy_page: { label: HEALTHY, run: "completed", steps: ["llm_reasoning", "tool_call", "final_answer"] },
  tests_fail_then_fix: { label: HEALTHY, run: "completed", steps: [...turns(3), "final_answer"] },
  file_installed: { label: HEALTHY, run: "completed", steps: ["llm_reasoning", "tool_call", "final_answer"] },
  // The agent span under the application's workflow span is the run itself, not a
  // delegation carrying the whole run's 2.6 s.
  workflow_single_agent: {
    label: HEALTHY, run: "completed", steps: ["llm_reasoning", "tool_call", "final_answer"],
    no_secondary: ["Latency concentration"],
  },
};

// OpenInference and OpenLLMetry: a model call that threw leaves no span, so the error is on the
// agent span, which becomes the failed step the finding is anchored on.
const agentSpanOnly = {
  rate_limit: { steps: ["agent_run!"], anchor: { type: "agent_run", name: "Summarizer" } },
  auth_401: { steps: ["agent_run!"], anchor: { type: "agent_run", name: "Translator" } },
  timeout: { steps: ["agent_run!"], anchor: { type: "agent_run", name: "Summarizer" } },
  retry_recovered: { steps: ["final_answer"], error: undefined, known_gap: NO_FAILED_ATTEMPT_SPAN },
  retry_500: { steps: ["final_answer"], error: undefined, known_gap: NO_FAILED_ATTEMPT_SPAN },
};

// Each library's table: the common rows, with its own differences merged in.
const merged = (...overrides) => {
  const out = {};
  for (const name of Object.keys(common))
    out[name] = Object.assign({}, common[name], ...overrides.map((o) => o[name] || {}));
  return out;
};

const langchainUnsupported = {
  label: UNSUPPORTED, anchor: { type: "final_answer", name: "ChatOpenAI" },
  shown_at: { type: "retrieval", name: "PolicyRetriever" }, evidence: [/PolicyRetriever/],
  run: "completed", steps: ["retrieval", "final_answer"], results_count: 0,
};

const expectations = {
  // The GenAI retrieval step is named by its span, "retrieval policy_search".
  genai: merged({
    empty_retrieval: { known_gap: NO_ANSWER_TEXT, shown_at: { type: "retrieval", name: "retrieval policy_search" } },
    empty_retrieval_45_days: { known_gap: NO_ANSWER_TEXT, shown_at: { type: "retrieval", name: "retrieval policy_search" } },
  }),
  openinference: merged(agentSpanOnly),
  // OpenLLMetry has no retriever kind: the retrieval is a task named policy_search whose
  // output is an empty list.
  traceloop: merged(agentSpanOnly, {
    empty_retrieval: { steps: ["policy_search", "final_answer"], results_count: undefined, shown_at: { name: "policy_search" } },
    empty_retrieval_45_days: { steps: ["policy_search", "final_answer"], results_count: undefined, shown_at: { name: "policy_search" } },
    empty_retrieval_declined: { steps: ["policy_search", "final_answer"], results_count: undefined },
  }),
  // LangChain's RAG chain has no agent: its root is the RunnableSequence. The tool-calling
  // agents are runnables named after the agent, the root of their runs.
  langchain: {
    rag_empty_retrieval: langchainUnsupported,
    rag_45_days: langchainUnsupported,
    rag_declined: { label: HEALTHY, run: "completed", steps: ["retrieval", "final_answer"], results_count: 0 },
    tool_error: common.tool_error,
    kb_loop: {
      label: LOOP, anchor: { type: "tool_call", name: "search_docs", nth: 2 }, agent: "HelpDesk",
      tool: "search_docs", arguments: /VPN setup for contractors/, evidence: [/search_docs/, /\b3\b/],
      run: "completed", steps: [...turns(3), "final_answer"],
    },
    rate_limit: {
      label: "Rate limit reached", anchor: { type: "llm_reasoning", name: "ChatOpenAI" }, agent: "Summarizer", evidence: [/429/],
      run: "failed", steps: ["llm_reasoning!"], error: /^429 Rate limit reached/,
    },
  },
};

function tracedxJson(args) {
  return JSON.parse(execFileSync(tracedx, args, { encoding: "utf8", maxBuffer: 64 << 20 }));
}

const stepName = (s) => s.display_name || (s.metadata && s.metadata.span_name);
const hasName = (s, name) => s.display_name === name || (s.metadata && s.metadata.span_name === name);
const fits = (s, which) => (which.type === undefined || s.step_type === which.type) && (which.name === undefined || hasName(s, which.name));
const describe = (which) => [which.type, which.name && JSON.stringify(which.name), which.nth && `#${which.nth}`].filter(Boolean).join(" ");
const describeStep = (s) => (s ? `${s.step_type} ${JSON.stringify(stepName(s))} (step ${s.step_index})` : "no step");

// The step a root cause or shown_at member points at: by its id, else by its index.
function pointedStep(steps, ref) {
  if (!ref) return null;
  if (ref.step_id !== undefined && ref.step_id !== null) return steps.find((s) => s.id === ref.step_id) || null;
  return Number.isInteger(ref.step_index) ? steps[ref.step_index] || null : null;
}

// Whether `step` is the one `which` names; with nth, exactly the nth step that fits.
function isStep(steps, step, which) {
  if (!step || !fits(step, which)) return false;
  if (!which.nth) return true;
  return steps.filter((s) => fits(s, which))[which.nth - 1] === step;
}

// The outcome word that does not contradict the finding; null: anything but "success" (a
// failure found on a run that completed).
function expectedOutcome(want) {
  if (want.label === HEALTHY) return "success";
  if (/^Recovered |^Unsupported answer/.test(want.label)) return "degraded";
  return want.run === "failed" ? "failed" : null;
}

// What the recording must hold, whatever the finding.
function importMismatches(want, fixture) {
  const out = [];
  const steps = fixture.steps.map((s) => s.step_type + (s.status === "failed" ? "!" : ""));
  if (fixture.run.status !== want.run) out.push(`run status ${fixture.run.status}, expected ${want.run}`);
  if (JSON.stringify(steps) !== JSON.stringify(want.steps))
    out.push(`steps ${JSON.stringify(steps)}, expected ${JSON.stringify(want.steps)}`);
  const failed = fixture.steps.find((s) => s.status === "failed");
  if (want.error && !(failed && want.error.test(failed.error_message || "")))
    out.push(`failed step error ${JSON.stringify(failed && failed.error_message)} does not match ${want.error}`);
  if (want.results_count !== undefined) {
    const r = fixture.steps.find((s) => s.step_type === "retrieval");
    if (!r || r.metadata.results_count !== want.results_count)
      out.push(`results_count ${r && r.metadata.results_count}, expected ${want.results_count}`);
  }
  for (const name of want.names || []) {
    if (!fixture.steps.some((s) => s.step_type === "delegation" && s.display_name === name))
      out.push(`no delegation step for ${name}`);
  }
  if (fixture.steps.some((s) => s.metadata && Object.keys(s.metadata).some((k) => k.startsWith("llm.tools") || k === "llm.invocation_parameters")))
    out.push("request configuration (tool definitions, invocation parameters) in step metadata");
  return out;
}

// Where the finding differs from the reader's.
function findingMismatches(want, diagnosis, steps) {
  const out = [];
  const rc = diagnosis.root_cause;
  if (diagnosis.analysis !== "recorded") out.push(`analysis ${JSON.stringify(diagnosis.analysis)}, expected "recorded"`);
  if (!rc) return [...out, "no root cause"];
  if (rc.label !== want.label) out.push(`label ${JSON.stringify(rc.label)}`);
  const outcome = expectedOutcome(want);
  if (outcome ? diagnosis.outcome !== outcome : diagnosis.outcome === "success")
    out.push(`outcome ${JSON.stringify(diagnosis.outcome)}, expected ${outcome ? JSON.stringify(outcome) : "not \"success\""}`);
  const secondary = (diagnosis.secondary_issues || []).map((i) => i.label);
  for (const label of want.secondary || [])
    if (!secondary.includes(label)) out.push(`no secondary issue ${JSON.stringify(label)} (has ${JSON.stringify(secondary)})`);
  for (const label of want.no_secondary || [])
    if (secondary.includes(label)) out.push(`secondary issue ${JSON.stringify(label)}`);
  if (want.label === HEALTHY) return out;

  const anchor = pointedStep(steps, rc);
  if (!rc.step_id) out.push("no step_id");
  if (rc.step_id && Number.isInteger(rc.step_index) && steps[rc.step_index] !== anchor)
    out.push(`step_index ${rc.step_index} and step_id ${rc.step_id} name different steps`);
  if (want.anchor && !isStep(steps, anchor, want.anchor))
    out.push(`anchor ${describeStep(anchor)}, expected ${describe(want.anchor)}`);
  if (want.agent !== undefined && rc.agent !== want.agent) out.push(`agent ${JSON.stringify(rc.agent)}`);
  if (want.tool !== undefined ? rc.tool !== want.tool : rc.tool !== null)
    out.push(`tool ${JSON.stringify(rc.tool)}, expected ${JSON.stringify(want.tool === undefined ? null : want.tool)}`);
  if (want.tool === undefined ? rc.arguments !== null : !(typeof rc.arguments === "string" && want.arguments.test(rc.arguments)))
    out.push(`arguments ${JSON.stringify(rc.arguments)}, expected ${want.tool === undefined ? "null" : `to match ${want.arguments}`}`);
  // The error shown is the anchor's own, else that of the step where the failure shows.
  const shownStep = rc.shown_at ? steps.find((s) => s.id === rc.shown_at.step_id) : undefined;
  const wantError = anchor && anchor.error_message !== undefined ? anchor.error_message
    : shownStep && shownStep.error_message !== undefined ? shownStep.error_message : null;
  if (anchor && rc.error !== wantError)
    out.push(`error ${JSON.stringify(rc.error)}, expected ${JSON.stringify(wantError)}`);
  const lines = [...(rc.evidence || []), ...(rc.error ? [rc.error] : [])];
  for (const re of want.evidence || [])
    if (!lines.some((l) => re.test(l))) out.push(`no evidence line matches ${re}`);
  if (want.shown_at) {
    const shown = rc.shown_at ? pointedStep(steps, rc.shown_at) : null;
    if (!isStep(steps, shown, want.shown_at))
      out.push(`shown_at ${rc.shown_at ? describeStep(shown) : "null"}, expected ${describe(want.shown_at)}`);
    else if (rc.shown_at.step_index !== shown.step_index || rc.shown_at.step_name !== stepName(shown))
      out.push(`shown_at ${JSON.stringify(rc.shown_at)} does not name step ${shown.step_index} ${JSON.stringify(stepName(shown))}`);
  }
  return out;
}

const said = (rc, steps) => {
  if (!rc) return "no finding";
  if (rc.label === HEALTHY) return JSON.stringify(rc.label);
  const anchor = pointedStep(steps, rc);
  return `${JSON.stringify(rc.label)} @ ${anchor ? `${anchor.step_type} ${JSON.stringify(stepName(anchor))}` : `step ${rc.step_index}`}` +
    (rc.agent ? ` by ${rc.agent}` : "");
};
const reads = (want) => JSON.stringify(want.label) + (want.anchor ? ` @ ${describe(want.anchor)}` : "") +
  (want.agent ? ` by ${want.agent}` : "");

function main() {
  let checked = 0, agreed = 0, labelled = 0;
  const failures = [];
  for (const [library, table] of Object.entries(expectations)) {
    const file = path.join(dir, `${library}.otlp.jsonl`);
    const manifest = JSON.parse(fs.readFileSync(path.join(dir, `${library}.manifest.json`), "utf8"));
    for (const [scenario, want] of Object.entries(table)) {
      const where = `${library}/${scenario}`;
      const id = manifest[scenario];
      if (!id) { failures.push(`${where}: not recorded`); continue; }
      const fixture = tracedxJson(["import", "--from", "otlp", file, "--trace-id", id]);
      const diagnosis = tracedxJson(["diagnose", "--from", "otlp", file, "--trace-id", id, "--compact"]);
      const imported = importMismatches(want, fixture);
      const mismatches = findingMismatches(want, diagnosis, fixture.steps);
      checked += 1;
      if (mismatches.length === 0) agreed += 1;
      if (diagnosis.root_cause && diagnosis.root_cause.label === want.label) labelled += 1;
      const failing = imported.length > 0 || (mismatches.length > 0 && !want.known_gap);
      console.log(`${failing ? "FAIL" : mismatches.length ? "gap " : "ok  "} ${where.padEnd(40)} tracedx: ${said(diagnosis.root_cause, fixture.steps)}`);
      if (mismatches.length) console.log(`     ${"".padEnd(40)} reader:  ${reads(want)}`);
      for (const m of mismatches) console.log(`       finding: ${m}`);
      if (mismatches.length && want.known_gap) console.log(`       known gap: ${want.known_gap}`);
      for (const m of imported) console.log(`       import: ${m}`);
      failures.push(...imported.map((m) => `${where}: import: ${m}`));
      if (!want.known_gap) failures.push(...mismatches.map((m) => `${where}: finding: ${m}`));
    }
  }
  console.log(`${agreed} of ${checked} recorded runs get the finding a careful reader gives ` +
    `(${labelled} get the reader's label)`);
  if (failures.length) {
    console.error(`FAIL: ${failures.length} mismatches outside the known gaps`);
    process.exit(1);
  }
}

// ---------------------------------------------------------------------------------------
// GenAI content in log records: node check.cjs TRACEDX DIR --logs
// The OpenTelemetry GenAI instrumentation writes a model call's messages (system, user,
// assistant and tool messages in, gen_ai.choice out) as log records in the call's context,
// which the recorder keeps in genai.logs.jsonl. Read with the spans, as a separate file
// (`--logs`) or as lines of the same file, they give each model-call step its raw_input and
// raw_output. What a step must hold is read from the records themselves: a call that threw
// before the answer came has input records and no gen_ai.choice, so no output is required
// (nor made up). For each genai run:
//   - `tracedx import --from otlp genai.otlp.jsonl --logs genai.logs.jsonl --trace-id ID`:
//     every model-call step (a span of the openai instrumentation) has a raw_input that holds
//     the text of the call's last user message, and, where a gen_ai.choice record exists, a
//     raw_output that holds the answer's text or the called tool's name; the steps are those
//     the table above expects.
//   - the same spans and records in one file (genai.mixed.otlp.jsonl), imported without
//     --logs, give the same steps.
//   - `tracedx diagnose ... --logs ...` agrees with the reader as the table above says; rows
//     whose gap came from the missing content are printed, closed or not.

const MODEL_SCOPE = "@opentelemetry/instrumentation-openai";
const INPUT_EVENTS = ["gen_ai.system.message", "gen_ai.user.message", "gen_ai.assistant.message", "gen_ai.tool.message"];

// An OTLP JSON AnyValue as a plain value.
function anyValue(v) {
  if (!v || typeof v !== "object") return null;
  if ("stringValue" in v) return v.stringValue;
  if ("boolValue" in v) return v.boolValue;
  if ("intValue" in v) return Number(v.intValue);
  if ("doubleValue" in v) return v.doubleValue;
  if ("arrayValue" in v) return (v.arrayValue.values || []).map(anyValue);
  if ("kvlistValue" in v) return Object.fromEntries((v.kvlistValue.values || []).map((kv) => [kv.key, anyValue(kv.value)]));
  if ("bytesValue" in v) return v.bytesValue;
  return null;
}

const jsonLines = (file) => fs.readFileSync(file, "utf8").split("\n").filter((l) => l.trim()).map((l) => JSON.parse(l));

// The log records of a file, by span id: [{event, body}], in their order. The event's name
// is the record's eventName, else its event.name attribute (the instrumentation writes the
// attribute for chat completions).
function recordsBySpan(logsFile) {
  const out = new Map();
  for (const doc of jsonLines(logsFile))
    for (const rl of doc.resourceLogs || [])
      for (const sl of rl.scopeLogs || [])
        for (const r of sl.logRecords || []) {
          const attr = (r.attributes || []).find((a) => a.key === "event.name");
          const event = r.eventName || (attr ? anyValue(attr.value) : "");
          if (!r.spanId) continue;
          if (!out.has(r.spanId)) out.set(r.spanId, []);
          out.get(r.spanId).push({ traceId: r.traceId, event, body: anyValue(r.body) });
        }
  return out;
}

// The model-call spans of a trace: the spans of the openai instrumentation.
function modelCallSpans(spansFile, traceId) {
  const out = [];
  for (const doc of jsonLines(spansFile))
    for (const rs of doc.resourceSpans || [])
      for (const ss of rs.scopeSpans || [])
        if (ss.scope && ss.scope.name === MODEL_SCOPE)
          for (const s of ss.spans || []) if (s.traceId === traceId) out.push(s);
  return out;
}

// Whether a step's value holds `text` (a JSON value holds it JSON-escaped).
const holds = (value, text) => {
  if (value === undefined || value === null) return false;
  const json = typeof value === "string" ? value : JSON.stringify(value);
  return json.includes(text) || json.includes(JSON.stringify(text).slice(1, -1));
};
const isEmpty = (value) => value === undefined || value === null || value === "" ||
  (Array.isArray(value) && value.length === 0) || (typeof value === "object" && Object.keys(value).length === 0);

// What the records of one model call say its step must hold: the last user message's text,
// and the answers' texts and called tools' names ([] when no answer was recorded).
function expectedContent(records) {
  const users = records.filter((r) => r.event === "gen_ai.user.message" && r.body && typeof r.body.content === "string");
  const inputs = records.filter((r) => INPUT_EVENTS.includes(r.event));
  const choices = records.filter((r) => r.event === "gen_ai.choice");
  const answers = [];
  for (const c of choices) {
    const m = (c.body && c.body.message) || {};
    if (typeof m.content === "string" && m.content) answers.push(m.content);
    for (const call of m.tool_calls || []) if (call.function && call.function.name) answers.push(call.function.name);
  }
  return { inputs: inputs.length, userText: users.length ? users[users.length - 1].body.content : null, choices: choices.length, answers };
}

// Where the model-call steps of one import lack what the log records hold.
function contentMismatches(fixture, spans, bySpan) {
  const out = [];
  let withOutput = 0;
  for (const span of spans) {
    const step = fixture.steps.find((s) => s.id === span.spanId || (s.metadata && s.metadata.span_id === span.spanId));
    const where = `model call ${JSON.stringify(span.name)} (span ${span.spanId})`;
    if (!step) { out.push(`${where}: no step`); continue; }
    const want = expectedContent(bySpan.get(span.spanId) || []);
    if (want.inputs === 0) { out.push(`${where}: the recording has no input record for it`); continue; }
    if (isEmpty(step.raw_input)) out.push(`${where}: ${step.step_type} step has no raw_input`);
    else if (want.userText && !holds(step.raw_input, want.userText.slice(0, 80)))
      out.push(`${where}: raw_input does not hold the user message ${JSON.stringify(want.userText.slice(0, 80))}`);
    if (want.choices === 0) continue;
    withOutput += 1;
    if (isEmpty(step.raw_output)) out.push(`${where}: ${step.step_type} step has no raw_output`);
    else for (const text of want.answers)
      if (!holds(step.raw_output, text.slice(0, 80))) out.push(`${where}: raw_output does not hold ${JSON.stringify(text.slice(0, 80))}`);
  }
  return { out, withOutput };
}

function mainLogs() {
  const failures = [];
  const library = "genai";
  const spansFile = path.join(dir, `${library}.otlp.jsonl`);
  const logsFile = path.join(dir, `${library}.logs.jsonl`);
  const mixedFile = path.join(dir, `${library}.mixed.otlp.jsonl`);
  console.log("GenAI content in log records (import --logs, and spans and logs in one file)");
  if (!fs.existsSync(logsFile)) {
    console.error(`FAIL: ${logsFile} is missing: record with record.cjs genai`);
    process.exit(1);
  }
  fs.writeFileSync(mixedFile, fs.readFileSync(spansFile, "utf8") + fs.readFileSync(logsFile, "utf8"));
  const manifest = JSON.parse(fs.readFileSync(path.join(dir, `${library}.manifest.json`), "utf8"));
  const bySpan = recordsBySpan(logsFile);
  const table = expectations[library];
  let calls = 0, outputs = 0, runs = 0, agreed = 0, closed = 0;
  for (const [scenario, id] of Object.entries(manifest)) {
    const where = `${library}/${scenario}`;
    const problems = [];
    const spans = modelCallSpans(spansFile, id);
    // A command that fails is reported by the first line it wrote on standard error.
    const attempt = (what, args) => {
      try {
        return JSON.parse(execFileSync(tracedx, args, { encoding: "utf8", maxBuffer: 64 << 20, stdio: ["ignore", "pipe", "pipe"] }));
      } catch (e) {
        problems.push(`${what}: ${(String(e.stderr || "").trim() || String(e.message)).split("\n")[0]}`);
        return null;
      }
    };
    calls += spans.length;
    outputs += spans.filter((s) => expectedContent(bySpan.get(s.spanId) || []).choices > 0).length;
    const withLogs = attempt("import --logs", ["import", "--from", "otlp", spansFile, "--logs", logsFile, "--trace-id", id]);
    const mixed = attempt("import of the mixed file", ["import", "--from", "otlp", mixedFile, "--trace-id", id]);
    if (withLogs) {
      problems.push(...contentMismatches(withLogs, spans, bySpan).out.map((m) => `--logs: ${m}`));
      if (table[scenario]) problems.push(...importMismatches(table[scenario], withLogs).map((m) => `--logs: import: ${m}`));
    }
    if (mixed) {
      problems.push(...contentMismatches(mixed, spans, bySpan).out.map((m) => `mixed file: ${m}`));
      if (withLogs && JSON.stringify(mixed.steps) !== JSON.stringify(withLogs.steps))
        problems.push("mixed file: the steps differ from those of import --logs");
    }
    // The finding with the content, against the reader's.
    let note = "";
    const want = table[scenario];
    const diagnosis = want && attempt("diagnose --logs",
      ["diagnose", "--from", "otlp", spansFile, "--logs", logsFile, "--trace-id", id, "--compact"]);
    if (diagnosis && withLogs) {
      runs += 1;
      const mismatches = findingMismatches(want, diagnosis, withLogs.steps);
      if (mismatches.length === 0) agreed += 1;
      if (want.known_gap === NO_ANSWER_TEXT) {
        if (mismatches.length === 0) closed += 1;
        note = mismatches.length ? `  (gap still open: ${mismatches.join("; ")})` : "  (the gap without logs is closed)";
      } else {
        problems.push(...mismatches.map((m) => `diagnose --logs: finding: ${m}`));
      }
    }
    console.log(`${problems.length ? "FAIL" : "ok  "} ${where.padEnd(40)} ${spans.length} model calls${note}`);
    for (const m of problems) console.log(`       ${m}`);
    failures.push(...problems.map((m) => `${where}: ${m}`));
  }
  console.log(`${calls} model calls checked for content from log records (${outputs} with an answer recorded); ` +
    `with the logs ${agreed} of ${runs} runs get the reader's finding, ${closed} gaps from missing content closed`);
  if (failures.length) {
    console.error(`FAIL: GenAI content in log records: ${failures.length} mismatches`);
    process.exit(1);
  }
}

if (require.main === module) {
  if (process.argv.includes("--logs")) mainLogs(); else main();
}
module.exports = { expectations, findingMismatches, importMismatches, recordsBySpan, modelCallSpans, contentMismatches };
