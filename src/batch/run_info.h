// What a batch record says about the run itself, next to its diagnosis: the fields a
// report over many runs groups and ranks by (service, agent, tool, error, time, cost).
// Every field but the duration and the outcome is optional: absent means the input did
// not record it. The status is the one the input recorded or the user stated; a chat
// transcript's inferred status is not a recorded outcome and is left out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "diagnosis/diagnosis.h"
#include "report/report_json.h"
#include "trace/trace.h"

namespace tracedx {

struct RunInfo {
  std::optional<std::string> title;
  std::optional<std::string> service;
  std::optional<std::string> agent;
  std::optional<std::string> status;    // the recorded or stated run status, as written
  std::string outcome;                  // the diagnosis' outcome word
  std::optional<uint64_t> duration_ms;  // sum of step durations (saturating), when any is known
  std::optional<double> cost;
  std::optional<uint64_t> tokens;  // summed over the steps that record a token count
  uint64_t steps = 0;
  std::optional<std::string> tool;  // the step the finding points at, else the first failed
  std::optional<std::string> error_message;  // that step's error, else the first failed step's
};

// The run fields of `trace` diagnosed as `diagnosis`. `status_recorded` is false when the
// run status was inferred by an importer rather than recorded or stated.
RunInfo run_info_of(const Trace& trace, const Diagnosis& diagnosis, bool status_recorded);

// Appends the record's compact JSON object: {"title", "service", "agent", "status",
// "outcome", "duration_ms", "cost", "tokens", "steps", "tool", "error_message"}, null for
// an absent value.
void append_run_json(std::string& out, const RunInfo& run);
// The same object as a JSON value.
OrderedJson to_json(const RunInfo& run);

}  // namespace tracedx
