// The store's tables: their schema, the columns and indexes later versions added, and the
// opening of a database (created when missing, upgraded in place when older, refused when
// made by a later version).

#include <algorithm>

#include "serve/store.h"
#include "serve/store_sql.h"

namespace tracedx {
namespace {

using namespace store_sql;

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
  spans_dropped INTEGER NOT NULL DEFAULT 0,
  logs_dropped INTEGER NOT NULL DEFAULT 0
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
    {"traces", "logs_dropped", "INTEGER NOT NULL DEFAULT 0"},
    {"spans", "envelope", "INTEGER"},
    {"logs", "envelope", "INTEGER"},
};

// Indexes on added columns: made once the columns are there. Retention asks whether any row
// still references an envelope; rows of older versions reference none.
constexpr const char* kLaterIndexes = R"sql(
CREATE INDEX IF NOT EXISTS spans_envelope ON spans(envelope) WHERE envelope IS NOT NULL;
CREATE INDEX IF NOT EXISTS logs_envelope ON logs(envelope) WHERE envelope IS NOT NULL;
)sql";

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

}  // namespace tracedx
