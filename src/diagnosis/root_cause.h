// RootCause: the one shape in which the engine states a finding, shared by the primary
// finding, the secondary issues and both findings of a comparison. Labels, severities and
// explanations come from fixed per-category texts; only the anchoring step's index and
// name, a step-derived phase and placeholder values in evidence lines vary with the trace.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tracedx {

struct RootCause {
  std::optional<int64_t> step_index;  // step_index of the anchoring step
  std::string label;
  std::vector<std::string> evidence;
  std::optional<std::string> phase;
  std::string severity;
  std::optional<std::string> explanation;
  std::optional<std::string> step_name;  // step_label of the anchoring step

  bool operator==(const RootCause&) const = default;
};

}  // namespace tracedx
