// Records LangChain.js runs with the OpenInference LangChain instrumentation:
//   node record-langchain.cjs OUT.otlp.jsonl
// A RAG chain (retriever, format_docs, RunnablePassthrough, prompt, ChatOpenAI, output parser)
// whose retriever finds nothing, answered three ways (two made-up policies, one that says it
// found none), and a tool-calling loop whose tool fails.
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
      run: async (llm) => {
        const searchFlights = tool(async () => { throw new Error("502 Bad Gateway from flights provider"); }, {
          name: "search_flights", description: "Searches flights",
          schema: { type: "object", properties: { query: { type: "string" } }, required: ["query"] },
        });
        const agent = RunnableLambda.from(async (question, config) => {
          const model = llm.bindTools([searchFlights]);
          const messages = [new HumanMessage(question)];
          for (let turn = 0; turn < 4; turn++) {
            const ai = await model.invoke(messages, config);
            messages.push(ai);
            if (!ai.tool_calls || ai.tool_calls.length === 0) return ai.content;
            for (const call of ai.tool_calls) {
              let content;
              try { content = await searchFlights.invoke(call.args, config); } catch (e) { content = `Error: ${e.message}`; }
              messages.push(new ToolMessage({ content, tool_call_id: call.id }));
            }
          }
          throw new Error("Max turns exceeded");
        }).withConfig({ runName: "TravelPlanner" });
        return agent.invoke("Book a flight from Berlin to Lisbon on Friday");
      },
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
