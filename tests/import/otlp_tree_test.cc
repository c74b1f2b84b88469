// The spans' tree made a trace (otlp_tree): which spans are steps and which are wrappers or
// plumbing, failures carried up or kept, the run's status, title and agents, and shapes
// that must stay linear (long chains, cycles, huge keys, many retries).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "import/import_test_support.h"
#include "import/importers.h"
#include "text/json_writer.h"

namespace tracedx {
namespace {

using test_support::at;
using test_support::attr;
using test_support::attrs;
using test_support::only_trace;
using test_support::otlp;
using test_support::span;
using test_support::types_of;

TEST(OtlpMapping, WrappersAndPlumbingAreNotSteps) {
  // A RAG chain: CHAIN root, a passthrough CHAIN, a PROMPT, an unknown wrapper with a child,
  // a retriever, a model call; only the retriever and the model are steps.
  Json f = only_trace(otlp(
      "[" + span("root", at(0, 10) + attrs({attr("openinference.span.kind", "CHAIN")})) + "," +
      span("pass", R"(,"parentSpanId":"root")" + at(1, 2) +
                       attrs({attr("openinference.span.kind", "CHAIN")})) +
      "," +
      span("prompt", R"(,"parentSpanId":"root")" + at(2, 3) +
                         attrs({attr("openinference.span.kind", "PROMPT"),
                                attr("llm.prompt_template.template", "Answer from {context}")})) +
      "," + span("main", R"(,"parentSpanId":"root")" + at(3, 9)) + "," +
      span("ret", R"(,"parentSpanId":"main")" + at(3, 4) +
                      attrs({attr("openinference.span.kind", "RETRIEVER"),
                             attr("output.value", R"({\"documents\":[]})"),
                             attr("output.mime_type", "application/json")})) +
      "," +
      span("llm", R"(,"parentSpanId":"main")" + at(5, 9) +
                      attrs({attr("openinference.span.kind", "LLM"),
                             attr("llm.output_messages.0.message.content", "Refunds in 30 days"),
                             attr("llm.output_messages.0.message.tool_calls", "[]")})) +
      "," + span("leaf", R"(,"parentSpanId":"main","kind":3)" + at(9, 9)) + "]"));
  EXPECT_EQ(types_of(f), (std::vector<std::string>{"retrieval", "final_answer", "api_call"}));
  EXPECT_EQ(f["steps"][0]["metadata"]["results_count"], 0);  // {"documents": []}
  EXPECT_EQ(f["run"]["status"], "completed");
}

TEST(OtlpMapping, FailedSpansAreNeverLost) {
  struct Row {
    const char* name;
    std::string spans;
    std::vector<std::string> types;
    const char* last_error;
    const char* run_status;
  } rows[] = {
      // An agent whose children succeeded fails at its end: a failed step there.
      {"agent error after children",
       span("a", at(0, 10) + attrs({attr("openinference.span.kind", "AGENT")}) +
                     R"(,"status":{"code":2,"message":"Max turns (8) exceeded"})") +
           "," +
           span("m", R"(,"parentSpanId":"a")" + at(1, 2) +
                         attrs({attr("openinference.span.kind", "LLM"),
                                attr("llm.output_messages.0.message.content", "thinking")})),
       {"final_answer", "agent_run!"},
       "Max turns (8) exceeded",
       "failed"},
      // A chain that fails with its child's error adds nothing; the child holds it.
      {"error carried by child",
       span("c", at(0, 10) + attrs({attr("openinference.span.kind", "CHAIN")}) +
                     R"(,"status":{"code":2,"message":"Error: 429 Rate limit reached"})") +
           "," +
           span("m", R"(,"parentSpanId":"c")" + at(1, 2) +
                         attrs({attr("openinference.span.kind", "LLM")}) +
                         R"(,"status":{"code":2,"message":"429 Rate limit reached"})"),
       {"llm_reasoning!"},
       "429 Rate limit reached",
       "failed"},
      // A stack trace after a blank line is left out of the message.
      {"stack trace dropped",
       span(
           "t",
           at(0, 1) + attrs({attr("openinference.span.kind", "TOOL")}) +
               R"x(,"status":{"code":2,"message":"502 Bad Gateway\n\nError: 502 Bad Gateway\n    at tool (x.js:1:2)"})x"),
       {"tool_call!"},
       "502 Bad Gateway",
       "failed"},
  };
  for (const auto& row : rows) {
    Json f = only_trace(otlp("[" + row.spans + "]"));
    EXPECT_EQ(types_of(f), row.types) << row.name;
    EXPECT_EQ(f["steps"].back()["error_message"], row.last_error) << row.name;
    EXPECT_EQ(f["run"]["status"], row.run_status) << row.name;
  }
}

TEST(OtlpMapping, RunFailsUnlessAFailureWasRetried) {
  // Model calls share their span name: instrumentations name them by operation and model.
  auto llm = [](const std::string& id, int start, bool ok) {
    return R"({"traceId":"t1","spanId":")" + id + R"(","name":"chat gpt-4o","parentSpanId":"r")" +
           at(start, start + 1) +
           attrs({attr("gen_ai.operation.name", "chat"),
                  attr("gen_ai.output.messages", ok ? R"([{\"role\":\"assistant\"}])" : "")}) +
           (ok ? "" : R"(,"status":{"code":2,"message":"Request timed out."})") + "}";
  };
  auto root = [](int code) {
    return span("r", at(0, 10) + attrs({attr("gen_ai.operation.name", "invoke_agent")}) +
                         R"(,"status":{"code":)" + std::to_string(code) + "}");
  };
  struct Row {
    std::string spans;
    const char* status;
  } rows[] = {
      {root(0) + "," + llm("a", 1, false) + "," + llm("b", 3, true), "completed"},  // retried
      {root(0) + "," + llm("a", 1, true) + "," + llm("b", 3, false), "failed"},     // not retried
      {root(2) + "," + llm("a", 1, false) + "," + llm("b", 3, true), "failed"},     // root failed
      {root(1) + "," + llm("a", 1, true), "completed"},
  };
  for (const auto& row : rows) {
    Json f = only_trace(otlp("[" + row.spans + "]"));
    EXPECT_EQ(f["run"]["status"], std::string(row.status)) << row.spans;
  }
}

TEST(OtlpMapping, AgentsBelowTheRootAreSteps) {
  Json f =
      only_trace(otlp("[" +
                      span("s", at(0, 10) + attrs({attr("gen_ai.operation.name", "invoke_agent"),
                                                   attr("gen_ai.agent.name", "Supervisor")})) +
                      "," +
                      span("r", R"(,"parentSpanId":"s")" + at(1, 5) +
                                    attrs({attr("gen_ai.operation.name", "invoke_agent"),
                                           attr("gen_ai.agent.name", "Researcher")})) +
                      "," +
                      span("m", R"(,"parentSpanId":"r")" + at(2, 3) +
                                    attrs({attr("gen_ai.operation.name", "chat")})) +
                      "]"));
  EXPECT_EQ(types_of(f), (std::vector<std::string>{"delegation", "final_answer"}));
  EXPECT_EQ(f["steps"][0]["display_name"], "Researcher");
  EXPECT_EQ(f["run"]["title"], "Supervisor");
}

// Shapes that were quadratic or unbounded: a long parent chain, parent cycles, a key of
// 100,000 segments, a sparse index.
TEST(OtlpMapping, LongChainsCyclesAndHugeKeys) {
  std::string chain = "[";
  const int kSpans = 50000;
  for (int i = 0; i < kSpans; ++i) {
    chain += (i ? "," : "") + span("s" + std::to_string(i),
                                   i ? R"(,"parentSpanId":"s)" + std::to_string(i - 1) + "\"" : "");
  }
  Json f = only_trace(otlp(chain + "]"));
  ASSERT_EQ(f["steps"].size(), 1u);  // wrappers of unknown kind; the leaf is the step
  EXPECT_EQ(f["steps"][0]["id"], "s" + std::to_string(kSpans - 1));

  // a <-> b and c -> c: every span imported once, no hang.
  Json c = only_trace(otlp("[" + span("a", R"(,"parentSpanId":"b")") + "," +
                           span("b", R"(,"parentSpanId":"a")") + "," +
                           span("c", R"(,"parentSpanId":"c")") + "]"));
  EXPECT_EQ(c["steps"].size(), 2u);  // b under a (a wrapper), and c

  std::string key = "llm.input_messages.0";
  for (int i = 0; i < 100000; ++i) key += ".k";
  Json k =
      only_trace(otlp("[" +
                      span("a", attrs({attr("openinference.span.kind", "LLM"), attr(key, "deep"),
                                       attr("llm.input_messages.999999.message.content", "x")})) +
                      "]"));
  const Json& input = k["steps"][0]["raw_input"];
  ASSERT_TRUE(input.is_array());
  EXPECT_EQ(input.size(), 2u);
  EXPECT_EQ(input[1], Json::parse(R"({"message":{"content":"x"}})"));
  EXPECT_FALSE(compact_json(input).empty());  // bounded depth: serialising does not overflow

  // Many failed calls, each retried successfully later on: the run completed, unless one
  // retry is missing. (Each failure looked ahead for its retry, quadratic in the count.)
  const int kCalls = 10000;
  auto call = [](int i, int at, bool ok) {
    return span((ok ? "ok" : "err") + std::to_string(i),
                R"(,"parentSpanId":"r","startTimeUnixNano":")" + std::to_string(1000 + at) + "\"" +
                    (ok ? "" : R"(,"status":{"code":2,"message":"boom"})") +
                    attrs({attr("openinference.span.kind", "TOOL"),
                           attr("tool.name", "t" + std::to_string(i))}));
  };
  std::string retried = "[" + span("r", R"(,"startTimeUnixNano":"1")") + ",";
  for (int i = 0; i < kCalls; ++i) retried += call(i, i, false) + ",";
  for (int i = 0; i < kCalls; ++i) retried += call(i, kCalls + i, true) + ",";
  Json all = only_trace(otlp(retried.substr(0, retried.size() - 1) + "]"));
  EXPECT_EQ(all["steps"].size(), size_t{2 * kCalls});
  EXPECT_EQ(all["run"]["status"], "completed");
  Json one_missing = only_trace(otlp(retried + call(kCalls, 3 * kCalls, false) + "]"));
  EXPECT_EQ(one_missing["run"]["status"], "failed");
}

}  // namespace
}  // namespace tracedx
