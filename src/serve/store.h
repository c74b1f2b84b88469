// The receiver's SQLite database: one row per trace (its state, diagnosis and report page),
// one row per span and one per log record that names a span (the stored message, in arrival
// order). WAL mode with synchronous=NORMAL: a commit
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

#include "base/error.h"

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
  std::string page;       // the HTML report; empty: none yet (made on its first view)
};

// A trace waiting for its diagnosis, as the scheduler needs it.
struct PendingTrace {
  std::string id;
  int64_t last_seen = 0;
  bool root = false;
};

// A stored span or log record: the protobuf message, or (a span stored by an older
// version) its OTLP/JSON line as text.
struct StoredRow {
  bool text = false;
  std::string data;
};

// The spans and log records of one trace read in one snapshot, and how many there were.
struct SpanSnapshot {
  int64_t span_count = 0;         // the trace's span count when read (-1: no such trace)
  int64_t log_count = 0;          // log records received since the trace was first seen
  std::vector<StoredRow> spans;   // in arrival order
  std::vector<std::string> logs;  // in arrival order
};

// The stored report page of a trace and the diagnosis version it shows.
struct StoredPage {
  int64_t version = 0;
  std::string status;
  std::optional<std::string> page, error;
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
                           std::string_view data);
  // Stores a log record received at `now` (Unix milliseconds).
  Status insert_log(std::string_view trace_id, std::string_view span_id, int64_t now,
                    std::string_view data);
  // A trace that received `spans` spans at `now`: created pending, or re-opened pending.
  // Returns whether the trace's root has arrived (in these spans or before).
  Result<bool> touch_trace(std::string_view trace_id, std::string_view service, int64_t now,
                           int64_t spans, bool root);
  // A trace that received `records` log records at `now`: re-opened pending when it exists
  // (its has_root), else nothing (the records wait for its spans).
  Result<std::optional<bool>> touch_trace_logs(std::string_view trace_id, int64_t now,
                                               int64_t records);
  // Stores a diagnosis unless spans or log records arrived since `span_count` and
  // `log_count` were read; returns whether it was stored (the version goes up by one when
  // it is).
  Result<bool> save_diagnosis(std::string_view trace_id, int64_t span_count, int64_t log_count,
                              const DiagnosisRecord& record);
  // Stores the report page of the diagnosis `version` when the trace has none yet.
  Status save_page(std::string_view trace_id, int64_t version, std::string_view page);
  // Deletes up to `limit` traces last seen before `before` with their spans and log
  // records, and log records received before then whose trace never came; their ids.
  Result<std::vector<std::string>> delete_older(int64_t before, int64_t limit);

  // Copies what the write-ahead log holds into the database, as far as readers allow,
  // without waiting for the writer. No connection checkpoints on commit (a commit that did
  // would keep its exporters waiting): the server calls this from a thread of its own.
  Status checkpoint();

  // Reads.
  Result<std::vector<PendingTrace>> pending();
  Result<std::optional<TraceRow>> get_trace(std::string_view trace_id);
  Result<std::vector<TraceRow>> list_traces(const TraceFilter& filter);
  // Traces per primary label (absent: no label) under the filter, the label itself ignored.
  Result<std::vector<std::pair<std::optional<std::string>, int64_t>>> label_counts(
      const TraceFilter& filter);
  Result<SpanSnapshot> read_spans(std::string_view trace_id);
  Result<std::optional<StoredPage>> read_page(std::string_view trace_id);

 private:
  Store() = default;
  Error failure(std::string_view what) const;
  // Adds the columns of later versions to a database made by an earlier one.
  Status upgrade(const std::string& path);
  Result<sqlite3_stmt*> prepare(std::string_view sql);

  sqlite3* db_ = nullptr;
  std::vector<std::pair<std::string, sqlite3_stmt*>> statements_;
};

}  // namespace tracedx
