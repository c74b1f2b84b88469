#include "import/importers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "diagnosis/diagnosis.h"
#include "diagnosis/text.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

// One OTLP export holding the given spans (a JSON array text).
std::string otlp(const std::string& spans) {
  return R"({"resourceSpans":[{"resource":{},"scopeSpans":[{"scope":{"name":"t"},"spans":)" +
         spans + "}]}]}";
}

std::string span(const std::string& id, const std::string& extra, const std::string& trace = "t1") {
  return R"({"traceId":")" + trace + R"(","spanId":")" + id + R"(","name":"span )" + id + "\"" +
         extra + "}";
}

Json only_trace(const std::string& bytes) {
  auto traces = import_otlp(bytes, "in.json");
  EXPECT_TRUE(traces) << (traces ? "" : traces.error().display());
  if (!traces || traces->size() != 1) return Json();
  return (*traces)[0].fixture;
}

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

TEST(OtlpImport, EncodingVariants) {
  // Times as strings and numbers, enums as numbers and names, kvlist and array values.
  Json f = only_trace(otlp(
      "[" +
      span("a",
           R"(,"kind":"SPAN_KIND_CLIENT","startTimeUnixNano":1000000,"endTimeUnixNano":"3500000",
        "status":{"code":"STATUS_CODE_ERROR","message":"boom"},
        "attributes":[{"key":"gen_ai.operation.name","value":{"stringValue":"execute_tool"}},
          {"key":"n","value":{"intValue":"42"}},{"key":"m","value":{"intValue":7}},
          {"key":"d","value":{"doubleValue":0.5}},{"key":"b","value":{"boolValue":true}},
          {"key":"l","value":{"arrayValue":{"values":[{"stringValue":"x"},{"intValue":"1"}]}}},
          {"key":"o","value":{"kvlistValue":{"values":[{"key":"k","value":{"stringValue":"v"}}]}}},
          {"key":"raw","value":{"bytesValue":"AQI="}},{"key":"ignored","unknownField":1}],
        "futureField":{"x":1})") +
      "]"));
  const Json& s = f["steps"][0];
  EXPECT_EQ(s["status"], "failed");
  EXPECT_EQ(s["error_message"], "boom");
  EXPECT_EQ(s["duration_ms"], 2);
  EXPECT_EQ(s["metadata"]["span_kind"], "SPAN_KIND_CLIENT");
  EXPECT_EQ(s["metadata"]["n"], 42);
  EXPECT_EQ(s["metadata"]["m"], 7);
  EXPECT_EQ(s["metadata"]["d"], 0.5);
  EXPECT_EQ(s["metadata"]["b"], true);
  EXPECT_EQ(s["metadata"]["l"], Json::parse(R"(["x",1])"));
  EXPECT_EQ(s["metadata"]["o"], Json::parse(R"({"k":"v"})"));
  EXPECT_EQ(s["metadata"]["raw"], "AQI=");
  EXPECT_EQ(f["run"]["status"], "failed");
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

TEST(OtlpImport, JsonLinesOrderGroupingAndContainers) {
  // Two traces; spans of t1 spread over lines in any order; a CHAIN root with children is
  // not a step of its own. Steps sort by start time, then depth.
  std::string lines =
      otlp(
          "[" +
          span(
              "c",
              R"(,"parentSpanId":"root","startTimeUnixNano":"20","attributes":[{"key":"openinference.span.kind","value":{"stringValue":"LLM"}},{"key":"output.value","value":{"stringValue":"Answer"}}])") +
          "]") +
      "\n" + otlp("[" + span("x", R"(,"startTimeUnixNano":"5")", "t2") + "]") + "\n\n" +
      otlp(
          "[" +
          span(
              "root",
              R"(,"startTimeUnixNano":"10","attributes":[{"key":"openinference.span.kind","value":{"stringValue":"CHAIN"}}])") +
          "," +
          span(
              "b",
              R"(,"parentSpanId":"root","startTimeUnixNano":"10","attributes":[{"key":"openinference.span.kind","value":{"stringValue":"RETRIEVER"}}])") +
          "]") +
      "\n";
  auto traces = import_otlp(lines, "in.jsonl");
  ASSERT_TRUE(traces) << traces.error().display();
  ASSERT_EQ(traces->size(), 2u);
  EXPECT_EQ((*traces)[0].id, "t1");
  EXPECT_EQ((*traces)[1].id, "t2");
  const Json& steps = (*traces)[0].fixture["steps"];
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0]["id"], "b");
  EXPECT_EQ(steps[0]["metadata"]["results_count"], 0);  // a retriever that recorded no documents
  EXPECT_EQ(steps[1]["step_type"], "final_answer");     // last model output without tool calls
  EXPECT_EQ(steps[1]["step_index"], 1);
  EXPECT_EQ((*traces)[0].fixture["run"]["title"], "span root");
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

TEST(OtlpImport, MalformedInputNamesThePlace) {
  struct Row {
    std::string input;
    std::string error;
  } rows[] = {
      {R"({"resourceSpans":{}})", "in.json: resourceSpans is not an array"},
      {R"({"resourceSpans":[{"scopeSpans":[{"spans":[{"spanId":"a"}]}]}]})",
       "in.json: resourceSpans[0].scopeSpans[0].spans[0]: traceId missing"},
      {R"({"resourceSpans":[{"scopeSpans":[{"spans":[7]}]}]})",
       "in.json: resourceSpans[0].scopeSpans[0].spans[0]: not an object"},
      {"[1]", "in.json: expected an object with resourceSpans"},
      {otlp("[]") + "\n{broken\n", "in.json:2: invalid JSON at line 1"},
  };
  for (const auto& row : rows) {
    auto r = import_otlp(row.input, "in.json");
    ASSERT_FALSE(r) << row.input;
    EXPECT_EQ(r.error().display().substr(0, row.error.size()), row.error);
  }
}

TEST(ChatImport, MessagesToSteps) {
  Json chat = Json::parse(R"({"conversation":[
      {"role":"system","content":"You are helpful."},
      {"role":"user","content":[{"type":"text","text":"Find flights"}]},
      {"role":"assistant","content":null,"tool_calls":[{"id":"c1","function":{"name":"search"}}]},
      {"role":"tool","tool_call_id":"c1","content":"Error: 502 from provider\nretry later"},
      {"role":"WebSurfer","content":"Looked at the page"},
      {"role":"assistant","name":"Planner","content":"Next: ask again"},
      {"role":"assistant","content":"No flights found."}]})");
  auto f = import_chat(chat, "c.json");
  ASSERT_TRUE(f);
  const Json& steps = (*f)["steps"];
  std::vector<std::string> types;
  for (const auto& s : steps) types.push_back(s["step_type"]);
  EXPECT_EQ(types, (std::vector<std::string>{"setup", "user_input", "tool_call", "tool_result",
                                             "web_search", "planner", "final_answer"}));
  EXPECT_EQ(steps[3]["status"], "failed");
  EXPECT_EQ(steps[3]["error_message"], "Error: 502 from provider");
  EXPECT_EQ(steps[4]["display_name"], "WebSurfer");
  EXPECT_EQ(steps[5]["display_name"], "Planner");
  EXPECT_EQ((*f)["run"]["title"], "Find flights");
  EXPECT_EQ((*f)["run"]["status"], "completed");
  EXPECT_EQ(steps[2]["raw_input"]["tool_calls"][0]["id"], "c1");
  // The fixture loads and diagnoses like any other.
  auto trace = build_trace("c.json", *f);
  ASSERT_TRUE(trace);
  EXPECT_TRUE(diagnose_run(*trace).root_cause);

  std::string long_text(5000, 'x');
  auto big =
      import_chat(Json::parse(R"([{"role":"assistant","content":")" + long_text + R"("}])"), "c");
  EXPECT_EQ((*big)["steps"][0]["summary"].get<std::string>().size(), 2000u);
  EXPECT_EQ((*big)["steps"][0]["raw_output"].get<std::string>().size(), 5000u);
  EXPECT_FALSE(import_chat(Json::parse(R"({"msgs":[]})"), "c.json"));
  EXPECT_EQ(import_chat(Json::parse("[3]"), "c.json").error().text(),
            "c.json: message 0 is not an object");
}

// Messages without a role, or with members of unexpected types, import as steps of
// their own instead of throwing out of the importer.
TEST(ChatImport, OddMessagesImport) {
  const char* rows[] = {
      R"([{"content": 5}])",
      R"([{"run": 1, "steps": [2]}])",
      R"([{"role": 1, "name": [], "content": {"text": 3}, "tool_calls": 7}])",
      R"([{"role": "tool", "content": [1, {"text": 2}, {"text": "ok"}, null]}])",
  };
  for (const char* row : rows) {
    auto f = import_chat(Json::parse(row), "c.json");
    ASSERT_TRUE(f) << row;
    auto trace = build_trace("c.json", *f);
    ASSERT_TRUE(trace) << row;
    EXPECT_EQ(trace->steps.size(), 1u) << row;
  }
}

}  // namespace
}  // namespace tracedx

namespace tracedx {
namespace {

TEST(OtlpImport, StreamingEqualsWholeFile) {
  auto dir = std::filesystem::temp_directory_path() / "tracedx-otlp-stream";
  std::filesystem::create_directories(dir);
  std::string lines =
      otlp("[" + span("b", R"(,"startTimeUnixNano":"2")") + "," + span("z", "", "t2") + "]") +
      "\n" + otlp("[" + span("a", R"(,"startTimeUnixNano":"1")") + "]") + "\n";
  for (const auto& [name, bytes] :
       {std::pair<std::string, std::string>{"l.jsonl", lines},
        {"d.json", Json::parse(otlp("[" + span("a", "") + "]")).dump(2)}}) {
    std::ofstream(dir / name) << bytes;
    std::vector<ImportedTrace> streamed;
    auto ok = for_each_otlp_trace((dir / name).string(),
                                  [&](ImportedTrace t) { streamed.push_back(std::move(t)); });
    ASSERT_TRUE(ok) << ok.error().display();
    auto whole = import_otlp(bytes, (dir / name).string());
    ASSERT_TRUE(whole);
    ASSERT_EQ(streamed.size(), whole->size()) << name;
    for (size_t i = 0; i < streamed.size(); ++i) {
      EXPECT_EQ(streamed[i].id, (*whole)[i].id);
      EXPECT_EQ(streamed[i].fixture, (*whole)[i].fixture);
    }
  }
  EXPECT_FALSE(for_each_otlp_trace((dir / "missing.jsonl").string(), [](ImportedTrace) {}));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tracedx

namespace tracedx {
namespace {

// An attribute list entry with a string value (JSON-escaped by the caller where needed).
std::string attr(const std::string& key, const std::string& value) {
  return R"({"key":")" + key + R"(","value":{"stringValue":")" + value + R"("}})";
}

std::string attrs(std::initializer_list<std::string> list) {
  std::string out = R"(,"attributes":[)";
  bool first = true;
  for (const auto& a : list) {
    out += (first ? "" : ",") + a;
    first = false;
  }
  return out + "]";
}

std::string at(int start, int end) {
  return R"(,"startTimeUnixNano":")" + std::to_string(start) + R"(000000","endTimeUnixNano":")" +
         std::to_string(end) + R"(000000")";
}

std::vector<std::string> types_of(const Json& fixture) {
  std::vector<std::string> out;
  for (const auto& s : fixture["steps"]) {
    out.push_back(s["step_type"].get<std::string>() +
                  (s["status"] == "failed" ? std::string("!") : std::string()));
  }
  return out;
}

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
}

}  // namespace
}  // namespace tracedx
