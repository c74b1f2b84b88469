// The triage report over many runs: what fails most and where the time goes. Built in one
// pass over batch records in memory bounded by the number of groups, not of runs: counts
// per outcome, label and severity; failed runs grouped by service (else agent), by tool
// and by normalised error message, each with its count, share, wasted time and cost and
// its first example ids; the slowest and costliest runs (bounded heaps); and duration
// percentiles (a fixed log-scale histogram). Each grouping keeps at most kMaxGroups keys;
// later keys fall into "(other)". A run fails when run_failed says so.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "fleet/duration_histogram.h"
#include "fleet/run_record.h"

namespace tracedx {

inline constexpr size_t kMaxGroups = 10000;
inline constexpr size_t kGroupExamples = 3;
inline constexpr size_t kTopRuns = 10;

struct FailureGroup {
  std::string key;
  uint64_t runs = 0;
  uint64_t wasted_ms = 0;  // summed durations of its failed runs, saturating
  double cost = 0;         // summed cost of those that record one
  bool has_cost = false;
  std::vector<std::string> examples;  // the first run ids, in input order
};

struct LabelCount {
  std::string label;
  std::string severity;
  uint64_t runs = 0;
  uint64_t failed = 0;
};

struct RankedRun {
  std::string id;
  uint64_t duration_ms = 0;
  std::optional<double> cost;
  std::string outcome;
  std::optional<std::string> label;
  uint64_t order = 0;  // position in the input: ties go to the earlier run
};

struct TriageReport {
  uint64_t records = 0, diagnosed = 0, unreadable = 0, failed = 0;
  std::vector<std::pair<std::string, uint64_t>> outcomes;    // fixed order, then others
  std::vector<LabelCount> labels;                            // most runs first
  std::vector<std::pair<std::string, uint64_t>> severities;  // high first
  uint64_t failed_ms = 0;                                    // time of the failed runs
  double failed_cost = 0;
  std::vector<FailureGroup> by_service, by_tool, by_error;  // most wasted time first
  std::vector<RankedRun> slowest, costliest;
  DurationHistogram durations;  // of the runs that record a duration
  std::vector<std::string> unreadable_examples;
};

class TriageBuilder {
 public:
  void add(const RunRecord& run);
  TriageReport finish();

 private:
  struct Groups {
    std::unordered_map<std::string, FailureGroup> by_key;
    void add(const std::string& key, const RunRecord& run);
    std::vector<FailureGroup> ranked() const;
  };
  TriageReport report_;
  std::map<std::string, uint64_t> outcomes_, severities_;
  std::map<std::string, LabelCount> labels_;
  Groups service_, tool_, error_;
  std::vector<RankedRun> slow_heap_, cost_heap_;
  uint64_t order_ = 0;
};

// The key a failed run is grouped under for each grouping.
std::string service_key(const RunRecord& run);  // service, else "agent: NAME", else "(unknown)"
std::string tool_key(const RunRecord& run);     // the failing step's name, else "(none)"
std::string error_key(const RunRecord& run);    // normalised error, else the label, else "(none)"

}  // namespace tracedx
