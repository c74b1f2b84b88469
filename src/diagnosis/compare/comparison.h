// The comparison report: the divergence of two runs, the difference in total duration and
// compare-mode advice. Advice comes from two exact-text lookups (the divergence title and
// the compared run's label), three numeric rules and a "resolved failure" rule; every rule
// that applies adds its lines in a fixed order, nothing is ranked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "diagnosis/compare/divergence.h"
#include "diagnosis/recommendations.h"
#include "trace/trace.h"

namespace tracedx {

inline constexpr std::string_view kComparisonVersion = "0.5.0";
inline constexpr std::string_view kComparisonRuleset = "phase5-ranked-compare";

struct DivergencePoint {
  std::optional<int64_t> step_index;
  std::string title;
  std::string summary;
};

struct Comparison {
  int64_t duration_delta_ms = 0;  // compared total minus primary total, clamped to 64 bits
  DivergencePoint divergence_point;
  Divergence divergence;
  Recommendations suggested_fix;
  std::string engine{"rust"};
  std::string engine_version{kComparisonVersion};
  std::string ruleset{kComparisonRuleset};
};

// Compared total minus primary total (absent durations count 0), computed exactly from
// saturated totals and clamped to the signed 64-bit range.
int64_t duration_delta_ms(const Trace& primary, const Trace& compared);

Comparison compare_runs(const Trace& primary, const Trace& compared);

}  // namespace tracedx
