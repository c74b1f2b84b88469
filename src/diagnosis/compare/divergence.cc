#include "diagnosis/compare/divergence.h"

#include "diagnosis/diagnosis.h"
#include "diagnosis/keywords.h"
#include "diagnosis/step_probes.h"
#include "diagnosis/wide_int.h"
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

Divergence detect_divergence(const Trace& primary, const Trace& compared) {
  // Only the primary findings are kept, and they do not depend on the other stages.
  const DiagnoseOptions root_cause_only{std::nullopt, false, false};
  Divergence d;
  d.primary_root_cause = diagnose_run(primary, root_cause_only).root_cause;
  d.compared_root_cause = diagnose_run(compared, root_cause_only).root_cause;
  const std::string primary_label =
      d.primary_root_cause ? d.primary_root_cause->label : "No strong primary diagnosis";
  const std::string compared_label =
      d.compared_root_cause ? d.compared_root_cause->label : "No strong compared diagnosis";
  const std::string primary_lower = lower(primary_label), compared_lower = lower(compared_label);

  const auto& primary_steps = primary.steps;
  const auto& compared_steps = compared.steps;
  const size_t aligned = std::min(primary_steps.size(), compared_steps.size());
  std::optional<size_t> split;
  bool type_split = false;
  for (size_t i = 0; i < aligned; ++i) {
    bool types_differ = norm(primary_steps[i].step_type) != norm(compared_steps[i].step_type);
    if (types_differ || norm(primary_steps[i].status) != norm(compared_steps[i].status)) {
      split = i;
      type_split = types_differ;
      break;
    }
  }

  if (split) {
    const size_t position = *split;
    const std::string position_text = std::to_string(position);
    const TraceStep& primary_step = primary_steps[position];
    const TraceStep& compared_step = compared_steps[position];
    d.step_index = static_cast<int64_t>(position);
    d.phase = std::string(phase_of_step_type(primary_step.step_type));
    d.severity = "high";
    d.primary_step_name = divergence_step_name(primary_step);
    d.compared_step_name = divergence_step_name(compared_step);
    if (type_split) {
      d.title = std::string(kExecutionPathTitle);
      d.details = {"Primary type: " + as_text(primary_step.step_type),
                   "Compared type: " + as_text(compared_step.step_type)};
      Int128 delta = static_cast<Int128>(primary.total_duration_ms) -
                     static_cast<Int128>(compared.total_duration_ms);
      UInt128 magnitude = delta < 0 ? -delta : delta;
      if (looks_resolved(primary_lower, compared_lower)) {
        d.summary = fill_template(kPathResolved, {position_text, primary_label, compared_label});
      } else if (contains(primary_lower, "healthy") && contains(compared_lower, "healthy") &&
                 magnitude >= 1000) {
        // Both totals fit in 64 bits, so their difference's magnitude does too.
        d.summary = fill_template(kPathBothOk, {position_text, delta < 0 ? "slower" : "faster",
                                                std::to_string(static_cast<uint64_t>(magnitude)),
                                                primary_label, compared_label});
      } else {
        d.summary = fill_template(kPathChanged, {position_text, primary_label, compared_label});
      }
    } else {
      const bool primary_ok = is_success_status(primary_step.status),
                 compared_ok = is_success_status(compared_step.status);
      d.title = std::string(primary_ok == compared_ok ? kOutcomeSameStepTitle
                            : primary_ok              ? kComparedFailedTitle
                                                      : kPrimaryFailedTitle);
      const std::string primary_status = as_text(primary_step.status),
                        compared_status = as_text(compared_step.status);
      bool resolved = !primary_ok && compared_ok && looks_resolved(primary_lower, compared_lower);
      d.summary = fill_template(
          resolved ? kOutcomeResolved : kOutcomeSplit,
          {position_text, primary_status, compared_status, primary_label, compared_label});
      d.details = {"Primary status: " + primary_status, "Compared status: " + compared_status};
    }
    return d;
  }

  if (primary_steps.size() != compared_steps.size()) {
    const bool primary_short = primary_steps.size() < compared_steps.size();
    const size_t position = aligned;
    const TraceStep& longer = primary_short ? compared_steps[position] : primary_steps[position];
    d.title = std::string(primary_short ? kPrimaryEarlierTitle : kComparedEarlierTitle);
    d.phase = std::string(phase_of_step_type(longer.step_type));
    d.severity = "high";
    d.step_index = static_cast<int64_t>(position);
    d.summary =
        fill_template(primary_short ? kPrimaryShort : kComparedShort, {std::to_string(position)});
    d.details = {primary_short ? "Primary run has no matching step while compared continues."
                               : "Compared run has no matching step while primary continues."};
    (primary_short ? d.compared_step_name : d.primary_step_name) = divergence_step_name(longer);
    return d;
  }

  if (norm(primary.status) != norm(compared.status)) {
    const std::string primary_final = as_text(primary.status),
                      compared_final = as_text(compared.status);
    d.title = std::string(kFinalStatusTitle);
    d.phase = "Output";
    d.severity = "medium";
    d.summary = fill_template(kStatusSplit, {primary_final, compared_final});
    d.details = {"Primary final status: " + primary_final,
                 "Compared final status: " + compared_final};
    return d;
  }

  const auto& primary_cause = d.primary_root_cause;
  const auto& compared_cause = d.compared_root_cause;
  if (!primary_cause || !compared_cause || primary_cause->label == compared_cause->label) {
    d.title = std::string(kNoDivergenceTitle);
    d.phase = "Other";
    d.severity = "low";
    d.summary = std::string(kAligned);
    d.details = {"No missing-step, type, or status split was detected before the runs converged."};
    return d;
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
  return d;
}

}  // namespace tracedx
