// A Trace is one recorded agent run: the run-level fields and the ordered steps.
// Every field but the step list, the id and the total duration is optional, because
// fixtures are partial; absent means "no information", never an error. JSON-valued
// fields keep the value as parsed (objects are key-ordered maps), and texts are stored
// as written: every comparison trims and lowercases at the point of use.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tracedx {

using Json = nlohmann::json;

struct TraceStep {
  std::optional<Json> id;
  std::optional<int64_t> step_index;
  std::optional<std::string> step_type;
  std::optional<std::string> display_name;
  std::optional<std::string> summary;
  std::optional<std::string> status;
  std::optional<uint64_t> duration_ms;
  std::optional<std::string> error_message;
  std::optional<Json> raw_input;
  std::optional<Json> raw_output;
  std::optional<Json> metadata;
};

struct Trace {
  Json id;  // always a string: the name under which the trace was requested
  std::optional<std::string> status;
  std::optional<std::string> title;
  std::optional<std::string> diagnostic_summary;
  std::optional<double> total_cost;
  uint64_t total_duration_ms = 0;  // sum of step durations, saturating at 2^64-1
  std::vector<TraceStep> steps;
};

// Sum of the present step durations; saturates at 2^64-1 instead of wrapping.
uint64_t sum_step_durations(const std::vector<TraceStep>& steps);

}  // namespace tracedx
