#include "import/otlp_tape.h"

#include <simdjson.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "import/otlp_conventions.h"
#include "import/otlp_keys.h"
#include "import/otlp_values.h"
#include "trace/fixture_loader.h"

namespace tracedx::otlp {
namespace {

// The tape reader: walks simdjson's parse of a document straight into spans. It reads
// what the reference reader reads, member by member; where the two could differ (a "-0",
// a shape that gives an error) it leaves the document to the reference reader.

// Thrown where the tape reader leaves a document to the reference reader.
struct NeedsReference {};

using simdjson::dom::element;
using simdjson::dom::element_type;

// The members of an object the envelope reads, found in one pass over it: the last of a
// repeated key wins, as in a parsed document.
template <size_t N>
struct Members {
  element found[N];
  bool has[N] = {};

  Members(const std::string_view (&keys)[N], simdjson::dom::object object) {
    for (auto field : object) {
      for (size_t i = 0; i < N; ++i) {
        if (field.key == keys[i]) {
          found[i] = field.value;
          has[i] = true;
        }
      }
    }
  }
  // The member at index `camel`, else at `snake`, as member() takes them.
  const element* get(size_t camel, size_t snake) const {
    return has[camel] ? &found[camel] : has[snake] ? &found[snake] : nullptr;
  }
  const element* get(size_t key) const { return has[key] ? &found[key] : nullptr; }
};

simdjson::dom::object object_of(element e) {
  simdjson::dom::object o;
  if (e.get(o) != simdjson::SUCCESS) throw NeedsReference{};
  return o;
}

simdjson::dom::array array_of(element e) {
  simdjson::dom::array a;
  if (e.get(a) != simdjson::SUCCESS) throw NeedsReference{};
  return a;
}

template <size_t N>
Members<N> members(const std::string_view (&keys)[N], element object) {
  return Members<N>(keys, object_of(object));
}

class TapeReader {
 public:
  explicit TapeReader(std::string_view bytes) : bytes_(bytes) {}

  void document(element root, std::vector<OtlpSpan>& out) {
    if (!root.is_object()) throw NeedsReference{};
    static constexpr std::string_view kKeys[] = {"resourceSpans",
                                                 "resource_spans",
                                                 "scopeSpans",
                                                 "scope_spans",
                                                 "instrumentationLibrarySpans",
                                                 "instrumentation_library_spans",
                                                 "resourceLogs",
                                                 "resource_logs"};
    auto m = members(kKeys, root);
    if (m.has[6] || m.has[7]) throw NeedsReference{};  // log records: the reference reads them
    bool resources = m.has[0] || m.has[1], bare = false;
    for (size_t i = 2; i < 6; ++i) bare = bare || m.has[i];
    // Neither, or both (read in a set order), is left to the reference reader.
    if (resources == bare) throw NeedsReference{};
    if (bare) return resource(root, out);
    for (size_t k = 0; k < 2; ++k) {
      if (!m.has[k]) continue;
      if (!m.found[k].is_array()) throw NeedsReference{};
      for (element rs : array_of(m.found[k])) resource(rs, out);
    }
  }

 private:
  void resource(element rs, std::vector<OtlpSpan>& out) {
    if (!rs.is_object()) throw NeedsReference{};
    static constexpr std::string_view kKeys[] = {"resource", "scopeSpans", "scope_spans",
                                                 "instrumentationLibrarySpans",
                                                 "instrumentation_library_spans"};
    auto m = members(kKeys, rs);
    auto attrs = std::make_shared<Json>(Json::object());
    if (m.has[0] && m.found[0].is_object()) {
      static constexpr std::string_view kAttrs[] = {"attributes"};
      *attrs = attributes(members(kAttrs, m.found[0]).get(0));
    }
    for (size_t k = 1; k < 5; ++k) {
      if (!m.has[k]) continue;
      if (!m.found[k].is_array()) throw NeedsReference{};
      for (element scope : array_of(m.found[k])) this->scope(scope, attrs, out);
    }
  }

  void scope(element scope, const std::shared_ptr<const Json>& resource,
             std::vector<OtlpSpan>& out) {
    if (!scope.is_object()) throw NeedsReference{};
    static constexpr std::string_view kKeys[] = {"spans", "scope", "instrumentationLibrary",
                                                 "instrumentation_library"};
    auto m = members(kKeys, scope);
    if (!m.has[0]) return;
    if (!m.found[0].is_array()) throw NeedsReference{};
    std::string scope_name;
    const element* library = m.get(1);
    if (!library) library = m.get(2, 3);
    if (library && library->is_object()) {
      static constexpr std::string_view kName[] = {"name"};
      auto n = members(kName, *library);
      if (n.has[0] && n.found[0].is_string()) scope_name = text(n.found[0]);
    }
    const simdjson::dom::array spans = array_of(m.found[0]);
    // Room for the scope's spans at once, growing geometrically across many scopes.
    if (out.capacity() < out.size() + spans.size())
      out.reserve(std::max(out.size() + spans.size(), 2 * out.capacity()));
    for (element s : spans) {
      out.push_back(span(s));
      out.back().resource = resource;
      out.back().scope_name = scope_name;
    }
  }

  OtlpSpan span(element s) {
    if (!s.is_object()) throw NeedsReference{};
    static constexpr std::string_view kKeys[] = {"traceId",
                                                 "trace_id",
                                                 "spanId",
                                                 "span_id",
                                                 "parentSpanId",
                                                 "parent_span_id",
                                                 "name",
                                                 "kind",
                                                 "startTimeUnixNano",
                                                 "start_time_unix_nano",
                                                 "endTimeUnixNano",
                                                 "end_time_unix_nano",
                                                 "attributes",
                                                 "events",
                                                 "status"};
    auto m = members(kKeys, s);
    OtlpSpan span;
    span.trace_id = id(m.get(0, 1));
    if (span.trace_id.empty()) throw NeedsReference{};  // the reference names the span
    span.span_id = id(m.get(2, 3));
    span.parent_id = id(m.get(4, 5));
    if (m.has[6] && m.found[6].is_string()) span.name = text(m.found[6]);
    span.kind = kind_name(m.has[7] ? enum_value(m.found[7], kKindNames) : 0);
    if (auto* t = m.get(8, 9)) span.start = u64(*t);
    if (auto* t = m.get(10, 11)) span.end = u64(*t);
    span.attrs = attributes(m.get(12));
    if (m.has[13] && m.found[13].is_array()) {
      for (element e : array_of(m.found[13])) {
        if (!e.is_object()) continue;
        static constexpr std::string_view kEvent[] = {"name", "attributes"};
        auto em = members(kEvent, e);
        Json name = em.has[0] && em.found[0].is_string() ? Json(text(em.found[0])) : Json("");
        span.events.push_back({{"name", std::move(name)}, {"attributes", attributes(em.get(1))}});
      }
    }
    if (m.has[14] && m.found[14].is_object()) {
      static constexpr std::string_view kStatus[] = {"code", "message"};
      auto st = members(kStatus, m.found[14]);
      if (st.has[0]) span.status_code = enum_value(st.found[0], kStatusNames);
      if (st.has[1] && st.found[1].is_string()) span.status_message = text(st.found[1]);
    }
    return span;
  }

  static std::string text(element e) { return std::string(e.get_string().value_unsafe()); }

  // normalized_id of a string; empty for anything else.
  static std::string id(const element* e) {
    return e && e->is_string() ? normalized_id(e->get_string().value_unsafe()) : std::string();
  }

  // enum_of on the tape: a number, or a name.
  int enum_value(element e, std::span<const std::string_view> names) {
    if (e.type() == element_type::STRING) {
      for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == e.get_string().value_unsafe()) return static_cast<int>(i);
      }
      return 0;
    }
    return e.is_number() ? enum_of(value(e), names) : 0;
  }

  std::optional<uint64_t> u64(element e) {
    if (e.type() == element_type::STRING) return u64_of_text(e.get_string().value_unsafe());
    return e.is_number() ? u64_of(value(e)) : std::nullopt;
  }

  // A value as parse_json builds it: non-negative integers unsigned, negative ones signed.
  Json value(element e) {
    switch (e.type()) {
      case element_type::OBJECT: {
        Json out = Json::object();
        auto& map = out.get_ref<Json::object_t&>();
        for (auto field : object_of(e))
          map.insert_or_assign(std::string(field.key), value(field.value));
        return out;
      }
      case element_type::ARRAY: {
        Json out = Json::array();
        for (element item : array_of(e)) out.push_back(value(item));
        return out;
      }
      case element_type::STRING:
        return text(e);
      case element_type::INT64: {
        int64_t v = e.get_int64().value_unsafe();
        if (v == 0) {
          if (!negative_zero_) negative_zero_ = holds_negative_zero_token(bytes_);
          if (*negative_zero_) throw NeedsReference{};
        }
        return v >= 0 ? Json(static_cast<uint64_t>(v)) : Json(v);
      }
      case element_type::UINT64:
        return e.get_uint64().value_unsafe();
      case element_type::DOUBLE:
        return e.get_double().value_unsafe();
      case element_type::BOOL:
        return e.get_bool().value_unsafe();
      case element_type::NULL_VALUE:
        return nullptr;
    }
    return nullptr;
  }

  // any_value on the tape: the members in the order any_value takes them.
  Json any(const element* v) {
    if (!v || !v->is_object()) return nullptr;
    static constexpr std::string_view kKeys[] = {
        "stringValue", "string_value", "boolValue",    "bool_value",  "intValue",
        "int_value",   "doubleValue",  "double_value", "bytesValue",  "bytes_value",
        "arrayValue",  "array_value",  "kvlistValue",  "kvlist_value"};
    auto m = members(kKeys, *v);
    for (size_t k = 0; k < 14; k += 2) {
      const element* got = m.get(k, k + 1);
      if (!got) continue;
      if (k == 4) {  // an integer, or a text that may hold one; else the next member
        if (got->type() == element_type::STRING) return any_value({{"intValue", text(*got)}});
        if (got->type() == element_type::INT64 || got->type() == element_type::UINT64)
          return value(*got);
        continue;
      }
      if (k < 10) return value(*got);
      return k == 10 ? list(*got) : kvlist(*got);
    }
    return nullptr;
  }

  Json list(element a) {
    Json out = Json::array();
    if (!a.is_object()) return out;
    static constexpr std::string_view kValues[] = {"values"};
    auto m = members(kValues, a);
    if (m.has[0] && m.found[0].is_array()) {
      for (element e : array_of(m.found[0])) out.push_back(any(&e));
    }
    return out;
  }

  Json kvlist(element kv) {
    if (!kv.is_object()) return Json::object();
    static constexpr std::string_view kValues[] = {"values"};
    return attributes(members(kValues, kv).get(0));
  }

  // A list of KeyValue objects as one object, later keys replacing earlier ones.
  Json attributes(const element* list) {
    Json out = Json::object();
    if (!list || !list->is_array()) return out;
    auto& map = out.get_ref<Json::object_t&>();
    for (element kv : array_of(*list)) {
      if (!kv.is_object()) continue;
      static constexpr std::string_view kKv[] = {"key", "value"};
      auto m = members(kKv, kv);
      if (!m.has[0] || !m.found[0].is_string()) continue;
      map.insert_or_assign(text(m.found[0]), any(m.get(1)));
    }
    return out;
  }

  std::string_view bytes_;
  std::optional<bool> negative_zero_;
};

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// The parser of the tape reader, one per thread, kept between documents of ordinary size.
std::unique_ptr<simdjson::dom::parser>& thread_parser() {
  thread_local std::unique_ptr<simdjson::dom::parser> parser;
  return parser;
}

// A parser grown for a document of more than this many bytes is let go once the document
// is read: its buffers (several times the document) would otherwise stay with the thread
// for as long as it lives (serve's threads, Dask workers).
constexpr size_t kKeptParserBytes = size_t{16} << 20;

struct ParserRelease {
  size_t bytes;
  ~ParserRelease() {
    if (bytes > kKeptParserBytes) thread_parser().reset();
  }
};

simdjson::dom::parser* tape_parser() {
  auto& parser = thread_parser();
  if (!parser) {
    auto fresh = std::make_unique<simdjson::dom::parser>();
    if (fresh->allocate(1 << 16, kMaxJsonDepth) != simdjson::SUCCESS) return nullptr;
    parser = std::move(fresh);
  }
  return parser.get();
}

}  // namespace

// The scanner's walk on the tape: every traceId or trace_id text member of a span object,
// where the scanner finds span objects. False when the document does not parse (the
// scanner then tells what it read before the fault).
bool tape_trace_ids(std::string_view bytes, std::vector<std::string>& ids) {
  if (bytes.substr(0, kBom.size()) == kBom) bytes.remove_prefix(kBom.size());
  simdjson::dom::parser* parser = tape_parser();
  const ParserRelease release{bytes.size()};
  element root;
  if (!parser || parser->parse(bytes.data(), bytes.size(), true).get(root)) return false;
  simdjson::dom::object top;
  if (root.get(top) != simdjson::SUCCESS) return true;
  auto lists = [](simdjson::dom::object o, const auto& keys, auto&& each) {
    for (auto field : o) {
      simdjson::dom::array list;
      if (!one_of(field.key, keys) || field.value.get(list) != simdjson::SUCCESS) continue;
      for (element item : list) {
        simdjson::dom::object child;
        if (item.get(child) == simdjson::SUCCESS) each(child);
      }
    }
  };
  auto scope = [&](simdjson::dom::object sc) {
    lists(sc, kAnyRecordKeys, [&](simdjson::dom::object span) {
      for (auto field : span) {
        std::string_view id;
        if (one_of(field.key, kTraceIdKeys) && field.value.get(id) == simdjson::SUCCESS)
          ids.push_back(normalized_id(id));
      }
    });
  };
  lists(top, kAnyResourceKeys, [&](simdjson::dom::object rs) { lists(rs, kAnyScopeKeys, scope); });
  lists(top, kAnyScopeKeys, scope);
  return true;
}

bool read_tape(std::string_view bytes, std::vector<OtlpSpan>& out, bool padded) {
  static_assert(simdjson::SIMDJSON_PADDING <= 64);
  if (bytes.substr(0, kBom.size()) == kBom) bytes.remove_prefix(kBom.size());
  simdjson::dom::parser* parser = tape_parser();
  const ParserRelease release{bytes.size()};
  element root;
  if (!parser || parser->parse(bytes.data(), bytes.size(), /*realloc_if_needed=*/!padded).get(root))
    return false;
  const size_t before = out.size();
  try {
    TapeReader(bytes).document(root, out);
    return true;
  } catch (const NeedsReference&) {
    out.resize(before);
    return false;
  }
}

}  // namespace tracedx::otlp
