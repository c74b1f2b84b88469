#include "import/importers.h"

#include <gtest/gtest.h>

#include <algorithm>
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
      {otlp("[]") + "\n{broken\n", "in.json: invalid JSON at line 2, column 2"},
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
    std::vector<OtlpItem> streamed;
    auto ok = for_each_otlp_trace((dir / name).string(),
                                  [&](OtlpItem t) { streamed.push_back(std::move(t)); });
    ASSERT_TRUE(ok) << ok.error().display();
    auto whole = import_otlp(bytes, (dir / name).string());
    ASSERT_TRUE(whole);
    ASSERT_EQ(streamed.size(), whole->size()) << name;
    // Streamed traces come when complete; import keeps the order of first appearance.
    std::stable_sort(streamed.begin(), streamed.end(),
                     [](const auto& a, const auto& b) { return a.sequence < b.sequence; });
    for (size_t i = 0; i < streamed.size(); ++i) {
      EXPECT_FALSE(streamed[i].error);
      EXPECT_EQ(streamed[i].trace_id, (*whole)[i].id);
      EXPECT_EQ(streamed[i].fixture, (*whole)[i].fixture);
    }
  }
  EXPECT_FALSE(for_each_otlp_trace((dir / "missing.jsonl").string(), [](OtlpItem) {}));
  std::filesystem::remove_all(dir);
}
}  // namespace
}  // namespace tracedx

namespace tracedx {
namespace {

std::vector<OtlpItem> stream_items(const std::string& bytes, const std::string& name = "in.jsonl") {
  Input in = Input::of_bytes(bytes, name);
  std::vector<OtlpItem> items;
  auto ok = for_each_otlp_trace(in, [&](OtlpItem item) { items.push_back(std::move(item)); });
  EXPECT_TRUE(ok) << (ok ? "" : ok.error().display());
  return items;
}

// The envelope as exporters write it: proto field names, bare ResourceSpans per line,
// base64 and upper-case ids, the resource and scope kept on each span.
TEST(OtlpEnvelope, SpellingsOfTheSameTrace) {
  const std::string camel = otlp(
      "[" +
      span(
          "b000000000000004",
          R"(,"parentSpanId":"b000000000000001","startTimeUnixNano":"2000000","endTimeUnixNano":"5000000")",
          "0af7651916cd43dd8448eb211c80319c") +
      "," +
      span("b000000000000001", R"(,"startTimeUnixNano":"1000000")",
           "0af7651916cd43dd8448eb211c80319c") +
      "]");
  const Json expected = only_trace(camel);
  ASSERT_EQ(expected["steps"].size(), 2u);
  const std::string snake =
      R"({"resource_spans":[{"resource":{},"scope_spans":[{"scope":{"name":"t"},"spans":[)"
      R"({"trace_id":"0AF7651916CD43DD8448EB211C80319C","span_id":"b000000000000004","parent_span_id":"B000000000000001","name":"span b000000000000004","start_time_unix_nano":"2000000","end_time_unix_nano":5000000},)"
      R"({"trace_id":"CvdlGRbNQ92ESOshHIAxnA==","span_id":"sAAAAAAAAAE=","name":"span b000000000000001","start_time_unix_nano":1000000}]}]}]})";
  const std::string bare =
      R"({"resource":{},"scopeSpans":[{"scope":{"name":"t"},"spans":[{"traceId":"0af7651916cd43dd8448eb211c80319c","spanId":"b000000000000004","parentSpanId":"b000000000000001","name":"span b000000000000004","startTimeUnixNano":"2000000","endTimeUnixNano":"5000000"}]}]})"
      "\n"
      R"({"resource":{},"scopeSpans":[{"scope":{"name":"t"},"spans":[{"traceId":"0af7651916cd43dd8448eb211c80319c","spanId":"b000000000000001","name":"span b000000000000001","startTimeUnixNano":"1000000"}]}]})"
      "\n";
  for (const auto& text : {snake, bare}) {
    Json f = only_trace(text);
    EXPECT_EQ(f, expected) << text;
  }
  // The id given to pick a trace is matched however it is written.
  auto picked =
      import_document(snake, Source::kOtlp, "in.json", "0AF7651916CD43DD8448EB211C80319C");
  EXPECT_TRUE(picked) << picked.error().display();
}

TEST(OtlpEnvelope, IdsAreNormalised) {
  struct Row {
    const char* written;
    const char* id;
  } rows[] = {
      {"0AF7651916CD43DD8448EB211C80319C", "0af7651916cd43dd8448eb211c80319c"},
      {"CvdlGRbNQ92ESOshHIAxnA==", "0af7651916cd43dd8448eb211c80319c"},  // 16 bytes, base64
      {"sAAAAAAAAAE=", "b000000000000001"},                              // 8 bytes, base64
      {"_-8AAAAAAAE=", "ffef000000000001"},                              // URL alphabet
      {"retrievalop", "retrievalop"},  // no padding: a name, kept as written
      {"t1", "t1"},
  };
  for (const auto& row : rows) EXPECT_EQ(normalize_trace_id(row.written), row.id) << row.written;
}

TEST(OtlpEnvelope, OtherFormatsAreNamed) {
  const std::string expected =
      "in.json: expected an object with resourceSpans (or resource_spans), or one ResourceSpans "
      "object per line";
  const std::string sdk = expected +
                          "; this is a list of SDK spans (span.to_json() or {\"spans\": [...]}), "
                          "not OTLP JSON";
  struct Row {
    std::string input, error;
  } rows[] = {
      {R"([{"name":"x","context":{"trace_id":"0x1","span_id":"0x2"}}])", sdk},
      {R"({"spans":[{"name":"x","context":{"trace_id":"0x1"}}]})", sdk},
      {R"({"name":"x","context":{"trace_id":"0x1"},"parent":null})", sdk},
      {"[1]", expected},
      {"\"text\"", expected},
  };
  for (const auto& row : rows) {
    auto r = import_otlp(row.input, "in.json");
    ASSERT_FALSE(r) << row.input;
    EXPECT_EQ(r.error().display(), row.error);
  }
}

// Where a parse error is reported: the line of the file and the column in it; a document
// printed over several lines is one document, whose error is at its own place.
TEST(OtlpEnvelope, ParseErrorsNameThePlace) {
  std::string pretty = Json::parse(otlp("[" + span("a", "") + "]")).dump(2);
  std::string cut = pretty.substr(0, pretty.size() - 20);
  size_t lines = std::count(cut.begin(), cut.end(), '\n') + 1;
  auto r = import_otlp(cut, "in.json");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::kJson);
  EXPECT_EQ(r.error().line(), lines) << r.error().display();
  EXPECT_GT(r.error().line(), 1u);
  // The first line of JSON Lines cut short is that line's error; the next lines are read.
  auto items = stream_items(R"({"resourceSpans":[)"
                            "\n" +
                            otlp("[" + span("a", "") + "]") + "\n");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].line, 1u);
  EXPECT_EQ(items[0].error->display().rfind("in.jsonl: invalid JSON at line 1, column 19", 0), 0u)
      << items[0].error->display();
  EXPECT_EQ(items[1].trace_id, "t1");
  EXPECT_FALSE(items[1].error);
}

// A malformed line is an error of its own and of each trace it would have touched; the
// other traces are read.
TEST(OtlpEnvelope, MalformedLineSparesOtherTraces) {
  std::string text = otlp("[" + span("a", "", "t1") + "," + span("b", "", "t2") + "]") + "\n" +
                     otlp("[" + span("c", "", "t3") + "]") + "\n" +
                     // Cut after a span of t2: t2 is touched, t3 is not.
                     otlp("[" + span("d", "", "t2") + "," + span("e", "", "t4")).substr(0, 120) +
                     "\n" + otlp("[" + span("f", "", "t3") + "]") + "\n" +
                     R"({"resourceSpans":[{"scopeSpans":[{"spans":[{"spanId":"x"}]}]}]})" + "\n";
  auto items = stream_items(text);
  std::vector<std::string> got;
  for (const auto& i : items) {
    got.push_back(std::to_string(i.line) + " " + i.trace_id + " " +
                  (i.error ? i.error->display() : std::to_string(i.fixture["steps"].size())));
  }
  EXPECT_EQ(got[0], "0 t1 1");
  ASSERT_EQ(got.size(), 5u) << ::testing::PrintToString(got);
  EXPECT_EQ(got[1].rfind("3  in.jsonl: invalid JSON at line 3, column", 0), 0u) << got[1];
  EXPECT_EQ(got[2], "0 t2 in.jsonl: trace t2 is incomplete: line 3 could not be read");
  EXPECT_EQ(got[3], "0 t3 2");
  EXPECT_EQ(got[4], "5  in.jsonl:5: resourceSpans[0].scopeSpans[0].spans[0]: traceId missing");
  // Strict import fails on the first bad line and names it.
  auto whole = import_otlp(text, "in.jsonl");
  ASSERT_FALSE(whole);
  EXPECT_EQ(whole.error().line(), 3u);
}

// 2,000 traces on one line (what OTLP/HTTP JSON exporters send): every trace once, each
// line parsed once; 2,000 more spread over 2,000 lines in reverse order of completion.
TEST(OtlpEnvelope, OneLineExportOfManyTraces) {
  std::string spans;
  for (int i = 0; i < 2000; ++i)
    spans += (i ? "," : "") + span("s" + std::to_string(i), "", "t" + std::to_string(i));
  auto items = stream_items(otlp("[" + spans + "]") + "\n");
  ASSERT_EQ(items.size(), 2000u);
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].trace_id, "t" + std::to_string(i));
    EXPECT_EQ(items[i].fixture["steps"].size(), 1u);
  }
  std::string lines;
  for (int i = 0; i < 2000; ++i)
    lines += otlp("[" + span("a", "", "t" + std::to_string(i)) + "]") + "\n";
  for (int i = 1999; i >= 0; --i)
    lines += otlp("[" + span("b", "", "t" + std::to_string(i)) + "]") + "\n";
  items = stream_items(lines);
  ASSERT_EQ(items.size(), 2000u);
  EXPECT_EQ(items[0].trace_id, "t1999");  // complete first: its last line comes first
  EXPECT_EQ(items[0].fixture["steps"].size(), 2u);
  auto traces = import_otlp(lines, "in.jsonl");
  ASSERT_TRUE(traces);
  EXPECT_EQ((*traces)[0].id, "t0");  // import keeps the order of first appearance
}

TEST(OtlpEnvelope, ResourceAndScopeReachTheSpans) {
  // The mapping reads them from the spans; here only that they import and stay out of
  // the way of a trace that does not use them.
  std::string text =
      R"({"resourceSpans":[{"resource":{"attributes":[{"key":"service.name","value":{"stringValue":"svc"}}]},)"
      R"("scopeSpans":[{"scope":{"name":"openinference.instrumentation"},"spans":[)" +
      span("a", "") + "]}]}]}";
  EXPECT_EQ(only_trace(text)["steps"].size(), 1u);
}

}  // namespace
}  // namespace tracedx
