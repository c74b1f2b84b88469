// Load on `tracedx serve`: node load.cjs TRACEDX OUTDIR [SECONDS]
// Three sender processes (two protobuf, one JSON; two concurrent exports each) send whole
// agent runs for SECONDS (default 5). Prints the spans per second the server acknowledged,
// the request latency the exporters saw (p50/p99), the time from a run's last acknowledged
// span to its diagnosis (a sample of runs, polled every 25 ms), and checks that every
// acknowledged span is stored. Speed is reported, never asserted.
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const { fork } = require("node:child_process");
const lib = require("./lib.cjs");

const [tracedx, out, secondsArg] = process.argv.slice(2);
if (!tracedx || !out) {
  console.error("usage: node load.cjs TRACEDX OUTDIR [SECONDS]");
  process.exit(2);
}
const SECONDS = Number(secondsArg || 5);
const PROCESSES = 3;
const CONCURRENCY = 2;
const QUIET_MS = 200;
const SAMPLE_EVERY = 25;
const MAX_POLLS = 16;
const failures = [];
const fail = (what) => { failures.push(what); console.error(`FAIL: ${what}`); };

async function main() {
  fs.mkdirSync(out, { recursive: true });
  const db = path.join(out, "load.db");
  for (const suffix of ["", "-wal", "-shm"]) fs.rmSync(db + suffix, { force: true });
  const server = await lib.startServe(tracedx, ["--db", db, "--quiet-ms", String(QUIET_MS)], { log: path.join(out, "load.log") });

  const acked = new Map();
  const toDiagnosis = [];
  let polls = 0;
  let traces = 0;
  let sampledOut = 0;
  const pollOne = async (id, at) => {
    polls += 1;
    try {
      const deadline = Date.now() + 60000;
      while (Date.now() < deadline) {
        const r = await lib.request(`${server.url}/api/traces/${id}`);
        if (r.status === 200 && JSON.parse(r.body.toString("utf8")).status === "diagnosed") {
          toDiagnosis.push(Date.now() - at);
          return;
        }
        await lib.sleep(25);
      }
      fail(`${id}: not diagnosed within 60 s of its last span`);
    } finally {
      polls -= 1;
    }
  };
  const pollers = [];
  const done = [];
  await Promise.all(Array.from({ length: PROCESSES }, (_, i) => new Promise((resolve) => {
    const child = fork(path.join(__dirname, "load-sender.cjs"), [server.url, String(SECONDS), String(i), String(CONCURRENCY)]);
    child.on("message", (m) => {
      if (m.done) {
        done.push(m.done);
        return;
      }
      for (const [id, count] of m.acked) {
        acked.set(id, count);
        traces += 1;
        if (traces % SAMPLE_EVERY !== 0) continue;
        if (polls < MAX_POLLS) pollers.push(pollOne(id, m.at));
        else sampledOut += 1;
      }
    });
    child.on("exit", (code) => {
      if (code !== 0) fail(`sender ${i} exited ${code}`);
      resolve();
    });
  })));
  // From the first sender's start to the last one's end (not counting Node's start-up).
  const elapsed = (Math.max(...done.map((d) => d.end)) - Math.min(...done.map((d) => d.start))) / 1000;
  await Promise.all(pollers);

  // Every acknowledged run stored whole and diagnosed.
  const ids = [...acked.keys()];
  const spans = [...acked.values()].reduce((a, b) => a + b, 0);
  const left = new Set(ids);
  let lost = 0;
  let extra = 0;
  await lib.poll("every acknowledged run diagnosed", async () => {
    const batch = [...left];
    let next = 0;
    await Promise.all(Array.from({ length: 8 }, async () => {
      while (next < batch.length) {
        const id = batch[next++];
        const r = await lib.request(`${server.url}/api/traces/${id}`);
        const t = r.status === 200 ? JSON.parse(r.body.toString("utf8")) : null;
        if (t && t.status === "pending") continue;
        left.delete(id);
        const have = t ? t.span_count : 0;
        if (have < acked.get(id)) lost += acked.get(id) - have;
        if (have > acked.get(id)) extra += have - acked.get(id);
        if (!t || t.status !== "diagnosed") fail(`${id}: ${t ? t.status : `HTTP ${r.status}`}`);
      }
    }));
    return left.size ? { notYet: `${left.size} runs pending` } : true;
  }, { timeoutMs: 120000, intervalMs: 200 });
  const lastEnd = Math.max(...done.map((d) => d.end));
  const allDiagnosedMs = Date.now() - lastEnd;

  const latencies = done.flatMap((d) => d.latencies);
  const failed = done.reduce((a, d) => a + d.failed, 0);
  const metrics = lib.parseMetrics((await lib.request(`${server.url}/metrics`)).body.toString("utf8"));
  const codes = [...metrics].filter(([k]) => k.startsWith("tracedx_requests_total")).map(([k, v]) => `${k.replace(/^[^{]*/, "")} ${v}`);
  const { code } = await lib.stopServe(server);
  if (code !== 0) fail(`SIGTERM: exit ${code}`);
  const f = (x) => x.toFixed(1);
  console.log(`${PROCESSES} sender processes x ${CONCURRENCY} concurrent exports (protobuf, protobuf+gzip, JSON), ` +
    `bodies of 8 runs x 32 spans, --quiet-ms ${QUIET_MS}, ${f(elapsed)} s`);
  console.log(`accepted: ${spans} spans in ${latencies.length} requests = ${Math.round(spans / elapsed)} spans/s ` +
    `(${ids.length} runs); failed exports: ${failed} ${failed ? JSON.stringify(done.map((d) => d.errors)) : ""}`);
  console.log(`request latency: p50 ${f(lib.percentile(latencies, 50))} ms, p99 ${f(lib.percentile(latencies, 99))} ms, max ${f(Math.max(...latencies))} ms`);
  console.log(`last span to diagnosis (${toDiagnosis.length} sampled runs, ${sampledOut} not sampled for lack of pollers): ` +
    `p50 ${lib.percentile(toDiagnosis, 50)} ms, p99 ${lib.percentile(toDiagnosis, 99)} ms, max ${Math.max(...toDiagnosis)} ms (quiet time ${QUIET_MS} ms)`);
  console.log(`every run diagnosed ${allDiagnosedMs} ms after the last export ended (checked in one pass over the runs)`);
  console.log(`responses by code: ${codes.join(", ")}`);
  console.log(`acknowledged spans lost: ${lost}${extra ? ` (${extra} stored more than once)` : ""}`);
  if (lost) fail(`${lost} acknowledged spans lost`);
  if (latencies.length === 0) fail("no export succeeded");
}

lib.runMain(main, "load", failures);
