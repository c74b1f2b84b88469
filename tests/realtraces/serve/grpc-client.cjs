// The SDK's own OTLP/gRPC exporter against `tracedx serve`: node grpc-client.cjs TRACEDX OUTDIR
// The real-library recorders of tests/realtraces export their runs over gRPC (gzip and a bearer
// token in the metadata, set by the OTEL_EXPORTER_OTLP_TRACES_* variables) to a server started
// with --grpc-listen 127.0.0.1:0, which names its gRPC address in a line of its own. Every
// export must have succeeded, and every run read back over GET /api/traces/{id} must carry the
// diagnosis `tracedx diagnose --from otlp FILE --trace-id ID --compact` gives on the recording.
// An export without the token must be refused with UNAUTHENTICATED.
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const { execFileSync } = require("node:child_process");
const lib = require("./lib.cjs");

const [tracedx, out] = process.argv.slice(2);
if (!tracedx || !out) {
  console.error("usage: node grpc-client.cjs TRACEDX OUTDIR");
  process.exit(2);
}
if (!execFileSync(tracedx, ["serve", "--help"], { encoding: "utf8" }).includes("--grpc-listen")) {
  console.log("SKIP: this tracedx serve has no --grpc-listen");
  process.exit(77);
}
const recorders = lib.RECORDERS;

const failures = [];
const fail = (what) => { failures.push(what); console.error(`FAIL: ${what}`); };

const run = lib.runNode;
const spanCounts = lib.spanCounts;

async function main() {
  fs.mkdirSync(out, { recursive: true });
  const db = path.join(out, "grpc.db");
  for (const suffix of ["", "-wal", "-shm"]) fs.rmSync(db + suffix, { force: true });
  const token = "serve-grpc-" + require("node:crypto").randomBytes(12).toString("hex");
  const tokenFile = path.join(out, "token");
  fs.writeFileSync(tokenFile, `${token}\n`);
  const auth = { Authorization: `Bearer ${token}` };
  const server = await lib.startServe(tracedx, ["--db", db, "--quiet-ms", "300", "--token-file", tokenFile,
    "--grpc-listen", "127.0.0.1:0"], { log: path.join(out, "serve.log"), grpc: true });
  console.log(`grpc exporter (gzip, token) -> ${server.grpc}, read back from ${server.url}`);

  const { OTLPTraceExporter } = require("@opentelemetry/exporter-trace-otlp-grpc");
  const anonymous = new OTLPTraceExporter({ url: `http://${server.grpc}`, timeoutMillis: 10000 });
  const refused = await lib.exportOnce(anonymous, lib.agentRun({ spanCount: 3 }).spans);
  await anonymous.shutdown();
  const expected = "16 UNAUTHENTICATED: missing or wrong bearer token";
  if (refused.ok || refused.error !== expected)
    fail(`an export without the token: ok ${refused.ok}, error ${JSON.stringify(refused.error)}, expected ${JSON.stringify(expected)}`);

  const env = {
    REALTRACES_OTLP_EXPORTS: JSON.stringify([{ protocol: "grpc" }]),
    OTEL_EXPORTER_OTLP_TRACES_ENDPOINT: `http://${server.grpc}`,
    OTEL_EXPORTER_OTLP_TRACES_HEADERS: `Authorization=Bearer%20${token}`,
    OTEL_EXPORTER_OTLP_TRACES_COMPRESSION: "gzip",
  };
  const results = await Promise.all(recorders.map(([name, args]) =>
    run([...args, path.join(out, `${name}.otlp.jsonl`)], env)));
  results.forEach((r, i) => r && fail(`recorder ${recorders[i][0]}: ${r}`));
  if (failures.length) throw new Error("a recorder failed");

  const runs = [];
  let exportsOk = 0;
  for (const [name] of recorders) {
    const file = path.join(out, `${name}.otlp.jsonl`);
    const counts = spanCounts(file);
    const manifest = JSON.parse(fs.readFileSync(path.join(out, `${name}.manifest.json`), "utf8"));
    for (const [scenario, traceId] of Object.entries(manifest))
      runs.push({ library: name, scenario, traceId, file, spans: counts.get(traceId) || 0 });
    const report = JSON.parse(fs.readFileSync(path.join(out, `${name}.exports.json`), "utf8"));
    const sent = [...counts.values()].reduce((a, b) => a + b, 0);
    for (const e of report.exporters) {
      exportsOk += e.ok;
      if (e.failed !== 0 || e.ok === 0) fail(`${name}: ${e.ok} exports succeeded, ${e.failed} failed ${JSON.stringify(e.errors)}`);
      if (e.spans !== sent) fail(`${name}: the exporter sent ${e.spans} spans, the recording holds ${sent}`);
    }
    for (const w of report.warnings) fail(`${name}: exporter said ${w}`);
  }
  if (failures.length) throw new Error("an export failed");

  await lib.poll("every run diagnosed", async () => {
    const list = await lib.getJson(`${server.url}/api/traces?limit=1000`, auth);
    const seen = new Map(list.traces.map((t) => [t.trace_id, t]));
    const waiting = runs.filter((r) => !seen.has(r.traceId) || seen.get(r.traceId).status !== "diagnosed" ||
      seen.get(r.traceId).span_count !== r.spans);
    return waiting.length ? { notYet: `${waiting.length} runs not diagnosed` } : true;
  }, { timeoutMs: 60000, intervalMs: 100 });
  for (const r of runs) {
    const t = await lib.getJson(`${server.url}/api/traces/${r.traceId}`, auth);
    if (lib.canonical(t.diagnosis) !== lib.canonical(lib.diagnoseFile(tracedx, r.file, r.traceId)))
      fail(`${r.library}/${r.scenario} (${r.traceId}): the stored diagnosis differs from tracedx diagnose on the recording`);
  }
  console.log(`${runs.length} runs sent over gRPC, stored and diagnosed as their recordings`);
  // Each export the exporters saw succeed is one call the metrics count as OK.
  const metrics = lib.parseMetrics((await lib.request(`${server.url}/metrics`, { headers: auth })).body.toString("utf8"));
  const okCalls = metrics.get('tracedx_grpc_calls_total{code="OK"}');
  if (okCalls !== exportsOk) fail(`the metrics count ${okCalls} OTLP/gRPC calls answered OK, the exporters ${exportsOk}`);

  const { code, signal } = await lib.stopServe(server);
  if (code !== 0) fail(`tracedx serve exited with code ${code}, signal ${signal} after SIGTERM`);
}

lib.runMain(main, "grpc-client", failures);
