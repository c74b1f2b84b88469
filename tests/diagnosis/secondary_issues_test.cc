// The issues reported beside the primary finding: what each is anchored on, and when it is
// left out.
#include "diagnosis/secondary_issues.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "diagnosis/root_cause.h"
#include "diagnosis/signals.h"
#include "test_support.h"

namespace tracedx {
namespace {

using test_support::run_of;

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

}  // namespace
}  // namespace tracedx
