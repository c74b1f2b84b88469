// The OTLP path as a whole, spans in and fixture documents out, as the commands read a file:
// attribute encodings, JSON Lines grouped by trace, errors naming their place, and a file
// streamed giving what the whole text gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "import/import_test_support.h"
#include "import/importers.h"

namespace tracedx {
namespace {

using test_support::import_all_otlp;
using test_support::only_trace;
using test_support::otlp;
using test_support::span;

TEST(OtlpImport, EncodingVariants) {
  // Times as strings and numbers, enums as numbers and names, kvlist and array values.
  Json f = only_trace(otlp(
      "[" +
      span("a",
           R"(,"kind":"SPAN_KIND_CLIENT","startTimeUnixNano":1000000,"endTimeUnixNano":"3500000",
        "status":{"code":"STATUS_CODE_ERROR","message":"boom"},
        "attributes":[{"key":"gen_ai.operation.name","value":{"stringValue":"execute_tool"}},
          {"key":"n","value":{"intValue":"42"}},{"key":"m","value":{"intValue":7}},
          {"key":"neg","value":{"intValue":"-9223372036854775808"}},
          {"key":"tail","value":{"intValue":"42abc"}},{"key":"big","value":{"intValue":"9223372036854775808"}},
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
  EXPECT_EQ(s["metadata"]["neg"], INT64_MIN);
  // Integer texts that are not an int64 whole are kept as written, not cut or wrapped.
  EXPECT_EQ(s["metadata"]["tail"], "42abc");
  EXPECT_EQ(s["metadata"]["big"], "9223372036854775808");
  EXPECT_EQ(s["metadata"]["d"], 0.5);
  EXPECT_EQ(s["metadata"]["b"], true);
  EXPECT_EQ(s["metadata"]["l"], Json::parse(R"(["x",1])"));
  EXPECT_EQ(s["metadata"]["o"], Json::parse(R"({"k":"v"})"));
  EXPECT_EQ(s["metadata"]["raw"], "AQI=");
  EXPECT_EQ(f["run"]["status"], "failed");
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
  auto traces = import_all_otlp(lines, "in.jsonl");
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
    auto r = import_all_otlp(row.input, "in.json");
    ASSERT_FALSE(r) << row.input;
    EXPECT_EQ(r.error().display().substr(0, row.error.size()), row.error);
  }
}

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
    auto whole = import_all_otlp(bytes, (dir / name).string());
    ASSERT_TRUE(whole);
    ASSERT_EQ(streamed.size(), whole->size()) << name;
    // Streamed traces come when complete; import keeps the order of first appearance.
    std::stable_sort(streamed.begin(), streamed.end(),
                     [](const auto& a, const auto& b) { return a.sequence < b.sequence; });
    for (size_t i = 0; i < streamed.size(); ++i) {
      EXPECT_FALSE(streamed[i].error);
      EXPECT_EQ(streamed[i].trace_id, (*whole)[i].id);
      EXPECT_EQ(streamed[i].fixture(), (*whole)[i].fixture);
    }
  }
  EXPECT_FALSE(for_each_otlp_trace((dir / "missing.jsonl").string(), [](OtlpItem) {}));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tracedx
