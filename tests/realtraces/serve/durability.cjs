// Durability of `tracedx serve`: node durability.cjs TRACEDX OUTDIR [SEED]
// Several senders export agent runs through the SDK's exporters (OTLP/HTTP JSON and protobuf,
// and OTLP/gRPC) while the server is killed with SIGKILL four times and restarted on the same
// database. Each kill comes after a random wait, the moment the next export over one transport
// (OTLP/HTTP and OTLP/gRPC in turn) is acknowledged: a server that answers before its commit
// loses that export's spans. A sender whose export failed sends the batch again once the
// server is back, as an OTLP client does. Afterwards every span the server acknowledged (a 200,
// or an OK over gRPC) must be stored, whichever transport brought it, and every run whose
// spans all arrived diagnosed, with the diagnosis `tracedx batch --from otlp` gives on the
// stored spans. A late span must re-open a diagnosed run, which is then diagnosed again, one
// version up. Then SIGTERM must drain: runs still inside their quiet time are diagnosed
// before the process exits 0.
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const { execFileSync } = require("node:child_process");
const lib = require("./lib.cjs");

const [tracedx, out, seedArg] = process.argv.slice(2);
if (!tracedx || !out) {
  console.error("usage: node durability.cjs TRACEDX OUTDIR [SEED]");
  process.exit(2);
}
const seed = seedArg ? Number(seedArg) : Date.now() % 100000;
const random = lib.rng(seed);
// The senders' exporters, one row each; the SIGTERM phase uses the first three.
const SENDER_KINDS = [
  { protocol: "json", compression: "none" },
  { protocol: "protobuf", compression: "gzip" },
  { protocol: "grpc", compression: "none" },
  { protocol: "protobuf", compression: "none" },
  { protocol: "json", compression: "none" },
  { protocol: "grpc", compression: "gzip" },
];
const SENDERS = SENDER_KINDS.length;
const transportOf = (protocol) => (protocol === "grpc" ? "OTLP/gRPC" : "OTLP/HTTP");
const TRANSPORTS = ["OTLP/HTTP", "OTLP/gRPC"];
const KILLS = 4;
const QUIET_MS = 200;
const failures = [];
const fail = (what) => { failures.push(what); console.error(`FAIL: ${what}`); };

fs.mkdirSync(out, { recursive: true });
const db = path.join(out, "durability.db");
for (const suffix of ["", "-wal", "-shm"]) fs.rmSync(db + suffix, { force: true });
const log = path.join(out, "durability.log");
fs.writeFileSync(log, "");

// The server as the senders see it: its address, and a promise for the next start.
const state = { server: null, generation: 0, up: null, stop: false };
let announceUp;
const nextUp = () => { state.up = new Promise((ok) => { announceUp = ok; }); };
nextUp();

async function start(quietMs) {
  state.server = await lib.startServe(tracedx, ["--db", db, "--quiet-ms", String(quietMs)], { log, grpc: true });
  state.generation += 1;
  announceUp();
  return state.server;
}

// A kill waiting for the next export over `transport` acknowledged by server `generation`.
let armedKill = null;

function killNow() {
  nextUp();
  process.kill(state.server.pid, "SIGKILL");
}

// What the senders were told: acknowledged span ids per trace, the transport each trace was
// sent over, and the runs all of whose batches were acknowledged.
const acked = new Map();
const sentOver = new Map();
const complete = new Set();
const stats = { exports: 0, ok: 0, failed: 0, spans: 0, gaveUp: 0, errors: new Map() };
// Per transport: spans acknowledged, the server starts (generations) that acknowledged any,
// export latencies.
const byTransport = new Map(TRANSPORTS.map((t) => [t, { spans: 0, generations: new Set(), latencies: [] }]));

// Sends one batch until it is acknowledged (a new exporter for each server start).
async function sendBatch(sender, spans) {
  for (let attempt = 0; attempt < 200; attempt++) {
    const generation = state.generation;
    const server = state.server;
    if (!sender.exporters.has(generation)) {
      // The exporters of servers killed since: nothing of this sender is in flight on them.
      for (const old of sender.exporters.values()) old.shutdown().catch(() => {});
      sender.exporters.clear();
      const url = sender.protocol === "grpc" ? `http://${server.grpc}` : `${server.url}/v1/traces`;
      sender.exporters.set(generation, lib.makeExporter(sender.protocol, url,
        { compression: sender.compression, timeoutMillis: 1500 }));
    }
    stats.exports += 1;
    const r = await lib.exportOnce(sender.exporters.get(generation), spans);
    if (r.ok) {
      const transport = byTransport.get(transportOf(sender.protocol));
      stats.ok += 1;
      transport.latencies.push(r.ms);
      transport.spans += spans.length;
      transport.generations.add(generation);
      for (const s of spans) {
        const id = s.spanContext().traceId;
        if (!acked.has(id)) acked.set(id, new Set());
        acked.get(id).add(s.spanContext().spanId);
        sentOver.set(id, transportOf(sender.protocol));
      }
      stats.spans += spans.length;
      // At once, before the server can commit anything more.
      if (armedKill && armedKill.transport === transportOf(sender.protocol) && armedKill.generation === generation) {
        killNow();
        armedKill.fired();
        armedKill = null;
      }
      return true;
    }
    stats.failed += 1;
    stats.errors.set(r.error, (stats.errors.get(r.error) || 0) + 1);
    // The server is down (or pushed back): wait for the next start, or a little.
    await Promise.race([state.generation === generation ? state.up : Promise.resolve(), lib.sleep(200)]);
  }
  stats.gaveUp += 1;
  return false;
}

async function sender(index) {
  const s = { ...SENDER_KINDS[index], exporters: new Map() };
  let n = 0;
  while (!state.stop) {
    const run = lib.agentRun({ spanCount: 4 + ((index * 7 + n * 5) % 21), variant: (index + n) % 3, service: `sender-${index}` });
    n += 1;
    // One to three batches, the root in the last, as a batching exporter flushes a run.
    const parts = 1 + (n % 3);
    const size = Math.ceil(run.spans.length / parts);
    let all = true;
    for (let i = 0; i < run.spans.length; i += size) all = (await sendBatch(s, run.spans.slice(i, i + size))) && all;
    if (all) complete.add(run.traceId);
  }
}

async function getTrace(url, id) {
  const r = await lib.request(`${url}/api/traces/${id}`);
  return r.status === 200 ? JSON.parse(r.body.toString("utf8")) : { status: `HTTP ${r.status}` };
}

// Runs `fn` over `items` with at most `width` at a time.
async function eachLimited(items, width, fn) {
  let next = 0;
  await Promise.all(Array.from({ length: width }, async () => {
    while (next < items.length) {
      const i = next++;
      await fn(items[i], i);
    }
  }));
}

// Waits until every run in `ids` is diagnosed; returns the records.
async function waitDiagnosed(url, ids, timeoutMs) {
  const records = new Map();
  await lib.poll("every completed run diagnosed", async () => {
    const waiting = ids.filter((id) => !records.has(id));
    await eachLimited(waiting, 8, async (id) => {
      const t = await getTrace(url, id);
      if (t.status === "diagnosed" || t.status === "failed") records.set(id, t);
    });
    const left = ids.length - records.size;
    return left ? { notYet: `${left} of ${ids.length} runs not diagnosed` } : true;
  }, { timeoutMs, intervalMs: 100 });
  return records;
}

// The stored spans of every run acknowledged spans went to (`texts`: its JSON Lines), and the
// acknowledged spans missing from them, in all (`lost`) and per transport (`lostBy`).
async function readStored(url) {
  const texts = new Map();
  let lost = 0;
  const lostBy = new Map(TRANSPORTS.map((t) => [t, 0]));
  let stored = 0;
  await eachLimited([...acked.keys()], 8, async (id) => {
    const r = await lib.request(`${url}/api/traces/${id}/spans`);
    const have = new Set();
    const text = r.status === 200 ? r.body.toString("utf8") : "";
    for (const line of text.split("\n")) {
      if (!line.trim()) continue;
      stored += 1;
      for (const ss of JSON.parse(line).scopeSpans || []) for (const s of ss.spans || []) have.add(s.spanId);
    }
    for (const spanId of acked.get(id)) {
      if (have.has(spanId)) continue;
      lost += 1;
      lostBy.set(sentOver.get(id), lostBy.get(sentOver.get(id)) + 1);
    }
    texts.set(id, text);
  });
  return { texts, lost, lostBy, stored };
}

// The stored spans of the runs `ids` go into one file for `tracedx batch`, whose diagnoses
// must be the server's (`records`); returns how many are.
function checkDiagnoses(kept, ids, records, label) {
  const file = path.join(out, `${label}.spans.jsonl`);
  fs.writeFileSync(file, ids.map((id) => kept.texts.get(id) || "").join(""));
  const batch = execFileSync(tracedx, ["batch", "--from", "otlp", "--jobs", "2", file],
    { encoding: "utf8", maxBuffer: 1 << 30, stdio: ["ignore", "pipe", "ignore"] });
  const mine = new Map();
  for (const line of batch.split("\n")) {
    if (!line) continue;
    const rec = JSON.parse(line);
    mine.set(rec.id.slice(rec.id.lastIndexOf(":") + 1), rec);
  }
  let same = 0;
  for (const id of ids) {
    const t = records.get(id);
    const rec = mine.get(id);
    if (!rec || !rec.diagnosis) fail(`${label}: ${id}: tracedx batch on the stored spans gave ${rec ? rec.error : "nothing"}`);
    else if (t.status !== "diagnosed" || lib.canonical(t.diagnosis) !== lib.canonical(rec.diagnosis))
      fail(`${label}: ${id}: status ${t.status}; the stored diagnosis differs from tracedx batch on the stored spans`);
    else same += 1;
  }
  return same;
}

const perTransport = (counts) => TRANSPORTS.map((t) => `${t} ${counts.get(t)}`).join(", ");

async function main() {
  console.log(`seed ${seed} (node durability.cjs TRACEDX OUTDIR ${seed} repeats the kill points)`);
  await start(QUIET_MS);
  const t0 = Date.now();
  const senders = Array.from({ length: SENDERS }, (_, i) => sender(i));
  const kills = [];
  for (let k = 0; k < KILLS; k++) {
    await lib.sleep(400 + Math.floor(random() * 1200));
    const victim = state.server;
    const transport = TRANSPORTS[k % TRANSPORTS.length];
    // Right after an acknowledgement over `transport`, or after 3 s at whatever point.
    let timer;
    const when = await Promise.race([
      new Promise((ok) => { armedKill = { transport, generation: state.generation, fired: () => ok(`after an ${transport} acknowledgement`) }; }),
      new Promise((ok) => { timer = setTimeout(() => ok("with no acknowledgement for 3 s"), 3000); }),
    ]);
    clearTimeout(timer);
    if (armedKill) {
      armedKill = null;
      killNow();
    }
    const before = { spans: stats.spans, complete: complete.size };
    const { signal } = await victim.exited;
    if (signal !== "SIGKILL") fail(`kill ${k + 1}: the server ended with ${signal}, not SIGKILL`);
    kills.push(`kill ${k + 1} at ${Date.now() - t0} ms ${when} (${before.spans} spans acknowledged, ${before.complete} runs complete)`);
    await start(QUIET_MS);
  }
  await lib.sleep(800);
  state.stop = true;
  await Promise.all(senders);
  const sentMs = Date.now() - t0;
  kills.forEach((k) => console.log(k));
  console.log(`${SENDERS} senders for ${sentMs} ms: ${complete.size} runs, ${stats.spans} spans acknowledged in ${stats.ok} exports; ` +
    `${stats.failed} exports failed while the server was down (sent again), ${stats.gaveUp} given up`);
  console.log(`export errors: ${JSON.stringify([...stats.errors])}`);
  if (stats.gaveUp) fail(`${stats.gaveUp} batches were never acknowledged`);
  // Each transport must have carried spans through a kill: acknowledged by two servers at least.
  for (const [name, t] of byTransport) {
    console.log(`${name}: ${t.spans} spans acknowledged by ${t.generations.size} of ${KILLS + 1} server starts`);
    if (t.generations.size < 2) fail(`${name}: spans acknowledged by ${t.generations.size} server starts, not across a kill`);
  }

  // Checked before waiting for diagnoses: a run that lost its root would only time out there.
  const kept = await readStored(state.server.url);
  console.log(`after ${KILLS} kills: ${kept.lost} acknowledged spans lost (${perTransport(kept.lostBy)}), ${kept.stored} spans stored`);
  if (kept.lost) {
    fail(`${kept.lost} acknowledged spans lost (${perTransport(kept.lostBy)})`);
    return;
  }
  const ids = [...complete];
  const records = await waitDiagnosed(state.server.url, ids, 120000);
  const same = checkDiagnoses(kept, ids, records, "after-kills");
  console.log(`${same} of ${ids.length} runs diagnosed as tracedx batch diagnoses their stored spans`);

  // A late span re-opens a diagnosed run: it is diagnosed again, one version up.
  const lateId = ids[0];
  const before = records.get(lateId);
  const now = Date.now();
  const late = lib.readableSpan({
    traceId: lateId, spanId: lib.hex(8), parentId: [...acked.get(lateId)][0], name: "execute_tool notify", kind: 0,
    startMs: now - 5, endMs: now, service: before.service,
    attributes: { "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "notify" },
  });
  await sendBatch({ protocol: "protobuf", compression: "gzip", exporters: new Map() }, [late]);
  let reopened = null;
  try {
    reopened = await lib.poll("a run re-opened by a late span diagnosed again", async () => {
      const t = await getTrace(state.server.url, lateId);
      return t.status === "diagnosed" && t.version > before.version ? t : { notYet: `status ${t.status}, version ${t.version}` };
    }, { timeoutMs: 20000, intervalMs: 50 });
  } catch (e) {
    fail(e.message);
  }
  if (reopened) {
    console.log(`a late span re-opened a diagnosed run: version ${before.version} -> ${reopened.version}, ` +
      `${before.span_count} -> ${reopened.span_count} spans`);
    if (reopened.version !== before.version + 1 || reopened.span_count !== before.span_count + 1)
      fail(`late span: version ${before.version} -> ${reopened.version}, spans ${before.span_count} -> ${reopened.span_count}`);
  }

  // A batch sent twice, as an exporter does when the answer to the first copy was lost (a
  // kill, a client timeout): the server keeps one copy of each span, so the report is the
  // run's as sent once.
  const twice = lib.agentRun({ spanCount: 8, variant: 1, service: "retried" });
  const retried = { protocol: "json", compression: "none", exporters: new Map() };
  await sendBatch(retried, twice.spans);
  await sendBatch(retried, twice.spans);
  const onceFile = path.join(out, "sent-once.otlp.json");
  const { JsonTraceSerializer } = require("@opentelemetry/otlp-transformer");
  fs.writeFileSync(onceFile, Buffer.from(JsonTraceSerializer.serializeRequest(twice.spans)));
  const once = JSON.parse(lib.diagnoseFile(tracedx, onceFile, twice.traceId));
  const got = (await waitDiagnosed(state.server.url, [twice.traceId], 30000)).get(twice.traceId);
  const sameReport = lib.canonical(got.diagnosis) === lib.canonical(once);
  console.log(`a batch of ${twice.spans.length} spans sent twice: ${got.span_count} spans stored; the report ` +
    (sameReport ? "is that of the run sent once" : "differs from that of the run sent once"));
  if (got.span_count !== twice.spans.length || !sameReport)
    fail(`a batch sent twice: ${got.span_count} spans stored for ${twice.spans.length} sent, report ${sameReport ? "same" : "different"}`);

  // SIGTERM drains: runs whose quiet time (a minute) has not passed are diagnosed on the way out.
  let { code, signal } = await lib.stopServe(state.server);
  if (code !== 0) fail(`SIGTERM after the kills: exit ${code} ${signal || ""}`);
  nextUp();
  await start(60000);
  state.stop = false;
  complete.clear();
  const drained = Array.from({ length: 3 }, (_, i) => sender(i));
  await lib.sleep(600);
  state.stop = true;
  await Promise.all(drained);
  // A run whose root never arrived is pending too.
  const rootless = lib.agentRun({ spanCount: 5, variant: 0, service: "rootless" });
  const s = { protocol: "protobuf", compression: "gzip", exporters: new Map() };
  await sendBatch(s, rootless.spans.slice(0, -1));
  const pending = (await lib.getJson(`${state.server.url}/api/traces?limit=1000`)).traces.filter((t) => t.status === "pending").length;
  const t1 = Date.now();
  ({ code, signal } = await lib.stopServe(state.server, "SIGTERM", 120000));
  // The exporters still hold their idle keep-alive connections, as a live client does.
  console.log(`SIGTERM with ${pending} runs pending and the exporters connected: exit ${code}${signal ? ` (${signal})` : ""} after ${Date.now() - t1} ms`);
  if (code !== 0) fail(`SIGTERM with runs pending: exit ${code} ${signal || ""}`);
  nextUp();
  await start(60000);
  const drainedIds = [...complete];
  const after = new Map();
  for (const id of drainedIds) after.set(id, await getTrace(state.server.url, id));
  const undrained = drainedIds.filter((id) => after.get(id).status !== "diagnosed");
  if (undrained.length) fail(`${undrained.length} of ${drainedIds.length} runs still not diagnosed after SIGTERM (e.g. ${undrained[0]}: ${after.get(undrained[0]).status})`);
  const check = await readStored(state.server.url);
  if (check.lost) fail(`${check.lost} acknowledged spans lost by SIGTERM (${perTransport(check.lostBy)})`);
  checkDiagnoses(check, drainedIds.filter((id) => !undrained.includes(id)), after, "after-sigterm");
  const root = await getTrace(state.server.url, rootless.traceId);
  console.log(`after SIGTERM: ${drainedIds.length - undrained.length} of ${drainedIds.length} runs diagnosed on the way out, ` +
    `${check.lost} acknowledged spans lost; a run without its root: ${root.status}`);
  if (root.status === "pending") fail("a run without its root was left pending by SIGTERM");
  ({ code } = await lib.stopServe(state.server));
  if (code !== 0) fail(`final SIGTERM: exit ${code}`);
  for (const [name, t] of byTransport)
    console.log(`${name} export latency: p50 ${lib.percentile(t.latencies, 50).toFixed(1)} ms, p99 ${lib.percentile(t.latencies, 99).toFixed(1)} ms`);
}

lib.runMain(main, "durability", failures, ` (seed ${seed})`);
