#include "diagnosis/diagnosis.h"

#include <gtest/gtest.h>

#include <set>

#include "diagnosis/categories.h"
#include "diagnosis/recommendations.h"
#include "diagnosis/secondary_issues.h"
#include "diagnosis/signals.h"
#include "test_support.h"

namespace tracedx {
namespace {

using test_support::run_of;
using test_support::trace_of;

RootCause finding(std::string label, std::optional<std::string> explanation = "Why.") {
  RootCause rc;
  rc.label = std::move(label);
  rc.explanation = std::move(explanation);
  return rc;
}

TEST(Recommendations, CatalogueRowsInOrder) {
  Recommendations grounding = build_recommendations(finding("Grounding failure"), {});
  EXPECT_EQ(grounding.title, "Suggested fix");
  EXPECT_EQ(grounding.severity, "high");
  EXPECT_EQ(grounding.summary, "Why.");
  EXPECT_EQ(grounding.recommendedActions.size(), 2u);
  EXPECT_EQ(grounding.instrumentation,
            std::vector<std::string>{"Log evidence counts, support checks, and contradictions "
                                     "between the answer and retrieved context."});
  EXPECT_EQ(grounding.guardrails,
            std::vector<std::string>{
                "Block user-facing answers when verification or grounding checks fail."});

  Recommendations context =
      build_recommendations(finding("Context poisoning or incorrect upstream assumption"), {});
  EXPECT_EQ(context.recommendedActions.size(), 3u);
  EXPECT_EQ(context.recommendedActions[2],
            "Block final answer generation when validation detects a mismatch between the "
            "requested and used entity.");
  EXPECT_EQ(context.instrumentation.size(), 2u);
  EXPECT_EQ(context.guardrails.size(), 2u);
  EXPECT_TRUE(context.observations.empty());
  EXPECT_TRUE(context.config_changes.empty());
}

// Every label a category can give has exactly one advice row (guidance or catalogue), except
// the labels that take the one-line default on purpose; no label has rows in both tables.
TEST(Recommendations, EveryLabelHasItsRow) {
  const std::set<Cat> default_advice = {Cat::kGenericFailure};
  for (const Category& c : categories()) {
    const std::string label(c.text.label);
    const AdviceRow* guidance = find_advice(guidance_rows(), label);
    const AdviceRow* catalogue = find_advice(catalogue_rows(), label);
    EXPECT_FALSE(guidance && catalogue) << label;
    EXPECT_EQ(!guidance && !catalogue, default_advice.count(c.cat) == 1) << label;
    if (guidance) {
      auto rec = guidance_recommendations(finding(label));
      ASSERT_TRUE(rec) << label;
      EXPECT_EQ(rec->title, "Healthy run guidance");
      EXPECT_EQ(rec->severity, "low");
      EXPECT_EQ(rec->recommendedActions.front(), guidance->actions[0]);
      EXPECT_TRUE(rec->related_issues.empty());
    } else {
      EXPECT_FALSE(guidance_recommendations(finding(label))) << label;
    }
    if (catalogue) {
      Recommendations rec = build_recommendations(finding(label), {});
      EXPECT_EQ(rec.recommendedActions.front(), catalogue->actions[0]) << label;
      EXPECT_FALSE(rec.instrumentation.empty()) << label;
      EXPECT_FALSE(rec.guardrails.empty()) << label;
    }
  }
  // Each row is the only one for its label.
  std::set<std::string_view> labels;
  for (auto rows : {guidance_rows(), catalogue_rows()}) {
    for (const auto& row : rows) {
      EXPECT_TRUE(labels.insert(category(row.cat).text.label).second)
          << category(row.cat).text.label;
    }
  }
}

TEST(Recommendations, ExactLabelLookupAndDefault) {
  for (const char* label : {"grounding failure", "Grounding failure ", "Tool failure or misusE",
                            "Run failure during execution"}) {
    Recommendations rec = build_recommendations(finding(label, std::nullopt), {});
    EXPECT_EQ(
        rec.recommendedActions,
        std::vector<std::string>{"Add better validation and error handling around critical steps."})
        << label;
    EXPECT_TRUE(rec.instrumentation.empty());
    EXPECT_EQ(rec.summary, std::nullopt);
  }
  EXPECT_FALSE(guidance_recommendations(finding("healthy run")));
  std::vector<RootCause> secondary = {finding("A"), finding("B")};
  EXPECT_EQ(build_recommendations(finding("X"), secondary).related_issues,
            (std::vector<std::string>{"A", "B"}));
}

RootCause only_issue(const Trace& t, std::string_view label, uint64_t threshold = 2500) {
  for (auto& issue : build_secondary_issues(scan_trace(t, threshold))) {
    if (issue.label == label) return issue;
  }
  return RootCause{};
}

TEST(SecondaryIssues, SlowRetrievalAnchorsOnTheLongest) {
  Trace t = run_of("completed", R"([{"step_type":"search","step_index":1,"duration_ms":2600},
      {"step_type":"retrieval","step_index":2,"display_name":"Docs","duration_ms":4000},
      {"step_type":"lookup","step_index":3,"duration_ms":4000}])");
  RootCause issue = only_issue(t, "Slow retrieval bottleneck");
  EXPECT_EQ(issue.evidence,
            (std::vector<std::string>{
                "3 retrieval or lookup steps exceeded the slow threshold of 2500 ms",
                "The slowest retrieval-related step took 4000 ms"}));
  EXPECT_EQ(issue.step_index, 3);  // the later of equal durations
  EXPECT_EQ(issue.phase, "Retrieve");
  EXPECT_EQ(issue.severity, "medium");
  Trace untimed = run_of("completed", R"([{"step_type":"search","step_index":8}])");
  RootCause zero = only_issue(untimed, "Slow retrieval bottleneck", 0);
  EXPECT_EQ(zero.step_index, 8);
  EXPECT_EQ(zero.evidence[1], "The slowest retrieval-related step took 0 ms");
}

TEST(SecondaryIssues, AnchorsAndAbsence) {
  Trace t = run_of("failed", R"([
      {"step_index":1,"step_type":"search","raw_input":"ledger"},
      {"step_index":2,"step_type":"search","summary":"OCR dump"},
      {"step_index":3,"step_type":"API call","status":"Failed"},
      {"step_index":4,"step_type":"reasoning","summary":"Unexpected token in output"},
      {"step_index":5,"step_type":"llm","raw_output":"content filter"},
      {"step_index":6,"step_type":"entity_resolution","metadata":{"assumption":"acme"}}])");
  auto issues = build_secondary_issues(scan_trace(t, 2500));
  ASSERT_EQ(issues.size(), 4u);
  EXPECT_EQ(issues[0].label, "Artifact / ledger pollution cost blow-up");
  EXPECT_EQ(issues[0].step_index, 2);  // raw_input is not part of this text
  EXPECT_EQ(issues[1].label, "Parser fallout after safety-policy block");
  EXPECT_EQ(issues[1].step_index, 4);
  EXPECT_EQ(issues[2].label, "Reasoning continued after tool failure");
  EXPECT_EQ(issues[2].step_index, 3);
  EXPECT_EQ(issues[2].step_name, "API call");
  EXPECT_EQ(issues[3].label, "Entity resolution ambiguity");
  EXPECT_EQ(issues[3].step_index, 6);

  // Artifact marker without any of the anchor words: no issue.
  Trace no_anchor = run_of("failed", R"([{"raw_input":"ledger","summary":"search-page"}])");
  EXPECT_TRUE(extract_signals(no_anchor, 2500).artifact_marker);
  EXPECT_TRUE(only_issue(no_anchor, "Artifact / ledger pollution cost blow-up").label.empty());
  // A status with a leading space is no anchor for the tool-failure issue.
  Trace spaced = run_of(
      "failed",
      R"([{"step_type":"tool","status":" failed","step_index":1},{"step_type":"plan","step_index":2}])");
  EXPECT_TRUE(extract_signals(spaced, 2500).reasoning_after_tool_failure);
  EXPECT_TRUE(only_issue(spaced, "Reasoning continued after tool failure").label.empty());
  // A confirmed entity mismatch hides the ambiguity issue.
  Trace confirmed =
      run_of("failed", R"([{"step_type":"validation","summary":"wrong entity, ambiguous"}])");
  EXPECT_TRUE(only_issue(confirmed, "Entity resolution ambiguity").label.empty());
}

TEST(SecondaryIssues, LatencyConcentration) {
  Trace at = run_of("completed", R"([{"step_index":1,"step_type":"tool","duration_ms":2500}])");
  RootCause issue = only_issue(at, "Latency concentration");
  EXPECT_EQ(issue.evidence, std::vector<std::string>{"Step duration 2500 ms exceeded threshold"});
  EXPECT_EQ(issue.phase, "tool");
  EXPECT_EQ(issue.explanation, "One step consumed a disproportionate amount of runtime.");
  Trace below = run_of("completed", R"([{"step_type":"tool","duration_ms":2499}])");
  EXPECT_TRUE(build_secondary_issues(scan_trace(below, 2500)).empty());
  Trace untyped = run_of("completed", R"([{"duration_ms":9000}])");
  RootCause no_phase = only_issue(untyped, "Latency concentration");
  EXPECT_EQ(no_phase.phase, std::nullopt);
  EXPECT_EQ(no_phase.step_name, "Step");
}

TEST(DiagnoseRun, OptionsAndIdentity) {
  Trace t = run_of("completed", R"([{"step_type":"tool","duration_ms":3000}])");
  Diagnosis d = diagnose_run(t);
  Diagnosis explicit_defaults = diagnose_run(t, DiagnoseOptions{2500, true, true, std::nullopt});
  EXPECT_EQ(d.root_cause, explicit_defaults.root_cause);
  EXPECT_EQ(d.secondary_issues, explicit_defaults.secondary_issues);
  EXPECT_EQ(d.engine, "rust");
  EXPECT_EQ(d.engine_version, "0.4.0");
  EXPECT_EQ(d.ruleset, "phase4-compare");
  ASSERT_TRUE(d.recommendations);
  EXPECT_EQ(d.recommendations->title, "Healthy run guidance");
  EXPECT_EQ(d.secondary_issues.size(), 1u);
  EXPECT_TRUE(d.recommendations->related_issues.empty());  // guidance carries no related issues

  Diagnosis bare = diagnose_run(t, DiagnoseOptions{std::nullopt, false, false, std::nullopt});
  EXPECT_TRUE(bare.secondary_issues.empty());
  EXPECT_FALSE(bare.recommendations);
  EXPECT_EQ(bare.root_cause, d.root_cause);

  Diagnosis none = diagnose_run(run_of("failed", "[]"));
  EXPECT_FALSE(none.root_cause);
  EXPECT_FALSE(none.recommendations);
  EXPECT_EQ(none.outcome, "failed");

  Diagnosis failing = diagnose_run(
      run_of("failed", R"([{"status":"failed","step_type":"search","duration_ms":3000}])"));
  ASSERT_TRUE(failing.recommendations);
  EXPECT_EQ(failing.recommendations->related_issues,
            (std::vector<std::string>{"Slow retrieval bottleneck", "Latency concentration"}));
}

TEST(Outcome, LabelWordsBeforeStatus) {
  struct Row {
    std::optional<std::string> status;
    std::optional<std::string> label;
    const char* outcome;
  } rows[] = {
      {"completed", "Recovered timeout after retry", "degraded"},
      {"failed", "Unsupported answer after empty retrieval", "degraded"},
      {"failed", "Retrieval fallback or generic answer", "degraded"},
      {"failed", "Context poisoning or incorrect upstream assumption", "degraded"},
      {"failed", "Timeout or stalled execution", "failed"},
      {"failed", "Healthy run", "success"},
      {" Completed ", "Grounding failure", "success"},
      {"success", std::nullopt, "success"},
      {"error", "Grounding failure", "unknown"},
      {"passed", "Grounding failure", "unknown"},
      {std::nullopt, std::nullopt, "unknown"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(outcome_of(row.status, row.label), row.outcome) << row.label.value_or("-");
  }
}

}  // namespace
}  // namespace tracedx
