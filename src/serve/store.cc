#include "serve/store.h"

#include <algorithm>
#include <set>

#include "serve/store_sql.h"

namespace tracedx {
namespace {

using namespace store_sql;

// Deletes an envelope unless a span or log record still references it.
constexpr const char* kDeleteUnusedEnvelope =
    "DELETE FROM envelopes WHERE id = ?1 AND NOT EXISTS (SELECT 1 FROM spans WHERE envelope = ?1) "
    "AND NOT EXISTS (SELECT 1 FROM logs WHERE envelope = ?1) RETURNING id";

// 64-bit FNV-1a: the same value on every build and platform, as a stored hash must be.
int64_t content_hash(std::string_view bytes) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return static_cast<int64_t>(h);
}

// Whether a trace holding `count` rows of a kind is at its `limit` of them (0: no limit).
bool at_limit(int64_t count, uint64_t limit) {
  return limit && count >= static_cast<int64_t>(std::min<uint64_t>(limit, INT64_MAX));
}

}  // namespace

Store::~Store() {
  for (auto& [sql, s] : statements_) sqlite3_finalize(s);
  if (db_) sqlite3_close(db_);
}

Error Store::failure(std::string_view what) const {
  return Error::message("database: " + std::string(what) + ": " + sqlite3_errmsg(db_));
}

Error Store::noted(Error error) {
  std::lock_guard lock(write_error_mutex_);
  write_error_ = error.display();
  return error;
}

std::optional<std::string> Store::write_error() const {
  std::lock_guard lock(write_error_mutex_);
  return write_error_;
}

void Store::end_transaction() {
  traces_.clear();
  envelopes_.clear();
}

Result<sqlite3_stmt*> Store::prepare(std::string_view sql) {
  for (auto& [text, s] : statements_) {
    if (text == sql) return s;
  }
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                         &s, nullptr) != SQLITE_OK) {
    return failure("prepare");
  }
  statements_.emplace_back(std::string(sql), s);
  return s;
}

Status Store::begin() {
  end_transaction();
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
    return noted(failure("begin"));
  return Ok{};
}

Status Store::checkpoint() {
  if (sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) !=
      SQLITE_OK)
    return noted(failure("checkpoint"));
  return Ok{};
}

Status Store::commit() {
  // The transaction's spans over their traces' limits, counted on their traces (the writer
  // has made every trace it stored a span of by now).
  // Log records over their limit likewise, on the traces that exist.
  auto dropped = prepare(
      "UPDATE traces SET spans_dropped = spans_dropped + ?2, logs_dropped = logs_dropped + ?3 "
      "WHERE id = ?1");
  if (!dropped) return noted(std::move(dropped).error());
  for (auto& [id, t] : traces_) {
    if (!t.dropped && !t.logs_dropped) continue;
    Reset reset{*dropped};
    bind_text(*dropped, 1, id);
    sqlite3_bind_int64(*dropped, 2, t.dropped);
    sqlite3_bind_int64(*dropped, 3, t.logs_dropped);
    if (sqlite3_step(*dropped) != SQLITE_DONE) return noted(failure("count dropped rows"));
    t.dropped = t.logs_dropped = 0;
  }
  // Envelopes stored for rows that turned out to be duplicates.
  auto unused = prepare(kDeleteUnusedEnvelope);
  if (!unused) return noted(std::move(unused).error());
  for (auto& [p, e] : envelopes_) {
    if (!e.created || e.rows) continue;
    Reset reset{*unused};
    sqlite3_bind_int64(*unused, 1, e.id);
    if (!each_int(*unused, [](int64_t) {})) return noted(failure("delete unused envelopes"));
    e.created = false;
  }
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
    return noted(failure("commit"));
  end_transaction();
  std::lock_guard lock(write_error_mutex_);
  write_error_.reset();
  return Ok{};
}

void Store::rollback() {
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  end_transaction();
}

Result<int64_t> Store::envelope_id(const std::shared_ptr<const std::string>& envelope) {
  if (!envelope) return Error::message("database: a row without its envelope");
  if (auto it = envelopes_.find(envelope.get()); it != envelopes_.end()) return it->second.id;
  const int64_t hash = content_hash(*envelope);
  EnvelopeUse use{envelope, 0, false, 0};
  {
    auto s = prepare("SELECT id FROM envelopes WHERE hash = ?1 AND data = ?2");
    if (!s) return std::move(s).error();
    Reset reset{*s};
    sqlite3_bind_int64(*s, 1, hash);
    bind_blob(*s, 2, *envelope);
    int rc = sqlite3_step(*s);
    if (rc == SQLITE_ROW) {
      use.id = sqlite3_column_int64(*s, 0);
    } else if (rc != SQLITE_DONE) {
      return failure("find envelope");
    }
  }
  if (!use.id) {
    auto s = prepare("INSERT INTO envelopes(hash, data) VALUES(?1, ?2)");
    if (!s) return std::move(s).error();
    Reset reset{*s};
    sqlite3_bind_int64(*s, 1, hash);
    bind_blob(*s, 2, *envelope);
    if (sqlite3_step(*s) != SQLITE_DONE) return failure("insert envelope");
    use.id = sqlite3_last_insert_rowid(db_);
    use.created = true;
  }
  const int64_t id = use.id;
  envelopes_.emplace(envelope.get(), std::move(use));
  return id;
}

Result<SpanInsert> Store::insert_span(std::string_view trace_id, std::string_view span_id,
                                      const StoredMessage& data, bool root, uint64_t limit) {
  TraceState& trace = traces_.try_emplace(std::string(trace_id)).first->second;
  if (trace.spans < 0) {
    auto s = prepare("SELECT span_count, has_root FROM traces WHERE id = ?1");
    if (!s) return noted(std::move(s).error());
    Reset reset{*s};
    bind_text(*s, 1, trace_id);
    int rc = sqlite3_step(*s);
    if (rc == SQLITE_ROW) {
      trace.spans = sqlite3_column_int64(*s, 0);
      trace.root = sqlite3_column_int(*s, 1) != 0;
    } else if (rc == SQLITE_DONE) {
      trace.spans = 0;
    } else {
      return noted(failure("read trace"));
    }
  }
  if (at_limit(trace.spans, limit) && !(root && !trace.root)) {
    // An export sent again after its trace was cut holds spans stored before: those are
    // duplicates, not drops.
    auto s = prepare("SELECT 1 FROM spans WHERE trace_id = ?1 AND span_id = ?2");
    if (!s) return noted(std::move(s).error());
    Reset reset{*s};
    bind_text(*s, 1, trace_id);
    bind_text(*s, 2, span_id);
    int rc = sqlite3_step(*s);
    if (rc == SQLITE_ROW) return SpanInsert::kDuplicate;
    if (rc != SQLITE_DONE) return noted(failure("find span"));
    trace.dropped++;
    return SpanInsert::kOverLimit;
  }
  auto envelope = envelope_id(data.envelope);
  if (!envelope) return noted(std::move(envelope).error());
  // An exporter resends a batch whose answer it did not get: a span already stored is
  // kept once, so a retried export does not double the run's steps.
  auto s = prepare(
      "INSERT OR IGNORE INTO spans(trace_id, span_id, line, envelope) VALUES(?1, ?2, ?3, ?4)");
  if (!s) return noted(std::move(s).error());
  Reset reset{*s};
  bind_text(*s, 1, trace_id);
  bind_text(*s, 2, span_id);
  bind_blob(*s, 3, data.message);
  sqlite3_bind_int64(*s, 4, *envelope);
  if (sqlite3_step(*s) != SQLITE_DONE) return noted(failure("insert span"));
  if (sqlite3_changes(db_) == 0) return SpanInsert::kDuplicate;
  trace.spans++;
  trace.root = trace.root || root;
  envelopes_.at(data.envelope.get()).rows++;
  return SpanInsert::kStored;
}

Result<bool> Store::insert_span(std::string_view trace_id, std::string_view span_id,
                                const StoredMessage& data) {
  auto stored = insert_span(trace_id, span_id, data, false, 0);
  if (!stored) return std::move(stored).error();
  return *stored == SpanInsert::kStored;
}

Status Store::insert_log(std::string_view trace_id, std::string_view span_id, int64_t now,
                         const StoredMessage& data) {
  auto stored = insert_log(trace_id, span_id, now, data, 0);
  if (!stored) return std::move(stored).error();
  return Ok{};
}

Result<bool> Store::insert_log(std::string_view trace_id, std::string_view span_id, int64_t now,
                               const StoredMessage& data, uint64_t limit) {
  TraceState* trace = nullptr;
  if (limit) {
    trace = &traces_.try_emplace(std::string(trace_id)).first->second;
    if (trace->logs < 0) {
      // Records may come before their trace's spans: counted in the table, not the trace.
      auto s = prepare("SELECT count(*) FROM logs WHERE trace_id = ?1");
      if (!s) return noted(std::move(s).error());
      Reset reset{*s};
      bind_text(*s, 1, trace_id);
      if (sqlite3_step(*s) != SQLITE_ROW) return noted(failure("count log records"));
      trace->logs = sqlite3_column_int64(*s, 0);
    }
    if (at_limit(trace->logs, limit)) {
      trace->logs_dropped++;
      return false;
    }
  }
  auto envelope = envelope_id(data.envelope);
  if (!envelope) return noted(std::move(envelope).error());
  auto s = prepare(
      "INSERT INTO logs(trace_id, span_id, received, record, envelope) "
      "VALUES(?1, ?2, ?3, ?4, ?5)");
  if (!s) return noted(std::move(s).error());
  Reset reset{*s};
  bind_text(*s, 1, trace_id);
  bind_text(*s, 2, span_id);
  sqlite3_bind_int64(*s, 3, now);
  bind_blob(*s, 4, data.message);
  sqlite3_bind_int64(*s, 5, *envelope);
  if (sqlite3_step(*s) != SQLITE_DONE) return noted(failure("insert log record"));
  envelopes_.at(data.envelope.get()).rows++;
  if (trace) trace->logs++;
  return true;
}

Result<std::optional<bool>> Store::touch_trace_logs(std::string_view trace_id, int64_t now,
                                                    int64_t records) {
  auto s = prepare(
      "UPDATE traces SET status = 'pending', last_seen = max(last_seen, ?2), "
      "log_count = log_count + ?3 WHERE id = ?1 RETURNING has_root");
  if (!s) return noted(std::move(s).error());
  Reset reset{*s};
  bind_text(*s, 1, trace_id);
  sqlite3_bind_int64(*s, 2, now);
  sqlite3_bind_int64(*s, 3, records);
  int rc = sqlite3_step(*s);
  if (rc == SQLITE_DONE) return std::optional<bool>();
  if (rc != SQLITE_ROW) return noted(failure("store log records"));
  const bool has_root = sqlite3_column_int(*s, 0) != 0;
  if (sqlite3_step(*s) != SQLITE_DONE) return noted(failure("store log records"));
  return std::optional<bool>(has_root);
}

Result<bool> Store::touch_trace(std::string_view trace_id, std::string_view service, int64_t now,
                                int64_t spans, bool root) {
  auto s = prepare(
      "INSERT INTO traces(id, service, first_seen, last_seen, status, has_root, span_count) "
      "VALUES(?1, ?2, ?3, ?3, 'pending', ?4, ?5) ON CONFLICT(id) DO UPDATE SET "
      "last_seen = max(last_seen, excluded.last_seen), status = 'pending', "
      "has_root = has_root | excluded.has_root, span_count = span_count + excluded.span_count, "
      "service = coalesce(service, excluded.service) RETURNING has_root");
  if (!s) return noted(std::move(s).error());
  Reset reset{*s};
  bind_text(*s, 1, trace_id);
  if (service.empty()) {
    sqlite3_bind_null(*s, 2);
  } else {
    bind_text(*s, 2, service);
  }
  sqlite3_bind_int64(*s, 3, now);
  sqlite3_bind_int(*s, 4, root ? 1 : 0);
  sqlite3_bind_int64(*s, 5, spans);
  if (sqlite3_step(*s) != SQLITE_ROW) return noted(failure("store trace"));
  const bool has_root = sqlite3_column_int(*s, 0) != 0;
  if (sqlite3_step(*s) != SQLITE_DONE) return noted(failure("store trace"));
  return has_root;
}

Result<bool> Store::save_diagnosis(std::string_view trace_id, int64_t span_count, int64_t log_count,
                                   const DiagnosisRecord& r) {
  auto s = prepare(
      "UPDATE traces SET status = ?3, service = coalesce(?4, service), title = ?5, "
      "step_count = ?6, duration_ms = ?7, outcome = ?8, label = ?9, severity = ?10, "
      "diagnosis = ?11, error = ?12, page = ?14, version = version + 1 "
      "WHERE id = ?1 AND span_count = ?2 AND log_count = ?13 AND status = 'pending'");
  if (!s) return noted(std::move(s).error());
  Reset reset{*s};
  bind_text(*s, 1, trace_id);
  sqlite3_bind_int64(*s, 2, span_count);
  bind_text(*s, 3, r.failed ? "failed" : "diagnosed");
  bind_optional(*s, 4, r.service);
  bind_optional(*s, 5, r.title);
  bind_optional(*s, 6, r.step_count);
  bind_optional(*s, 7, r.duration_ms);
  bind_optional(*s, 8, r.outcome);
  bind_optional(*s, 9, r.label);
  bind_optional(*s, 10, r.severity);
  bind_optional(*s, 11, r.failed ? std::nullopt : std::optional<std::string>(r.diagnosis));
  bind_optional(*s, 12, r.failed ? std::optional<std::string>(r.error) : std::nullopt);
  sqlite3_bind_int64(*s, 13, log_count);
  bind_optional(*s, 14,
                r.failed || r.page.empty() ? std::nullopt : std::optional<std::string>(r.page));
  if (sqlite3_step(*s) != SQLITE_DONE) return noted(failure("store diagnosis"));
  return sqlite3_changes(db_) > 0;
}

Status Store::save_page(std::string_view trace_id, int64_t version, std::string_view page) {
  auto s = prepare("UPDATE traces SET page = ?3 WHERE id = ?1 AND version = ?2 AND page IS NULL");
  if (!s) return noted(std::move(s).error());
  Reset reset{*s};
  bind_text(*s, 1, trace_id);
  sqlite3_bind_int64(*s, 2, version);
  bind_text(*s, 3, page);
  if (sqlite3_step(*s) != SQLITE_DONE) return noted(failure("store page"));
  return Ok{};
}

Result<std::vector<std::string>> Store::delete_older(int64_t before, int64_t limit) {
  std::vector<std::string> ids;
  {
    auto s = prepare("SELECT id FROM traces WHERE last_seen < ?1 ORDER BY last_seen LIMIT ?2");
    if (!s) return noted(std::move(s).error());
    Reset reset{*s};
    sqlite3_bind_int64(*s, 1, before);
    sqlite3_bind_int64(*s, 2, limit);
    int rc;
    while ((rc = sqlite3_step(*s)) == SQLITE_ROW) ids.push_back(column_text(*s, 0).value_or(""));
    if (rc != SQLITE_DONE) return noted(failure("list old traces"));
  }
  // The envelopes of the rows deleted: those no other row references go too.
  std::set<int64_t> envelopes;
  auto collect = [&](int64_t id) { envelopes.insert(id); };
  auto spans = prepare("DELETE FROM spans WHERE trace_id = ?1 RETURNING envelope");
  if (!spans) return noted(std::move(spans).error());
  auto logs = prepare("DELETE FROM logs WHERE trace_id = ?1 RETURNING envelope");
  if (!logs) return noted(std::move(logs).error());
  auto traces = prepare("DELETE FROM traces WHERE id = ?1");
  if (!traces) return noted(std::move(traces).error());
  for (const auto& id : ids) {
    for (sqlite3_stmt* s : {*spans, *logs, *traces}) {
      Reset reset{s};
      bind_text(s, 1, id);
      if (!each_int(s, collect)) return noted(failure("delete old traces"));
    }
    traces_.erase(id);
  }
  // Records whose spans never came are kept as long as a trace would be.
  {
    auto orphans = prepare(
        "DELETE FROM logs WHERE seq IN (SELECT seq FROM logs WHERE received < ?1 AND NOT EXISTS "
        "(SELECT 1 FROM traces WHERE traces.id = logs.trace_id) LIMIT ?2) RETURNING envelope");
    if (!orphans) return noted(std::move(orphans).error());
    Reset reset{*orphans};
    sqlite3_bind_int64(*orphans, 1, before);
    sqlite3_bind_int64(*orphans, 2, limit);
    if (!each_int(*orphans, collect)) return noted(failure("delete old log records"));
  }
  auto unused = prepare(kDeleteUnusedEnvelope);
  if (!unused) return noted(std::move(unused).error());
  for (int64_t envelope : envelopes) {
    Reset reset{*unused};
    sqlite3_bind_int64(*unused, 1, envelope);
    bool deleted = false;
    if (!each_int(*unused, [&](int64_t) { deleted = true; }))
      return noted(failure("delete unused envelopes"));
    // An envelope this transaction met is stored anew if a later row needs it.
    if (deleted) std::erase_if(envelopes_, [&](const auto& e) { return e.second.id == envelope; });
  }
  return ids;
}

}  // namespace tracedx
