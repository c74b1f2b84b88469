#include "diagnosis/compare/comparison.h"

#include <array>
#include <limits>

#include "diagnosis/wide_int.h"
#include "text/template.h"
#include "text/text.h"

namespace tracedx {
namespace {

// clang-format off
constexpr TitleAdvice kTitleAdvice[] = {
  {{kExecutionPathTitle},
   {"Inspect the divergence step or execution branch and compare upstream inputs.",
    "Use the primary run as the control path and isolate the smallest upstream difference that changed routing."},
   {"Capture step-by-step decision markers and route-selection metadata around the divergence point."},
   {"Add validation when a run chooses a different path under similar inputs."}},
  {{kPrimaryEarlierTitle, kComparedEarlierTitle},
   {"Inspect terminal conditions and stop reasons for the run that ended early."},
   {"Record explicit stop reasons and whether later steps were skipped or never scheduled."},
   {"Add clearer stop-reason instrumentation when a run ends before expected completion."}},
  {{kFinalStatusTitle},
   {"Inspect late-stage status transitions, fallback paths, and finalization logic."},
   {"Capture final status reason codes and terminal error markers."},
   {"Alert when similar runs finish with different terminal states."}},
  {{kOutcomeSameStepTitle, kPrimaryFailedTitle,
    kComparedFailedTitle},
   {"Inspect input payloads, tool outputs, and state transitions at the first divergent step.",
    "Replay both runs with extra capture at the first status divergence before analyzing downstream symptoms."},
   {"Log status changes, failure categories, and pre/post-step state for both runs."},
   {"Fail fast when the same step produces inconsistent outcomes across similar runs."}},
  {{kDifferentOutcomesTitle},
   {"Start with the first root-cause difference between the two runs before reviewing later noise.",
    "Use the stronger run as the baseline and compare only the state or evidence needed to explain the diagnosis split."},
   {"Capture per-run diagnosis labels, failed-step anchors, and the evidence used to assign them."},
   {}},
};
constexpr TitleAdvice kDefaultTitleAdvice =
  {{},
   {"Inspect the divergence point and compare upstream inputs."},
   {"Capture richer step summaries and step-local diagnostics."},
   {}};

constexpr LabelAdvice kLabelAdvice[] = {
  {{Cat::kNavigationLoopWithoutProgress, Cat::kLoopLikeSearchSuccess},
   {"Cap low-yield retrieval attempts and diversify the query before allowing repeated search iterations."},
   {},
   {"max_retrieval_attempts=2", "query_diversification=enabled"}},
  {{Cat::kReasoningLoop},
   {"Introduce loop-progress checks so repeated reasoning can abort or escalate sooner."},
   {},
   {"abort_on_repeated_no_progress=true"}},
  {{Cat::kSafetyPolicy},
   {"Separate safety-enforcement regressions from normal execution failures in compare-mode triage."},
   {},
   {}},
  {{Cat::kInvalidJsonResponse},
   {"Diff the final structured-output prompt and raw model response between runs to find where JSON formatting drift started."},
   {"Capture raw pre-parse responses for both runs and compare wrappers, fences, and trailing prose."},
   {"log_raw_response_before_parse=true"}},
  {{Cat::kSchemaMismatch},
   {"Compare schema versions, required fields, and prompt contracts between the two runs."},
   {"Record field-level validation failures so the compared run can be diffed against the passing shape."},
   {"field_level_validation_logging=true"}},
  {{Cat::kToolOutputFormatFailure},
   {"Compare normalized tool output and raw browser/tool payloads to see where the compared run started consuming artifact-heavy output."},
   {"Log normalization success, artifact markers, and raw payload shape before downstream parsing."},
   {"capture_raw_tool_output=true"}},
  {{Cat::kGroundingFailure},
   {"Compare evidence counts, retrieved passages, and verification checks at the first divergence point."},
   {"Record whether each claim in the compared run had explicit supporting evidence."},
   {"enforce_grounding_checks=true"}},
  {{Cat::kReflectionDependencyFailure},
   {"Inspect which dependency or prerequisite fields were present in the primary run but missing or contradictory in the compared run."},
   {"Capture structured reflection input state and missing-constraint markers in both runs."},
   {"capture_reflection_input_state=true"}},
  {{Cat::kLlmReflectionFailure},
   {"Diff the reflection-stage prompt, validator inputs, and intermediate state rather than treating it as a generic reasoning regression."},
   {"Log the exact self-check or validator prompt and returned output for both runs."},
   {"capture_reflection_prompt=true"}},
  {{Cat::kResponseDraftingFailure},
   {"Compare final-output prompt inputs and response-composition payloads at the divergence step."},
   {"Capture output-stage prompt state and final drafting failures separately from upstream reasoning."},
   {"capture_output_prompt_state=true"}},
};

constexpr std::string_view kStatusDiffs = "{} aligned steps have different statuses between the two runs.";
constexpr std::string_view kTypeDiffs = "{} aligned steps have different step types between the two runs.";
constexpr std::string_view kRuntimeDiff = "Total runtime differs by {} ms between the compared runs.";
constexpr std::string_view kLatencyThreshold = "compare_latency_threshold_ms=1000";
constexpr std::string_view kLatencyLine = "Capture per-step latency breakdown for the compared run because it is slower on more aligned steps.";
constexpr std::string_view kControlPath = "Use the successful compared run as the control path to show how the failure was resolved and removed.";
constexpr std::string_view kResolvedObservation = "Compared run resolved failure and completed successfully.";
constexpr std::string_view kRemovedIssue = "Removed issue from primary path: {}";
constexpr std::string_view kBaselineSetting = "compare_against_successful_baseline=true";
constexpr std::string_view kAtStep = "The first meaningful divergence appears at step {}.";
constexpr std::string_view kSomewhere = "A meaningful divergence was detected between the two runs.";
constexpr std::string_view kSummaryResolved = "{} The compared run completed successfully and appears to have resolved failure present in the primary run. Primary diagnosis: {}. Compared diagnosis: {}. {}";
constexpr std::string_view kSummaryPlain = "{} Primary diagnosis: {}. Compared diagnosis: {}. {}";
// clang-format on

}  // namespace

const TitleAdvice& title_advice(std::string_view title) {
  for (const auto& row : kTitleAdvice) {
    for (std::string_view key : row.titles) {
      if (!key.empty() && key == title) return row;
    }
  }
  return kDefaultTitleAdvice;
}

const LabelAdvice* label_advice(std::string_view label) {
  for (const auto& row : kLabelAdvice) {
    for (const auto& cat : row.cats) {
      if (cat && category(*cat).text.label == label) return &row;
    }
  }
  return nullptr;
}

std::span<const TitleAdvice> title_advice_rows() {
  return kTitleAdvice;
}
std::span<const LabelAdvice> label_advice_rows() {
  return kLabelAdvice;
}

namespace {

int64_t clamp_to_i64(Int128 v) {
  constexpr Int128 lo = std::numeric_limits<int64_t>::min();
  constexpr Int128 hi = std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(v < lo ? lo : v > hi ? hi : v);
}

}  // namespace

int64_t duration_delta_ms(const Trace& primary, const Trace& compared) {
  Int128 primary_total = sum_step_durations(primary.steps);
  Int128 compared_total = sum_step_durations(compared.steps);
  return clamp_to_i64(compared_total - primary_total);
}

Comparison compare_runs(const Trace& primary, const Trace& compared) {
  Comparison out;
  Divergence d = detect_divergence(primary, compared);
  const std::string primary_label =
      d.primary_root_cause ? d.primary_root_cause->label : "No strong primary root cause";
  const std::string compared_label =
      d.compared_root_cause ? d.compared_root_cause->label : "No strong compared root cause";

  uint64_t status_diffs = 0, type_diffs = 0, slower = 0, faster = 0;
  const size_t aligned = std::min(primary.steps.size(), compared.steps.size());
  for (size_t i = 0; i < aligned; ++i) {
    const TraceStep& primary_step = primary.steps[i];
    const TraceStep& compared_step = compared.steps[i];
    status_diffs += norm(primary_step.status) != norm(compared_step.status);
    type_diffs += norm(primary_step.step_type) != norm(compared_step.step_type);
    uint64_t primary_ms = primary_step.duration_ms.value_or(0),
             compared_ms = compared_step.duration_ms.value_or(0);
    slower += compared_ms > primary_ms;
    faster += compared_ms < primary_ms;
  }
  const int64_t delta = duration_delta_ms(primary, compared);

  const std::string sentence = d.step_index
                                   ? fill_template(kAtStep, {std::to_string(*d.step_index)})
                                   : std::string(kSomewhere);
  const std::string compared_lower = lower(compared_label);
  const bool compared_good =
      contains(compared_lower, "healthy") || contains(compared_lower, "recovered");
  const bool primary_failed = d.title == kPrimaryFailedTitle ||
                              (d.primary_root_cause && !contains(lower(primary_label), "healthy"));
  const bool resolved = compared_good && primary_failed;

  Recommendations& fix = out.suggested_fix;
  const TitleAdvice& by_title = title_advice(d.title);
  append_lines(fix.recommendedActions, by_title.actions);
  append_lines(fix.instrumentation, by_title.instrumentation);
  append_lines(fix.guardrails, by_title.guardrails);
  if (const LabelAdvice* by_label = label_advice(compared_label)) {
    append_lines(fix.recommendedActions, by_label->actions);
    append_lines(fix.instrumentation, by_label->instrumentation);
    append_lines(fix.config_changes, by_label->config_changes);
  }

  if (status_diffs > 0)
    fix.observations.push_back(fill_template(kStatusDiffs, {std::to_string(status_diffs)}));
  if (type_diffs > 0)
    fix.observations.push_back(fill_template(kTypeDiffs, {std::to_string(type_diffs)}));
  // |delta| >= 1000, written so that the most negative delta does not overflow.
  if (delta >= 1000 || delta <= -1000) {
    fix.observations.push_back(fill_template(kRuntimeDiff, {std::to_string(delta)}));
    fix.config_changes.emplace_back(kLatencyThreshold);
  }
  if (faster < slower) fix.instrumentation.emplace_back(kLatencyLine);

  if (resolved) {
    fix.recommendedActions.emplace_back(kControlPath);
    fix.observations.emplace_back(kResolvedObservation);
  }
  fix.summary = fill_template(resolved ? kSummaryResolved : kSummaryPlain,
                              {d.summary, primary_label, compared_label, sentence});
  fix.related_issues = {d.title, compared_label};
  if (resolved) {
    fix.related_issues.insert(
        fix.related_issues.end(),
        {"resolved failure", "completed successfully", "removed issue: " + primary_label});
    fix.observations.push_back(fill_template(kRemovedIssue, {primary_label}));
    fix.config_changes.emplace_back(kBaselineSetting);
  }
  fix.severity = d.severity == "high" ? "high" : d.severity == "medium" ? "medium" : "low";
  fix.title = "Compare-mode suggested fix";

  out.duration_delta_ms = delta;
  out.divergence_point = DivergencePoint{d.step_index, d.title, d.summary};
  out.divergence = std::move(d);
  return out;
}

}  // namespace tracedx
