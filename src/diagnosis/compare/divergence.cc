#include "diagnosis/compare/divergence.h"

#include "diagnosis/diagnosis.h"
#include "diagnosis/keywords.h"
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
constexpr std::string_view kExecutionPath     = "Execution path divergence";
constexpr std::string_view kOutcomeSameStep   = "Outcome divergence at same step";
constexpr std::string_view kComparedFailed    = "Outcome divergence: compared failed where primary succeeded";
constexpr std::string_view kPrimaryFailed     = "Outcome divergence: primary failed where compared succeeded";
constexpr std::string_view kPrimaryEarlier    = "Primary run ended earlier";
constexpr std::string_view kComparedEarlier   = "Compared run ended earlier";
constexpr std::string_view kFinalStatus       = "Different final run status";
constexpr std::string_view kNoDivergence      = "No major divergence detected";
constexpr std::string_view kDifferentOutcomes = "Runs ended with different outcomes";

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

std::string as_text(const std::optional<std::string>& text) {
  return text.value_or("unknown");
}

bool healthy_or_recovered(std::string_view lowered) {
  return contains(lowered, "healthy") || contains(lowered, "recovered");
}

// The primary failed and the compared run looks healthy or recovered.
bool looks_resolved(std::string_view lp, std::string_view lc) {
  return healthy_or_recovered(lc) && !lp.empty() && !contains(lp, "healthy");
}

}  // namespace

std::string_view phase_of_step_type(const std::optional<std::string>& step_type) {
  KeywordHits hits = scan_keywords(norm(step_type));
  for (const auto& row : kPhaseRows) {
    if (has(hits, row.list)) return row.phase;
  }
  return "Other";
}

bool is_success_status(const std::optional<std::string>& status) {
  if (!status) return false;
  std::string s = norm(*status);
  return s == "passed" || s == "completed" || s == "success";
}

std::optional<std::string> divergence_step_name(const TraceStep& step) {
  if (step.display_name) return step.display_name;
  return step.step_type;
}

Divergence detect_divergence(const Trace& primary, const Trace& compared) {
  // Only the primary findings are kept, and they do not depend on the other stages.
  const DiagnoseOptions root_cause_only{std::nullopt, false, false};
  Divergence d;
  d.primary_root_cause = diagnose_run(primary, root_cause_only).root_cause;
  d.compared_root_cause = diagnose_run(compared, root_cause_only).root_cause;
  const std::string P =
      d.primary_root_cause ? d.primary_root_cause->label : "No strong primary diagnosis";
  const std::string C =
      d.compared_root_cause ? d.compared_root_cause->label : "No strong compared diagnosis";
  const std::string lp = lower(P), lc = lower(C);

  const auto& ps = primary.steps;
  const auto& cs = compared.steps;
  const size_t m = std::min(ps.size(), cs.size());
  std::optional<size_t> split;
  bool type_split = false;
  for (size_t i = 0; i < m; ++i) {
    bool types_differ = norm(ps[i].step_type) != norm(cs[i].step_type);
    if (types_differ || norm(ps[i].status) != norm(cs[i].status)) {
      split = i;
      type_split = types_differ;
      break;
    }
  }

  if (split) {
    const size_t k = *split;
    const std::string ks = std::to_string(k);
    const TraceStep& p = ps[k];
    const TraceStep& c = cs[k];
    d.step_index = static_cast<int64_t>(k);
    d.phase = std::string(phase_of_step_type(p.step_type));
    d.severity = "high";
    d.primary_step_name = divergence_step_name(p);
    d.compared_step_name = divergence_step_name(c);
    if (type_split) {
      d.title = std::string(kExecutionPath);
      d.details = {"Primary type: " + as_text(p.step_type),
                   "Compared type: " + as_text(c.step_type)};
      Int128 delta = static_cast<Int128>(primary.total_duration_ms) -
                     static_cast<Int128>(compared.total_duration_ms);
      UInt128 magnitude = delta < 0 ? -delta : delta;
      if (looks_resolved(lp, lc)) {
        d.summary = fill_template(kPathResolved, {ks, P, C});
      } else if (contains(lp, "healthy") && contains(lc, "healthy") && magnitude >= 1000) {
        // Both totals fit in 64 bits, so their difference's magnitude does too.
        d.summary =
            fill_template(kPathBothOk, {ks, delta < 0 ? "slower" : "faster",
                                        std::to_string(static_cast<uint64_t>(magnitude)), P, C});
      } else {
        d.summary = fill_template(kPathChanged, {ks, P, C});
      }
    } else {
      const bool sp = is_success_status(p.status), sc = is_success_status(c.status);
      d.title = std::string(sp == sc ? kOutcomeSameStep : sp ? kComparedFailed : kPrimaryFailed);
      const std::string pst = as_text(p.status), cst = as_text(c.status);
      bool resolved = !sp && sc && looks_resolved(lp, lc);
      d.summary = fill_template(resolved ? kOutcomeResolved : kOutcomeSplit, {ks, pst, cst, P, C});
      d.details = {"Primary status: " + pst, "Compared status: " + cst};
    }
    return d;
  }

  if (ps.size() != cs.size()) {
    const bool primary_short = ps.size() < cs.size();
    const size_t k = m;
    const TraceStep& longer = primary_short ? cs[k] : ps[k];
    d.title = std::string(primary_short ? kPrimaryEarlier : kComparedEarlier);
    d.phase = std::string(phase_of_step_type(longer.step_type));
    d.severity = "high";
    d.step_index = static_cast<int64_t>(k);
    d.summary = fill_template(primary_short ? kPrimaryShort : kComparedShort, {std::to_string(k)});
    d.details = {primary_short ? "Primary run has no matching step while compared continues."
                               : "Compared run has no matching step while primary continues."};
    (primary_short ? d.compared_step_name : d.primary_step_name) = divergence_step_name(longer);
    return d;
  }

  if (norm(primary.status) != norm(compared.status)) {
    const std::string fp = as_text(primary.status), fc = as_text(compared.status);
    d.title = std::string(kFinalStatus);
    d.phase = "Output";
    d.severity = "medium";
    d.summary = fill_template(kStatusSplit, {fp, fc});
    d.details = {"Primary final status: " + fp, "Compared final status: " + fc};
    return d;
  }

  const auto& rp = d.primary_root_cause;
  const auto& rc = d.compared_root_cause;
  if (!rp || !rc || rp->label == rc->label) {
    d.title = std::string(kNoDivergence);
    d.phase = "Other";
    d.severity = "low";
    d.summary = std::string(kAligned);
    d.details = {"No missing-step, type, or status split was detected before the runs converged."};
    return d;
  }
  d.title = std::string(kDifferentOutcomes);
  d.phase = rp->phase.value_or("Other");
  d.severity = "medium";
  d.summary = std::string(kDiagnosisSplit);
  d.details = {"Primary diagnosis: " + rp->label, "Compared diagnosis: " + rc->label};
  d.step_index = rp->step_index ? rp->step_index : rc->step_index;
  d.primary_step_name = rp->step_name;
  d.compared_step_name = rc->step_name;
  return d;
}

}  // namespace tracedx
