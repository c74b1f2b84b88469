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

// A step named by its position's step_index, its label and its id (a span id, a message id).
struct StepRef {
  std::optional<int64_t> step_index;
  std::optional<std::string> step_name;
  std::optional<std::string> step_id;

  bool operator==(const StepRef&) const = default;
};

// Where a finding of a recorded run points, with the values a user needs to look there: the
// anchoring step's id, the agent responsible for it, its error message, and for a tool call
// the tool and its arguments (long values shortened). `shown_at` is the step where the
// failure shows, when it is not the anchor (the tool's answer to a call, the step that could
// not parse a model's output).
struct Culprit {
  std::optional<std::string> step_id;
  std::optional<std::string> agent;
  std::optional<std::string> error;
  std::optional<std::string> tool;
  std::optional<std::string> arguments;
  std::optional<StepRef> shown_at;

  bool operator==(const Culprit&) const = default;
};

struct RootCause {
  std::optional<int64_t> step_index;  // step_index of the anchoring step
  std::string label;
  std::vector<std::string> evidence;
  std::optional<std::string> phase;
  std::string severity;
  std::optional<std::string> explanation;
  std::optional<std::string> step_name;  // step_label of the anchoring step
  // Set only by the analysis of recorded runs; the fixed engine leaves it absent.
  std::optional<Culprit> culprit = std::nullopt;

  bool operator==(const RootCause&) const = default;
};

}  // namespace tracedx
