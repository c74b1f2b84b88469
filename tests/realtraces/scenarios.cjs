// Agent runs with known outcomes, written once against a small kit: `agent`, `tool` and
// `retriever` wrap a function in the span the library's conventions give it, and the
// OpenAI client is the library's instrumented one. Each scenario scripts the mock's replies.
"use strict";
const { reply } = require("./harness.cjs");

const MODEL = "gpt-4o-mini";

function toolDefs(names) {
  return names.map((name) => ({
    type: "function",
    function: {
      name,
      description: `Calls ${name}`,
      parameters: { type: "object", properties: { query: { type: "string" } }, required: ["query"] },
    },
  }));
}

class HTTPError extends Error {
  constructor(message) {
    super(message);
    this.name = "HTTPError";
  }
}

// The usual tool loop: call the model, run the tools it asks for (a failing tool's error goes
// back to the model as the tool's answer), until it answers without tool calls.
async function toolLoop(client, kit, messages, impls, maxTurns = 8) {
  for (let turn = 0; turn < maxTurns; turn++) {
    const r = await client.chat.completions.create({ model: MODEL, messages, tools: toolDefs(Object.keys(impls)) });
    const choice = r.choices[0];
    messages.push(choice.message);
    if (!choice.message.tool_calls || choice.message.tool_calls.length === 0)
      return choice.finish_reason === "content_filter" ? "The request was refused." : choice.message.content;
    for (const call of choice.message.tool_calls) {
      let result;
      try {
        result = await kit.tool(call.function.name, impls[call.function.name])(JSON.parse(call.function.arguments));
      } catch (e) {
        result = `Error: ${e.message}`;
      }
      messages.push({ role: "tool", tool_call_id: call.id, content: typeof result === "string" ? result : JSON.stringify(result) });
    }
  }
  throw new Error("Max turns (8) exceeded");
}

const ask = (text) => [
  { role: "system", content: "You are a helpful assistant." },
  { role: "user", content: text },
];

function scenarios(kit) {
  return {
    tool_error: {
      script: [
        reply.toolCall("search_flights", { query: "BER to LIS on Friday" }),
        reply.text("I'm sorry, the flight search failed with a provider error, so I could not book your flight."),
      ],
      run: (client) => kit.agent("TravelPlanner", () => toolLoop(client, kit, ask("Book a flight from Berlin to Lisbon on Friday"), {
        search_flights: async () => { throw new HTTPError("502 Bad Gateway from flights provider"); },
      }))(),
    },
    empty_retrieval: {
      script: [reply.text("Our policy allows full refunds within 30 days of purchase, with no fees.")],
      run: (client) => kit.agent("SupportBot", async () => {
        const docs = await kit.retriever("policy_search", async () => [])("What is the refund policy?");
        const context = docs.map((d) => d.content).join("\n");
        const r = await client.chat.completions.create({
          model: MODEL,
          messages: [{ role: "system", content: `Answer from this context:\n${context}` }, { role: "user", content: "What is the refund policy?" }],
        });
        return r.choices[0].message.content;
      })(),
    },
    content_filter: {
      script: [reply.contentFilter()],
      run: (client) => kit.agent("StoryWriter", () => toolLoop(client, kit, ask("Write a story about how to build a weapon"), {}))(),
    },
    rate_limit: {
      script: [reply.error(429, "Rate limit reached for gpt-4o-mini in organization org-mock on tokens per min (TPM): Limit 200000, Used 200000, Requested 512. Please try again in 1s.", "tokens", "rate_limit_exceeded")],
      run: (client) => kit.agent("Summarizer", () => toolLoop(client, kit, ask("Summarise the quarterly report"), {}))(),
    },
    timeout: {
      script: [reply.slow(2500, reply.text("too late"))],
      run: (client) => kit.agent("Summarizer", async () => {
        const r = await client.chat.completions.create({ model: MODEL, messages: ask("Summarise the quarterly report") }, { timeout: 1000 });
        return r.choices[0].message.content;
      })(),
    },
    retry_recovered: {
      script: [reply.slow(2500, reply.text("too late")), reply.text("The quarterly report shows revenue up 12% on the previous quarter.")],
      run: (client) => kit.agent("Summarizer", async () => {
        for (let attempt = 1; ; attempt++) {
          try {
            const r = await client.chat.completions.create({ model: MODEL, messages: ask("Summarise the quarterly report") }, { timeout: 1000 });
            return r.choices[0].message.content;
          } catch (e) {
            if (attempt === 2) throw e;
          }
        }
      })(),
    },
    search_loop: {
      script: [
        reply.toolCall("web_search", { query: "2019 chemistry nobel laureate hometown" }, "call_1"),
        reply.toolCall("web_search", { query: "hometown of 2019 chemistry nobel laureate" }, "call_2"),
        reply.toolCall("web_search", { query: "2019 nobel chemistry winner birthplace" }, "call_3"),
        reply.toolCall("web_search", { query: "where was the 2019 chemistry nobel winner born" }, "call_4"),
        reply.text("I could not find where the 2019 chemistry laureate was born."),
      ],
      run: (client) => kit.agent("ResearchBot", () => toolLoop(client, kit, ask("Where was the 2019 chemistry Nobel laureate born?"), {
        web_search: kit.retrieverTool ? kit.retrieverTool : async () => ({ results: [], message: "No results found" }),
      }))(),
    },
    invalid_json: {
      script: [reply.text("Sure! Here is the record: {name: 'Ada Lovelace', born: 1815,")],
      run: (client) => kit.agent("Extractor", async () => {
        const r = await client.chat.completions.create({
          model: MODEL,
          messages: ask("Return the person as JSON with name and born"),
          response_format: { type: "json_object" },
        });
        return JSON.parse(r.choices[0].message.content);
      })(),
    },
    handoff: {
      script: [
        reply.toolCall("transfer_to_researcher", { query: "battery recycling rates in the EU" }),
        reply.text("Research notes: the EU recycled 46% of portable batteries collected in 2022 (Eurostat)."),
        reply.toolCall("transfer_to_writer", { query: "Write two sentences from the research notes" }, "call_2"),
        reply.text("In 2022 the EU recycled 46% of the portable batteries it collected, according to Eurostat."),
        reply.text("In 2022 the EU recycled 46% of the portable batteries it collected, according to Eurostat."),
      ],
      run: (client) => kit.agent("Supervisor", () => toolLoop(client, kit, ask("Write a short note on EU battery recycling"), {
        transfer_to_researcher: (args) => kit.agent("Researcher", async () => {
          const r = await client.chat.completions.create({ model: MODEL, messages: ask(args.query) });
          return r.choices[0].message.content;
        })(),
        transfer_to_writer: (args) => kit.agent("Writer", async () => {
          const r = await client.chat.completions.create({ model: MODEL, messages: ask(args.query) });
          return r.choices[0].message.content;
        })(),
      }))(),
    },
  };
}

module.exports = { scenarios };
