#include "import/importers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "diagnosis/diagnosis.h"
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
    // A root span first, so the mapped span is not the root agent.
    Json f = only_trace(otlp(
        "[" + span("r", R"(,"startTimeUnixNano":"1")") + "," +
        span("s",
             std::string(R"(,"parentSpanId":"r","startTimeUnixNano":"2","attributes":[{"key":")") +
                 row.attribute + R"(","value":{"stringValue":")" + row.value + R"("}}])") +
        "]"));
    ASSERT_EQ(f["steps"].size(), 2u) << row.value;
    EXPECT_EQ(f["steps"][1]["step_type"], row.step_type) << row.value;
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
