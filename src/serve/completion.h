// When a trace is diagnosed, and by whom. Every trace with spans not yet diagnosed is
// pending: it is due `quiet_ms` after its last span once its root span has arrived, or
// `rootless_wait_ms` after its last span when its root never comes (diagnosed on what
// arrived). Diagnosis threads, at a lower priority than the request threads, read a due
// trace back from the database, diagnose it and hand the result to the writer; spans that
// arrive meanwhile make it due again. Retention deletes old traces on a thread of its own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "diagnosis/diagnosis.h"
#include "serve/memory_budget.h"
#include "serve/metrics.h"
#include "serve/store.h"
#include "serve/writer.h"

namespace tracedx {

struct CompletionOptions {
  uint64_t quiet_ms = 5000;
  uint64_t rootless_wait_ms = 300000;
  std::optional<uint64_t> keep_days;
  uint64_t retention_interval_ms = 600000;
  DiagnoseOptions diagnose;
};

class Completion {
 public:
  // Pending traces take their bookkeeping from `budget` while they wait.
  Completion(const CompletionOptions& options, Metrics& metrics, MemoryBudget& budget);
  ~Completion();

  // Starts the diagnosis threads on their connections (and retention, when traces are kept
  // for a number of days), the writer set.
  void start(Writer& writer, std::vector<std::unique_ptr<Store>> stores);

  // The writer committed rows of these traces (see Writer::Committed).
  void committed(int64_t now, const std::vector<TouchedTrace>& touched,
                 const std::vector<Job*>& group);
  // A trace found pending in the database at start.
  void pending(const PendingTrace& trace);

  // Diagnoses every pending trace, root or not, and waits until none is left.
  void drain();
  // Ends the threads.
  void stop();

  size_t pending_count();

 private:
  struct Flight {
    int64_t last_seen = 0;
    bool root = false;
    uint64_t generation = 0;  // bumped by every commit of spans of it
    bool running = false;
    bool queued = false;
    int64_t due = 0;
  };
  enum class Outcome { kSubmitted, kStored, kStale, kGone, kError };

  void queue_due_locked(const std::string& id, Flight& f);
  void touch_locked(const std::string& id, int64_t last_seen, bool root);
  void forget_locked(const std::string& id);
  void erase_locked(std::unordered_map<std::string, Flight>::iterator it);
  Outcome diagnose_one(Store& store, const std::string& id, uint64_t generation);
  void settle_locked(const std::string& id, uint64_t generation, Outcome outcome);
  void worker_loop(std::unique_ptr<Store> store);
  void retention_loop();

  const CompletionOptions options_;
  Metrics& metrics_;
  MemoryBudget& budget_;
  Writer* writer_ = nullptr;

  std::mutex mutex_;
  std::condition_variable cv_;
  std::unordered_map<std::string, Flight> flights_;
  std::set<std::pair<int64_t, std::string>> due_;
  bool draining_ = false, stop_ = false;
  std::vector<std::thread> workers_;

  std::mutex retention_mutex_;
  std::condition_variable retention_cv_;
  bool retention_stop_ = false;
  std::thread retention_;
};

}  // namespace tracedx
