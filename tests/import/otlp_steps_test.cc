// Step building (otlp_steps, by the tables of otlp_conventions): what one span makes of a
// step, its type, input and output, status, error, finish reasons and metadata. Spans go in
// as OTLP text through the reader, so each case reads like the export it stands for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "import/import_test_support.h"
#include "import/importers.h"

namespace tracedx {
namespace {

using test_support::at;
using test_support::attr;
using test_support::attrs;
using test_support::only_trace;
using test_support::otlp;
using test_support::span;
using test_support::types_of;

TEST(OtlpImport, OperationsMapToStepTypes) {
  struct Row {
    const char* attribute;
    const char* value;
    const char* step_type;
  } rows[] = {
      {"openinference.span.kind", "RETRIEVER", "retrieval"},
      {"openinference.span.kind", "TOOL", "tool_call"},
      {"openinference.span.kind", "GUARDRAIL", "guardrail_validation"},
      {"openinference.span.kind", "EVALUATOR", "evaluator"},
      {"openinference.span.kind", "AGENT", "delegation"},
      {"gen_ai.operation.name", "execute_tool", "tool_call"},
      {"gen_ai.operation.name", "retrieval", "retrieval"},
      {"gen_ai.operation.name", "plan", "planner"},
      {"gen_ai.operation.name", "search_memory", "search_memory"},
      {"gen_ai.operation.name", "embeddings", "embedding"},
  };
  for (const auto& row : rows) {
    // Under a root span of unknown kind (a wrapper, not a step), so the mapped span is not
    // the root agent.
    Json f = only_trace(otlp(
        "[" + span("r", R"(,"startTimeUnixNano":"1")") + "," +
        span("s",
             std::string(R"(,"parentSpanId":"r","startTimeUnixNano":"2","attributes":[{"key":")") +
                 row.attribute + R"(","value":{"stringValue":")" + row.value + R"("}}])") +
        "]"));
    ASSERT_EQ(f["steps"].size(), 1u) << row.value;
    EXPECT_EQ(f["steps"][0]["step_type"], row.step_type) << row.value;
  }
}

TEST(OtlpImport, StatusErrorAndDuration) {
  struct Row {
    const char* extra;
    const char* status;
    Json error;
    Json duration;
  } rows[] = {
      {R"(,"status":{"code":2})", "failed", nullptr, nullptr},
      {R"(,"status":{"code":1},"startTimeUnixNano":"5000000","endTimeUnixNano":"1000000")",
       "completed", nullptr, nullptr},
      {R"(,"startTimeUnixNano":"1000000","endTimeUnixNano":"2999999")", "completed", nullptr, 1},
      {R"(,"events":[{"name":"exception","attributes":[{"key":"exception.type","value":{"stringValue":"ValueError"}},
          {"key":"exception.message","value":{"stringValue":"bad"}}]}])",
       "failed", "ValueError: bad", nullptr},
      {R"(,"attributes":[{"key":"error.type","value":{"stringValue":"timeout"}}])", "failed",
       "timeout", nullptr},
  };
  for (const auto& row : rows) {
    Json s = only_trace(otlp("[" + span("a", row.extra) + "]"))["steps"][0];
    EXPECT_EQ(s["status"], row.status) << row.extra;
    EXPECT_EQ(s.value("error_message", Json()), row.error) << row.extra;
    EXPECT_EQ(s.value("duration_ms", Json()), row.duration) << row.extra;
  }
}

TEST(OtlpImport, OpenInferenceListsReNested) {
  Json s = only_trace(otlp("[" + span("a", R"(,"attributes":[
      {"key":"openinference.span.kind","value":{"stringValue":"RETRIEVER"}},
      {"key":"retrieval.documents.1.document.content","value":{"stringValue":"second"}},
      {"key":"retrieval.documents.0.document.content","value":{"stringValue":"first"}},
      {"key":"input.value","value":{"stringValue":"{\"q\": \"refunds\"}"}},
      {"key":"input.mime_type","value":{"stringValue":"application/json"}}])") +
                           "]"))["steps"][0];
  EXPECT_EQ(s["raw_output"],
            Json::parse(R"([{"document":{"content":"first"}},{"document":{"content":"second"}}])"));
  EXPECT_EQ(s["raw_input"], Json::parse(R"({"q":"refunds"})"));
  EXPECT_EQ(s["metadata"]["results_count"], 2);
}

TEST(OtlpMapping, FinishReasons) {
  auto llm = [](const std::string& id, int start, const std::string& finish,
                const std::string& extra = "") {
    return span(id, at(start, start + 1) +
                        attrs({attr("openinference.span.kind", "LLM"),
                               attr("llm.output_messages.0.message.content", "text " + id),
                               attr("llm.finish_reason", finish)}) +
                        extra);
  };
  // The model asks for a tool, the tool runs, the model is filtered: no final answer, and
  // the filtered call is a failed step saying so.
  Json f = only_trace(otlp("[" + llm("a", 1, "tool_calls") + "," +
                           span("t", at(2, 3) + attrs({attr("openinference.span.kind", "TOOL")})) +
                           "," + llm("b", 4, "content_filter") + "]"));
  EXPECT_EQ(types_of(f),
            (std::vector<std::string>{"llm_reasoning", "tool_call", "llm_reasoning!"}));
  EXPECT_EQ(f["steps"][2]["error_message"],
            "The response was withheld by the provider's content filter (finish reason "
            "content_filter)");
  EXPECT_EQ(f["steps"][2]["metadata"]["finish_reasons"], Json::parse(R"(["content_filter"])"));
  EXPECT_EQ(f["run"]["status"], "failed");
  // GenAI finish reasons, and a failed model call is not the final answer.
  Json g = only_trace(otlp(
      "[" +
      span("a",
           at(1, 2) +
               R"(,"attributes":[{"key":"gen_ai.operation.name","value":{"stringValue":"chat"}},
        {"key":"gen_ai.response.finish_reasons","value":{"arrayValue":{"values":[{"stringValue":"stop"}]}}}])") +
      "," +
      span("b", at(3, 4) + attrs({attr("gen_ai.operation.name", "chat")}) +
                    R"(,"status":{"code":2,"message":"Request timed out."})") +
      "]"));
  EXPECT_EQ(types_of(g), (std::vector<std::string>{"final_answer", "llm_reasoning!"}));
}

TEST(OtlpMapping, ConventionsForMessages) {
  struct Row {
    const char* name;
    std::string span;
    Json input, output;
  } rows[] = {
      {"GenAI events", span("a", attrs({attr("gen_ai.operation.name", "chat")}) + R"(,"events":[
         {"name":"gen_ai.system.message","attributes":[{"key":"content","value":{"stringValue":"Be brief"}}]},
         {"name":"gen_ai.user.message","attributes":[{"key":"content","value":{"stringValue":"Hi"}}]},
         {"name":"gen_ai.choice","attributes":[{"key":"finish_reason","value":{"stringValue":"stop"}},
           {"key":"message","value":{"kvlistValue":{"values":[{"key":"content","value":{"stringValue":"Hello"}}]}}}]}])"),
       Json::parse(R"([{"role":"system","content":"Be brief"},{"role":"user","content":"Hi"}])"),
       Json::parse(R"([{"finish_reason":"stop","message":{"content":"Hello"}}])")},
      {"GenAI attributes with system instructions",
       span("a", attrs({attr("gen_ai.operation.name", "chat"),
                        attr("gen_ai.system_instructions",
                             R"([{\"type\":\"text\",\"content\":\"Be brief\"}])"),
                        attr("gen_ai.input.messages", R"([{\"role\":\"user\"}])"),
                        attr("gen_ai.output.messages", R"([{\"role\":\"assistant\"}])")})),
       Json::parse(R"([{"role":"system","parts":[{"type":"text","content":"Be brief"}]},
                       {"role":"user"}])"),
       Json::parse(R"([{"role":"assistant"}])")},
      {"OpenLLMetry prompts and completions",
       span("a", attrs({attr("llm.request.type", "chat"), attr("gen_ai.prompt.0.role", "user"),
                        attr("gen_ai.prompt.0.content", "Hi"),
                        attr("gen_ai.completion.0.role", "assistant"),
                        attr("gen_ai.completion.0.content", "Hello"),
                        attr("gen_ai.completion.0.finish_reason", "stop")})),
       Json::parse(R"([{"role":"user","content":"Hi"}])"),
       Json::parse(R"([{"role":"assistant","content":"Hello","finish_reason":"stop"}])")},
      {"OpenLLMetry entity",
       span("a", attrs({attr("traceloop.span.kind", "tool"),
                        attr("traceloop.entity.name", "search_flights"),
                        attr("traceloop.entity.input", R"({\"args\":[1]})"),
                        attr("traceloop.entity.output", R"(\"none found\")")})),
       Json::parse(R"({"args":[1]})"), "none found"},
  };
  for (const auto& row : rows) {
    Json f = only_trace(otlp("[" + row.span + "]"));
    ASSERT_EQ(f["steps"].size(), 1u) << row.name;
    EXPECT_EQ(f["steps"][0]["raw_input"], row.input) << row.name;
    EXPECT_EQ(f["steps"][0]["raw_output"], row.output) << row.name;
  }
  Json t = only_trace(otlp("[" +
                           span("a", attrs({attr("traceloop.span.kind", "tool"),
                                            attr("traceloop.entity.name", "search_flights")})) +
                           "]"));
  EXPECT_EQ(t["steps"][0]["step_type"], "tool_call");
  EXPECT_EQ(t["steps"][0]["display_name"], "search_flights");
}

TEST(OtlpMapping, ConfigurationStaysOutAndProvenanceIsKept) {
  std::string bytes =
      R"({"resourceSpans":[{"resource":{"attributes":[{"key":"service.name","value":{"stringValue":"travel"}}]},
      "scopeSpans":[{"scope":{"name":"@arizeai/openinference-instrumentation-openai"},"spans":[)" +
      span(
          "a",
          attrs({attr("openinference.span.kind", "LLM"),
                 attr("llm.tools.0.tool.json_schema", R"({\"type\":\"function\"})"),
                 attr("llm.invocation_parameters", R"({\"temperature\":0})"),
                 attr("llm.prompt_template.template", "{q}"),
                 attr("gen_ai.request.temperature", "0"),
                 attr("gen_ai.request.model", "gpt-4o-mini"), attr("error.type", "timeout"),
                 attr("input.value", R"({\"tools\":[]})")}) +
              R"(,"events":[{"name":"exception","attributes":[{"key":"exception.type","value":{"stringValue":"APIConnectionTimeoutError"}}]}])") +
      "]}]}]}";
  Json f = only_trace(bytes);
  const Json& meta = f["steps"][0]["metadata"];
  for (const char* gone : {"llm.tools", "llm.invocation_parameters", "llm.prompt_template.template",
                           "gen_ai.request.temperature"}) {
    EXPECT_FALSE(meta.contains(gone)) << gone;
  }
  EXPECT_EQ(meta["gen_ai.request.model"], "gpt-4o-mini");
  EXPECT_EQ(meta["error.type"], "timeout");
  EXPECT_EQ(meta["exception.type"], "APIConnectionTimeoutError");
  EXPECT_EQ(meta["otel.scope.name"], "@arizeai/openinference-instrumentation-openai");
  EXPECT_EQ(f["run"]["service_name"], "travel");
  EXPECT_EQ(f["steps"][0]["raw_input"], Json::parse(R"({"tools":[]})"));  // no messages: kept
}

}  // namespace
}  // namespace tracedx
