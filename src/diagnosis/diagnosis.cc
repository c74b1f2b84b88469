#include "diagnosis/diagnosis.h"

#include "diagnosis/classify.h"
#include "diagnosis/secondary_issues.h"
#include "diagnosis/signals.h"
#include "text/text.h"

namespace tracedx {
namespace {

struct OutcomeWord {
  std::string_view word;
  std::string_view outcome;
};

// Label words decide first, in this order.
constexpr OutcomeWord kLabelOutcomes[] = {
    {"recovered", "degraded"},         {"fallback", "degraded"}, {"unsupported answer", "degraded"},
    {"context poisoning", "degraded"}, {"healthy", "success"},   {"successful path", "success"},
};

// Otherwise the run status alone.
constexpr OutcomeWord kStatusOutcomes[] = {
    {"completed", "success"},
    {"success", "success"},
    {"failed", "failed"},
};

}  // namespace

std::string outcome_of(const std::optional<std::string>& run_status,
                       const std::optional<std::string>& primary_label) {
  std::string label = norm(primary_label);
  if (!label.empty()) {
    for (const auto& row : kLabelOutcomes) {
      if (contains(label, row.word)) return std::string(row.outcome);
    }
  }
  std::string status = norm(run_status);
  for (const auto& row : kStatusOutcomes) {
    if (status == row.word) return std::string(row.outcome);
  }
  return "unknown";
}

Diagnosis diagnose_run(const Trace& trace, const DiagnoseOptions& options) {
  const uint64_t threshold = options.slow_threshold_ms.value_or(2500);
  const bool with_secondary = options.include_secondary_issues.value_or(true);
  const bool with_recommendations = options.include_recommendations.value_or(true);

  const TraceScan scan = scan_trace(trace, threshold);
  Diagnosis d;
  d.root_cause = classify_primary(scan);
  if (with_secondary) d.secondary_issues = build_secondary_issues(scan);
  if (with_recommendations && d.root_cause) {
    d.recommendations = guidance_recommendations(*d.root_cause);
    if (!d.recommendations) {
      d.recommendations = build_recommendations(*d.root_cause, d.secondary_issues);
    }
  }
  d.outcome =
      outcome_of(trace.status, d.root_cause ? std::optional(d.root_cause->label) : std::nullopt);
  return d;
}

}  // namespace tracedx
