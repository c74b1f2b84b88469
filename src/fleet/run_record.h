// One run as a batch record describes it, flattened: what the triage report groups and
// ranks by and what the regression gate compares. Records of batches written before the
// "run" member existed still read: their outcome, label and severity come from the
// diagnosis, and the run fields are absent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"

namespace tracedx {

struct RunRecord {
  std::string id;
  bool readable = true;  // false for an error record: the trace could not be loaded
  std::string error;     // the error record's message
  std::optional<std::string> title, service, agent;
  std::optional<std::string> status;           // the recorded or stated run status
  std::string outcome;                         // the diagnosis' outcome word
  std::optional<std::string> label, severity;  // of the primary finding
  std::optional<uint64_t> duration_ms;
  std::optional<double> cost;
  std::optional<uint64_t> tokens;
  std::optional<std::string> tool, error_message;
};

// Reads one line of `tracedx batch` output. A leading UTF-8 byte-order mark is skipped;
// documents nested deeper than 128 levels are invalid. Fails, saying what was expected,
// on invalid JSON and on JSON that is not a batch record.
Result<RunRecord> parse_run_record(std::string_view line);

// Whether the run failed: by its recorded status when it has one that names an outcome
// ("failed" fails; "completed" and "success" pass), else by its verdict (the diagnosis'
// outcome is "failed"). `by_outcome`, when given, says which of the two decided.
bool run_failed(const RunRecord& run, bool* by_outcome = nullptr);

}  // namespace tracedx
