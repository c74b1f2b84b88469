// Divergence detection: where two runs of the same task first stop behaving alike. One
// scan aligns the steps by position; a fixed decision list then names the split (a type
// change, a status change, an early end, a different final status, or different diagnoses).
// Both runs are diagnosed with default options and their primary findings carried along.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnosis/root_cause.h"
#include "text/text.h"
#include "trace/trace.h"

namespace tracedx {

// The titles of the divergence kinds, in the order of the decision list. Advice tables
// and reports refer to these constants, so each title is spelled here only.
inline constexpr std::string_view kExecutionPathTitle = "Execution path divergence";
inline constexpr std::string_view kOutcomeSameStepTitle = "Outcome divergence at same step";
inline constexpr std::string_view kComparedFailedTitle =
    "Outcome divergence: compared failed where primary succeeded";
inline constexpr std::string_view kPrimaryFailedTitle =
    "Outcome divergence: primary failed where compared succeeded";
inline constexpr std::string_view kPrimaryEarlierTitle = "Primary run ended earlier";
inline constexpr std::string_view kComparedEarlierTitle = "Compared run ended earlier";
inline constexpr std::string_view kFinalStatusTitle = "Different final run status";
inline constexpr std::string_view kNoDivergenceTitle = "No major divergence detected";
inline constexpr std::string_view kDifferentOutcomesTitle = "Runs ended with different outcomes";

// Every title detect_divergence can give.
inline constexpr std::string_view kDivergenceTitles[] = {
    kExecutionPathTitle, kOutcomeSameStepTitle, kComparedFailedTitle,
    kPrimaryFailedTitle, kPrimaryEarlierTitle,  kComparedEarlierTitle,
    kFinalStatusTitle,   kNoDivergenceTitle,    kDifferentOutcomesTitle,
};

struct Divergence {
  std::optional<int64_t> step_index;  // aligned position of the split, not a step's step_index
  std::optional<RootCause> primary_root_cause;
  std::optional<RootCause> compared_root_cause;
  std::string title;
  std::string phase;
  std::string severity;
  std::string summary;
  std::vector<std::string> details;
  std::optional<std::string> primary_step_name;
  std::optional<std::string> compared_step_name;

  bool operator==(const Divergence&) const = default;
};

// "Retrieve", "Tool", "Reason", "Output" or "Other": the comparison's own phase table.
std::string_view phase_of_step_type(MaybeText step_type);

// The normalised status is exactly "passed", "completed" or "success".
bool is_success_status(MaybeText status);

// display_name as written, else step_type as written, else absent (no "Step" fallback).
std::optional<std::string> divergence_step_name(const TraceStep& step);

Divergence detect_divergence(const Trace& primary, const Trace& compared);

}  // namespace tracedx
