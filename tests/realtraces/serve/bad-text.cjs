// Strings cut in the middle of an emoji, sent by the SDK's JSON exporter to `tracedx serve`:
// node bad-text.cjs TRACEDX OUTDIR
// JavaScript strings are UTF-16: one cut between the two halves of a surrogate pair keeps a
// lone high surrogate, which JSON.stringify writes as "\ud83d". Twenty runs, each with such
// an attribute on a model call, are exported (exporter-trace-otlp-http): every export must
// succeed, every run must be stored whole and diagnosed, and the attribute must read back
// with U+FFFD in place of the lone half. The same export posted by hand must say so in its
// partial success.
"use strict";
const lib = require("./lib.cjs");
const fs = require("node:fs");
const path = require("node:path");

const [tracedx, out] = process.argv.slice(2);
if (!tracedx || !out) {
  console.error("usage: node bad-text.cjs TRACEDX OUTDIR");
  process.exit(2);
}

const failures = [];
const fail = (what) => { failures.push(what); console.error(`FAIL: ${what}`); };

const RUNS = 20;
const CUT = "The answer is 😀".slice(0, -1);  // the emoji's high surrogate alone
const KEY = "gen_ai.prompt.excerpt";

async function main() {
  fs.mkdirSync(out, { recursive: true });
  const db = path.join(out, "t.db");
  for (const suffix of ["", "-wal", "-shm"]) fs.rmSync(db + suffix, { force: true });
  const server = await lib.startServe(tracedx, ["--db", db, "--quiet-ms", "300"], { log: path.join(out, "serve.log") });
  if (CUT.charCodeAt(CUT.length - 1) !== 0xd83d) throw new Error("the cut string does not end in a lone high surrogate");

  const runs = [];
  for (let i = 0; i < RUNS; i++) {
    const run = lib.agentRun({ spanCount: 4, variant: i % 3, service: "bad-text" });
    run.spans[0].attributes[KEY] = CUT;
    runs.push(run);
  }
  const exporter = lib.makeExporter("json", `${server.url}/v1/traces`);
  for (const run of runs) {
    const r = await lib.exportOnce(exporter, run.spans);
    if (!r.ok) fail(`export of ${run.traceId}: ${r.error}`);
  }
  await exporter.shutdown();

  // The exporter's own serialization posted by hand, for the response it gets.
  const { JsonTraceSerializer } = require("@opentelemetry/otlp-transformer");
  const extra = lib.agentRun({ spanCount: 2, service: "bad-text" });
  extra.spans[0].attributes[KEY] = CUT;
  const body = Buffer.from(JsonTraceSerializer.serializeRequest(extra.spans));
  if (!body.toString("utf8").includes("\\ud83d")) fail("the JSON exporter no longer writes the lone surrogate as \\ud83d");
  const posted = await lib.request(`${server.url}/v1/traces`, { method: "POST", headers: { "Content-Type": "application/json" }, body });
  const answer = posted.body.toString("utf8");
  const expected = JSON.stringify({ partialSuccess: { errorMessage: "1 string held invalid UTF-8 or a lone surrogate and was repaired (U+FFFD)" } });
  if (posted.status !== 200 || answer !== expected) fail(`POST by hand: ${posted.status} ${answer}, expected 200 ${expected}`);
  runs.push(extra);
  if (failures.length) throw new Error("exports failed: nothing to read back");

  await lib.poll("every run diagnosed", async () => {
    const list = await lib.getJson(`${server.url}/api/traces?limit=1000`);
    const seen = new Map(list.traces.map((t) => [t.trace_id, t]));
    const waiting = runs.filter((r) => {
      const t = seen.get(r.traceId);
      return !t || t.status !== "diagnosed" || t.span_count !== r.spans.length;
    });
    return waiting.length ? { notYet: `${waiting.length} of ${runs.length} runs not stored whole and diagnosed` } : true;
  }, { timeoutMs: 60000, intervalMs: 100 });

  for (const run of runs) {
    const spans = await lib.request(`${server.url}/api/traces/${run.traceId}/spans`);
    const values = [];
    for (const line of spans.body.toString("utf8").split("\n").filter((l) => l.trim()))
      for (const ss of JSON.parse(line).scopeSpans || [])
        for (const s of ss.spans || [])
          for (const a of s.attributes || []) if (a.key === KEY) values.push(a.value.stringValue);
    const want = CUT.slice(0, -1) + "\ufffd";
    if (values.length !== 1 || values[0] !== want) fail(`${run.traceId}: ${KEY} read back as ${JSON.stringify(values)}, expected [${JSON.stringify(want)}]`);
  }
  const { code, signal } = await lib.stopServe(server);
  if (code !== 0) fail(`SIGTERM: exit ${code} ${signal || ""}`);
  console.log(`${runs.length} runs with a string cut mid-emoji stored whole, the lone half read back as U+FFFD`);
}

lib.runMain(main, "bad text", failures);
