// Records LangChain.js runs with the OpenInference LangChain instrumentation:
//   node record-langchain.cjs OUT.otlp.jsonl
// A RAG chain (retriever, format_docs, RunnablePassthrough, prompt, ChatOpenAI, output parser)
// whose retriever finds nothing, answered three ways (two made-up policies, one that says it
// found none), and tool-calling agents: one whose tool fails, one that repeats an empty search,
// one whose model call is rate limited.
"use strict";
const { record, reply } = require("./harness.cjs");

const [outFile] = process.argv.slice(2);

// Callbacks run before invoke returns, so each scenario's spans are complete when it is flushed.
process.env.LANGCHAIN_CALLBACKS_BACKGROUND = "false";
// LangChain fetches tokenizer tables from the internet to count tokens; the recording stays
// on 127.0.0.1, so any other address fails at once (LangChain then estimates the count).
const localFetch = globalThis.fetch;
globalThis.fetch = (url, ...rest) => {
  const href = String(url && url.url ? url.url : url);
  if (!href.startsWith("http://127.0.0.1:")) return Promise.reject(new Error(`offline: ${href}`));
  return localFetch(url, ...rest);
};

async function instrument(provider) {
  const { LangChainInstrumentation } = require("@arizeai/openinference-instrumentation-langchain");
  const instrumentation = new LangChainInstrumentation();
  instrumentation.setTracerProvider(provider);
  instrumentation.manuallyInstrument(require("@langchain/core/callbacks/manager"));
  const { ChatOpenAI } = require("@langchain/openai");
  return {
    client: (opts) => new ChatOpenAI({
      model: "gpt-4o-mini", apiKey: opts.apiKey, maxRetries: 0, timeout: opts.timeout,
      configuration: { baseURL: opts.baseURL },
    }),
  };
}

function scenarios() {
  const { RunnableSequence, RunnablePassthrough, RunnableLambda } = require("@langchain/core/runnables");
  const { ChatPromptTemplate } = require("@langchain/core/prompts");
  const { StringOutputParser } = require("@langchain/core/output_parsers");
  const { BaseRetriever } = require("@langchain/core/retrievers");
  const { tool } = require("@langchain/core/tools");
  const { HumanMessage, ToolMessage } = require("@langchain/core/messages");

  class PolicyRetriever extends BaseRetriever {
    lc_namespace = ["realtraces"];
    async _getRelevantDocuments() { return []; }
  }

  const querySchema = { type: "object", properties: { query: { type: "string" } }, required: ["query"] };

  // A tool-calling agent as a named runnable: a failing tool's error goes back to the model
  // as the tool's answer, until the model answers without tool calls or the turns run out.
  const agent = (llm, name, tools, maxTurns = 6) => RunnableLambda.from(async (question, config) => {
    const model = tools.length ? llm.bindTools(tools) : llm;
    const byName = Object.fromEntries(tools.map((t) => [t.name, t]));
    const messages = [new HumanMessage(question)];
    for (let turn = 0; turn < maxTurns; turn++) {
      const ai = await model.invoke(messages, config);
      messages.push(ai);
      if (!ai.tool_calls || ai.tool_calls.length === 0) return ai.content;
      for (const call of ai.tool_calls) {
        let content;
        try { content = await byName[call.name].invoke(call.args, config); } catch (e) { content = `Error: ${e.message}`; }
        messages.push(new ToolMessage({ content, tool_call_id: call.id }));
      }
    }
    throw new Error(`Max turns (${maxTurns}) exceeded`);
  }).withConfig({ runName: name });

  // The RAG chain asked about the refund policy; its retriever finds nothing.
  const askPolicy = async (llm) => {
    const formatDocs = RunnableLambda.from((docs) => docs.map((d) => d.pageContent).join("\n")).withConfig({ runName: "format_docs" });
    const prompt = ChatPromptTemplate.fromMessages([
      ["system", "Answer the question using only this context:\n{context}"],
      ["human", "{question}"],
    ]);
    const chain = RunnableSequence.from([
      { context: new PolicyRetriever().pipe(formatDocs), question: new RunnablePassthrough() },
      prompt, llm, new StringOutputParser(),
    ]);
    return chain.invoke("What is the refund policy?");
  };

  return {
    rag_empty_retrieval: {
      script: [reply.text("Our policy allows full refunds within 30 days of purchase, with no fees.")],
      run: askPolicy,
    },
    rag_45_days: {
      script: [reply.text("Within 45 days for a full refund, as long as the item is returned unused with its receipt.")],
      run: askPolicy,
    },
    rag_declined: {
      script: [reply.text("I could not find the refund policy in our documents.")],
      run: askPolicy,
    },
    tool_error: {
      script: [
        reply.toolCall("search_flights", { query: "BER to LIS on Friday" }),
        reply.text("I'm sorry, the flight search failed with a provider error, so I could not book your flight."),
      ],
      run: (llm) => agent(llm, "TravelPlanner", [
        tool(async () => { throw new Error("502 Bad Gateway from flights provider"); }, { name: "search_flights", description: "Searches flights", schema: querySchema }),
      ]).invoke("Book a flight from Berlin to Lisbon on Friday"),
    },
    // The same documentation search three times, empty each time, then the agent gives up.
    kb_loop: {
      script: [
        ...[1, 2, 3].map((n) => reply.toolCall("search_docs", { query: "VPN setup for contractors" }, `call_${n}`)),
        reply.text("I couldn't find any documentation on setting up the VPN for contractors."),
      ],
      run: (llm) => agent(llm, "HelpDesk", [
        tool(async () => JSON.stringify({ results: [] }), { name: "search_docs", description: "Searches the documentation", schema: querySchema }),
      ]).invoke("How do contractors set up the VPN?"),
    },
    // The model call is rate limited and nothing retries it.
    rate_limit: {
      script: [reply.error(429, "Rate limit reached for gpt-4o-mini in organization org-mock on requests per min (RPM): Limit 500, Used 500, Requested 1. Please try again in 120ms.", "requests", "rate_limit_exceeded")],
      run: (llm) => agent(llm, "Summarizer", []).invoke("Summarise the quarterly report"),
    },
  };
}

if (!outFile) {
  console.error("usage: node record-langchain.cjs OUT.otlp.jsonl");
  process.exit(2);
}
record({ library: "langchain", outFile, instrument, scenarios: () => scenarios() }).catch((e) => {
  console.error(e);
  process.exit(1);
});
