// The single-run pipeline: signals, primary classification, secondary issues, advice and
// the outcome word, in that order. Stateless and reentrant: each call reads its trace and
// returns a Diagnosis that owns all its texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnosis/recommendations.h"
#include "diagnosis/root_cause.h"
#include "trace/trace.h"

namespace tracedx {

inline constexpr std::string_view kEngine = "rust";
inline constexpr std::string_view kDiagnosisVersion = "0.4.0";
inline constexpr std::string_view kDiagnosisRuleset = "phase4-compare";

// Absent fields take the defaults 2500 ms, true, true.
struct DiagnoseOptions {
  std::optional<uint64_t> slow_threshold_ms;
  std::optional<bool> include_secondary_issues;
  std::optional<bool> include_recommendations;
  // For a trace imported from a recording: diagnose it with this engine alone instead of the
  // analysis of recorded runs (read by diagnose_trace; this engine ignores it).
  std::optional<bool> exact_engine;
};

struct Diagnosis {
  std::optional<RootCause> root_cause;
  std::vector<RootCause> secondary_issues;
  std::string outcome;  // "success", "failed", "unknown" or "degraded"
  std::optional<Recommendations> recommendations;
  std::string engine{kEngine};
  std::string engine_version{kDiagnosisVersion};
  std::string ruleset{kDiagnosisRuleset};
  // Which analysis produced a recorded run's diagnosis ("recorded"); absent for the fixed
  // engine, whose reports keep their exact shape.
  std::optional<std::string> analysis;
};

// Diagnoses one run. The engine never changes a trace, so it is read in place.
Diagnosis diagnose_run(const Trace& trace, const DiagnoseOptions& options = {});

// The outcome word from the run status and the primary label (label words first).
std::string outcome_of(const std::optional<std::string>& run_status,
                       const std::optional<std::string>& primary_label);

}  // namespace tracedx
