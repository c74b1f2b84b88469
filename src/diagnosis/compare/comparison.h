// The comparison report: the divergence of two runs, the difference in total duration and
// compare-mode advice. Advice comes from two exact-text lookups (the divergence title and
// the compared run's label), three numeric rules and a "resolved failure" rule; every rule
// that applies adds its lines in a fixed order, nothing is ranked.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "diagnosis/categories.h"
#include "diagnosis/compare/divergence.h"
#include "diagnosis/diagnosis.h"
#include "diagnosis/recommendations.h"
#include "trace/trace.h"

namespace tracedx {

inline constexpr std::string_view kComparisonVersion = "0.5.0";
inline constexpr std::string_view kComparisonRuleset = "phase5-ranked-compare";

// Advice by divergence title; a title outside the table takes a default row.
struct TitleAdvice {
  std::array<std::string_view, 3> titles;  // empty entries are no key
  std::array<std::string_view, 2> actions;
  std::array<std::string_view, 1> instrumentation;
  std::array<std::string_view, 1> guardrails;
};

// Advice by the compared run's label, named by the categories that carry it.
struct LabelAdvice {
  std::array<std::optional<Cat>, 2> cats;
  std::array<std::string_view, 1> actions;
  std::array<std::string_view, 1> instrumentation;
  std::array<std::string_view, 2> config_changes;
};

std::span<const TitleAdvice> title_advice_rows();
std::span<const LabelAdvice> label_advice_rows();

// The row of a divergence title, or the default row.
const TitleAdvice& title_advice(std::string_view title);
// The row of a label, or null.
const LabelAdvice* label_advice(std::string_view label);

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
  std::string engine{kEngine};
  std::string engine_version{kComparisonVersion};
  std::string ruleset{kComparisonRuleset};
};

// Compared total minus primary total (absent durations count 0), computed exactly from
// saturated totals and clamped to the signed 64-bit range.
int64_t duration_delta_ms(const Trace& primary, const Trace& compared);

Comparison compare_runs(const Trace& primary, const Trace& compared);

}  // namespace tracedx
