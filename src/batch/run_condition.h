// A condition on a diagnosed run, shared by the CI exit status (--fail-on) and the batch
// filters (--only): an outcome word, a least severity, or a primary label. A severity
// holds for runs whose outcome is not "success" only: a healthy run's finding has a
// severity too, and a gate on "medium" must not trip on it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"

namespace tracedx {

struct RunCondition {
  enum class Kind { kOutcome, kSeverity, kLabel };
  Kind kind = Kind::kOutcome;
  std::string value;  // the outcome word, severity word or label as given
  int rank = 0;       // kSeverity: the least rank that holds
};

// "success", "failed", "degraded" or "unknown" is an outcome; "low", "medium", "high" or
// "critical" a least severity; any other non-empty text a primary label (compared without
// case and surrounding white space). Fails on an empty text, saying what is expected.
Result<RunCondition> parse_run_condition(std::string_view text);

// Whether a run with this outcome word and primary finding meets the condition.
bool run_matches(const RunCondition& condition, std::string_view outcome,
                 const std::optional<std::string>& label,
                 const std::optional<std::string>& severity);

// The rank of a severity word (low 1 ... critical 4), 0 for another word.
int severity_rank(std::string_view severity);

}  // namespace tracedx
