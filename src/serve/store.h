// The receiver's SQLite database: one row per trace (its state and diagnosis) and one row
// per span (its stored line, in arrival order). WAL mode with synchronous=NORMAL: a commit
// is in the write-ahead log (the operating system's page cache) when it returns, so a
// process that dies (kill -9, a crash) loses nothing committed; only a power loss or kernel
// crash before the next checkpoint could. One connection writes; readers have their own.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trace/error.h"

namespace tracedx {

// What the read side shows of a trace.
struct TraceRow {
  std::string id;
  std::optional<std::string> service, title;
  std::string status;                     // "pending", "diagnosed" or "failed"
  int64_t first_seen = 0, last_seen = 0;  // Unix milliseconds, receive time
  int64_t span_count = 0;
  std::optional<int64_t> step_count, duration_ms;
  std::optional<std::string> outcome, label, severity;
  int64_t version = 0;
  std::optional<std::string> diagnosis;  // compact JSON text (get_trace only)
  std::optional<std::string> error;      // (get_trace only)
};

struct TraceFilter {
  std::optional<std::string> label, outcome, service;
  std::optional<int64_t> since, until;  // on last_seen, Unix milliseconds, until exclusive
  int64_t limit = 100;
};

// The outcome of diagnosing a trace, as stored.
struct DiagnosisRecord {
  bool failed = false;
  std::optional<std::string> service, title;
  std::optional<int64_t> step_count, duration_ms;
  std::optional<std::string> outcome, label, severity;
  std::string diagnosis;  // compact JSON, empty when failed
  std::string error;      // the import's message, when failed
};

// A trace waiting for its diagnosis, as the scheduler needs it.
struct PendingTrace {
  std::string id;
  int64_t last_seen = 0;
  bool root = false;
};

// The spans of one trace read in one snapshot: their lines and how many there were.
struct SpanSnapshot {
  int64_t span_count = 0;  // the trace's span count when read (-1: no such trace)
  std::string lines;       // each line followed by a line feed, in arrival order
};

class Store {
 public:
  // Opens (creating when missing) the database and its tables.
  static Result<std::unique_ptr<Store>> open(const std::string& path);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Writes, on the writer's connection only.
  Status begin();
  Status commit();
  void rollback();
  // Stores a span unless the trace already holds one with its id; whether it was stored.
  Result<bool> insert_span(std::string_view trace_id, std::string_view span_id,
                           std::string_view line);
  // A trace that received `spans` spans at `now`: created pending, or re-opened pending.
  // Returns whether the trace's root has arrived (in these spans or before).
  Result<bool> touch_trace(std::string_view trace_id, std::string_view service, int64_t now,
                           int64_t spans, bool root);
  // Stores a diagnosis unless spans arrived since `span_count` was read; returns whether it
  // was stored (the version goes up by one when it is).
  Result<bool> save_diagnosis(std::string_view trace_id, int64_t span_count,
                              const DiagnosisRecord& record);
  // Deletes up to `limit` traces last seen before `before` and their spans; their ids.
  Result<std::vector<std::string>> delete_older(int64_t before, int64_t limit);

  // Reads.
  Result<std::vector<PendingTrace>> pending();
  Result<std::optional<TraceRow>> get_trace(std::string_view trace_id);
  Result<std::vector<TraceRow>> list_traces(const TraceFilter& filter);
  // Traces per primary label (absent: no label) under the filter, the label itself ignored.
  Result<std::vector<std::pair<std::optional<std::string>, int64_t>>> label_counts(
      const TraceFilter& filter);
  Result<SpanSnapshot> read_spans(std::string_view trace_id);

 private:
  Store() = default;
  Error failure(std::string_view what) const;
  Result<sqlite3_stmt*> prepare(std::string_view sql);

  sqlite3* db_ = nullptr;
  std::vector<std::pair<std::string, sqlite3_stmt*>> statements_;
};

}  // namespace tracedx
