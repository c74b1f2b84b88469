#include "diagnosis/compare/comparison.h"

#include <gtest/gtest.h>

#include <limits>
#include <set>

#include "test_support.h"

// Rows of these tables stay one case per line, aligned by hand.
// clang-format off

namespace tracedx {
namespace {

using test_support::run_of;
using test_support::trace_of;

using Lines = std::vector<std::string>;

TEST(PhaseOfStepType, OwnTable) {
  struct Row {
    std::optional<std::string> type;
    const char* phase;
  } rows[] = {
      {"final_answer_tool", "Tool"}, {"web_lookup", "Retrieve"}, {std::nullopt, "Other"},
      {"validator", "Other"},        {"compose", "Other"},       {" Validate ", "Reason"},
      {"planner", "Reason"},         {"draft", "Output"},
  };
  for (const auto& row : rows) EXPECT_EQ(phase_of_step_type(row.type), row.phase) << row.type.value_or("-");
  EXPECT_TRUE(is_success_status(std::optional<std::string>(" Passed ")));
  EXPECT_FALSE(is_success_status(std::nullopt));
  EXPECT_FALSE(is_success_status(std::optional<std::string>("done")));
}

TEST(Divergence, ExecutionPath) {
  Trace p = run_of("failed", R"([{"step_type":"plan","status":"completed","display_name":"Planner"},
      {"step_type":"tool","status":"failed","error_message":"boom","duration_ms":10}])");
  Trace c = run_of("completed", R"([{"step_type":"plan","status":"completed"},
      {"step_type":"search","status":"completed"}])");
  Divergence d = detect_divergence(p, c);
  EXPECT_EQ(d.title, "Execution path divergence");
  EXPECT_EQ(d.step_index, 1);
  EXPECT_EQ(d.phase, "Tool");
  EXPECT_EQ(d.severity, "high");
  EXPECT_EQ(d.details, (Lines{"Primary type: tool", "Compared type: search"}));
  EXPECT_EQ(d.primary_step_name, "tool");
  EXPECT_EQ(d.compared_step_name, "search");
  EXPECT_EQ(d.summary,
            "The runs took different kinds of steps at index 1, which suggests the compared run resolved "
            "the primary failure and completed successfully through a different path. Primary diagnosis: "
            "Tool failure or misuse. Compared diagnosis: Healthy run.");
  ASSERT_TRUE(d.primary_root_cause);
  EXPECT_EQ(d.compared_root_cause->label, "Healthy run");
}

TEST(Divergence, BothHealthyWording) {
  auto pair = [](uint64_t p_ms, uint64_t c_ms) {
    Trace p = run_of("completed", R"([{"step_type":"plan","duration_ms":)" + std::to_string(p_ms) + "}]");
    Trace c = run_of("completed", R"([{"step_type":"search","duration_ms":)" + std::to_string(c_ms) + "}]");
    return detect_divergence(p, c).summary;
  };
  const std::string both = "The runs took different kinds of steps at index 0, but both completed successfully. ";
  const std::string tail = " Primary diagnosis: Healthy run. Compared diagnosis: Healthy run.";
  EXPECT_EQ(pair(4000, 5200), both + "The compared run followed a different path and was slower by 1200 ms." + tail);
  EXPECT_EQ(pair(1000, 2000), both + "The compared run followed a different path and was slower by 1000 ms." + tail);
  EXPECT_EQ(pair(2000, 1000), both + "The compared run followed a different path and was faster by 1000 ms." + tail);
  EXPECT_EQ(pair(4000, 4999),
            "The runs took different kinds of steps at index 0, which means the execution path changed." + tail);
  Trace p = run_of("completed", R"([{"step_type":"plan","duration_ms":18446744073709551615}])");
  Trace c = run_of("completed", R"([{"step_type":"search","duration_ms":0}])");
  EXPECT_NE(detect_divergence(p, c).summary.find("faster by 18446744073709551615 ms"), std::string::npos);
}

TEST(Divergence, OutcomeTitlesAndWording) {
  struct Row {
    const char* p_status;
    const char* c_status;
    const char* title;
  } rows[] = {
      {"passed", "completed", "Outcome divergence at same step"},
      {"completed", "failed", "Outcome divergence: compared failed where primary succeeded"},
      {"error", "failed", "Outcome divergence at same step"},
      {"failed", "completed", "Outcome divergence: primary failed where compared succeeded"},
  };
  for (const auto& row : rows) {
    Trace p = run_of("failed", std::string(R"([{"step_type":"Tool","status":")") + row.p_status + "\"}]");
    Trace c = run_of("failed", std::string(R"([{"step_type":"tool ","status":")") + row.c_status + "\"}]");
    EXPECT_EQ(detect_divergence(p, c).title, row.title) << row.p_status << " vs " << row.c_status;
  }
  Trace p = run_of("failed", R"([{"step_type":"tool","status":"failed","step_index":3}])");
  Trace c = run_of("completed", R"([{"step_type":"tool","status":"Completed"}])");
  Divergence d = detect_divergence(p, c);
  EXPECT_EQ(d.summary,
            "The runs reached the same step type at index 0 but ended with different outcomes (failed vs "
            "Completed). The compared run resolved the primary failure and completed successfully. Primary "
            "diagnosis: Tool failure or misuse. Compared diagnosis: Healthy run.");
  EXPECT_EQ(d.details, (Lines{"Primary status: failed", "Compared status: Completed"}));
  // Without a primary finding the fallback text still reads as a failure that was resolved.
  Trace absent = run_of("failed", R"([{"step_type":"tool"}])");
  EXPECT_NE(detect_divergence(absent, c).summary.find("(unknown vs Completed). The compared run resolved"),
            std::string::npos);
  Trace ok = run_of("failed", R"([{"step_type":"tool","status":"completed"}])");
  Trace broken = run_of("failed", R"([{"step_type":"tool","status":"failed"}])");
  EXPECT_EQ(detect_divergence(ok, broken).summary,
            "The runs reached the same step type at index 0 but ended with different outcomes (completed vs "
            "failed). Primary diagnosis: No strong primary diagnosis. Compared diagnosis: Tool failure or misuse.");
}

TEST(Divergence, EndedEarlier) {
  Trace p = run_of("completed", R"([{"step_type":"plan"},{"step_type":"search"}])");
  Trace c = run_of("completed", R"([{"step_type":"plan"},{"step_type":"search"},
      {"step_type":"final_answer","display_name":"Answer"}])");
  Divergence d = detect_divergence(p, c);
  EXPECT_EQ(d.title, "Primary run ended earlier");
  EXPECT_EQ(d.step_index, 2);
  EXPECT_EQ(d.phase, "Output");
  EXPECT_EQ(d.summary, "Run A has no matching step at index 2 while Run B continues.");
  EXPECT_EQ(d.details, Lines{"Primary run has no matching step while compared continues."});
  EXPECT_EQ(d.primary_step_name, std::nullopt);
  EXPECT_EQ(d.compared_step_name, "Answer");

  Divergence r = detect_divergence(c, p);
  EXPECT_EQ(r.title, "Compared run ended earlier");
  EXPECT_EQ(r.summary, "Run B has no matching step at index 2 while Run A continues.");
  EXPECT_EQ(r.details, Lines{"Compared run has no matching step while primary continues."});
  EXPECT_EQ(r.primary_step_name, "Answer");
  EXPECT_EQ(r.compared_step_name, std::nullopt);

  Trace untyped = run_of("completed", R"([{}])");
  EXPECT_EQ(detect_divergence(run_of("completed", "[]"), untyped).compared_step_name, std::nullopt);
}

TEST(Divergence, FinalStatusAndDiagnoses) {
  Divergence s = detect_divergence(run_of(" completed", "[]"), run_of("failed", "[]"));
  EXPECT_EQ(s.title, "Different final run status");
  EXPECT_EQ(s.phase, "Output");
  EXPECT_EQ(s.severity, "medium");
  EXPECT_EQ(s.step_index, std::nullopt);
  EXPECT_EQ(s.summary, "The runs complete with different final statuses ( completed vs failed).");
  EXPECT_EQ(s.details, (Lines{"Primary final status:  completed", "Compared final status: failed"}));
  EXPECT_EQ(detect_divergence(run_of(" Completed ", "[]"), run_of("completed", "[]")).title,
            "No major divergence detected");

  Divergence none = detect_divergence(run_of("failed", "[]"), run_of("failed", "[]"));
  EXPECT_EQ(none.title, "No major divergence detected");
  EXPECT_EQ(none.phase, "Other");
  EXPECT_EQ(none.severity, "low");
  EXPECT_EQ(none.summary, "The runs remained broadly aligned and no early structural or status split stood out.");
  EXPECT_EQ(none.details, Lines{"No missing-step, type, or status split was detected before the runs converged."});

  Trace healthy = run_of("completed", R"([{"step_type":"llm","status":"completed"}])");
  // Same labels: no divergence; different labels: the diagnosis split.
  EXPECT_EQ(detect_divergence(healthy, healthy).title, "No major divergence detected");
  Trace failing_p = trace_of(R"({"run":{"status":"failed"},"steps":[{"step_type":"llm","status":"failed","step_index":4,"display_name":"Parser","error_message":"invalid json"}]})");
  Trace failing_c = trace_of(R"({"run":{"status":"failed"},"steps":[{"step_type":"llm","status":"failed","error_message":"schema mismatch"}]})");
  Divergence diag = detect_divergence(failing_p, failing_c);
  EXPECT_EQ(diag.title, "Runs ended with different outcomes");
  EXPECT_EQ(diag.severity, "medium");
  EXPECT_EQ(diag.phase, "Other");  // the primary finding's kind-based phase
  EXPECT_EQ(diag.step_index, 4);
  EXPECT_EQ(diag.summary, "No earlier structural split was found, but the runs ended with different diagnosis patterns.");
  EXPECT_EQ(diag.details, (Lines{"Primary diagnosis: Invalid JSON response",
                                 "Compared diagnosis: Structured output schema mismatch"}));
  EXPECT_EQ(diag.primary_step_name, "Parser");
  EXPECT_EQ(diag.compared_step_name, "llm");
  Divergence reversed = detect_divergence(failing_c, failing_p);
  EXPECT_EQ(reversed.step_index, 4);  // from the compared root cause when the primary has none
}

TEST(CompareRuns, IdenticalHealthyRuns) {
  Trace t = run_of("completed", R"([{"step_type":"plan","status":"completed","duration_ms":5}])");
  Comparison c = compare_runs(t, t);
  EXPECT_EQ(c.duration_delta_ms, 0);
  EXPECT_EQ(c.divergence.title, "No major divergence detected");
  EXPECT_EQ(c.divergence_point.title, c.divergence.title);
  EXPECT_EQ(c.divergence_point.step_index, std::nullopt);
  const Recommendations& fix = c.suggested_fix;
  EXPECT_EQ(fix.title, "Compare-mode suggested fix");
  EXPECT_EQ(fix.severity, "low");
  EXPECT_EQ(fix.recommendedActions, Lines{"Inspect the divergence point and compare upstream inputs."});
  EXPECT_EQ(fix.instrumentation, Lines{"Capture richer step summaries and step-local diagnostics."});
  EXPECT_TRUE(fix.guardrails.empty());
  EXPECT_TRUE(fix.observations.empty());
  EXPECT_TRUE(fix.config_changes.empty());
  EXPECT_EQ(fix.related_issues, (Lines{"No major divergence detected", "Healthy run"}));
  EXPECT_EQ(fix.summary,
            "The runs remained broadly aligned and no early structural or status split stood out. Primary "
            "diagnosis: Healthy run. Compared diagnosis: Healthy run. A meaningful divergence was detected "
            "between the two runs.");
  EXPECT_EQ(c.engine_version, "0.5.0");
  EXPECT_EQ(c.ruleset, "phase5-ranked-compare");
}

TEST(CompareRuns, ResolvedFailure) {
  Trace p = run_of("failed", R"([{"step_type":"plan","status":"completed","duration_ms":100},
      {"step_type":"a","status":"completed","duration_ms":100},{"step_type":"b","status":"completed","duration_ms":100},
      {"step_type":"tool","status":"failed","error_message":"boom","duration_ms":100}])");
  Trace c = run_of("completed", R"([{"step_type":"plan","status":"completed","duration_ms":100},
      {"step_type":"a","status":"completed","duration_ms":100},{"step_type":"b","status":"completed","duration_ms":100},
      {"step_type":"tool","status":"completed","duration_ms":50}])");
  Comparison cmp = compare_runs(p, c);
  const Recommendations& fix = cmp.suggested_fix;
  EXPECT_EQ(cmp.divergence.title, "Outcome divergence: primary failed where compared succeeded");
  EXPECT_EQ(cmp.divergence.step_index, 3);
  EXPECT_EQ(fix.severity, "high");
  EXPECT_EQ(fix.recommendedActions.back(),
            "Use the successful compared run as the control path to show how the failure was resolved and removed.");
  EXPECT_EQ(fix.observations, (Lines{"1 aligned steps have different statuses between the two runs.",
                                     "Compared run resolved failure and completed successfully.",
                                     "Removed issue from primary path: Tool failure or misuse"}));
  EXPECT_EQ(fix.config_changes, Lines{"compare_against_successful_baseline=true"});
  EXPECT_EQ(fix.related_issues, (Lines{"Outcome divergence: primary failed where compared succeeded", "Healthy run",
                                       "resolved failure", "completed successfully",
                                       "removed issue: Tool failure or misuse"}));
  EXPECT_EQ(fix.guardrails, Lines{"Fail fast when the same step produces inconsistent outcomes across similar runs."});
  EXPECT_TRUE(fix.summary->starts_with(cmp.divergence.summary +
                                       " The compared run completed successfully and appears to have resolved failure"));
  EXPECT_TRUE(fix.summary->ends_with("Compared diagnosis: Healthy run. The first meaningful divergence appears at step 3."));
  EXPECT_EQ(cmp.duration_delta_ms, -50);
}

TEST(CompareRuns, DurationAndLatencyRules) {
  auto with = [](std::string_view durations_p, std::string_view durations_c) {
    auto steps = [](std::string_view ds) {
      std::string out = "[";
      size_t start = 0;
      while (start <= ds.size()) {
        size_t comma = ds.find(',', start);
        if (comma == std::string_view::npos) comma = ds.size();
        if (out.size() > 1) out += ",";
        out += R"({"step_type":"plan","duration_ms":)" + std::string(ds.substr(start, comma - start)) + "}";
        start = comma + 1;
      }
      return out + "]";
    };
    return compare_runs(run_of("completed", steps(durations_p)), run_of("completed", steps(durations_c)));
  };
  Comparison faster = with("2000", "1000");
  EXPECT_EQ(faster.duration_delta_ms, -1000);
  EXPECT_EQ(faster.suggested_fix.observations, Lines{"Total runtime differs by -1000 ms between the compared runs."});
  EXPECT_EQ(faster.suggested_fix.config_changes, Lines{"compare_latency_threshold_ms=1000"});
  Comparison close = with("1999", "1000");
  EXPECT_TRUE(close.suggested_fix.observations.empty());
  EXPECT_TRUE(close.suggested_fix.config_changes.empty());
  const std::string latency =
      "Capture per-step latency breakdown for the compared run because it is slower on more aligned steps.";
  EXPECT_EQ(with("1,1,5,5", "2,2,1,1").suggested_fix.instrumentation.back(),
            "Capture richer step summaries and step-local diagnostics.");
  EXPECT_EQ(with("1,1,5,5", "2,2,5,1").suggested_fix.instrumentation.back(), latency);
}

TEST(CompareRuns, DeltaIsExactAndClamped) {
  Trace big = run_of("completed", R"([{"duration_ms":18446744073709551615},{"duration_ms":5}])");
  Trace zero = run_of("completed", "[]");
  EXPECT_EQ(duration_delta_ms(zero, big), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(duration_delta_ms(big, zero), std::numeric_limits<int64_t>::min());
  Trace near = run_of("completed", R"([{"duration_ms":9223372036854775808}])");
  EXPECT_EQ(duration_delta_ms(near, zero), std::numeric_limits<int64_t>::min());
  Comparison c = compare_runs(big, zero);
  EXPECT_EQ(c.suggested_fix.observations.back(),
            "Total runtime differs by -9223372036854775808 ms between the compared runs.");
}

// Each compared label that carries its own advice, reached through a real diagnosis.
TEST(CompareRuns, ComparedLabelAdvice) {
  struct Row {
    const char* compared_steps;
    const char* status;
    const char* label;
    const char* action;
    Lines config;
  } rows[] = {
      {R"([{"step_type":"search","summary":"no useful results"},{"step_type":"search","summary":"no useful results"}])", "failed",
       "Navigation / retrieval loop without progress",
       "Cap low-yield retrieval attempts and diversify the query before allowing repeated search iterations.",
       {"max_retrieval_attempts=2", "query_diversification=enabled"}},
      {R"([{"step_type":"plan","metadata":{"loop_iteration":1}},{"step_type":"plan","metadata":{"loop_iteration":2}}])", "completed",
       "Loop-like search without convergence",
       "Cap low-yield retrieval attempts and diversify the query before allowing repeated search iterations.",
       {"max_retrieval_attempts=2", "query_diversification=enabled"}},
      {R"([{"step_type":"plan","status":"failed","metadata":{"loop_iteration":1}},{"metadata":{"loop_iteration":2}}])", "failed",
       "Reasoning loop without convergence",
       "Introduce loop-progress checks so repeated reasoning can abort or escalate sooner.", {"abort_on_repeated_no_progress=true"}},
      {R"([{"status":"failed","error_message":"content filter"}])", "failed", "Safety-policy / content-filter failure",
       "Separate safety-enforcement regressions from normal execution failures in compare-mode triage.", {}},
      {R"([{"status":"failed","error_message":"JSONDecodeError"}])", "failed", "Invalid JSON response",
       "Diff the final structured-output prompt and raw model response between runs to find where JSON formatting drift started.",
       {"log_raw_response_before_parse=true"}},
      {R"([{"status":"failed","error_message":"zod error"}])", "failed", "Structured output schema mismatch",
       "Compare schema versions, required fields, and prompt contracts between the two runs.", {"field_level_validation_logging=true"}},
      {R"([{"status":"failed","error_message":"automatic OCR dump"}])", "failed", "Tool output format / parsing failure",
       "Compare normalized tool output and raw browser/tool payloads to see where the compared run started consuming artifact-heavy output.",
       {"capture_raw_tool_output=true"}},
      {R"([{"status":"failed","step_type":"reasoning","error_message":"hallucinated"}])", "failed", "Grounding failure",
       "Compare evidence counts, retrieved passages, and verification checks at the first divergence point.",
       {"enforce_grounding_checks=true"}},
      {R"([{"status":"failed","step_type":"judge","error_message":"dependency"}])", "failed",
       "Reflection failure: unresolved dependency constraints",
       "Inspect which dependency or prerequisite fields were present in the primary run but missing or contradictory in the compared run.",
       {"capture_reflection_input_state=true"}},
      {R"([{"status":"failed","step_type":"evaluate"}])", "failed", "LLM reflection failure",
       "Diff the reflection-stage prompt, validator inputs, and intermediate state rather than treating it as a generic reasoning regression.",
       {"capture_reflection_prompt=true"}},
      {R"([{"status":"failed","step_type":"draft","error_message":"compose broke"}])", "failed", "Response drafting failure",
       "Compare final-output prompt inputs and response-composition payloads at the divergence step.",
       {"capture_output_prompt_state=true"}},
  };
  Trace primary = run_of("completed", "[]");
  for (const auto& row : rows) {
    Comparison c = compare_runs(primary, run_of(row.status, row.compared_steps));
    ASSERT_TRUE(c.divergence.compared_root_cause) << row.label;
    EXPECT_EQ(c.divergence.compared_root_cause->label, row.label);
    const auto& actions = c.suggested_fix.recommendedActions;
    EXPECT_NE(std::find(actions.begin(), actions.end(), row.action), actions.end()) << row.label;
    EXPECT_EQ(c.suggested_fix.config_changes, row.config) << row.label;
  }
}

TEST(CompareRuns, FallbackLabelsAndNoGuardrail) {
  Comparison none = compare_runs(run_of("failed", "[]"), run_of("failed", "[]"));
  EXPECT_EQ(none.suggested_fix.related_issues, (Lines{"No major divergence detected", "No strong compared root cause"}));
  EXPECT_NE(none.suggested_fix.summary->find("Primary diagnosis: No strong primary root cause."), std::string::npos);
  EXPECT_FALSE(none.divergence.compared_root_cause);

  Trace p = run_of("failed", R"([{"step_type":"llm","status":"failed","error_message":"invalid json"}])");
  Trace c = run_of("failed", R"([{"step_type":"llm","status":"failed","error_message":"zod"}])");
  Comparison diag = compare_runs(p, c);
  EXPECT_EQ(diag.divergence.title, "Runs ended with different outcomes");
  EXPECT_TRUE(diag.suggested_fix.guardrails.empty());
  EXPECT_EQ(diag.suggested_fix.severity, "medium");
}

// Every title key of the compare advice is a title the divergence can give; every such
// title has its row, except the one that takes the default advice on purpose. Label keys
// name categories, each label in one row at most.
TEST(CompareAdvice, KeysAreTheEnginesTitlesAndLabels) {
  const std::set<std::string_view> titles(std::begin(kDivergenceTitles), std::end(kDivergenceTitles));
  std::set<std::string_view> keyed;
  for (const auto& row : title_advice_rows()) {
    for (std::string_view key : row.titles) {
      if (key.empty()) continue;
      EXPECT_EQ(titles.count(key), 1u) << key;
      EXPECT_TRUE(keyed.insert(key).second) << key;
      EXPECT_EQ(&title_advice(key), &row) << key;
    }
  }
  for (std::string_view title : titles) {
    EXPECT_EQ(keyed.count(title) == 0, title == kNoDivergenceTitle) << title;
  }
  EXPECT_EQ(title_advice(kNoDivergenceTitle).actions[0], "Inspect the divergence point and compare upstream inputs.");

  std::set<std::string_view> labels;
  for (const auto& row : label_advice_rows()) {
    for (const auto& cat : row.cats) {
      if (!cat) continue;
      std::string_view label = category(*cat).text.label;
      EXPECT_TRUE(labels.insert(label).second) << label;
      EXPECT_EQ(label_advice(label), &row) << label;
    }
  }
  EXPECT_EQ(label_advice("No strong compared root cause"), nullptr);
}

}  // namespace
}  // namespace tracedx
// clang-format on
