// The run fields of batch records, and the run conditions behind --fail-on and --only.
#include "batch/run_info.h"

#include <gtest/gtest.h>

#include "batch/batch.h"
#include "batch/run_condition.h"
#include "test_support.h"

namespace tracedx {
namespace {

using test_support::trace_of;

RunInfo info_of(std::string_view doc, bool recorded = true) {
  Trace t = trace_of(doc);
  return run_info_of(t, diagnose_run(t), recorded);
}

TEST(RunInfo, TokensFromEveryShapeTheyAreRecordedIn) {
  struct Row {
    const char* metadata;
    std::optional<uint64_t> tokens;
  } rows[] = {
      {R"({"tokens":{"prompt":412,"completion":96}})", 508},
      {R"({"tokens":{"total":10,"prompt":412}})", 10},
      {R"({"tokens":{"input":3,"output":4}})", 7},
      {R"({"tokens":42})", 42},
      {R"({"total_tokens":9})", 9},
      {R"({"llm.token_count.total":30,"llm.token_count.prompt":1})", 30},
      {R"({"llm.token_count.prompt":20,"llm.token_count.completion":5})", 25},
      {R"({"gen_ai.usage.input_tokens":11,"gen_ai.usage.output_tokens":2})", 13},
      // Not counts: negative, fractional, texts.
      {R"({"tokens":-3})", std::nullopt},
      {R"({"tokens":2.5})", std::nullopt},
      {R"({"tokens":"12"})", std::nullopt},
      {R"({})", std::nullopt},
  };
  for (const auto& row : rows) {
    std::string doc = std::string(R"({"run":{},"steps":[{"metadata":)") + row.metadata +
                      R"(},{"metadata":{"tokens":1}}]})";
    auto expected =
        row.tokens ? std::optional<uint64_t>(*row.tokens + 1) : std::optional<uint64_t>(1);
    EXPECT_EQ(info_of(doc).tokens, expected) << row.metadata;
  }
  // Sums saturate.
  EXPECT_EQ(info_of(R"({"run":{},"steps":[{"metadata":{"tokens":18446744073709551615}},
                    {"metadata":{"tokens":5}}]})")
                .tokens,
            UINT64_MAX);
}

TEST(RunInfo, RunFieldsToolAndError) {
  RunInfo r = info_of(R"({"run":{"title":"Refund","status":"failed","service_name":"billing",
      "total_cost":0.25},"steps":[
      {"step_index":1,"step_type":"plan","duration_ms":5},
      {"step_index":2,"step_type":"tool_call","display_name":"lookup_order","status":"failed",
       "error_message":"order 8812 not found","duration_ms":20}]})");
  EXPECT_EQ(r.title, "Refund");
  EXPECT_EQ(r.service, "billing");
  EXPECT_EQ(r.agent, std::nullopt);
  EXPECT_EQ(r.status, "failed");
  EXPECT_EQ(r.outcome, "failed");
  EXPECT_EQ(r.duration_ms, 25u);
  EXPECT_EQ(r.cost, 0.25);
  EXPECT_EQ(r.steps, 2u);
  EXPECT_EQ(r.tool, "lookup_order");
  EXPECT_EQ(r.error_message, "order 8812 not found");
  // An agent named on a step; a status the importer inferred is not recorded.
  RunInfo chat = info_of(R"({"run":{"status":"completed"},"steps":[
      {"metadata":{"gen_ai.agent.name":"planner"}}]})",
                         /*recorded=*/false);
  EXPECT_EQ(chat.agent, "planner");
  EXPECT_EQ(chat.status, std::nullopt);
  EXPECT_EQ(chat.tool, std::nullopt);
  // No step records a duration: none is known, which is not 0 ms.
  EXPECT_EQ(chat.duration_ms, std::nullopt);
}

TEST(RunInfo, CompactTextIsTheJsonValue) {
  RunInfo r = info_of(R"({"run":{"title":"a\"b\u0001","status":"completed","total_cost":1e-7,
      "agent_name":"x"},"steps":[{"duration_ms":3}]})");
  std::string direct;
  append_run_json(direct, r);
  EXPECT_EQ(direct, dump_report(to_json(r), true));
  EXPECT_EQ(
      direct,
      R"({"title":"a\"b\u0001","service":null,"agent":"x","status":"completed","outcome":"success","duration_ms":3,"cost":1e-07,"tokens":null,"steps":1,"tool":null,"error_message":null})");
}

TEST(RunCondition, ParsesAndMatches) {
  struct Row {
    const char* condition;
    const char* outcome;
    std::optional<std::string> label, severity;
    bool matches;
  } rows[] = {
      // Outcome words.
      {"failed", "failed", "Tool failure or misuse", "medium", true},
      {"FAILED", "failed", std::nullopt, std::nullopt, true},
      {"failed", "degraded", "Recovered timeout after retry", "medium", false},
      {"success", "success", "Healthy run", "medium", true},
      // Least severities, never on a successful run.
      {"high", "failed", "Grounding failure", "high", true},
      {"medium", "failed", "Grounding failure", "high", true},
      {"critical", "failed", "Grounding failure", "high", false},
      {"high", "failed", "Timeout or stalled execution", "medium", false},
      {"medium", "success", "Healthy run", "medium", false},
      {"low", "unknown", std::nullopt, std::nullopt, false},
      // Labels, without case and surrounding space.
      {"Tool failure or misuse", "failed", "Tool failure or misuse", "medium", true},
      {"  tool FAILURE or misuse ", "success", "Tool failure or misuse", "medium", true},
      {"Tool failure", "failed", "Tool failure or misuse", "medium", false},
  };
  for (const auto& row : rows) {
    auto c = parse_run_condition(row.condition);
    ASSERT_TRUE(c) << row.condition;
    EXPECT_EQ(run_matches(*c, row.outcome, row.label, row.severity), row.matches)
        << row.condition << " / " << row.outcome << " / " << row.label.value_or("-");
  }
  auto empty = parse_run_condition("  ");
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().text(),
            "expected an outcome (success, failed, degraded, unknown), a severity (low, medium, "
            "high, critical) or a primary label, got \"  \"");
}

}  // namespace
}  // namespace tracedx
