// The store's reads: the pending traces, one trace, the traces under a filter and their
// label counts, a trace's rows and its page, and the probe of the database's health.
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>

#include "serve/store.h"
#include "serve/store_sql.h"

namespace tracedx {
namespace {

using namespace store_sql;

// The columns of a TraceRow, in row_of's order, and their number.
constexpr int kColumnCount = 16;
constexpr const char* kColumns =
    "id, service, title, status, first_seen, last_seen, span_count, step_count, duration_ms, "
    "outcome, label, severity, version, spans_dropped, has_root, logs_dropped";

TraceRow row_of(sqlite3_stmt* s) {
  TraceRow t;
  t.id = column_text(s, 0).value_or("");
  t.service = column_text(s, 1);
  t.title = column_text(s, 2);
  t.status = column_text(s, 3).value_or("");
  t.first_seen = sqlite3_column_int64(s, 4);
  t.last_seen = sqlite3_column_int64(s, 5);
  t.span_count = sqlite3_column_int64(s, 6);
  t.step_count = column_int(s, 7);
  t.duration_ms = column_int(s, 8);
  t.outcome = column_text(s, 9);
  t.label = column_text(s, 10);
  t.severity = column_text(s, 11);
  t.version = sqlite3_column_int64(s, 12);
  t.spans_dropped = sqlite3_column_int64(s, 13);
  t.has_root = sqlite3_column_int(s, 14) != 0;
  t.logs_dropped = sqlite3_column_int64(s, 15);
  return t;
}

// The WHERE clause of a filter and the values it binds, in order.
struct Where {
  std::string sql;
  std::vector<std::string> texts;
  std::vector<int64_t> numbers;
};

Where where_of(const TraceFilter& f, bool with_label) {
  Where w;
  auto add = [&](const char* clause) {
    w.sql += w.sql.empty() ? " WHERE " : " AND ";
    w.sql += clause;
  };
  if (with_label && f.label) add("label = ?");
  if (f.outcome) add("outcome = ?");
  if (f.service) add("service = ?");
  if (f.since) add("last_seen >= ?");
  if (f.until) add("last_seen < ?");
  if (with_label && f.label) w.texts.push_back(*f.label);
  if (f.outcome) w.texts.push_back(*f.outcome);
  if (f.service) w.texts.push_back(*f.service);
  if (f.since) w.numbers.push_back(*f.since);
  if (f.until) w.numbers.push_back(*f.until);
  return w;
}

int bind_where(sqlite3_stmt* s, const Where& w) {
  int i = 1;
  for (const auto& t : w.texts) bind_text(s, i++, t);
  for (int64_t n : w.numbers) sqlite3_bind_int64(s, i++, n);
  return i;
}

}  // namespace

Result<std::vector<PendingTrace>> Store::pending() {
  auto s = prepare("SELECT id, last_seen, has_root FROM traces WHERE status = 'pending'");
  if (!s) return std::move(s).error();
  Reset reset{*s};
  std::vector<PendingTrace> out;
  int rc;
  while ((rc = sqlite3_step(*s)) == SQLITE_ROW) {
    out.push_back({column_text(*s, 0).value_or(""), sqlite3_column_int64(*s, 1),
                   sqlite3_column_int(*s, 2) != 0});
  }
  if (rc != SQLITE_DONE) return failure("list pending traces");
  return out;
}

Result<std::optional<TraceRow>> Store::get_trace(std::string_view trace_id) {
  auto s =
      prepare(std::string("SELECT ") + kColumns + ", diagnosis, error FROM traces WHERE id = ?1");
  if (!s) return std::move(s).error();
  Reset reset{*s};
  bind_text(*s, 1, trace_id);
  int rc = sqlite3_step(*s);
  if (rc == SQLITE_DONE) return std::optional<TraceRow>();
  if (rc != SQLITE_ROW) return failure("read trace");
  TraceRow t = row_of(*s);
  t.diagnosis = column_text(*s, kColumnCount);
  t.error = column_text(*s, kColumnCount + 1);
  return std::optional<TraceRow>(std::move(t));
}

Result<std::vector<TraceRow>> Store::list_traces(const TraceFilter& filter) {
  Where w = where_of(filter, true);
  auto s = prepare(std::string("SELECT ") + kColumns + " FROM traces" + w.sql +
                   " ORDER BY last_seen DESC, id LIMIT ?");
  if (!s) return std::move(s).error();
  Reset reset{*s};
  int next = bind_where(*s, w);
  sqlite3_bind_int64(*s, next, filter.limit);
  std::vector<TraceRow> out;
  int rc;
  while ((rc = sqlite3_step(*s)) == SQLITE_ROW) out.push_back(row_of(*s));
  if (rc != SQLITE_DONE) return failure("list traces");
  return out;
}

Result<std::vector<std::pair<std::optional<std::string>, int64_t>>> Store::label_counts(
    const TraceFilter& filter) {
  Where w = where_of(filter, false);
  auto s = prepare("SELECT label, count(*) AS n FROM traces" + w.sql +
                   " GROUP BY label ORDER BY n DESC, label");
  if (!s) return std::move(s).error();
  Reset reset{*s};
  bind_where(*s, w);
  std::vector<std::pair<std::optional<std::string>, int64_t>> out;
  int rc;
  while ((rc = sqlite3_step(*s)) == SQLITE_ROW)
    out.emplace_back(column_text(*s, 0), sqlite3_column_int64(*s, 1));
  if (rc != SQLITE_DONE) return failure("count labels");
  return out;
}

Result<SpanSnapshot> Store::read_spans(std::string_view trace_id) {
  // One read transaction: the counts and the rows are of the same moment.
  if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) return failure("begin");
  struct End {
    sqlite3* db;
    ~End() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
  } end{db_};
  SpanSnapshot snap;
  snap.span_count = -1;
  {
    auto s =
        prepare("SELECT span_count, log_count, spans_dropped, has_root FROM traces WHERE id = ?1");
    if (!s) return std::move(s).error();
    Reset reset{*s};
    bind_text(*s, 1, trace_id);
    int rc = sqlite3_step(*s);
    if (rc == SQLITE_ROW) {
      snap.span_count = sqlite3_column_int64(*s, 0);
      snap.log_count = sqlite3_column_int64(*s, 1);
      snap.spans_dropped = sqlite3_column_int64(*s, 2);
      snap.has_root = sqlite3_column_int(*s, 3) != 0;
    } else if (rc != SQLITE_DONE) {
      return failure("read trace");
    }
  }
  if (snap.span_count < 0) return snap;
  // Each envelope is read once and shared by the rows that reference it.
  std::unordered_map<int64_t, std::shared_ptr<const std::string>> envelopes;
  auto envelope = [&](int64_t id) -> Result<std::shared_ptr<const std::string>> {
    auto& held = envelopes[id];
    if (held) return held;
    auto s = prepare("SELECT data FROM envelopes WHERE id = ?1");
    if (!s) return std::move(s).error();
    Reset reset{*s};
    sqlite3_bind_int64(*s, 1, id);
    int rc = sqlite3_step(*s);
    if (rc == SQLITE_DONE)
      return Error::message("database: read spans: the envelope " + std::to_string(id) +
                            " is missing");
    if (rc != SQLITE_ROW) return failure("read envelope");
    held = std::make_shared<const std::string>(column_bytes(*s, 0));
    return held;
  };
  for (bool spans : {true, false}) {
    auto s = prepare(spans ? "SELECT line, envelope FROM spans WHERE trace_id = ?1 ORDER BY seq"
                           : "SELECT record, envelope FROM logs WHERE trace_id = ?1 ORDER BY seq");
    if (!s) return std::move(s).error();
    Reset reset{*s};
    bind_text(*s, 1, trace_id);
    int rc;
    while ((rc = sqlite3_step(*s)) == SQLITE_ROW) {
      StoredRow row;
      row.text = sqlite3_column_type(*s, 0) == SQLITE_TEXT;
      row.data = column_bytes(*s, 0);
      if (sqlite3_column_type(*s, 1) != SQLITE_NULL) {
        auto held = envelope(sqlite3_column_int64(*s, 1));
        if (!held) return std::move(held).error();
        row.envelope = std::move(*held);
      }
      (spans ? snap.spans : snap.logs).push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) return failure(spans ? "read spans" : "read log records");
  }
  return snap;
}

Result<std::optional<StoredPage>> Store::read_page(std::string_view trace_id) {
  auto s = prepare("SELECT version, status, page, error FROM traces WHERE id = ?1");
  if (!s) return std::move(s).error();
  Reset reset{*s};
  bind_text(*s, 1, trace_id);
  int rc = sqlite3_step(*s);
  if (rc == SQLITE_DONE) return std::optional<StoredPage>();
  if (rc != SQLITE_ROW) return failure("read page");
  StoredPage p;
  p.version = sqlite3_column_int64(*s, 0);
  p.status = column_text(*s, 1).value_or("");
  p.page = column_text(*s, 2);
  p.error = column_text(*s, 3);
  return std::optional<StoredPage>(std::move(p));
}

Status Store::probe(uint64_t min_free_bytes) {
  // A read of the header: the connection can still start a read transaction.
  auto version = schema_version();
  if (!version) return std::move(version).error();
  if (sqlite3_db_readonly(db_, "main") == 1)
    return Error::message("database: " + path_ + " is open read-only");
  std::filesystem::path dir = std::filesystem::path(path_).parent_path();
  struct statvfs fs {};
  if (statvfs(dir.empty() ? "." : dir.c_str(), &fs) == 0) {
    // The blocks kept for root are free to a server running as root.
    const uint64_t blocks = geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
    const uint64_t free = blocks * fs.f_frsize;
    if (free < min_free_bytes)
      return Error::message("database: the file system holding " + path_ + " has " +
                            std::to_string(free) + " bytes free");
  }
  return Ok{};
}

}  // namespace tracedx
