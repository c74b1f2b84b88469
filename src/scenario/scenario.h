// Scenario evaluation: one expectation document names one fixture (single-run) or two
// (mode exactly "compare"), runs the engine on them and tests keyword checks against seven
// report fields. The document is read leniently: a key of the wrong kind takes its default.
// The expected label is shown in the row but only the checks decide the verdict.
#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "diagnosis/compare/comparison.h"
#include "diagnosis/diagnosis.h"
#include "trace/trace.h"

namespace tracedx {

struct ScenarioResult {
  std::string name;
  std::string mode;
  std::string expected;
  std::string actual_primary;
  std::string actual_compare;
  std::string status;  // "match", "needs_tuning" or "mismatch"
  std::vector<std::string> notes;
};

// The text of a check field for a single-run diagnosis or for a comparison.
std::string field_text(std::string_view field, const Diagnosis& diagnosis);
std::string field_text(std::string_view field, const Comparison& comparison);

// Evaluates a parsed scenario document, loading fixtures from `fixture_dir`.
Result<ScenarioResult> evaluate_scenario(const std::filesystem::path& fixture_dir,
                                         const Json& scenario);

}  // namespace tracedx
