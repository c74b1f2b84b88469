#include "import/otlp_envelope.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <unordered_map>

#include "import/json_members.h"
#include "import/otlp_conventions.h"
#include "import/otlp_keys.h"
#include "import/otlp_tape.h"
#include "import/otlp_values.h"
#include "text/text.h"
#include "text/utf8_repair.h"
#include "trace/fixture_loader.h"

namespace tracedx {

const Json& OtlpSpan::resource_attrs() const {
  static const Json kNone = Json::object();
  return resource ? *resource : kNone;
}

namespace otlp {

std::string kind_name(int kind) {
  return kind >= 0 && kind < 6 ? std::string(kKindNames[kind]) : std::to_string(kind);
}

namespace {

constexpr std::string_view kExpected =
    "expected an object with resourceSpans (or resource_spans), or one ResourceSpans object per "
    "line";

// Inputs in the SDKs' own span formats (the Python SDK's span.to_json(), span lists under
// "spans" with a "context"), named so the error says what they are.
bool looks_like_sdk_spans(const Json& doc) {
  auto sdk_span = [](const Json& s) { return s.is_object() && s.contains("context"); };
  if (doc.is_array()) return !doc.empty() && sdk_span(doc.front());
  if (!doc.is_object()) return false;
  if (sdk_span(doc) && doc.contains("name")) return true;
  auto spans = doc.find("spans");
  return spans != doc.end() && spans->is_array() && !spans->empty() && sdk_span(spans->front());
}

Error not_otlp(std::string_view where, const Json& doc) {
  std::string what(kExpected);
  if (looks_like_sdk_spans(doc))
    what += "; this is a list of SDK spans (span.to_json() or {\"spans\": [...]}), not OTLP JSON";
  return bad(where, what);
}

Result<Ok> collect_scope(const Json& scope, const std::string& swhere,
                         const std::shared_ptr<const Json>& resource, std::vector<OtlpSpan>& out) {
  if (!scope.is_object()) return bad(swhere, "not an object");
  auto spans = scope.find("spans");
  if (spans == scope.end()) return Ok{};
  if (!spans->is_array()) return bad(swhere, "spans is not an array");
  std::string scope_name;
  const Json* library = member(scope, "scope", "scope");
  if (!library) library = member(scope, "instrumentationLibrary", "instrumentation_library");
  if (library && library->is_object()) scope_name = string_member(*library, "name");
  for (size_t i = 0; i < spans->size(); ++i) {
    const Json& j = (*spans)[i];
    OtlpSpan span;
    const std::string where = swhere + ".spans[" + std::to_string(i) + "]";
    if (!j.is_object()) return bad(where, "not an object");
    span.trace_id = hex_of(member(j, "traceId", "trace_id"));
    if (span.trace_id.empty()) return bad(where, "traceId missing");
    span.span_id = hex_of(member(j, "spanId", "span_id"));
    span.parent_id = hex_of(member(j, "parentSpanId", "parent_span_id"));
    span.name = string_member(j, "name");
    span.kind = kind_name(enum_of(j.value("kind", Json()), kKindNames));
    if (auto* t = member(j, "startTimeUnixNano", "start_time_unix_nano")) span.start = u64_of(*t);
    if (auto* t = member(j, "endTimeUnixNano", "end_time_unix_nano")) span.end = u64_of(*t);
    span.attrs = attributes(member(j, "attributes", "attributes"));
    if (auto ev = j.find("events"); ev != j.end() && ev->is_array()) {
      for (const auto& e : *ev) {
        if (!e.is_object()) continue;
        span.events.push_back({{"name", e.value("name", Json()).is_string() ? e["name"] : Json("")},
                               {"attributes", attributes(member(e, "attributes", "attributes"))}});
      }
    }
    if (auto st = j.find("status"); st != j.end() && st->is_object()) {
      span.status_code = enum_of(st->value("code", Json()), kStatusNames);
      if (st->contains("message") && (*st)["message"].is_string())
        span.status_message = (*st)["message"];
    }
    span.resource = resource;
    span.scope_name = scope_name;
    out.push_back(std::move(span));
  }
  return Ok{};
}

// The spans of one ResourceSpans object; `where` names it in messages and `lead` starts the
// names of its scopes.
Result<Ok> collect_resource(const Json& rs, const std::string& where, const std::string& lead,
                            std::vector<OtlpSpan>& out) {
  auto resource = std::make_shared<Json>(Json::object());
  if (auto r = rs.find("resource"); r != rs.end() && r->is_object())
    *resource = attributes(member(*r, "attributes", "attributes"));
  for (std::string_view key : kScopeKeys) {
    auto ss = rs.find(key);
    if (ss == rs.end()) continue;
    if (!ss->is_array()) return bad(where, std::string(key) + " is not an array");
    for (size_t s = 0; s < ss->size(); ++s) {
      std::string swhere = lead + std::string(key) + "[" + std::to_string(s) + "]";
      if (auto ok = collect_scope((*ss)[s], swhere, resource, out); !ok) return ok;
    }
  }
  return Ok{};
}

// The spans of one OTLP document: an export ({"resourceSpans": [...]}) or a bare
// ResourceSpans object (as some exporters log one per line).

// The trace ids of the spans of one OTLP document, found without building it: a SAX pass
// that follows the envelope (resource list, scope list, span list) and keeps the traceId
// members of span objects. On malformed JSON it keeps the ids read before the fault, the
// traces the document would have touched.
class TraceIdScanner {
 public:
  explicit TraceIdScanner(std::vector<std::string>& ids) : ids_(ids) {}

  bool null() { return value(); }
  bool boolean(bool) { return value(); }
  bool number_integer(Json::number_integer_t) { return value(); }
  bool number_unsigned(Json::number_unsigned_t) { return value(); }
  bool number_float(Json::number_float_t, const Json::string_t&) { return value(); }
  bool binary(Json::binary_t&) { return value(); }
  bool string(Json::string_t& v) {
    if (!stack_.empty() && stack_.back() == kSpan && is_one_of(key_, kTraceIdKeys))
      ids_.push_back(normalized_id(v));
    return value();
  }
  bool key(Json::string_t& k) {
    key_ = std::move(k);
    return true;
  }
  bool start_object(size_t) { return enter(true); }
  bool start_array(size_t) { return enter(false); }
  bool end_object() { return leave(); }
  bool end_array() { return leave(); }
  bool parse_error(size_t, const std::string&, const Json::exception& e) {
    cut_ = contains(e.what(), "unexpected end of input");
    return false;
  }
  // Whether the document was valid JSON up to its end, where it was cut short.
  bool cut() const { return cut_; }

 private:
  enum Role : uint8_t {
    kOther,
    kTop,
    kResourceList,
    kResource,
    kScopeList,
    kScope,
    kSpanList,
    kSpan
  };

  template <size_t N>
  static bool is_one_of(std::string_view key, const std::string_view (&keys)[N]) {
    return std::find(std::begin(keys), std::end(keys), key) != std::end(keys);
  }

  bool value() {
    key_.clear();
    return true;
  }
  bool enter(bool object) {
    if (stack_.size() >= kMaxJsonDepth) return false;
    Role parent = stack_.empty() ? kOther : stack_.back();
    Role role = kOther;
    if (object) {
      role = stack_.empty()            ? kTop
             : parent == kResourceList ? kResource
             : parent == kScopeList    ? kScope
             : parent == kSpanList     ? kSpan
                                       : kOther;
    } else if (parent == kTop && is_one_of(key_, kAnyResourceKeys)) {
      role = kResourceList;
    } else if ((parent == kTop || parent == kResource) && is_one_of(key_, kAnyScopeKeys)) {
      role = kScopeList;
    } else if (parent == kScope && is_one_of(key_, kAnyRecordKeys)) {
      role = kSpanList;
    }
    stack_.push_back(role);
    key_.clear();
    return true;
  }
  bool leave() {
    stack_.pop_back();
    key_.clear();
    return true;
  }

  std::vector<std::string>& ids_;
  std::vector<Role> stack_;
  std::string key_;
  bool cut_ = false;
};

bool scan_trace_ids_sax(std::string_view text, std::vector<std::string>& ids, bool* cut) {
  TraceIdScanner scanner(ids);
  bool ok = Json::sax_parse(text.begin(), text.end(), &scanner, Json::input_format_t::json,
                            /*strict=*/true);
  if (cut) *cut = !ok && scanner.cut();
  return ok;
}

// The records of a resourceLogs list that name a span, as the events they become. Parts of
// another shape hold no record that could join a span and are passed over.
void collect_logs(const Json& resources, std::vector<OtlpLog>& out) {
  auto each = [](const Json* list, auto&& f) {
    if (!list || !list->is_array()) return;
    for (const auto& item : *list) {
      if (item.is_object()) f(item);
    }
  };
  for (const auto& rl : resources) {
    if (!rl.is_object()) continue;
    each(member(rl, "scopeLogs", "scope_logs"), [&](const Json& scope) {
      each(member(scope, "logRecords", "log_records"), [&](const Json& record) {
        OtlpLog log;
        log.trace_id = hex_of(member(record, "traceId", "trace_id"));
        log.span_id = hex_of(member(record, "spanId", "span_id"));
        if (log.trace_id.empty() || log.span_id.empty()) return;
        Json attrs = attributes(member(record, "attributes", "attributes"));
        std::string name;
        if (auto* n = member(record, "eventName", "event_name"); n && n->is_string())
          name = n->get<std::string>();
        if (name.empty()) name = string_member(attrs, "event.name");
        if (name.empty()) name = "log";
        log.event = {{"name", std::move(name)}, {"attributes", std::move(attrs)}};
        if (auto* body = member(record, "body", "body")) {
          Json value = any_value(*body);
          if (!value.is_null()) log.event["body"] = std::move(value);
        }
        out.push_back(std::move(log));
      });
    });
  }
}
}  // namespace

Status collect_spans(const Json& doc, std::string_view where, std::vector<OtlpSpan>& out,
                     std::vector<OtlpLog>* logs) {
  if (!doc.is_object()) return not_otlp(where, doc);
  bool otlp = false;
  for (std::string_view key : kLogResourceKeys) {
    auto rl = doc.find(key);
    if (rl == doc.end()) continue;
    otlp = true;
    if (!rl->is_array()) return bad(where, std::string(key) + " is not an array");
    if (logs) collect_logs(*rl, *logs);
  }
  for (std::string_view key : kResourceKeys) {
    auto rs = doc.find(key);
    if (rs == doc.end()) continue;
    otlp = true;
    if (!rs->is_array()) return bad(where, std::string(key) + " is not an array");
    for (size_t r = 0; r < rs->size(); ++r) {
      std::string rwhere =
          std::string(where) + ": " + std::string(key) + "[" + std::to_string(r) + "]";
      if (!(*rs)[r].is_object()) return bad(rwhere, "not an object");
      if (auto ok = collect_resource((*rs)[r], rwhere, rwhere + ".", out); !ok) return ok;
    }
  }
  bool bare = false;
  for (std::string_view key : kScopeKeys) bare = bare || doc.contains(key);
  if (!otlp && !bare) return looks_like_sdk_spans(doc) ? not_otlp(where, doc) : Result<Ok>(Ok{});
  if (!bare) return Ok{};
  return collect_resource(doc, std::string(where), std::string(where) + ": ", out);
}
Status read_spans_reference(std::string_view bytes, std::string_view where,
                            std::vector<OtlpSpan>& out, std::vector<OtlpLog>* logs) {
  auto doc = parse_json(bytes);
  if (!doc) {
    // Text that is not valid UTF-8, or a lone surrogate escaped (a string an exporter cut in
    // the middle of an emoji), is read with U+FFFD in its place, as the receiver stores it.
    // Any other fault gives the document's own error.
    std::string fixed;
    if (repair_json_text(bytes, fixed) == 0) return std::move(doc).error();
    auto repaired = parse_json(fixed);
    if (!repaired) return std::move(doc).error();
    doc = std::move(repaired);
  }
  const size_t before = out.size(), logs_before = logs ? logs->size() : 0;
  auto ok = collect_spans(*doc, where, out, logs);
  if (!ok) {
    out.resize(before);
    if (logs) logs->resize(logs_before);
  }
  return ok;
}

Status read_spans(std::string_view bytes, std::string_view where, std::vector<OtlpSpan>& out,
                  std::vector<OtlpLog>* logs) {
  if (read_tape(bytes, out)) return Ok{};
  return read_spans_reference(bytes, where, out, logs);
}

Status read_spans_in_place(const std::string& bytes, std::string_view where,
                           std::vector<OtlpSpan>& out, std::vector<OtlpLog>* logs) {
  if (read_tape(bytes, out, bytes.capacity() - bytes.size() >= 64)) return Ok{};
  return read_spans_reference(bytes, where, out, logs);
}

size_t attach_logs(std::vector<OtlpSpan>& spans, std::vector<OtlpLog>& logs) {
  std::unordered_map<std::string_view, OtlpSpan*> by_id;
  for (auto& s : spans) by_id.emplace(s.span_id, &s);
  size_t attached = 0;
  for (auto& log : logs) {
    auto it = by_id.find(log.span_id);
    if (it == by_id.end() || it->second->trace_id != log.trace_id) continue;
    it->second->events.push_back(std::move(log.event));
    ++attached;
  }
  return attached;
}

bool scan_trace_ids(std::string_view text, std::vector<std::string>& ids, bool* cut) {
  if (!cut && tape_trace_ids(text, ids)) return true;
  const size_t before = ids.size();
  if (scan_trace_ids_sax(text, ids, cut)) return true;
  // Bad text is repaired as read_spans_reference repairs it.
  std::string fixed;
  std::vector<std::string> all;
  if (repair_json_text(text, fixed) == 0 || !scan_trace_ids_sax(fixed, all, nullptr)) return false;
  ids.resize(before);
  std::move(all.begin(), all.end(), std::back_inserter(ids));
  if (cut) *cut = false;
  return true;
}

}  // namespace otlp
}  // namespace tracedx
