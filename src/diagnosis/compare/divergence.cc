#include "diagnosis/compare/divergence.h"

#include "diagnosis/diagnosis.h"
#include "diagnosis/keywords.h"
#include "diagnosis/step_probes.h"
#include "diagnosis/wide_int.h"
#include "text/template.h"
#include "text/text.h"

namespace tracedx {
namespace {

struct PhaseRow {
  std::string_view phase;
  Kw list;
};

// First matching row wins; none gives "Other".
constexpr PhaseRow kPhaseRows[] = {
    {"Retrieve", Kw::kKindRetrieve},
    {"Tool", Kw::kKindTool},
    {"Reason", Kw::kPhaseReason},
    {"Output", Kw::kPhaseOutput},
};

// clang-format off
constexpr std::string_view kPathResolved  = "The runs took different kinds of steps at index {}, which suggests the compared run resolved the primary failure and completed successfully through a different path. Primary diagnosis: {}. Compared diagnosis: {}.";
constexpr std::string_view kPathBothOk    = "The runs took different kinds of steps at index {}, but both completed successfully. The compared run followed a different path and was {} by {} ms. Primary diagnosis: {}. Compared diagnosis: {}.";
constexpr std::string_view kPathChanged   = "The runs took different kinds of steps at index {}, which means the execution path changed. Primary diagnosis: {}. Compared diagnosis: {}.";
constexpr std::string_view kOutcomeResolved = "The runs reached the same step type at index {} but ended with different outcomes ({} vs {}). The compared run resolved the primary failure and completed successfully. Primary diagnosis: {}. Compared diagnosis: {}.";
constexpr std::string_view kOutcomeSplit  = "The runs reached the same step type at index {} but ended with different outcomes ({} vs {}). Primary diagnosis: {}. Compared diagnosis: {}.";
constexpr std::string_view kPrimaryShort  = "Run A has no matching step at index {} while Run B continues.";
constexpr std::string_view kComparedShort = "Run B has no matching step at index {} while Run A continues.";
constexpr std::string_view kStatusSplit   = "The runs complete with different final statuses ({} vs {}).";
constexpr std::string_view kAligned       = "The runs remained broadly aligned and no early structural or status split stood out.";
constexpr std::string_view kDiagnosisSplit = "No earlier structural split was found, but the runs ended with different diagnosis patterns.";
// clang-format on

std::string as_text(MaybeText text) {
  return text ? *text : std::string("unknown");
}

bool healthy_or_recovered(std::string_view lowered) {
  return contains(lowered, "healthy") || contains(lowered, "recovered");
}

// The primary failed and the compared run looks healthy or recovered (lowercased labels).
bool looks_resolved(std::string_view primary_lower, std::string_view compared_lower) {
  return healthy_or_recovered(compared_lower) && !primary_lower.empty() &&
         !contains(primary_lower, "healthy");
}

}  // namespace

std::string_view phase_of_step_type(MaybeText step_type) {
  KeywordHits hits = scan_keywords(norm(step_type));
  for (const auto& row : kPhaseRows) {
    if (has(hits, row.list)) return row.phase;
  }
  return "Other";
}

bool is_success_status(MaybeText status) {
  return is_success_like(norm(status));
}

std::optional<std::string> divergence_step_name(const TraceStep& step) {
  if (step.display_name) return *step.display_name;
  return step.step_type.optional();
}

namespace {

// The two runs' primary labels as the summaries quote them, and lowercased for the tests of
// whether a difference looks resolved.
struct Labels {
  std::string primary, compared;
  std::string primary_lower, compared_lower;
};

// The aligned steps at `position` have different types: the execution path split.
void describe_type_split(Divergence& d, const Trace& primary, const Trace& compared,
                         size_t position, const Labels& labels) {
  const std::string position_text = std::to_string(position);
  const TraceStep& primary_step = primary.steps[position];
  const TraceStep& compared_step = compared.steps[position];
  d.title = std::string(kExecutionPathTitle);
  d.details = {"Primary type: " + as_text(primary_step.step_type),
               "Compared type: " + as_text(compared_step.step_type)};
  Int128 delta = static_cast<Int128>(primary.total_duration_ms) -
                 static_cast<Int128>(compared.total_duration_ms);
  UInt128 magnitude = delta < 0 ? -delta : delta;
  if (looks_resolved(labels.primary_lower, labels.compared_lower)) {
    d.summary = fill_template(kPathResolved, {position_text, labels.primary, labels.compared});
  } else if (contains(labels.primary_lower, "healthy") &&
             contains(labels.compared_lower, "healthy") && magnitude >= 1000) {
    // Both totals fit in 64 bits, so their difference's magnitude does too.
    d.summary = fill_template(kPathBothOk, {position_text, delta < 0 ? "slower" : "faster",
                                            std::to_string(static_cast<uint64_t>(magnitude)),
                                            labels.primary, labels.compared});
  } else {
    d.summary = fill_template(kPathChanged, {position_text, labels.primary, labels.compared});
  }
}

// The aligned steps at `position` have the same type and different statuses.
void describe_status_split(Divergence& d, const TraceStep& primary_step,
                           const TraceStep& compared_step, size_t position, const Labels& labels) {
  const bool primary_ok = is_success_status(primary_step.status),
             compared_ok = is_success_status(compared_step.status);
  d.title = std::string(primary_ok == compared_ok ? kOutcomeSameStepTitle
                        : primary_ok              ? kComparedFailedTitle
                                                  : kPrimaryFailedTitle);
  const std::string primary_status = as_text(primary_step.status),
                    compared_status = as_text(compared_step.status);
  bool resolved =
      !primary_ok && compared_ok && looks_resolved(labels.primary_lower, labels.compared_lower);
  d.summary = fill_template(
      resolved ? kOutcomeResolved : kOutcomeSplit,
      {std::to_string(position), primary_status, compared_status, labels.primary, labels.compared});
  d.details = {"Primary status: " + primary_status, "Compared status: " + compared_status};
}

// One run ended earlier: every aligned step matched, and the longer run goes on.
void describe_length_split(Divergence& d, const Trace& primary, const Trace& compared) {
  const bool primary_short = primary.steps.size() < compared.steps.size();
  const size_t position = std::min(primary.steps.size(), compared.steps.size());
  const TraceStep& longer = primary_short ? compared.steps[position] : primary.steps[position];
  d.title = std::string(primary_short ? kPrimaryEarlierTitle : kComparedEarlierTitle);
  d.phase = std::string(phase_of_step_type(longer.step_type));
  d.severity = "high";
  d.step_index = static_cast<int64_t>(position);
  d.summary =
      fill_template(primary_short ? kPrimaryShort : kComparedShort, {std::to_string(position)});
  d.details = {primary_short ? "Primary run has no matching step while compared continues."
                             : "Compared run has no matching step while primary continues."};
  (primary_short ? d.compared_step_name : d.primary_step_name) = divergence_step_name(longer);
}

// Same steps and statuses, different final run statuses.
void describe_final_status_split(Divergence& d, const Trace& primary, const Trace& compared) {
  const std::string primary_final = as_text(primary.status),
                    compared_final = as_text(compared.status);
  d.title = std::string(kFinalStatusTitle);
  d.phase = "Output";
  d.severity = "medium";
  d.summary = fill_template(kStatusSplit, {primary_final, compared_final});
  d.details = {"Primary final status: " + primary_final,
               "Compared final status: " + compared_final};
}

// The runs look alike step by step: they differ only if their diagnoses do.
void describe_diagnoses(Divergence& d) {
  const auto& primary_cause = d.primary_root_cause;
  const auto& compared_cause = d.compared_root_cause;
  if (!primary_cause || !compared_cause || primary_cause->label == compared_cause->label) {
    d.title = std::string(kNoDivergenceTitle);
    d.phase = "Other";
    d.severity = "low";
    d.summary = std::string(kAligned);
    d.details = {"No missing-step, type, or status split was detected before the runs converged."};
    return;
  }
  d.title = std::string(kDifferentOutcomesTitle);
  d.phase = primary_cause->phase.value_or("Other");
  d.severity = "medium";
  d.summary = std::string(kDiagnosisSplit);
  d.details = {"Primary diagnosis: " + primary_cause->label,
               "Compared diagnosis: " + compared_cause->label};
  d.step_index = primary_cause->step_index ? primary_cause->step_index : compared_cause->step_index;
  d.primary_step_name = primary_cause->step_name;
  d.compared_step_name = compared_cause->step_name;
}

}  // namespace

Divergence detect_divergence(const Trace& primary, const Trace& compared) {
  // Only the primary findings are kept, and they do not depend on the other stages.
  const DiagnoseOptions root_cause_only{std::nullopt, false, false, std::nullopt};
  Divergence d;
  d.primary_root_cause = diagnose_run(primary, root_cause_only).root_cause;
  d.compared_root_cause = diagnose_run(compared, root_cause_only).root_cause;
  Labels labels;
  labels.primary =
      d.primary_root_cause ? d.primary_root_cause->label : "No strong primary diagnosis";
  labels.compared =
      d.compared_root_cause ? d.compared_root_cause->label : "No strong compared diagnosis";
  labels.primary_lower = lower(labels.primary);
  labels.compared_lower = lower(labels.compared);

  // The first aligned position where the step types or statuses differ.
  const size_t aligned = std::min(primary.steps.size(), compared.steps.size());
  for (size_t i = 0; i < aligned; ++i) {
    const TraceStep& primary_step = primary.steps[i];
    const TraceStep& compared_step = compared.steps[i];
    const bool types_differ = norm(primary_step.step_type) != norm(compared_step.step_type);
    if (!types_differ && norm(primary_step.status) == norm(compared_step.status)) continue;
    d.step_index = static_cast<int64_t>(i);
    d.phase = std::string(phase_of_step_type(primary_step.step_type));
    d.severity = "high";
    d.primary_step_name = divergence_step_name(primary_step);
    d.compared_step_name = divergence_step_name(compared_step);
    if (types_differ)
      describe_type_split(d, primary, compared, i, labels);
    else
      describe_status_split(d, primary_step, compared_step, i, labels);
    return d;
  }
  if (primary.steps.size() != compared.steps.size())
    describe_length_split(d, primary, compared);
  else if (norm(primary.status) != norm(compared.status))
    describe_final_status_split(d, primary, compared);
  else
    describe_diagnoses(d);
  return d;
}

}  // namespace tracedx
