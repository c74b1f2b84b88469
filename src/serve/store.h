// The receiver's SQLite database: one row per trace (its state, diagnosis and report page),
// one row per span and one per log record that names a span (its own message, in arrival
// order), and one per distinct envelope (a resource and scope, see span_codec.h) the span
// and record rows reference, so a resource is stored once however many spans it has.
// Rows of older versions hold their whole message (or OTLP/JSON text) and no envelope.
// WAL mode with synchronous=NORMAL: a commit
// is in the write-ahead log (the operating system's page cache) when it returns, so a
// process that dies (kill -9, a crash) loses nothing committed; only a power loss or kernel
// crash before the next checkpoint could. One connection writes; readers have their own.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.h"
#include "serve/otlp_spans.h"

namespace tracedx {

// What the read side shows of a trace.
struct TraceRow {
  std::string id;
  std::optional<std::string> service, title;
  std::string status;                     // "pending", "diagnosed" or "failed"
  int64_t first_seen = 0, last_seen = 0;  // Unix milliseconds, receive time
  int64_t span_count = 0;                 // the spans kept
  // Spans refused because the trace already held its limit: when above zero, the trace was
  // cut at span_count spans and its diagnosis is of those.
  int64_t spans_dropped = 0;
  int64_t logs_dropped = 0;  // the same for log records past the trace's limit of them
  bool has_root = false;     // whether the trace's root span (one without a parent) came
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

// A stored span or log record: its own message under its envelope; or, a row of an older
// version (no envelope), the whole ResourceSpans (ResourceLogs) message, or a span's
// OTLP/JSON line as text.
struct StoredRow {
  bool text = false;
  std::string data;
  std::shared_ptr<const std::string> envelope;  // shared by the rows that reference it
};

// The spans and log records of one trace read in one snapshot, and how many there were.
struct SpanSnapshot {
  int64_t span_count = 0;        // the trace's span count when read (-1: no such trace)
  int64_t log_count = 0;         // log records received since the trace was first seen
  int64_t spans_dropped = 0;     // spans over the trace's limit, not stored (see TraceRow)
  bool has_root = false;         // the root span is among the spans
  std::vector<StoredRow> spans;  // in arrival order
  std::vector<StoredRow> logs;   // in arrival order

  // The bytes of the rows (each envelope counted with every row that shares it: what
  // reading them into spans makes of it).
  size_t bytes() const {
    size_t n = 0;
    for (const auto* rows : {&spans, &logs}) {
      for (const StoredRow& r : *rows) n += r.data.size() + (r.envelope ? r.envelope->size() : 0);
    }
    return n;
  }
};

// The stored report page of a trace and the diagnosis version it shows.
struct StoredPage {
  int64_t version = 0;
  std::string status;
  std::optional<std::string> page, error;
};

// How a span offered to the store fared.
enum class SpanInsert {
  kStored,
  kDuplicate,  // the trace already holds a span with its id (an export sent again)
  kOverLimit,  // the trace already holds its limit of spans: not stored, counted on the trace
};

class Store {
 public:
  // The version of the tables this build makes (PRAGMA user_version): 1 with the envelopes.
  static constexpr int64_t kSchemaVersion = 1;

  // Opens (creating when missing) the database and its tables, adding what later versions
  // added to a database made by an earlier one. Fails on a database made by a later version.
  static Result<std::unique_ptr<Store>> open(const std::string& path);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Writes, on the writer's connection only. A transaction's spans and log records over
  // their trace's limits are added to its spans_dropped and logs_dropped counts by commit();
  // envelopes it stored that no row came to reference are deleted then.
  Status begin();
  Status commit();
  void rollback();
  // Stores a span unless the trace already holds one with its id, or already holds `limit`
  // spans (0: no limit). A root span is stored over the limit while the trace has no root,
  // so that a long run cut short keeps its top span (its title, outcome and service). The
  // envelope is stored once for all the rows with the same bytes, across transactions too
  // (the store holds the object until the transaction ends, and finds it again by address).
  Result<SpanInsert> insert_span(std::string_view trace_id, std::string_view span_id,
                                 const StoredMessage& data, bool root, uint64_t limit);
  // The same with no limit: whether it was stored (false: a duplicate).
  Result<bool> insert_span(std::string_view trace_id, std::string_view span_id,
                           const StoredMessage& data);
  // Stores a log record received at `now` (Unix milliseconds) unless its trace already holds
  // `limit` records (0: no limit); returns whether it was stored. Records over the limit are
  // added to the trace's logs_dropped count by commit(), when the trace exists by then.
  Result<bool> insert_log(std::string_view trace_id, std::string_view span_id, int64_t now,
                          const StoredMessage& data, uint64_t limit);
  // The same with no limit.
  Status insert_log(std::string_view trace_id, std::string_view span_id, int64_t now,
                    const StoredMessage& data);
  // A trace that received `spans` spans at `now`: created pending, or re-opened pending.
  // `spans` is the count insert_span stored: the store reads the trace's span count from it
  // to hold the limit. Returns whether the trace's root has arrived (in these spans or
  // before).
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
  // records, and log records received before then whose trace never came, and the
  // envelopes no remaining row references; the ids of the traces.
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

  // Health, for the server's health check; cheap (no table is read) and on any connection.
  // Fails, saying why, when the connection cannot start a read of the database (an I/O
  // error, a file that no longer reads as a database), when it is read-only (the file
  // write-protected), or when the file system holding it has less than `min_free_bytes`
  // left. A page damaged deeper in the file shows in write_error() once a write meets it.
  static constexpr uint64_t kMinFreeBytes = uint64_t{1} << 20;
  Status probe(uint64_t min_free_bytes = kMinFreeBytes);
  // The last write on this connection that failed ("database: commit: database or disk is
  // full"), cleared by the next commit that succeeds. Any thread: the health check asks the
  // writer's store while the writer works.
  std::optional<std::string> write_error() const;

 private:
  Store() = default;
  Error failure(std::string_view what) const;
  // Records a failed write (see write_error) and returns it.
  Error noted(Error error);
  // Adds the columns of later versions to a database made by an earlier one.
  Status upgrade(const std::string& path);
  Result<sqlite3_stmt*> prepare(std::string_view sql);
  // PRAGMA user_version: the version of the tables (0: made before versions were recorded).
  Result<int64_t> schema_version();
  // The id of the stored envelope with these bytes, stored when new.
  Result<int64_t> envelope_id(const std::shared_ptr<const std::string>& envelope);
  // Forgets what the transaction learnt (its traces' counts, its envelopes).
  void end_transaction();

  sqlite3* db_ = nullptr;
  std::string path_;
  std::vector<std::pair<std::string, sqlite3_stmt*>> statements_;

  // What the current transaction learnt of the traces it stored spans or log records of:
  // their span counts (stored rows), whether their root is stored, their spans over the
  // limit, and the same for their log records (a count of -1: not read yet).
  struct TraceState {
    int64_t spans = -1;
    bool root = false;
    int64_t dropped = 0;
    int64_t logs = -1;
    int64_t logs_dropped = 0;
  };
  std::unordered_map<std::string, TraceState> traces_;
  // The envelopes the current transaction met, by object (held so that no other takes its
  // address meanwhile): their ids, whether the transaction stored them, and how many rows
  // it made reference them.
  struct EnvelopeUse {
    std::shared_ptr<const std::string> held;
    int64_t id = 0;
    bool created = false;
    int64_t rows = 0;
  };
  std::unordered_map<const std::string*, EnvelopeUse> envelopes_;

  mutable std::mutex write_error_mutex_;
  std::optional<std::string> write_error_;
};

}  // namespace tracedx
