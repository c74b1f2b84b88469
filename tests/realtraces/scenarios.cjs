// Agent runs with known outcomes, written once against a small kit: `agent`, `tool`,
// `retriever` and `workflow` (the application's span around a whole run) wrap a function in
// the span the library's conventions give it, and the
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

// What an application's own validator throws when parsed output lacks a required field.
class ValidationError extends Error {
  constructor(message) {
    super(message);
    this.name = "ValidationError";
  }
}

// What Node's net module throws when nothing listens at the address.
function connectionRefused(address, port) {
  return Object.assign(new Error(`connect ECONNREFUSED ${address}:${port}`),
    { code: "ECONNREFUSED", errno: -111, syscall: "connect", address, port });
}

// Calls `attempt` again after a failure, up to `attempts` times in all; the last error is thrown.
async function withRetries(attempts, attempt) {
  for (let n = 1; ; n++) {
    try {
      return await attempt();
    } catch (e) {
      if (n === attempts) throw e;
    }
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
  throw new Error(`Max turns (${maxTurns}) exceeded`);
}

// A support agent's answer from the refund policy documents; the retriever finds none.
async function answerFromPolicy(client, kit) {
  const docs = await kit.retriever("policy_search", async () => [])("What is the refund policy?");
  const context = docs.map((d) => d.content).join("\n");
  const r = await client.chat.completions.create({
    model: MODEL,
    messages: [{ role: "system", content: `Answer from this context:\n${context}` }, { role: "user", content: "What is the refund policy?" }],
  });
  return r.choices[0].message.content;
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
      run: (client) => kit.agent("SupportBot", () => answerFromPolicy(client, kit))(),
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
      run: (client) => kit.agent("Summarizer", () => withRetries(2, async () => {
        const r = await client.chat.completions.create({ model: MODEL, messages: ask("Summarise the quarterly report") }, { timeout: 1000 });
        return r.choices[0].message.content;
      }))(),
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
    // The model asks for the same search every turn and the knowledge base has nothing for
    // it, until the agent's turn limit ends the run.
    search_turn_limit: {
      script: [1, 2, 3, 4, 5].map((n) => reply.toolCall("kb_search", { query: "reset password for SSO accounts" }, `call_${n}`)),
      run: (client) => kit.agent("HelpdeskAgent", () => toolLoop(client, kit, ask("How do I reset the password of an SSO account?"), {
        kb_search: async () => ({ results: [] }),
      }, 5))(),
    },
    // Six identical invoice searches, each finding nothing, then the agent gives up.
    invoice_loop: {
      script: [
        ...[1, 2, 3, 4, 5, 6].map((n) => reply.toolCall("search_invoices", { customer: "ACME GmbH", month: "2024-03" }, `call_${n}`)),
        reply.text("I could not find any invoices for ACME GmbH in March 2024."),
      ],
      run: (client) => kit.agent("BillingAgent", () => toolLoop(client, kit, ask("List ACME GmbH's invoices for March 2024"), {
        search_invoices: async () => [],
      }))(),
    },
    // The retriever finds nothing; the model answers with terms of its own all the same.
    empty_retrieval_45_days: {
      script: [reply.text("Within 45 days for a full refund, as long as the item is returned unused with its receipt.")],
      run: (client) => kit.agent("SupportBot", () => answerFromPolicy(client, kit))(),
    },
    // The retriever finds nothing and the model says so.
    empty_retrieval_declined: {
      script: [reply.text("I could not find the refund policy in our documents.")],
      run: (client) => kit.agent("SupportBot", () => answerFromPolicy(client, kit))(),
    },
    // The first model call fails with HTTP 500; the agent's own retry gets the answer.
    retry_500: {
      script: [
        reply.error(500, "The server had an error while processing your request. Sorry about that!", "server_error", null),
        reply.text("The quarterly report shows revenue up 12% on the previous quarter."),
      ],
      run: (client) => kit.agent("Summarizer", () => withRetries(3, async () => {
        const r = await client.chat.completions.create({ model: MODEL, messages: ask("Summarise the quarterly report") });
        return r.choices[0].message.content;
      }))(),
    },
    // The agent reads a document, asks the model for the invoice fields as JSON, and parses
    // the reply, which has a trailing comma.
    json_parse_runtime: {
      script: [reply.text('{"invoice_number": "INV-2024-0042", "total": 1250.0, "currency": "EUR",}')],
      run: (client) => kit.agent("InvoiceExtractor", async () => {
        const text = await kit.tool("read_document", async () =>
          "ACME GmbH\nInvoice INV-2024-0042\nDate: 2024-03-14\nTotal due: EUR 1,250.00\n")({ path: "inbox/invoice-0042.txt" });
        const r = await client.chat.completions.create({
          model: MODEL,
          messages: ask(`Return invoice_number, total and currency of this invoice as JSON:\n${text}`),
          response_format: { type: "json_object" },
        });
        return JSON.parse(r.choices[0].message.content);
      })(),
    },
    // The model's JSON parses but lacks a field the application requires; its validator
    // refuses the output.
    schema_validation: {
      script: [reply.text('{"invoice_number": "INV-2024-0042", "currency": "EUR"}')],
      run: (client) => kit.agent("InvoiceExtractor", async () => {
        const r = await client.chat.completions.create({
          model: MODEL,
          messages: ask("Return invoice_number, total and currency of invoice INV-2024-0042 as JSON"),
          response_format: { type: "json_object" },
        });
        const invoice = JSON.parse(r.choices[0].message.content);
        if (typeof invoice.total !== "number")
          throw new ValidationError("invoice.total: Required (expected number, received undefined)");
        return invoice;
      })(),
    },
    // The supervisor delegates the research to a worker whose data source is down; it
    // carries on without the findings and reports success.
    worker_failed: {
      script: [reply.text("Q1 EMEA sales summary: sales were steady across the region this quarter, with no major changes.")],
      run: (client) => kit.agent("Supervisor", async () => {
        let findings;
        try {
          findings = await kit.agent("Researcher", async () => {
            const rows = await kit.tool("fetch_sales_data", async () => {
              throw new HTTPError("503 Service Unavailable from warehouse API");
            })({ region: "EMEA", quarter: "2024-Q1" });
            return { rows: rows.length };
          })();
        } catch (e) {
          findings = null;
        }
        const r = await client.chat.completions.create({
          model: MODEL,
          messages: ask(`Write the Q1 EMEA sales summary from these findings: ${JSON.stringify({ findings })}`),
        });
        return { status: "success", report: r.choices[0].message.content };
      })(),
    },
    // A bug in the agent's own code: it reads the cart's lines under a key the cart service
    // does not use, and the run ends with a TypeError.
    code_error: {
      script: [reply.toolCall("get_cart", { cart_id: "K-77" })],
      run: (client) => kit.agent("CheckoutAgent", async () => {
        const messages = ask("What is the total of cart K-77?");
        const r = await client.chat.completions.create({ model: MODEL, messages, tools: toolDefs(["get_cart"]) });
        const call = r.choices[0].message.tool_calls[0];
        const cart = await kit.tool("get_cart", async () => ({ cart_id: "K-77", items: [{ sku: "MUG-1", price: 9.5, qty: 2 }] }))(JSON.parse(call.function.arguments));
        return cart.lines.reduce((sum, line) => sum + line.price * line.qty, 0);
      })(),
    },
    // The orders database refuses the connection; the agent tells the user it cannot help.
    tool_econnrefused: {
      script: [
        reply.toolCall("query_orders", { customer_id: "C-2291", status: "open" }),
        reply.text("I'm sorry, I can't reach the orders database right now, so I can't list your open orders. Please try again later."),
      ],
      run: (client) => kit.agent("OrdersAgent", () => toolLoop(client, kit, ask("Which of my orders are still open? I am customer C-2291."), {
        query_orders: async () => { throw connectionRefused("10.0.0.5", 5432); },
      }))(),
    },
    // The provider rejects the API key.
    auth_401: {
      script: [reply.error(401, "Incorrect API key provided: sk-mock. You can find your API key at https://platform.openai.com/account/api-keys.", "invalid_request_error", "invalid_api_key")],
      run: (client) => kit.agent("Translator", () => toolLoop(client, kit, ask("Translate 'good morning' into Portuguese"), {}))(),
    },
    // A reviewer reads a different file every turn and runs out of turns before it answers.
    turn_limit: {
      script: ["src/parser.py", "src/lexer.py", "src/ast.py", "src/eval.py"].map((path, i) => reply.toolCall("read_file", { path }, `call_${i + 1}`)),
      run: (client) => kit.agent("CodeReviewer", () => toolLoop(client, kit, ask("Review the interpreter in src/ for bugs"), {
        read_file: async ({ path }) => `# ${path}\ndef run(source):\n    return source.strip()\n`,
      }, 4))(),
    },
    // The order lookup fails with a 404; the agent searches by the customer's e-mail instead
    // and answers.
    tool_error_recovered: {
      script: [
        reply.toolCall("get_order", { order_id: "A-1042" }),
        reply.toolCall("search_orders", { query: "jane@example.com" }, "call_2"),
        reply.text("Your order is A-10042 (not A-1042): it shipped on 3 March and should arrive by 7 March."),
      ],
      run: (client) => kit.agent("OrderHelper", () => toolLoop(client, kit, ask("Where is my order A-1042? My e-mail is jane@example.com."), {
        get_order: async ({ order_id }) => { throw new HTTPError(`404 Not Found: no order ${order_id}`); },
        search_orders: async () => [{ order_id: "A-10042", status: "shipped", shipped_on: "2024-03-03", eta: "2024-03-07" }],
      }))(),
    },
    // The agent fetches and summarises a page about access policies, blocking and filters.
    fetched_policy_page: {
      script: [
        reply.toolCall("fetch_page", { url: "https://docs.example.com/acceptable-use" }),
        reply.text("The acceptable-use policy says that accounts breaking the rules can be suspended, that each API key is rate limited, that a content filter refuses requests for harmful material, and that unauthorised access attempts are logged."),
      ],
      run: (client) => kit.agent("WebResearcher", () => toolLoop(client, kit, ask("Summarise the acceptable-use policy at https://docs.example.com/acceptable-use"), {
        fetch_page: async () => [
          "Acceptable Use Policy",
          "Access to the service is denied to accounts that violate this policy; repeated violations are blocked permanently.",
          "Requests are rate limited per API key. Exceeding the limit returns 429 Too Many Requests; retry after the time in the Retry-After header.",
          "Our content filter refuses requests for harmful material, and such requests fail with a policy violation error.",
          "Unauthorized access attempts return 403 Forbidden and are logged. Sessions time out after 30 minutes of inactivity.",
        ].join("\n"),
      }))(),
    },
    // A coding agent runs the tests (one fails), fixes the code, and runs them again.
    tests_fail_then_fix: {
      script: [
        reply.toolCall("run_tests", { path: "tests/" }),
        reply.toolCall("edit_file", { path: "src/dates.py", patch: "accept ISO week dates (%G-W%V) in parse_date" }, "call_2"),
        reply.toolCall("run_tests", { path: "tests/" }, "call_3"),
        reply.text("Fixed parse_date to accept ISO week dates; all 12 tests pass now."),
      ],
      run: (client) => {
        let runs = 0;
        return kit.agent("CodingAgent", () => toolLoop(client, kit, ask("parse_date rejects '2024-W03'; fix it"), {
          run_tests: async () => (++runs === 1
            ? {
              exit_code: 1,
              output: "FAILED tests/test_dates.py::test_iso_week - ValueError: time data '2024-W03' does not match format '%Y-%m-%d'\n" +
                "Traceback (most recent call last):\n  File \"src/dates.py\", line 12, in parse_date\nERROR: 1 failed, 11 passed in 0.41s",
            }
            : { exit_code: 0, output: "12 passed in 0.38s" }),
          edit_file: async () => ({ ok: true }),
        }))();
      },
    },
    // The agent reads installation notes full of words like "installed", "stalled" and
    // "timeout", and answers from them.
    file_installed: {
      script: [
        reply.toolCall("read_file", { path: "docs/INSTALL.md" }),
        reply.text("Once the package is installed, start the service with `svc start`. If it hangs on start-up, raise startup_timeout in svc.toml (the default is 30 s)."),
      ],
      run: (client) => kit.agent("DocsAssistant", () => toolLoop(client, kit, ask("How do I start the service after installing it?"), {
        read_file: async () => [
          "# Installation",
          "Once installed, start the service with `svc start`.",
          "If the service has stalled during start-up, the start request fails after a timeout; raise `startup_timeout` in svc.toml (default: 30 s).",
          "A failed install leaves a lock file behind: remove /var/lib/svc/install.lock and run the installer again.",
        ].join("\n"),
      }))(),
    },
    // A single agent inside the application's workflow span; model calls of about 1.3 s each
    // make the whole run longer than the slow-step threshold, no step alone.
    workflow_single_agent: {
      script: [
        reply.slow(1300, reply.toolCall("get_weather", { city: "Lisbon" })),
        reply.slow(1300, reply.text("It is 21 °C and sunny in Lisbon.")),
      ],
      run: (client) => kit.workflow("weather_app", () => kit.agent("WeatherAgent", () => toolLoop(client, kit, ask("What's the weather in Lisbon?"), {
        get_weather: async () => ({ city: "Lisbon", temperature_c: 21, conditions: "sunny" }),
      }))())(),
    },
  };
}

module.exports = { scenarios };
