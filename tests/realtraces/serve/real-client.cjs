// The SDK's own OTLP/HTTP exporters against `tracedx serve`: node real-client.cjs TRACEDX OUTDIR
// Two servers, one fed by the JSON exporter (uncompressed) and one by the protobuf exporter
// (gzip and a bearer token, set by the OTEL_EXPORTER_OTLP_TRACES_* variables), receive the
// runs the real-library recorders of tests/realtraces make, while the recorders also keep the
// same spans in their files. Every run read back over GET /api/traces/{id} must carry the
// diagnosis `tracedx diagnose --from otlp FILE --trace-id ID --compact` gives on the file, and
// every export must have succeeded.
"use strict";
const fs = require("node:fs");
const path = require("node:path");

const lib = require("./lib.cjs");

const [tracedx, out] = process.argv.slice(2);
if (!tracedx || !out) {
  console.error("usage: node real-client.cjs TRACEDX OUTDIR");
  process.exit(2);
}
const recorders = lib.RECORDERS;

const failures = [];
const fail = (what) => { failures.push(what); console.error(`FAIL: ${what}`); };

function freshDb(file) {
  for (const suffix of ["", "-wal", "-shm"]) fs.rmSync(file + suffix, { force: true });
  return file;
}

const run = lib.runNode;
const spanCounts = lib.spanCounts;

async function main() {
  fs.mkdirSync(out, { recursive: true });
  const token = "serve-e2e-" + require("node:crypto").randomBytes(12).toString("hex");
  const tokenFile = path.join(out, "token");
  fs.writeFileSync(tokenFile, `  ${token}\n`);
  const auth = { Authorization: `Bearer ${token}` };
  const quiet = ["--quiet-ms", "300"];
  const servers = {
    json: await lib.startServe(tracedx, ["--db", freshDb(path.join(out, "json.db")), ...quiet], { log: path.join(out, "json.log") }),
    protobuf: await lib.startServe(tracedx, ["--db", freshDb(path.join(out, "protobuf.db")), ...quiet, "--token-file", tokenFile],
      { log: path.join(out, "protobuf.log") }),
  };
  const headers = { json: {}, protobuf: auth };
  console.log(`json exporter -> ${servers.json.url}, protobuf exporter (gzip, token) -> ${servers.protobuf.url}`);

  // The protobuf exporter is configured the way docs/serve.md says, by the SDK's variables.
  const env = {
    REALTRACES_OTLP_EXPORTS: JSON.stringify([
      { protocol: "json", url: `${servers.json.url}/v1/traces`, compression: "none" },
      { protocol: "protobuf" },
    ]),
    OTEL_EXPORTER_OTLP_TRACES_ENDPOINT: `${servers.protobuf.url}/v1/traces`,
    OTEL_EXPORTER_OTLP_TRACES_HEADERS: `Authorization=Bearer%20${token}`,
    OTEL_EXPORTER_OTLP_TRACES_COMPRESSION: "gzip",
  };
  const t0 = Date.now();
  const results = await Promise.all(recorders.map(([name, args]) =>
    run([...args, path.join(out, `${name}.otlp.jsonl`)], env)));
  console.log(`recorded in ${Date.now() - t0} ms`);
  results.forEach((r, i) => r && fail(`recorder ${recorders[i][0]}: ${r}`));
  if (failures.length) throw new Error("a recorder failed");

  // Each run: its library, scenario, recording and span count.
  const runs = [];
  const broken = new Set();
  for (const [name] of recorders) {
    const file = path.join(out, `${name}.otlp.jsonl`);
    const manifest = JSON.parse(fs.readFileSync(path.join(out, `${name}.manifest.json`), "utf8"));
    const counts = spanCounts(file);
    for (const [scenario, traceId] of Object.entries(manifest))
      runs.push({ library: name, scenario, traceId, file, spans: counts.get(traceId) || 0 });
    const report = JSON.parse(fs.readFileSync(path.join(out, `${name}.exports.json`), "utf8"));
    for (const e of report.exporters) {
      const sent = [...counts.values()].reduce((a, b) => a + b, 0);
      if (e.failed !== 0 || e.ok === 0) broken.add(e.protocol);
      if (e.failed !== 0 || e.ok === 0) fail(`${name}: ${e.protocol} exporter: ${e.ok} exports succeeded, ${e.failed} failed ${JSON.stringify(e.errors)}`);
      if (e.spans !== sent) fail(`${name}: ${e.protocol} exporter sent ${e.spans} spans, the recording holds ${sent}`);
    }
    for (const w of report.warnings) fail(`${name}: exporter said ${w}`);
  }
  const totalSpans = runs.reduce((a, r) => a + r.spans, 0);

  for (const [protocol, server] of Object.entries(servers)) {
    const h = headers[protocol];
    if (broken.has(protocol)) {
      fail(`${protocol}: not read back, since its exporter failed`);
      continue;
    }
    // Every run diagnosed with all its spans (a late span re-opens a run; wait for the last).
    const byId = await lib.poll(`${protocol}: every run diagnosed`, async () => {
      const list = await lib.getJson(`${server.url}/api/traces?limit=1000`, h);
      const seen = new Map(list.traces.map((t) => [t.trace_id, t]));
      const waiting = runs.filter((r) => {
        const t = seen.get(r.traceId);
        return !t || t.status !== "diagnosed" || t.span_count !== r.spans;
      });
      return waiting.length ? { notYet: `${waiting.length} runs not diagnosed: ${waiting.slice(0, 3).map((r) => `${r.library}/${r.scenario}`).join(", ")}` } : seen;
    }, { timeoutMs: 60000, intervalMs: 100 });
    let same = 0;
    for (const r of runs) {
      const where = `${protocol}: ${r.library}/${r.scenario} (${r.traceId})`;
      const t = await lib.getJson(`${server.url}/api/traces/${r.traceId}`, h);
      const cli = lib.diagnoseFile(tracedx, r.file, r.traceId);
      if (lib.canonical(t.diagnosis) !== lib.canonical(cli)) {
        fail(`${where}: the stored diagnosis differs from tracedx diagnose on the recording`);
        fs.writeFileSync(path.join(out, `${protocol}-${r.library}-${r.scenario}.api.json`), JSON.stringify(t.diagnosis) + "\n");
        fs.writeFileSync(path.join(out, `${protocol}-${r.library}-${r.scenario}.cli.json`), cli + "\n");
        continue;
      }
      const label = t.diagnosis.root_cause ? t.diagnosis.root_cause.label : null;
      const row = byId.get(r.traceId);
      r.label = label;
      if (t.label !== label || row.label !== label) fail(`${where}: label ${JSON.stringify(t.label)}, the diagnosis says ${JSON.stringify(label)}`);
      if (t.service !== `realtraces-${r.library}`) fail(`${where}: service ${JSON.stringify(t.service)}`);
      if (!(t.version >= 1) || t.error !== null) fail(`${where}: version ${t.version}, error ${JSON.stringify(t.error)}`);
      // The stored spans read by the command give the same report.
      const spans = await lib.request(`${server.url}/api/traces/${r.traceId}/spans`, { headers: h });
      const spansFile = path.join(out, `${protocol}-${r.traceId}.spans.jsonl`);
      fs.writeFileSync(spansFile, spans.body);
      const lines = spans.body.toString("utf8").split("\n").filter((l) => l.trim()).length;
      if (spans.status !== 200 || lines !== r.spans) fail(`${where}: /spans gave ${spans.status} with ${lines} lines, expected ${r.spans}`);
      else if (lib.canonical(lib.diagnoseFile(tracedx, spansFile, r.traceId)) !== lib.canonical(cli))
        fail(`${where}: tracedx diagnose on /spans differs from the recording's diagnosis`);
      else fs.rmSync(spansFile);
      same += 1;
    }
    const metrics = lib.parseMetrics((await lib.request(`${server.url}/metrics`, { headers: h })).body.toString("utf8"));
    const received = metrics.get("tracedx_spans_received_total");
    if (received !== totalSpans) fail(`${protocol}: tracedx_spans_received_total ${received}, ${totalSpans} spans were sent`);
    const diagnosed = [...metrics].filter(([k]) => k.startsWith("tracedx_traces_diagnosed_total")).reduce((a, [, v]) => a + v, 0);
    if (diagnosed < runs.length) fail(`${protocol}: tracedx_traces_diagnosed_total sums to ${diagnosed}, ${runs.length} runs were diagnosed`);
    console.log(`${protocol}: ${same} of ${runs.length} runs (${totalSpans} spans) read back with the diagnosis of tracedx diagnose on the recording`);
  }

  // The token guards everything but /healthz.
  const p = servers.protobuf.url;
  for (const [what, h, want] of [["no token", {}, 401], ["a wrong token", { Authorization: `Bearer ${token}x` }, 401], ["the token", auth, 200]]) {
    const r = await lib.request(`${p}/api/traces`, { headers: h });
    if (r.status !== want) fail(`GET /api/traces with ${what}: ${r.status}, expected ${want}`);
  }
  const health = await lib.request(`${p}/healthz`);
  if (health.status !== 200 || health.body.toString() !== "ok\n") fail(`GET /healthz without a token: ${health.status}`);

  for (const [protocol, server] of Object.entries(servers)) {
    const { code, signal } = await lib.stopServe(server);
    if (code !== 0) fail(`${protocol}: SIGTERM: exit ${code} ${signal || ""}`);
  }
  for (const r of runs) console.log(`${`${r.library}/${r.scenario}`.padEnd(32)} ${String(r.spans).padStart(3)} spans  ${r.label}`);
}

lib.runMain(main, "real client", failures);
