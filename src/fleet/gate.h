// The regression gate between two batches of the same tasks. Runs are matched by a task
// key (by default the run's title, else the file name part of its id). Each side's runs of
// a task give a failure rate (one run: 0 or 1; repeated trials: a fraction), and the task
// is regressed when the candidate's rate is higher, fixed when lower, else still failing,
// still passing, or label changed (same rates, another primary finding). A run fails by
// its recorded outcome when the record has one, else by its verdict (run_failed). Overall
// rates get Wilson intervals, and a difference is a change only when Fisher's exact test
// puts it beyond the noise (p below alpha). The gate fails when more tasks regressed than
// allowed, or when the overall failure rate rose by more than allowed and beyond the noise.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.h"
#include "fleet/rate_stats.h"
#include "fleet/run_record.h"

namespace tracedx {

enum class TaskKey { kTitle, kFile, kId, kService, kAgent };

// "title", "file", "id", "service" or "agent"; fails saying what is expected.
Result<TaskKey> parse_task_key(std::string_view text);
// The task key of a run: "title" is the title, else the file part; "file" the last path
// component of the id with a .json or .jsonl extension taken off ("runs/day.jsonl:12" gives
// "day:12"); "id" the whole id; "service" and "agent" those fields (the file part without).
std::string task_key_of(const RunRecord& run, TaskKey key);

struct GateOptions {
  TaskKey key = TaskKey::kTitle;
  uint64_t max_regressions = 0;    // tasks that may regress
  double max_rate_increase = 0.0;  // rise of the overall failure rate allowed, 0..1
  double alpha = 0.05;             // a difference with p below this is beyond the noise
};

enum class TaskChange {
  kRegressed,
  kFixed,
  kLabelChanged,
  kStillFailing,
  kStillPassing,
  kOnlyBaseline,
  kOnlyCandidate
};
// "regressed", "fixed", "label changed", "still failing", "still passing", "only in
// baseline", "only in candidate".
std::string_view task_change_name(TaskChange change);

struct GateSide {
  uint64_t runs = 0, failed = 0;
  std::optional<std::string> label;  // the primary finding of its first run
  bool by_outcome = true;            // every run judged by its recorded outcome
  double rate() const { return runs ? static_cast<double>(failed) / static_cast<double>(runs) : 0; }
};

struct TaskResult {
  std::string key;
  TaskChange change = TaskChange::kStillPassing;
  GateSide baseline, candidate;
  std::vector<std::string> ids;  // the first run ids, baseline's then candidate's
};

struct RateResult {
  uint64_t runs = 0, failed = 0;
  double rate = 0;
  Interval interval;
  uint64_t unreadable = 0;
};

struct GateResult {
  std::vector<TaskResult> tasks;  // regressed, fixed, label changed, ... each by key
  RateResult baseline, candidate;
  double p_value = 1;
  bool rate_changed = false;  // beyond the noise
  uint64_t counts[7] = {};    // tasks per TaskChange
  bool passed = true;
  std::vector<std::string> reasons;  // why it failed
  GateOptions options;
};

// Collects the two sides, then compares them. Memory holds one entry per task.
class GateBuilder {
 public:
  explicit GateBuilder(GateOptions options) : options_(options) {}
  void add_baseline(const RunRecord& run) { add(run, true); }
  void add_candidate(const RunRecord& run) { add(run, false); }
  GateResult finish();

 private:
  void add(const RunRecord& run, bool baseline);
  GateOptions options_;
  std::unordered_map<std::string, TaskResult> tasks_;
  RateResult baseline_, candidate_;
};

}  // namespace tracedx
