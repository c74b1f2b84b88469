// The SQL helpers of the store's two files: binding values, reading columns, resetting a
// statement when its scope ends.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tracedx::store_sql {

// Resets a statement (and its bindings) when the scope that used it ends.
struct Reset {
  sqlite3_stmt* s;
  ~Reset() {
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
  }
};

inline void bind_text(sqlite3_stmt* s, int i, std::string_view v) {
  sqlite3_bind_text64(s, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

inline void bind_blob(sqlite3_stmt* s, int i, std::string_view v) {
  sqlite3_bind_blob64(s, i, v.data(), v.size(), SQLITE_TRANSIENT);
}

inline void bind_optional(sqlite3_stmt* s, int i, const std::optional<std::string>& v) {
  if (v) {
    bind_text(s, i, *v);
  } else {
    sqlite3_bind_null(s, i);
  }
}

inline void bind_optional(sqlite3_stmt* s, int i, const std::optional<int64_t>& v) {
  if (v) {
    sqlite3_bind_int64(s, i, *v);
  } else {
    sqlite3_bind_null(s, i);
  }
}

inline std::optional<std::string> column_text(sqlite3_stmt* s, int i) {
  if (sqlite3_column_type(s, i) == SQLITE_NULL) return std::nullopt;
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
  return std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(s, i)));
}

inline std::optional<int64_t> column_int(sqlite3_stmt* s, int i) {
  if (sqlite3_column_type(s, i) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int64(s, i);
}

inline std::string column_bytes(sqlite3_stmt* s, int i) {
  const auto* p = static_cast<const char*>(sqlite3_column_blob(s, i));
  return std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(s, i)));
}

// Steps a statement to its end, passing each row's first column, when not null, to `f`.
template <typename F>
inline bool each_int(sqlite3_stmt* s, F&& f) {
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    if (sqlite3_column_type(s, 0) != SQLITE_NULL) f(sqlite3_column_int64(s, 0));
  }
  return rc == SQLITE_DONE;
}

}  // namespace tracedx::store_sql
