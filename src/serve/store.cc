#include "serve/store.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

namespace tracedx {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS traces (
  id TEXT PRIMARY KEY,
  service TEXT,
  title TEXT,
  first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL,
  status TEXT NOT NULL,
  has_root INTEGER NOT NULL DEFAULT 0,
  span_count INTEGER NOT NULL DEFAULT 0,
  step_count INTEGER,
  duration_ms INTEGER,
  outcome TEXT,
  label TEXT,
  severity TEXT,
  diagnosis TEXT,
  error TEXT,
  version INTEGER NOT NULL DEFAULT 0,
  log_count INTEGER NOT NULL DEFAULT 0,
  page TEXT,
  spans_dropped INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS traces_last_seen ON traces(last_seen);
CREATE INDEX IF NOT EXISTS traces_label ON traces(label, last_seen);
CREATE INDEX IF NOT EXISTS traces_outcome ON traces(outcome, last_seen);
CREATE INDEX IF NOT EXISTS traces_service ON traces(service, last_seen);
CREATE INDEX IF NOT EXISTS traces_pending ON traces(status) WHERE status = 'pending';
-- line: the span's own Span message (a BLOB) under its envelope. Rows without an envelope
-- were written by older versions: their line holds the whole ResourceSpans (a BLOB) or, in
-- the first versions, the span's OTLP/JSON line (TEXT; SQLite keeps each value's own type).
CREATE TABLE IF NOT EXISTS spans (
  seq INTEGER PRIMARY KEY,
  trace_id TEXT NOT NULL,
  span_id TEXT NOT NULL,
  line TEXT NOT NULL,
  envelope INTEGER
);
CREATE INDEX IF NOT EXISTS spans_trace ON spans(trace_id, seq);
CREATE UNIQUE INDEX IF NOT EXISTS spans_id ON spans(trace_id, span_id);
CREATE TABLE IF NOT EXISTS logs (
  seq INTEGER PRIMARY KEY,
  trace_id TEXT NOT NULL,
  span_id TEXT NOT NULL,
  received INTEGER NOT NULL,
  record BLOB NOT NULL,
  envelope INTEGER
);
CREATE INDEX IF NOT EXISTS logs_trace ON logs(trace_id, seq);
CREATE INDEX IF NOT EXISTS logs_received ON logs(received);
-- The resources and scopes of the spans and log records, each stored once: a ResourceSpans
-- (ResourceLogs) with no span (record). The two messages number their fields alike, so the
-- same bytes read the same as either. hash: content_hash of data, to find it; the bytes are
-- compared too, so two envelopes with the same hash stay apart.
CREATE TABLE IF NOT EXISTS envelopes (
  id INTEGER PRIMARY KEY,
  hash INTEGER NOT NULL,
  data BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS envelopes_hash ON envelopes(hash);
)sql";

// Columns added since the tables' first version, with their definitions.
struct AddedColumn {
  const char* table;
  const char* name;
  const char* definition;
};
constexpr AddedColumn kAddedColumns[] = {
    {"traces", "log_count", "INTEGER NOT NULL DEFAULT 0"},
    {"traces", "page", "TEXT"},
    {"traces", "spans_dropped", "INTEGER NOT NULL DEFAULT 0"},
    {"spans", "envelope", "INTEGER"},
    {"logs", "envelope", "INTEGER"},
};

// Indexes on added columns: made once the columns are there. Retention asks whether any row
// still references an envelope; rows of older versions reference none.
constexpr const char* kLaterIndexes = R"sql(
CREATE INDEX IF NOT EXISTS spans_envelope ON spans(envelope) WHERE envelope IS NOT NULL;
CREATE INDEX IF NOT EXISTS logs_envelope ON logs(envelope) WHERE envelope IS NOT NULL;
)sql";

constexpr const char* kColumns =
    "id, service, title, status, first_seen, last_seen, span_count, step_count, duration_ms, "
    "outcome, label, severity, version, spans_dropped, has_root";

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

// Resets a statement (and its bindings) when the scope that used it ends.
struct Reset {
  sqlite3_stmt* s;
  ~Reset() {
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
  }
};

void bind_text(sqlite3_stmt* s, int i, std::string_view v) {
  sqlite3_bind_text64(s, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void bind_blob(sqlite3_stmt* s, int i, std::string_view v) {
  sqlite3_bind_blob64(s, i, v.data(), v.size(), SQLITE_TRANSIENT);
}

void bind_optional(sqlite3_stmt* s, int i, const std::optional<std::string>& v) {
  if (v) {
    bind_text(s, i, *v);
  } else {
    sqlite3_bind_null(s, i);
  }
}

void bind_optional(sqlite3_stmt* s, int i, const std::optional<int64_t>& v) {
  if (v) {
    sqlite3_bind_int64(s, i, *v);
  } else {
    sqlite3_bind_null(s, i);
  }
}

std::optional<std::string> column_text(sqlite3_stmt* s, int i) {
  if (sqlite3_column_type(s, i) == SQLITE_NULL) return std::nullopt;
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
  return std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(s, i)));
}

std::optional<int64_t> column_int(sqlite3_stmt* s, int i) {
  if (sqlite3_column_type(s, i) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int64(s, i);
}

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

std::string column_bytes(sqlite3_stmt* s, int i) {
  const auto* p = static_cast<const char*>(sqlite3_column_blob(s, i));
  return std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(s, i)));
}

// Steps a statement to its end, passing each row's first column, when not null, to `f`.
template <typename F>
bool each_int(sqlite3_stmt* s, F&& f) {
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    if (sqlite3_column_type(s, 0) != SQLITE_NULL) f(sqlite3_column_int64(s, 0));
  }
  return rc == SQLITE_DONE;
}

}  // namespace

Result<std::unique_ptr<Store>> Store::open(const std::string& path) {
  std::unique_ptr<Store> store(new Store);
  store->path_ = path;
  int rc =
      sqlite3_open_v2(path.c_str(), &store->db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string why = store->db_ ? sqlite3_errmsg(store->db_) : sqlite3_errstr(rc);
    return Error::message(path + ": cannot open the database: " + why);
  }
  sqlite3_busy_timeout(store->db_, 10000);
  char* message = nullptr;
  auto run = [&](const char* sql) -> Status {
    if (sqlite3_exec(store->db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return Ok{};
    std::string why = message ? message : sqlite3_errmsg(store->db_);
    sqlite3_free(message);
    message = nullptr;
    return Error::message(path + ": cannot set up the database: " + why);
  };
  // Every statement below is idempotent, so each connection runs them.
  if (auto ok = run("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-32768; "
                    "PRAGMA temp_store=MEMORY; PRAGMA wal_autocheckpoint=0;");
      !ok)
    return std::move(ok).error();
  auto version = store->schema_version();
  if (!version) return Error::message(path + ": " + version.error().display());
  if (*version > kSchemaVersion) {
    return Error::message(path + ": the database was made by a later version of tracedx (its " +
                          "tables are of version " + std::to_string(*version) +
                          "; this one knows up to " + std::to_string(kSchemaVersion) + ")");
  }
  if (auto ok = run(kSchema); !ok) return std::move(ok).error();
  if (auto ok = store->upgrade(path); !ok) return std::move(ok).error();
  if (auto ok = run(kLaterIndexes); !ok) return std::move(ok).error();
  if (*version < kSchemaVersion) {
    const std::string set = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
    if (auto ok = run(set.c_str()); !ok) return std::move(ok).error();
  }
  return store;
}

Result<int64_t> Store::schema_version() {
  auto s = prepare("PRAGMA user_version");
  if (!s) return std::move(s).error();
  Reset reset{*s};
  if (sqlite3_step(*s) != SQLITE_ROW) return failure("read the schema version");
  return sqlite3_column_int64(*s, 0);
}

Status Store::upgrade(const std::string& path) {
  std::vector<std::string> have;
  auto columns = [&](const char* table) -> Status {
    have.clear();
    sqlite3_stmt* s = nullptr;
    const std::string sql = std::string("PRAGMA table_info(") + table + ")";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK)
      return failure("read the columns");
    while (sqlite3_step(s) == SQLITE_ROW) have.push_back(column_text(s, 1).value_or(""));
    sqlite3_finalize(s);
    return Ok{};
  };
  for (const AddedColumn& c : kAddedColumns) {
    if (auto ok = columns(c.table); !ok) return ok;
    if (std::find(have.begin(), have.end(), c.name) != have.end()) continue;
    std::string sql =
        std::string("ALTER TABLE ") + c.table + " ADD COLUMN " + c.name + " " + c.definition;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) continue;
    // Another connection may have added it meanwhile.
    const std::string why = sqlite3_errmsg(db_);
    if (auto ok = columns(c.table); !ok) return ok;
    if (std::find(have.begin(), have.end(), c.name) == have.end())
      return Error::message(path + ": cannot add the column " + c.table + "." + c.name + ": " +
                            why);
  }
  return Ok{};
}

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
  auto dropped = prepare("UPDATE traces SET spans_dropped = spans_dropped + ?2 WHERE id = ?1");
  if (!dropped) return noted(std::move(dropped).error());
  for (auto& [id, t] : traces_) {
    if (!t.dropped) continue;
    Reset reset{*dropped};
    bind_text(*dropped, 1, id);
    sqlite3_bind_int64(*dropped, 2, t.dropped);
    if (sqlite3_step(*dropped) != SQLITE_DONE) return noted(failure("count dropped spans"));
    t.dropped = 0;
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
  auto [it, fresh] = traces_.try_emplace(std::string(trace_id));
  TraceState& trace = it->second;
  if (fresh) {
    auto s = prepare("SELECT span_count, has_root FROM traces WHERE id = ?1");
    if (!s) return noted(std::move(s).error());
    Reset reset{*s};
    bind_text(*s, 1, trace_id);
    int rc = sqlite3_step(*s);
    if (rc == SQLITE_ROW) {
      trace.spans = sqlite3_column_int64(*s, 0);
      trace.root = sqlite3_column_int(*s, 1) != 0;
    } else if (rc != SQLITE_DONE) {
      traces_.erase(it);
      return noted(failure("read trace"));
    }
  }
  if (limit && trace.spans >= static_cast<int64_t>(std::min<uint64_t>(limit, INT64_MAX)) &&
      !(root && !trace.root)) {
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
  return Ok{};
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
  t.diagnosis = column_text(*s, 15);
  t.error = column_text(*s, 16);
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
