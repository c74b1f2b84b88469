#include "diagnosis/step_probes.h"

#include <gtest/gtest.h>

#include <random>

#include "diagnosis/keywords.h"
#include "test_support.h"
#include "text/text.h"

namespace tracedx {
namespace {

using testing::step_of;
using testing::trace_of;

TEST(StepText, JoinsNormalisedParts) {
  struct Row {
    const char* step;
    const char* text;
  } rows[] = {
      {R"({"error_message":"  Timeout  "})", "timeout"},
      {R"({"raw_output":"Done"})", "\"done\""},
      {R"({"raw_output":{"attempt": 2}})", "{\"attempt\":2}"},
      {R"({"summary":" A ","error_message":" B ","raw_input":null,"raw_output":[1],"metadata":{"K":"V"}})",
       "a b null [1] {\"k\":\"v\"}"},
      {R"({"summary":"A","metadata":"M"})", "a    \"m\""},  // empty middle parts leave their spaces
      {R"({"summary":"   ","raw_input":"x"})", "\"x\""},
      {R"({"display_name":"Timeout","step_type":"tool","status":"failed","id":"x"})", ""},
      {R"({"summary":"\u00c9T\u00c9","raw_output":"\u00c4"})", "\xc3\xa9t\xc3\xa9   \"\xc3\xa4\""},
  };
  for (const auto& row : rows) {
    TraceStep s = step_of(row.step);
    EXPECT_EQ(step_text(s), row.text) << row.step;
    // The streamed scan sees exactly the built text.
    KeywordScan scan(keyword_matcher());
    feed_step_text(scan, s, serialise_step_json(s));
    EXPECT_EQ(scan.hits(), scan_keywords(step_text(s))) << row.step;
  }
}

// The shared scan of the step text and the loose text must equal two separate scans of
// the built texts, including keywords that span the joins.
TEST(StepText, SharedScanEqualsSeparateScans) {
  std::mt19937 rng(11);
  const std::vector<std::string> pieces = {"",          " ",       "correcting to ", "ledger",
                                           "Invalid ",  "JSON",    "\"attempt\":",   "2",
                                           "wrong",     " entity", "\u00c9",         "ocr",
                                           "no results"};
  auto text = [&] {
    std::string t;
    for (int n = rng() % 4; n > 0; --n) t += pieces[rng() % pieces.size()];
    return t;
  };
  for (int i = 0; i < 3000; ++i) {
    Json doc = Json::object();
    const char* keys[] = {"summary", "error_message", "raw_input", "raw_output", "metadata"};
    for (const char* key : keys) {
      if (rng() % 3 == 0) continue;
      if (std::string_view(key) == "metadata" && rng() % 2)
        doc[key] = {{"note", text()}};
      else
        doc[key] = text();
    }
    TraceStep s = step_of(doc.dump());
    StepJson json = serialise_step_json(s);
    KeywordScan t(keyword_matcher()), l(keyword_matcher());
    feed_step_and_loose_texts(t, l, s, json);
    ASSERT_EQ(t.hits(), scan_keywords(step_text(s))) << doc.dump();
    std::string loose = lower(s.summary.value_or("")) + " " + lower(s.error_message.value_or("")) +
                        " " + lower(json.raw_output) + " " + lower(json.metadata);
    ASSERT_EQ(l.hits(), scan_keywords(loose)) << doc.dump();
  }
}

TEST(StepKind, FirstMatchingRowWins) {
  struct Row {
    std::optional<std::string> type;
    StepKind kind;
  } rows[] = {
      {std::nullopt, StepKind::kOther},        {"", StepKind::kOther},
      {"  Web Search  ", StepKind::kRetrieve}, {"search_tool", StepKind::kRetrieve},
      {"api_response", StepKind::kTool},       {"rapid", StepKind::kTool},
      {"planner", StepKind::kReason},          {"validator", StepKind::kReason},
      {"final_answer", StepKind::kOutput},     {"compose", StepKind::kOutput},
      {"delegation", StepKind::kOther},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(step_kind(row.type), row.kind) << row.type.value_or("<absent>");
  }
  EXPECT_EQ(step_kind_word(StepKind::kRetrieve), "Retrieve");
  EXPECT_EQ(step_kind_word(StepKind::kOther), "Other");
}

TEST(MetaProbes, KindsAndKeys) {
  TraceStep s = step_of(R"({"metadata":{"zero":0.0,"neg":-3,"big":18446744073709551615,"n":7,
      "t":true,"f":false,"ts":"true","list":[1],"empty":[],"nul":null,"txt":"  Low ",
      "Coordination_Failure":"conflicting_outputs","coordination_failure":" Conflicting_Outputs ",
      "a.b":1}})");
  EXPECT_EQ(meta_int(s, "zero"), std::nullopt);
  EXPECT_EQ(meta_int(s, "neg"), -3);
  EXPECT_EQ(meta_int(s, "big"), std::nullopt);
  EXPECT_EQ(meta_int(s, "n"), 7);
  EXPECT_EQ(meta_int(s, "a.b"), 1);  // dotted keys are flat
  EXPECT_TRUE(meta_true(s, "t"));
  EXPECT_FALSE(meta_true(s, "ts"));
  EXPECT_FALSE(meta_true(s, "f"));
  EXPECT_TRUE(meta_false(s, "f"));
  EXPECT_TRUE(meta_list(s, "list"));
  EXPECT_FALSE(meta_list(s, "empty"));
  EXPECT_TRUE(meta_has(s, "nul"));
  EXPECT_FALSE(meta_has(s, "absent"));
  EXPECT_EQ(meta_text(s, "txt"), "low");
  EXPECT_EQ(meta_text(s, "n"), std::nullopt);
  EXPECT_TRUE(coordination_failure_is(s, "conflicting_outputs"));

  TraceStep capital = step_of(R"({"metadata":{"Coordination_Failure":"conflicting_outputs"}})");
  EXPECT_FALSE(coordination_failure_is(capital, "conflicting_outputs"));
  TraceStep not_object = step_of(R"({"metadata":["t"]})");
  EXPECT_FALSE(meta_has(not_object, "t"));
}

TEST(Markers, SafetyAndArtifact) {
  Trace t = trace_of(R"({"run":{},"steps":[{"summary":"fine"},
      {"raw_output":"Blocked by the AZURE CONTENT FILTER"}]})");
  EXPECT_TRUE(has_safety_marker(t.steps));
  EXPECT_FALSE(has_safety_marker(std::span(t.steps).first(1)));
  EXPECT_TRUE(has_artifact_marker(step_of(R"({"metadata":{"artifact_type":""}})")));
  // A non-string artifact_type is no marker by itself, but its key is in the step text.
  EXPECT_TRUE(has_artifact_marker(step_of(R"({"metadata":{"artifact_type":3}})")));
  EXPECT_FALSE(has_artifact_marker(step_of(R"({"metadata":{"kind":3}})")));
  EXPECT_TRUE(
      has_artifact_marker(step_of(R"({"metadata":{"artifact_type":3},"raw_input":"Ledger"})")));
  EXPECT_FALSE(has_artifact_marker(step_of(R"({"display_name":"ledger"})")));
}

TEST(StepLabel, DisplayNameThenTypeThenStep) {
  EXPECT_EQ(step_label(step_of(R"({"display_name":"","step_type":"tool"})")), "");
  EXPECT_EQ(step_label(step_of(R"({"step_type":" Tool "})")), " Tool ");
  EXPECT_EQ(step_label(step_of(R"({})")), "Step");
}

TEST(FailedStepRef, TypeLabelIndex) {
  Trace t = trace_of(R"({"run":{},"steps":[{"status":"failed","display_name":"Fetch"},
      {"step_type":"tool","step_index":9}]})");
  EXPECT_FALSE(failed_step_ref(t, std::nullopt));
  EXPECT_FALSE(failed_step_ref(t, 2));
  auto ref = failed_step_ref(t, 0);
  ASSERT_TRUE(ref);
  EXPECT_EQ(ref->type, "Unknown");
  EXPECT_EQ(ref->label, "Fetch");
  EXPECT_EQ(ref->index, std::nullopt);
  auto second = failed_step_ref(t, 1);
  EXPECT_EQ(second->type, "tool");
  EXPECT_EQ(second->index, 9);
}

TEST(SlowRetrievalStep, ThresholdRules) {
  TraceStep untimed = step_of(R"({"step_type":"Web Search"})");
  TraceStep exact = step_of(R"({"step_type":"retrieval","duration_ms":2500})");
  TraceStep tool = step_of(R"({"step_type":"tool","duration_ms":9000})");
  EXPECT_TRUE(is_slow_retrieval_step(0, untimed));
  EXPECT_FALSE(is_slow_retrieval_step(2500, untimed));
  EXPECT_TRUE(is_slow_retrieval_step(2500, exact));
  EXPECT_FALSE(is_slow_retrieval_step(2501, exact));
  EXPECT_FALSE(is_slow_retrieval_step(0, tool));
}

}  // namespace
}  // namespace tracedx
