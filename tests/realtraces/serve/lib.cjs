// What the tests of `tracedx serve` share: starting and stopping the server (it prints its
// address on standard output), small HTTP helpers, bounded polling, the exporters of the
// OpenTelemetry JS SDK and synthetic agent runs for them to send.
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const http = require("node:http");
const crypto = require("node:crypto");
const { spawn, execFileSync } = require("node:child_process");

// Servers still running when a test ends (it failed) are killed with it.
const live = new Set();
process.on("exit", () => {
  for (const child of live) child.kill("SIGKILL");
});

const LISTENING = /^tracedx serve: listening on (http:\/\/127\.0\.0\.1:\d+)\s*$/;
const GRPC_LISTENING = /^tracedx serve: OTLP\/gRPC on (127\.0\.0\.1:\d+)\s*$/;

// Starts `tracedx serve ARGS...` on ephemeral ports of 127.0.0.1 (OTLP/HTTP and OTLP/gRPC, so
// that servers run side by side) and resolves once it has printed its listening line (and,
// with `grpc`, its OTLP/gRPC line, whose HOST:PORT is `grpc` in the result). Standard error
// (and anything more on standard output) goes to `log`. `exited` resolves to {code, signal}
// when the process ends.
function startServe(tracedx, args, { log, timeoutMs = 60000, grpc = false } = {}) {
  const logFd = fs.openSync(log || "/dev/null", "a");
  const child = spawn(tracedx, ["serve", "--listen", "127.0.0.1:0", "--grpc-listen", "127.0.0.1:0", ...args], { stdio: ["ignore", "pipe", logFd] });
  fs.closeSync(logFd);
  live.add(child);
  const exited = new Promise((ok) => child.on("exit", (code, signal) => {
    live.delete(child);
    ok({ code, signal });
  }));
  return new Promise((resolve, reject) => {
    let buffered = "";
    let url = null;
    let grpcAddress = null;
    let listening = false;
    const timer = setTimeout(() => {
      child.kill("SIGKILL");
      reject(new Error(`tracedx serve printed no listening line${grpc ? "s" : ""} within ${timeoutMs} ms (log: ${log})`));
    }, timeoutMs);
    child.stdout.setEncoding("utf8");
    child.stdout.on("data", (chunk) => {
      if (log) fs.appendFileSync(log, chunk);
      if (listening) return;
      buffered += chunk;
      const lines = buffered.split("\n");
      buffered = lines.pop();
      for (const line of lines) {
        const m = LISTENING.exec(line);
        if (m) url = m[1];
        const g = grpc && GRPC_LISTENING.exec(line);
        if (g) grpcAddress = g[1];
        if (url && (!grpc || grpcAddress)) {
          listening = true;
          clearTimeout(timer);
          resolve({ url, grpc: grpcAddress, pid: child.pid, child, exited });
          return;
        }
      }
    });
    exited.then(({ code, signal }) => {
      clearTimeout(timer);
      if (!listening) reject(new Error(`tracedx serve exited (code ${code}, signal ${signal}) before listening (log: ${log})`));
    });
  });
}

// Sends SIGTERM (or the given signal) and waits for the exit, at most `timeoutMs`.
async function stopServe(server, signal = "SIGTERM", timeoutMs = 60000) {
  server.child.kill(signal);
  let timer;
  const timeout = new Promise((ok) => { timer = setTimeout(() => ok(null), timeoutMs); });
  const result = await Promise.race([server.exited, timeout]);
  clearTimeout(timer);
  if (!result) {
    server.child.kill("SIGKILL");
    throw new Error(`tracedx serve did not exit within ${timeoutMs} ms of ${signal}`);
  }
  return result;
}

// One HTTP request without keep-alive; resolves to {status, headers, body: Buffer}.
function request(url, { method = "GET", headers = {}, body = null, timeoutMs = 30000 } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { method, headers, agent: false }, (res) => {
      const chunks = [];
      res.on("data", (c) => chunks.push(c));
      res.on("end", () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks) }));
      res.on("error", reject);
    });
    req.setTimeout(timeoutMs, () => req.destroy(new Error(`${method} ${url}: no answer within ${timeoutMs} ms`)));
    req.on("error", reject);
    req.end(body);
  });
}

async function getJson(url, headers = {}) {
  const r = await request(url, { headers });
  if (r.status !== 200) throw new Error(`GET ${url}: ${r.status} ${r.body.toString("utf8").slice(0, 200)}`);
  return JSON.parse(r.body.toString("utf8"));
}

const sleep = (ms) => new Promise((ok) => setTimeout(ok, ms));

// Calls `check` every `intervalMs` until it returns a truthy value, which it resolves to;
// fails after `timeoutMs` with `what` and the last value seen.
async function poll(what, check, { timeoutMs = 60000, intervalMs = 50 } = {}) {
  const deadline = Date.now() + timeoutMs;
  let last;
  for (;;) {
    last = await check();
    if (last && !last.notYet) return last;
    if (Date.now() > deadline)
      throw new Error(`${what}: not reached within ${timeoutMs} ms${last && last.notYet ? ` (${last.notYet})` : ""}`);
    await sleep(intervalMs);
  }
}

// The Prometheus text of /metrics as a map "name{labels}" -> number.
function parseMetrics(text) {
  const out = new Map();
  for (const line of text.split("\n")) {
    if (!line || line.startsWith("#")) continue;
    const m = /^(\S+?(?:\{.*\})?)\s+(\S+)(?:\s+\d+)?$/.exec(line);
    if (m) out.set(m[1], Number(m[2]));
  }
  return out;
}

// `tracedx diagnose --from otlp FILE --trace-id ID --compact`, as text.
function diagnoseFile(tracedx, file, traceId) {
  return execFileSync(tracedx, ["diagnose", "--from", "otlp", file, "--trace-id", traceId, "--compact"],
    { encoding: "utf8", maxBuffer: 256 << 20 }).trim();
}

// The same JSON written the same way (member order kept), to compare documents that passed
// through different writers.
const canonical = (value) => JSON.stringify(typeof value === "string" ? JSON.parse(value) : value);

// A trace exporter of the SDK: over OTLP/HTTP "json" (exporter-trace-otlp-http) or "protobuf"
// (exporter-trace-otlp-proto), to `url` (http://HOST:PORT/v1/traces); over OTLP/gRPC "grpc"
// (exporter-trace-otlp-grpc), to `url` http://HOST:PORT, without headers.
function makeExporter(protocol, url, { headers = {}, compression = "none", timeoutMillis = 10000 } = {}) {
  if (protocol === "grpc") {
    if (Object.keys(headers).length) throw new Error("makeExporter: headers are not passed to the gRPC exporter");
    const { OTLPTraceExporter } = require("@opentelemetry/exporter-trace-otlp-grpc");
    return new OTLPTraceExporter({ url, compression, timeoutMillis, concurrencyLimit: 64 });
  }
  const pkg = protocol === "protobuf" ? "@opentelemetry/exporter-trace-otlp-proto" : "@opentelemetry/exporter-trace-otlp-http";
  const { OTLPTraceExporter } = require(pkg);
  return new OTLPTraceExporter({ url, headers, compression, timeoutMillis, concurrencyLimit: 64 });
}

// Exports `spans` once; resolves to {ok, error, ms}. (ExportResultCode.SUCCESS is 0.)
function exportOnce(exporter, spans) {
  const t0 = process.hrtime.bigint();
  return new Promise((resolve) => exporter.export(spans, (result) => resolve({
    ok: result.code === 0,
    error: result.error ? String(result.error.message || result.error) : null,
    ms: Number(process.hrtime.bigint() - t0) / 1e6,
  })));
}

// A deterministic generator (mulberry32), so a failing run can be repeated from its seed.
function rng(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

const hex = (bytes) => crypto.randomBytes(bytes).toString("hex");
const hrTime = (ms) => [Math.floor(ms / 1000), Math.round((ms % 1000) * 1e6)];

let resourceCache = new Map();
function resourceFor(service) {
  if (!resourceCache.has(service)) {
    const { resourceFromAttributes } = require("@opentelemetry/resources");
    resourceCache.set(service, resourceFromAttributes({ "service.name": service }));
  }
  return resourceCache.get(service);
}

const SCOPE = { name: "tracedx-serve-tests", version: "1.0.0" };

// One finished span in the form the SDK hands its exporters (ReadableSpan).
function readableSpan({ traceId, spanId, parentId, name, kind, startMs, endMs, attributes, error, service }) {
  const ctx = { traceId, spanId, traceFlags: 1 };
  return {
    name,
    kind,
    spanContext: () => ctx,
    parentSpanContext: parentId ? { traceId, spanId: parentId, traceFlags: 1, isRemote: false } : undefined,
    startTime: hrTime(startMs),
    endTime: hrTime(endMs),
    duration: hrTime(endMs - startMs),
    status: error ? { code: 2, message: error } : { code: 0 },
    attributes,
    links: [],
    events: [],
    ended: true,
    resource: resourceFor(service),
    instrumentationScope: SCOPE,
    droppedAttributesCount: 0,
    droppedEventsCount: 0,
    droppedLinksCount: 0,
  };
}

// A synthetic agent run with GenAI-convention spans: an `invoke_agent` root and `spanCount - 1`
// children alternating model calls and tool calls. `variant` 0 ends with an answer, 1 has a
// failing tool (and a failed run), 2 a model call that timed out. Children come first, the
// root last, as a batching exporter sends them.
function agentRun({ spanCount = 12, variant = 0, service = "serve-tests", startMs = Date.now() - 60000 }) {
  const traceId = hex(16);
  const rootId = hex(8);
  const spans = [];
  let t = startMs + 1;
  const children = Math.max(1, spanCount - 1);
  for (let i = 0; i < children; i++) {
    const last = i === children - 1;
    const model = i % 2 === 0 || last;
    const base = { traceId, spanId: hex(8), parentId: rootId, startMs: t, endMs: t + 40 + (i % 7) * 13, service };
    t = base.endMs + 1;
    if (model) {
      const failed = variant === 2 && last;
      spans.push(readableSpan({
        ...base, name: "chat gpt-4o-mini", kind: 2,
        attributes: {
          "gen_ai.operation.name": "chat", "gen_ai.request.model": "gpt-4o-mini",
          "gen_ai.usage.input_tokens": 40 + i, "gen_ai.usage.output_tokens": 12,
          "gen_ai.response.finish_reasons": [last ? "stop" : "tool_calls"],
          ...(last && !failed ? { "gen_ai.output.messages": JSON.stringify([{ role: "assistant", parts: [{ type: "text", content: "The report is ready." }] }]) } : {}),
        },
        error: failed ? "Request timed out." : null,
      }));
    } else {
      const failed = variant === 1 && i === 1;
      spans.push(readableSpan({
        ...base, name: "execute_tool search", kind: 0,
        attributes: {
          "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "search",
          "gen_ai.tool.call.arguments": JSON.stringify({ query: `step ${i}` }),
          ...(failed ? { "error.type": "HTTPError" } : { "gen_ai.tool.call.result": JSON.stringify({ hits: i }) }),
        },
        error: failed ? "502 Bad Gateway from search provider" : null,
      }));
    }
  }
  spans.push(readableSpan({
    traceId, spanId: rootId, parentId: null, name: "invoke_agent Planner", kind: 0, startMs, endMs: t + 1, service,
    attributes: { "gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": "Planner" },
    error: variant === 0 ? null : variant === 1 ? "Tool search failed" : "Request timed out.",
  }));
  return { traceId, spans };
}

// Percentile (nearest rank) of an array of numbers.
function percentile(values, p) {
  if (values.length === 0) return NaN;
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.max(0, Math.ceil((p / 100) * sorted.length) - 1))];
}

// Runs a test's main and exits: 0 when it ended with no failure recorded, 1 otherwise (the
// count, with `detail` after it, on standard error; an exception's stack is followed by
// `detail` too, so a failing run can be repeated).
function runMain(main, name, failures, detail = "") {
  main().then(() => {
    if (failures.length) {
      console.error(`${failures.length} failures${detail}`);
      process.exit(1);
    }
    console.log(`${name}: ok`);
    process.exit(0);
  }, (e) => {
    console.error(e.stack || String(e));
    if (detail) console.error(detail.trim());
    process.exit(1);
  });
}

// Runs `node ARGS...` with `env` added; resolves to null when it exits 0, else why not.
function runNode(args, env) {
  return new Promise((resolve) => {
    const child = spawn(process.execPath, args, { env: { ...process.env, ...env }, stdio: ["ignore", "inherit", "inherit"] });
    child.on("exit", (code, signal) => resolve(code === 0 ? null : `exit ${code} ${signal || ""}`));
  });
}

// Spans per trace id in a recording (one export request per line).
function spanCounts(file) {
  const counts = new Map();
  for (const line of fs.readFileSync(file, "utf8").split("\n")) {
    if (!line.trim()) continue;
    for (const rs of JSON.parse(line).resourceSpans || [])
      for (const ss of rs.scopeSpans || [])
        for (const s of ss.spans || []) counts.set(s.traceId, (counts.get(s.traceId) || 0) + 1);
  }
  return counts;
}

// The real-library recorders of tests/realtraces: a name and the node arguments that run it.
const RECORDERS = [
  ["openinference", [path.join(__dirname, "..", "record.cjs"), "openinference"]],
  ["genai", [path.join(__dirname, "..", "record.cjs"), "genai"]],
  ["traceloop", [path.join(__dirname, "..", "record.cjs"), "traceloop"]],
  ["langchain", [path.join(__dirname, "..", "record-langchain.cjs")]],
];


module.exports = {
  RECORDERS, runNode, spanCounts,
  startServe, stopServe, request, getJson, poll, sleep, parseMetrics, diagnoseFile, canonical,
  makeExporter, exportOnce, rng, agentRun, readableSpan, hex, percentile, runMain,
};
