// The receiver's one writer: every write to the database goes through its queue, and the
// spans of all waiting exports are committed in one transaction (group commit). An export
// is answered only once its rows are committed. The queue of spans is bounded (exports get
// 429 when it is full). Checkpoints of the write-ahead log run on a thread and connection
// of their own, so no commit waits for one.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "serve/metrics.h"
#include "serve/otlp_spans.h"
#include "serve/receiver.h"
#include "serve/store.h"

namespace tracedx {

// Traces deleted per retention transaction.
inline constexpr int64_t kRetentionBatch = 500;

// One unit of work for the writer, owned by the thread that waits for it.
struct Job {
  enum class Kind { kSpans, kLogs, kDiagnosis, kPage, kRetention };
  Kind kind = Kind::kSpans;
  const SpanBatch* batch = nullptr;  // kSpans
  const LogBatch* logs = nullptr;    // kLogs
  std::string trace_id;              // kDiagnosis, kPage
  int64_t span_count = 0, log_count = 0;
  DiagnosisRecord record;
  int64_t version = 0;  // kPage: the diagnosis the page shows, in record.page
  uint64_t generation = 0;
  int64_t before = 0;  // kRetention
  // Set for a job nobody waits for: called once it is committed (or failed), then the
  // writer deletes the job.
  std::function<void(Job&)> then;

  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  bool ok = false;
  bool applied = false;  // kDiagnosis: stored (no spans arrived since they were read)
  std::vector<std::string> deleted;

  // The rows it writes, as the write queue counts them.
  size_t rows() const { return batch ? batch->spans.size() : logs ? logs->logs.size() : 0; }
  void finish(bool success);
  void wait();
};

// A trace that received spans or log records in a commit.
struct TouchedTrace {
  std::string_view id;
  bool root = false;  // its root span has arrived (in this commit or before)
};

class Writer {
 public:
  // Told, after each successful commit and before any job of it learns its fate, of the
  // traces that received rows and of those retention deleted.
  using Committed = std::function<void(int64_t now, const std::vector<TouchedTrace>& touched,
                                       const std::vector<Job*>& group)>;

  // Spans and log records past their limits in their trace are dropped and counted (0: no
  // limit).
  struct TraceLimits {
    uint64_t spans = 0;
    uint64_t log_records = 0;
  };
  Writer(std::unique_ptr<Store> store, std::unique_ptr<Store> checkpoint_store,
         size_t max_queued_rows, TraceLimits limits, Metrics& metrics, Committed committed);
  ~Writer();

  // Queues a job; false when the writer stopped, or (`bounded`: spans and log records)
  // when the queue is full.
  bool submit(Job& job, bool bounded);
  // Queues a job and waits for its commit.
  Stored store(Job& job);

  // Holds (true) or releases the writer; while it is held nothing is committed.
  void hold(bool on);
  // Commits what is queued, then ends the writer; later jobs are refused.
  void stop();

  size_t queued_rows() const;

  // The last commit's failure, empty when it succeeded (or none failed yet).
  std::string failure() const;

 private:
  void loop();
  void checkpoint_loop();
  void commit_group(const std::vector<Job*>& group);
  Status write_group(const std::vector<Job*>& group, int64_t now,
                     std::vector<TouchedTrace>& touched);

  std::unique_ptr<Store> store_, checkpoint_store_;
  const size_t max_queued_rows_;
  const TraceLimits limits_;
  Metrics& metrics_;
  Committed committed_;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Job*> queue_;
  size_t queued_rows_ = 0;
  bool hold_ = false, stop_ = false;
  std::thread thread_;

  std::mutex checkpoint_mutex_;
  std::condition_variable checkpoint_cv_;
  bool checkpoint_stop_ = false;
  std::thread checkpointer_;

  mutable std::mutex failure_mutex_;
  std::string failure_;
};

}  // namespace tracedx
