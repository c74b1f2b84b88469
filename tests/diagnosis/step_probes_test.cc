#include "diagnosis/step_probes.h"

#include <gtest/gtest.h>

#include <random>

#include "diagnosis/keywords.h"
#include "test_support.h"
#include "text/text.h"

namespace tracedx {
namespace {

using test_support::step_of;
using test_support::trace_of;

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

// The shared scan of the step text and the loose text, and the nav scan, must equal
// separate scans of the built texts, including keywords that span the joins.
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
    const char* keys[] = {"summary",    "error_message", "raw_input",
                          "raw_output", "metadata",      "step_type"};
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
    std::string nav = lower(s.summary.value_or("")) + " " + lower(s.error_message.value_or("")) +
                      " " + lower(s.step_type.value_or(""));
    ASSERT_EQ(nav_hits(s), scan_keywords(nav)) << doc.dump();
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

TEST(StepLabel, DisplayNameThenTypeThenStep) {
  EXPECT_EQ(step_label(step_of(R"({"display_name":"","step_type":"tool"})")), "");
  EXPECT_EQ(step_label(step_of(R"({"step_type":" Tool "})")), " Tool ");
  EXPECT_EQ(step_label(step_of(R"({})")), "Step");
}

TEST(SlowRetrievalStep, ThresholdRules) {
  auto slow = [](const char* step, uint64_t threshold) {
    TraceStep s = step_of(step);
    return is_slow_retrieval(scan_keywords(type_text(s)), s, threshold);
  };
  EXPECT_TRUE(slow(R"({"step_type":" Web Search "})", 0));
  EXPECT_FALSE(slow(R"({"step_type":"Web Search"})", 2500));
  EXPECT_TRUE(slow(R"({"step_type":"retrieval","duration_ms":2500})", 2500));
  EXPECT_FALSE(slow(R"({"step_type":"retrieval","duration_ms":2500})", 2501));
  EXPECT_FALSE(slow(R"({"step_type":"tool","duration_ms":9000})", 0));
}

TEST(StatusWords, StepAndRunWords) {
  struct Row {
    const char* text;
    bool failed, done, success_like;
  } rows[] = {
      {"error", true, false, false},    {"failed", true, false, false},
      {"completed", false, true, true}, {"success", false, true, true},
      {"passed", false, false, true},   {"Failed", false, false, false},  // texts come normalised
      {"failure", false, false, false}, {"", false, false, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(is_failed_status(row.text), row.failed) << row.text;
    EXPECT_EQ(is_done_status(row.text), row.done) << row.text;
    EXPECT_EQ(is_success_like(row.text), row.success_like) << row.text;
  }
}

TEST(SlowestStep, LaterStepWinsTies) {
  EXPECT_EQ(slowest_step(trace_of(R"({"run":{},"steps":[]})").steps), std::nullopt);
  EXPECT_EQ(slowest_step(trace_of(R"({"run":{},"steps":[{},{"summary":"x"}]})").steps),
            std::nullopt);
  EXPECT_EQ(slowest_step(trace_of(R"({"run":{},"steps":[{"duration_ms":300},
      {"duration_ms":900},{"duration_ms":900},{}]})")
                             .steps),
            2u);
  EXPECT_EQ(slowest_step(trace_of(R"({"run":{},"steps":[{},{"duration_ms":0}]})").steps), 1u);
}

}  // namespace
}  // namespace tracedx
