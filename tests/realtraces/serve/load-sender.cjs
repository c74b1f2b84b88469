// One load process of load.cjs: node load-sender.cjs URL SECONDS INDEX CONCURRENCY
// Runs CONCURRENCY export loops through one SDK exporter (protobuf, gzip for odd INDEX, JSON
// for INDEX 2) for SECONDS; each body holds 8 whole runs of 32 spans. Tells the parent
// (IPC) what each acknowledged body held, and at the end its request latencies.
"use strict";
const lib = require("./lib.cjs");

const [url, seconds, index, concurrency] = process.argv.slice(2);
const i = Number(index);
const protocol = i % 3 === 2 ? "json" : "protobuf";
const exporter = lib.makeExporter(protocol, `${url}/v1/traces`, { compression: i % 2 ? "gzip" : "none" });
const RUNS_PER_BODY = 8;
const SPANS_PER_RUN = 32;
const deadline = Date.now() + Number(seconds) * 1000;
const latencies = [];
const errors = {};
let failed = 0;
let n = 0;

async function loop() {
  while (Date.now() < deadline) {
    const runs = Array.from({ length: RUNS_PER_BODY }, () =>
      lib.agentRun({ spanCount: SPANS_PER_RUN, variant: n++ % 3, service: `load-${protocol}-${i}` }));
    const r = await lib.exportOnce(exporter, runs.flatMap((run) => run.spans));
    if (r.ok) {
      latencies.push(r.ms);
      process.send({ acked: runs.map((run) => [run.traceId, run.spans.length]), at: Date.now() });
    } else {
      failed += 1;
      errors[r.error] = (errors[r.error] || 0) + 1;
    }
  }
}

const start = Date.now();
Promise.all(Array.from({ length: Number(concurrency) }, loop)).then(() => {
  process.send({ done: { protocol, latencies, failed, errors, start, end: Date.now() } }, () => process.exit(0));
});
