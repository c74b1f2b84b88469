// One local HTTP server on 127.0.0.1 plays two parts for a recording: a mock of the
// chat-completions API that answers each scenario from a script, and an OTLP/HTTP JSON
// receiver that appends every export request body, one per line, to the recording file
// (spans, POST /v1/traces, to `<name>.otlp.jsonl`; log records, POST /v1/logs, to
// `<name>.logs.jsonl`). The tracer provider exports through the SDK's OTLP/HTTP JSON exporter
// to that receiver. A kit that records logs (the OpenTelemetry GenAI instrumentation writes
// message content as log records, not on spans) also gets a logger provider that exports
// through the SDK's OTLP/HTTP JSON log exporter to the same receiver.
// REALTRACES_OTLP_EXPORTS (a JSON array of {protocol: "json"|"protobuf"|"grpc", url, headers,
// compression, logs}, where what is left out comes from the SDK's environment variables; no
// headers and no logs for "grpc", whose metadata comes from those variables) adds one
// more exporter per entry, so the same spans also go to an OTLP
// endpoint such as `tracedx serve`; an entry with `logs: true` sends the log records too, with
// the log exporter of the same protocol, to its url with /v1/traces replaced by /v1/logs (or,
// with no url, where the OTEL_EXPORTER_OTLP_LOGS_* variables say). What each exporter saw is
// written to `<out>.exports.json`.
"use strict";
const fs = require("node:fs");
const http = require("node:http");
const { trace, context, ROOT_CONTEXT } = require("@opentelemetry/api");
const { NodeTracerProvider, BatchSpanProcessor } = require("@opentelemetry/sdk-trace-node");
const { resourceFromAttributes } = require("@opentelemetry/resources");
const { OTLPTraceExporter } = require("@opentelemetry/exporter-trace-otlp-http");
const { LoggerProvider, BatchLogRecordProcessor } = require("@opentelemetry/sdk-logs");
const { OTLPLogExporter } = require("@opentelemetry/exporter-logs-otlp-http");
const { diag, DiagLogLevel } = require("@opentelemetry/api");

// A recording that hangs (a library waiting on a socket) ends the process instead of the test.
setTimeout(() => {
  console.error("recording did not finish within 30 s");
  process.exit(1);
}, 30000).unref();

function chatCompletion(message, finishReason = "stop") {
  return {
    id: "chatcmpl-mock",
    object: "chat.completion",
    created: 1765000000,
    model: "gpt-4o-mini-2024-07-18",
    choices: [{ index: 0, message: { role: "assistant", refusal: null, ...message }, finish_reason: finishReason }],
    usage: { prompt_tokens: 42, completion_tokens: 17, total_tokens: 59 },
  };
}

// Helpers for scripts: a text answer, a tool call, a content-filter stop, an HTTP error, a delay.
const reply = {
  text: (content) => ({ body: chatCompletion({ content }) }),
  toolCall: (name, args, id = "call_1") => ({
    body: chatCompletion(
      { content: null, tool_calls: [{ id, type: "function", function: { name, arguments: JSON.stringify(args) } }] },
      "tool_calls"),
  }),
  contentFilter: () => ({ body: chatCompletion({ content: null }, "content_filter") }),
  error: (status, message, type, code) => ({ status, body: { error: { message, type, param: null, code } } }),
  slow: (ms, then) => ({ ...then, delayMs: ms }),
};

// Where the log records of the recording `<name>.otlp.jsonl` go.
const logsFileOf = (outFile) => outFile.replace(/\.otlp\.jsonl$/, ".logs.jsonl");

async function startServer(outFile, logsFile) {
  const scripts = new Map();
  const received = [];
  const receivedLogs = [];
  const server = http.createServer((req, res) => {
    const chunks = [];
    req.on("data", (c) => chunks.push(c));
    req.on("end", () => {
      const body = Buffer.concat(chunks).toString("utf8");
      if (req.url === "/v1/traces") {
        // One export per line: the request bodies are compact JSON.
        fs.appendFileSync(outFile, body.replace(/\n/g, "") + "\n");
        received.push(JSON.parse(body));
        res.writeHead(200, { "content-type": "application/json" });
        res.end("{}");
        return;
      }
      if (req.url === "/v1/logs" && logsFile) {
        fs.appendFileSync(logsFile, body.replace(/\n/g, "") + "\n");
        receivedLogs.push(JSON.parse(body));
        res.writeHead(200, { "content-type": "application/json" });
        res.end("{}");
        return;
      }
      const m = /^\/s\/([a-z0-9_]+)\/chat\/completions$/.exec(req.url);
      const queue = m && scripts.get(m[1]);
      const next = queue && queue.shift();
      if (!next) {
        res.writeHead(500, { "content-type": "application/json" });
        res.end(JSON.stringify({ error: { message: `mock has no reply for ${req.url}` } }));
        return;
      }
      const send = () => {
        if (res.destroyed) return;
        res.writeHead(next.status || 200, { "content-type": "application/json" });
        res.end(JSON.stringify(next.body));
      };
      if (next.delayMs) setTimeout(send, next.delayMs); else send();
    });
  });
  server.keepAliveTimeout = 100;
  await new Promise((ok) => server.listen(0, "127.0.0.1", ok));
  const base = `http://127.0.0.1:${server.address().port}`;
  return { server, scripts, received, receivedLogs, base };
}

// The extra exporters of REALTRACES_OTLP_EXPORTS, each wrapped to count the results of its
// exports (code 0 is ExportResultCode.SUCCESS), and the exporters' own warnings (a partial
// success, a response that does not decode), caught through the diagnostic logger.
function extraExporters() {
  const entries = JSON.parse(process.env.REALTRACES_OTLP_EXPORTS || "[]");
  if (entries.length === 0) return { processors: [], logProcessors: () => [], report: () => null };
  const warnings = [];
  // Only the exporters' warnings: instrumentations warn about load order on the same logger.
  const keep = (level) => (...args) => {
    const text = args.map((a) => (typeof a === "string" ? a : JSON.stringify(a))).join(" ");
    if (/partial success|deserialize|export/i.test(text)) warnings.push(`${level}: ${text}`);
  };
  diag.setLogger({ error: keep("error"), warn: keep("warn"), info() {}, debug() {}, verbose() {} }, DiagLogLevel.WARN);
  const stats = entries.map((e) => ({
    protocol: e.protocol, url: e.url, ok: 0, failed: 0, spans: 0, errors: [],
    ...(e.logs ? { logs: { ok: 0, failed: 0, records: 0, errors: [] } } : {}),
  }));
  const processors = entries.map((e, i) => {
    const Exporter = e.protocol === "protobuf"
      ? require("@opentelemetry/exporter-trace-otlp-proto").OTLPTraceExporter
      : e.protocol === "grpc" ? require("@opentelemetry/exporter-trace-otlp-grpc").OTLPTraceExporter
      : OTLPTraceExporter;
    // What the entry leaves out comes from the OTEL_EXPORTER_OTLP_TRACES_* variables.
    const config = {};
    for (const key of ["url", "headers", "compression"]) if (e[key] !== undefined) config[key] = e[key];
    const inner = new Exporter(config);
    const counted = {
      export(spans, done) {
        inner.export(spans, (result) => {
          if (result.code === 0) {
            stats[i].ok += 1;
            stats[i].spans += spans.length;
            done(result);
          } else {
            // Counted and reported in the exports file; the recording itself goes on.
            stats[i].failed += 1;
            stats[i].errors.push(String(result.error && result.error.message));
            done({ code: 0 });
          }
        });
      },
      forceFlush: () => inner.forceFlush(),
      shutdown: () => inner.shutdown(),
    };
    return new BatchSpanProcessor(counted);
  });
  // The log exporters of the entries with `logs`, made only for a kit that records logs.
  const logProcessors = () => entries.flatMap((e, i) => {
    if (!e.logs) return [];
    const Exporter = e.protocol === "protobuf"
      ? require("@opentelemetry/exporter-logs-otlp-proto").OTLPLogExporter : OTLPLogExporter;
    // What the entry leaves out comes from the OTEL_EXPORTER_OTLP_LOGS_* variables.
    const config = {};
    if (e.url !== undefined) config.url = e.url.replace(/\/v1\/traces$/, "/v1/logs");
    for (const key of ["headers", "compression"]) if (e[key] !== undefined) config[key] = e[key];
    const inner = new Exporter(config);
    const counted = {
      export(records, done) {
        inner.export(records, (result) => {
          if (result.code === 0) {
            stats[i].logs.ok += 1;
            stats[i].logs.records += records.length;
          } else {
            stats[i].logs.failed += 1;
            stats[i].logs.errors.push(String(result.error && result.error.message));
          }
          done({ code: 0 });
        });
      },
      forceFlush: () => inner.forceFlush(),
      shutdown: () => inner.shutdown(),
    };
    return [new BatchLogRecordProcessor({ exporter: counted })];
  });
  return { processors, logProcessors, report: () => ({ exporters: stats, warnings }) };
}

// The trace ids of the spans (or, with `logs`, the log records) in OTLP JSON export bodies.
function traceIds(docs, logs = false) {
  const ids = new Set();
  for (const doc of docs) {
    if (logs) {
      for (const rl of doc.resourceLogs || [])
        for (const sl of rl.scopeLogs || [])
          for (const r of sl.logRecords || []) ids.add(r.traceId || "");
    } else {
      for (const rs of doc.resourceSpans || [])
        for (const ss of rs.scopeSpans || [])
          for (const s of ss.spans || []) ids.add(s.traceId);
    }
  }
  return ids;
}

// Sets up tracing for one library, runs the scenarios one after the other (each its own
// trace), and writes `<out>.manifest.json`: scenario name -> trace id. With `logs`, the kit's
// instrumentations also get a logger provider (`instrument(provider, loggerProvider)`), whose
// records go to `<name>.logs.jsonl`; each scenario's records must belong to its trace.
async function record({ library, outFile, instrument, scenarios, logs = false }) {
  fs.writeFileSync(outFile, "");
  const logsFile = logs ? logsFileOf(outFile) : null;
  if (logsFile) fs.writeFileSync(logsFile, "");
  const srv = await startServer(outFile, logsFile);
  const extra = extraExporters();
  const resource = resourceFromAttributes({ "service.name": `realtraces-${library}` });
  const provider = new NodeTracerProvider({
    resource,
    spanProcessors: [
      new BatchSpanProcessor(new OTLPTraceExporter({ url: `${srv.base}/v1/traces`, compression: "none" })),
      ...extra.processors,
    ],
  });
  provider.register();
  const loggerProvider = logs ? new LoggerProvider({
    resource,
    processors: [
      new BatchLogRecordProcessor({ exporter: new OTLPLogExporter({ url: `${srv.base}/v1/logs`, compression: "none" }) }),
      ...extra.logProcessors(),
    ],
  }) : null;
  const kit = await instrument(provider, loggerProvider);
  const manifest = {};
  for (const [name, { script, run }] of Object.entries(scenarios(kit))) {
    srv.scripts.set(name, script.slice());
    const before = srv.received.length;
    const logsBefore = srv.receivedLogs.length;
    const t0 = Date.now();
    const client = kit.client({ baseURL: `${srv.base}/s/${name}`, apiKey: "sk-mock", maxRetries: 0, timeout: 2000 });
    try {
      await context.with(ROOT_CONTEXT, () => run(client, kit));
    } catch (e) {
      // The run failed; its spans say how.
    }
    await provider.forceFlush();
    if (loggerProvider) await loggerProvider.forceFlush();
    const ids = traceIds(srv.received.slice(before));
    if (ids.size !== 1) throw new Error(`${library}/${name}: expected one trace, got ${ids.size}`);
    manifest[name] = [...ids][0];
    if (loggerProvider) {
      // The records are emitted in the model call's context, so they carry its trace and span.
      const logIds = traceIds(srv.receivedLogs.slice(logsBefore), true);
      for (const id of logIds)
        if (id !== manifest[name]) throw new Error(`${library}/${name}: a log record of trace ${JSON.stringify(id)}, not ${manifest[name]}`);
    }
    if (process.env.REALTRACES_TIMING) console.error(`${library}/${name}: ${Date.now() - t0} ms`);
  }
  if (loggerProvider) await loggerProvider.shutdown();
  await provider.shutdown();
  srv.server.closeAllConnections();
  await new Promise((ok) => srv.server.close(ok));
  fs.writeFileSync(outFile.replace(/\.otlp\.jsonl$/, ".manifest.json"), JSON.stringify(manifest, null, 2) + "\n");
  const exports = extra.report();
  if (exports) fs.writeFileSync(outFile.replace(/\.otlp\.jsonl$/, ".exports.json"), JSON.stringify(exports, null, 2) + "\n");
  // Clients keep sockets and timers (a delayed mock reply) that need not be waited for.
  process.exit(0);
}

module.exports = { record, reply, trace, context, logsFileOf };
