// Records the scenarios with one instrumentation library:
//   node record.cjs openinference|genai|traceloop OUT.otlp.jsonl
// OpenInference: the openai client instrumentation and the core helpers' AGENT/TOOL/RETRIEVER
// spans (an application's plain `main` span around a workflow). genai: the OpenTelemetry GenAI
// instrumentation for openai, with the application's own invoke_workflow/invoke_agent/
// execute_tool spans named by the GenAI conventions, and the message content it writes as log
// records in OUT.logs.jsonl. traceloop: the OpenLLMetry openai
// instrumentation with traceloop.span.kind workflow/agent/tool/task spans.
"use strict";
const { record, trace, context } = require("./harness.cjs");
const { scenarios } = require("./scenarios.cjs");
const { SpanStatusCode } = require("@opentelemetry/api");

const [library, outFile] = process.argv.slice(2);

// A span around `fn` with the given name and attributes; errors are recorded and rethrown.
function spanned(tracer, name, attributes, fn, onResult) {
  return (...args) => tracer.startActiveSpan(name, { attributes }, async (span) => {
    try {
      const result = await fn(...args);
      if (onResult) onResult(span, result);
      return result;
    } catch (e) {
      span.recordException(e);
      span.setAttribute("error.type", e.name || "Error");
      span.setStatus({ code: SpanStatusCode.ERROR, message: e.message });
      throw e;
    } finally {
      span.end();
    }
  });
}

const kits = {
  openinference: async (provider) => {
    const { OpenAIInstrumentation } = require("@arizeai/openinference-instrumentation-openai");
    const oi = require("@arizeai/openinference-core");
    const instrumentation = new OpenAIInstrumentation();
    instrumentation.setTracerProvider(provider);
    const openai = require("openai");
    instrumentation.manuallyInstrument(openai);
    const tracer = provider.getTracer("realtraces-app");
    return {
      client: (opts) => new openai.OpenAI(opts),
      agent: (name, fn) => oi.traceAgent(fn, { name }),
      tool: (name, fn) => oi.traceTool(fn, { name }),
      retriever: (name, fn) => oi.withSpan(fn, {
        name,
        kind: "RETRIEVER",
        processOutput: (documents) => oi.getRetrieverAttributes({ documents }),
      }),
      // The application's own plain span around the run, with no OpenInference kind.
      workflow: (name, fn) => spanned(tracer, "main", { "app.name": name }, fn),
    };
  },
  // The instrumentation writes the messages (prompts, answers, tool calls) as log records in
  // the model call's context, through the logger provider, not on the span.
  genai: async (provider, loggerProvider) => {
    process.env.OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT = "true";
    const { registerInstrumentations } = require("@opentelemetry/instrumentation");
    const { OpenAIInstrumentation } = require("@opentelemetry/instrumentation-openai");
    registerInstrumentations({ tracerProvider: provider, loggerProvider, instrumentations: [new OpenAIInstrumentation()] });
    const openai = require("openai");
    const tracer = provider.getTracer("realtraces-app");
    return {
      client: (opts) => new openai.OpenAI(opts),
      agent: (name, fn) => spanned(tracer, `invoke_agent ${name}`, { "gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": name }, fn),
      tool: (name, fn) => (args) => spanned(tracer, `execute_tool ${name}`, {
        "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": name, "gen_ai.tool.call.arguments": JSON.stringify(args),
      }, fn, (span, result) => span.setAttribute("gen_ai.tool.call.result", JSON.stringify(result)))(args),
      retriever: (name, fn) => spanned(tracer, `retrieval ${name}`, { "gen_ai.operation.name": "retrieval", "gen_ai.data_source.id": name }, fn,
        (span, docs) => span.setAttribute("gen_ai.retrieval.documents", JSON.stringify(docs))),
      workflow: (name, fn) => spanned(tracer, `invoke_workflow ${name}`, { "gen_ai.operation.name": "invoke_workflow" }, fn),
    };
  },
  traceloop: async (provider) => {
    const { OpenAIInstrumentation } = require("@traceloop/instrumentation-openai");
    const { SpanAttributes } = require("@traceloop/ai-semantic-conventions");
    const instrumentation = new OpenAIInstrumentation({ traceContent: true });
    instrumentation.setTracerProvider(provider);
    const openai = require("openai");
    instrumentation.manuallyInstrument(openai.OpenAI);
    const tracer = provider.getTracer("realtraces-app");
    // What the OpenLLMetry SDK's agent/tool/task wrappers record.
    const entity = (kind, name, fn) => (...args) => spanned(tracer, `${name}.${kind}`, {
      [SpanAttributes.TRACELOOP_SPAN_KIND]: kind,
      [SpanAttributes.TRACELOOP_ENTITY_NAME]: name,
      [SpanAttributes.TRACELOOP_ENTITY_INPUT]: JSON.stringify({ args }),
    }, fn, (span, result) => span.setAttribute(SpanAttributes.TRACELOOP_ENTITY_OUTPUT, JSON.stringify(result ?? null)))(...args);
    return {
      client: (opts) => new openai.OpenAI(opts),
      agent: (name, fn) => entity("agent", name, fn),
      tool: (name, fn) => entity("tool", name, fn),
      retriever: (name, fn) => entity("task", name, fn),
      workflow: (name, fn) => entity("workflow", name, fn),
    };
  },
};

if (!kits[library] || !outFile) {
  console.error("usage: node record.cjs openinference|genai|traceloop OUT.otlp.jsonl");
  process.exit(2);
}
record({ library, outFile, instrument: kits[library], scenarios, logs: library === "genai" }).catch((e) => {
  console.error(e);
  process.exit(1);
});
