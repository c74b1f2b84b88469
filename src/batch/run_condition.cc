#include "batch/run_condition.h"

#include "text/text.h"

namespace tracedx {
namespace {

constexpr std::string_view kOutcomes[] = {"success", "failed", "degraded", "unknown"};

struct SeverityRow {
  std::string_view word;
  int rank;
};
constexpr SeverityRow kSeverities[] = {{"low", 1}, {"medium", 2}, {"high", 3}, {"critical", 4}};

}  // namespace

int severity_rank(std::string_view severity) {
  std::string word = norm(severity);
  for (const auto& row : kSeverities) {
    if (row.word == word) return row.rank;
  }
  return 0;
}

Result<RunCondition> parse_run_condition(std::string_view text) {
  std::string word = norm(text);
  if (word.empty()) {
    return Error::message(
        "expected an outcome (success, failed, degraded, unknown), a severity (low, medium, "
        "high, critical) or a primary label, got \"" +
        std::string(text) + "\"");
  }
  RunCondition c;
  c.value = std::string(text);
  for (auto outcome : kOutcomes) {
    if (outcome == word) {
      c.kind = RunCondition::Kind::kOutcome;
      c.value = std::string(outcome);
      return c;
    }
  }
  if (int rank = severity_rank(word)) {
    c.kind = RunCondition::Kind::kSeverity;
    c.value = word;
    c.rank = rank;
    return c;
  }
  c.kind = RunCondition::Kind::kLabel;
  return c;
}

bool run_matches(const RunCondition& c, std::string_view outcome,
                 const std::optional<std::string>& label,
                 const std::optional<std::string>& severity) {
  switch (c.kind) {
    case RunCondition::Kind::kOutcome:
      return outcome == c.value;
    case RunCondition::Kind::kSeverity:
      return outcome != "success" && severity && severity_rank(*severity) >= c.rank;
    case RunCondition::Kind::kLabel:
      return label && norm(*label) == norm(c.value);
  }
  return false;
}

}  // namespace tracedx
