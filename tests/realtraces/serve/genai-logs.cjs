// The GenAI recorder's spans and log records sent to `tracedx serve` by the SDK's own OTLP/HTTP
// exporters: node genai-logs.cjs TRACEDX OUTDIR
// The OpenTelemetry GenAI instrumentation writes a model call's messages as log records, not
// on its span. Two servers receive the recording of tests/realtraces (record.cjs genai): one
// from the JSON span and log exporters (uncompressed), one from the protobuf span and log
// exporters (gzip and a bearer token). The recorder also keeps the spans in genai.otlp.jsonl
// and the records in genai.logs.jsonl. Every export must have succeeded; every run read back
// over GET /api/traces/{id} must carry the diagnosis `tracedx diagnose --from otlp FILE --logs
// LOGS --trace-id ID --compact` gives on the files, and the run read back over
// GET /api/traces/{id}/spans and imported must give each model-call step the raw_input and
// raw_output that the records hold (the checks of `check.cjs --logs`).
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const { spawn, execFileSync } = require("node:child_process");
const lib = require("./lib.cjs");
const { recordsBySpan, modelCallSpans, contentMismatches } = require("../check.cjs");

const [tracedx, out] = process.argv.slice(2);
if (!tracedx || !out) {
  console.error("usage: node genai-logs.cjs TRACEDX OUTDIR");
  process.exit(2);
}

const failures = [];
const fail = (what) => { failures.push(what); console.error(`FAIL: ${what}`); };

function freshDb(file) {
  for (const suffix of ["", "-wal", "-shm"]) fs.rmSync(file + suffix, { force: true });
  return file;
}

function run(args, env) {
  return new Promise((resolve) => {
    const child = spawn(process.execPath, args, { env: { ...process.env, ...env }, stdio: ["ignore", "inherit", "inherit"] });
    child.on("exit", (code, signal) => resolve(code === 0 ? null : `exit ${code} ${signal || ""}`));
  });
}

const jsonLines = (file) => fs.readFileSync(file, "utf8").split("\n").filter((l) => l.trim()).map((l) => JSON.parse(l));

// Spans per trace id in a recording (one export request per line).
function spanCounts(file) {
  const counts = new Map();
  for (const doc of jsonLines(file))
    for (const rs of doc.resourceSpans || [])
      for (const ss of rs.scopeSpans || [])
        for (const s of ss.spans || []) counts.set(s.traceId, (counts.get(s.traceId) || 0) + 1);
  return counts;
}

function logRecordCount(file) {
  let n = 0;
  for (const doc of jsonLines(file))
    for (const rl of doc.resourceLogs || [])
      for (const sl of rl.scopeLogs || []) n += (sl.logRecords || []).length;
  return n;
}

const tracedxJson = (args) => JSON.parse(execFileSync(tracedx, args, { encoding: "utf8", maxBuffer: 256 << 20 }));

async function main() {
  fs.mkdirSync(out, { recursive: true });
  const token = "serve-logs-" + require("node:crypto").randomBytes(12).toString("hex");
  const tokenFile = path.join(out, "token");
  fs.writeFileSync(tokenFile, `${token}\n`);
  const auth = { Authorization: `Bearer ${token}` };
  const quiet = ["--quiet-ms", "300"];
  const servers = {
    json: await lib.startServe(tracedx, ["--db", freshDb(path.join(out, "json.db")), ...quiet], { log: path.join(out, "json.log") }),
    protobuf: await lib.startServe(tracedx, ["--db", freshDb(path.join(out, "protobuf.db")), ...quiet, "--token-file", tokenFile],
      { log: path.join(out, "protobuf.log") }),
  };
  const headers = { json: {}, protobuf: auth };
  console.log(`json span and log exporters -> ${servers.json.url}, protobuf ones (gzip, token) -> ${servers.protobuf.url}`);

  const spansFile = path.join(out, "genai.otlp.jsonl");
  const logsFile = path.join(out, "genai.logs.jsonl");
  const env = {
    REALTRACES_OTLP_EXPORTS: JSON.stringify([
      { protocol: "json", url: `${servers.json.url}/v1/traces`, compression: "none", logs: true },
      { protocol: "protobuf", url: `${servers.protobuf.url}/v1/traces`, compression: "gzip", headers: auth, logs: true },
    ]),
  };
  const recorded = await run([path.join(__dirname, "..", "record.cjs"), "genai", spansFile], env);
  if (recorded) throw new Error(`recorder genai: ${recorded}`);

  // Every export of spans and of log records succeeded, and sent what the files hold.
  const counts = spanCounts(spansFile);
  const sentSpans = [...counts.values()].reduce((a, b) => a + b, 0);
  const sentRecords = logRecordCount(logsFile);
  const broken = new Set();
  const report = JSON.parse(fs.readFileSync(path.join(out, "genai.exports.json"), "utf8"));
  for (const e of report.exporters) {
    if (e.failed !== 0 || e.ok === 0 || e.spans !== sentSpans) {
      broken.add(e.protocol);
      fail(`${e.protocol} span exporter: ${e.ok} exports succeeded (${e.spans} of ${sentSpans} spans), ${e.failed} failed ${JSON.stringify([...new Set(e.errors)])}`);
    }
    const l = e.logs || { ok: 0, failed: 0, records: 0, errors: ["no log exporter"] };
    if (l.failed !== 0 || l.ok === 0 || l.records !== sentRecords) {
      broken.add(e.protocol);
      fail(`${e.protocol} log exporter: ${l.ok} exports succeeded (${l.records} of ${sentRecords} records), ${l.failed} failed ${JSON.stringify([...new Set(l.errors)])}`);
    }
  }
  for (const w of report.warnings) fail(`exporter said ${w}`);

  const manifest = JSON.parse(fs.readFileSync(path.join(out, "genai.manifest.json"), "utf8"));
  const runs = Object.entries(manifest).map(([scenario, traceId]) => ({ scenario, traceId, spans: counts.get(traceId) || 0 }));
  const bySpan = recordsBySpan(logsFile);

  for (const [protocol, server] of Object.entries(servers)) {
    const h = headers[protocol];
    if (broken.has(protocol)) {
      fail(`${protocol}: not read back, since an exporter failed`);
      continue;
    }
    await lib.poll(`${protocol}: every run diagnosed`, async () => {
      const list = await lib.getJson(`${server.url}/api/traces?limit=1000`, h);
      const seen = new Map(list.traces.map((t) => [t.trace_id, t]));
      const waiting = runs.filter((r) => {
        const t = seen.get(r.traceId);
        return !t || t.status !== "diagnosed" || t.span_count !== r.spans;
      });
      return waiting.length ? { notYet: `${waiting.length} runs not diagnosed: ${waiting.slice(0, 3).map((r) => r.scenario).join(", ")}` } : true;
    }, { timeoutMs: 60000, intervalMs: 100 });
    let same = 0;
    for (const r of runs) {
      const where = `${protocol}: genai/${r.scenario} (${r.traceId})`;
      const cli = execFileSync(tracedx, ["diagnose", "--from", "otlp", spansFile, "--logs", logsFile, "--trace-id", r.traceId, "--compact"],
        { encoding: "utf8", maxBuffer: 256 << 20 }).trim();
      // Records may reach the server after the spans: the diagnosis with them is awaited.
      let t;
      try {
        t = await lib.poll(`${where}: the diagnosis with the log records`, async () => {
          const got = await lib.getJson(`${server.url}/api/traces/${r.traceId}`, h);
          return lib.canonical(got.diagnosis) === lib.canonical(cli) ? got : { notYet: "the stored diagnosis differs from tracedx diagnose --logs on the files" };
        }, { timeoutMs: 10000, intervalMs: 100 });
      } catch (e) {
        fail(e.message);
        const got = await lib.getJson(`${server.url}/api/traces/${r.traceId}`, h);
        fs.writeFileSync(path.join(out, `${protocol}-${r.scenario}.api.json`), JSON.stringify(got.diagnosis) + "\n");
        fs.writeFileSync(path.join(out, `${protocol}-${r.scenario}.cli.json`), cli + "\n");
        continue;
      }
      if (t.error !== null) fail(`${where}: error ${JSON.stringify(t.error)}`);
      // What the server stored for the run, imported: the model calls carry the content.
      const stored = await lib.request(`${server.url}/api/traces/${r.traceId}/spans`, { headers: h });
      const storedFile = path.join(out, `${protocol}-${r.traceId}.stored.jsonl`);
      fs.writeFileSync(storedFile, stored.body);
      if (stored.status !== 200) {
        fail(`${where}: /spans gave ${stored.status}`);
        continue;
      }
      const fixture = tracedxJson(["import", "--from", "otlp", storedFile, "--trace-id", r.traceId]);
      const { out: mismatches } = contentMismatches(fixture, modelCallSpans(spansFile, r.traceId), bySpan);
      for (const m of mismatches) fail(`${where}: read back: ${m}`);
      if (mismatches.length === 0) {
        fs.rmSync(storedFile);
        same += 1;
      }
    }
    console.log(`${protocol}: ${same} of ${runs.length} runs read back with the diagnosis of tracedx diagnose --logs and the model calls' content`);
  }

  for (const [protocol, server] of Object.entries(servers)) {
    const { code, signal } = await lib.stopServe(server);
    if (code !== 0) fail(`${protocol}: SIGTERM: exit ${code} ${signal || ""}`);
  }
}

lib.runMain(main, "genai logs", failures);
