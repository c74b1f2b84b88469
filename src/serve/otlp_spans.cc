#include "serve/otlp_spans.h"

#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "google/rpc/status.pb.h"
#include "import/importers.h"
#include "opentelemetry/proto/collector/trace/v1/trace_service.pb.h"
#include "text/text.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

namespace pb = opentelemetry::proto;

constexpr char kHex[] = "0123456789abcdef";

std::string hex(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

bool all_zero(std::string_view s, char zero) {
  return std::all_of(s.begin(), s.end(), [zero](char c) { return c == zero; });
}

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void append_base64(std::string& out, std::string_view bytes) {
  out += '"';
  size_t i = 0;
  auto at = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += kBase64[(v >> 6) & 63];
    out += kBase64[v & 63];
  }
  if (size_t rest = bytes.size() - i) {
    uint32_t v = at(i) << 16 | (rest == 2 ? at(i + 1) << 8 : 0);
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += rest == 2 ? kBase64[(v >> 6) & 63] : '=';
    out += '=';
  }
  out += '"';
}

template <typename T>
void append_number(std::string& out, T v) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// A 64-bit integer as OTLP/JSON writes it: a decimal string.
template <typename T>
void append_quoted_number(std::string& out, T v) {
  out += '"';
  append_number(out, v);
  out += '"';
}

// A double as the exporters' JSON writers print it, so the importer reads the same kind of
// number: integral values below 1e21 in plain digits (they read back as integers, as they
// do from a JSON export), others in the shortest form that reads back exactly; the values
// JSON has no number for as the protobuf JSON mapping's strings.
void append_double(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "\"NaN\"";
  } else if (std::isinf(v)) {
    out += v > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  } else {
    char buf[64];
    auto r = std::trunc(v) == v && std::fabs(v) < 1e21
                 ? std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed)
                 : std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
  }
}

// Writes one span's line; `depth` follows the nesting so that a line the importer could not
// read (deeper than kMaxJsonDepth) is refused instead of stored.
class LineWriter {
 public:
  explicit LineWriter(std::string& out) : out_(out) {}

  size_t max_depth() const { return max_depth_; }

  void open(char c) {
    out_ += c;
    max_depth_ = std::max(max_depth_, ++depth_);
  }
  void close(char c) {
    out_ += c;
    --depth_;
  }
  void key(std::string_view k) {
    out_ += '"';
    out_ += k;
    out_ += "\":";
  }
  void comma() { out_ += ','; }

  void any_value(const pb::common::v1::AnyValue& v) {
    using V = pb::common::v1::AnyValue;
    open('{');
    switch (v.value_case()) {
      case V::kStringValue:
        key("stringValue");
        append_json_string(out_, v.string_value());
        break;
      case V::kBoolValue:
        key("boolValue");
        out_ += v.bool_value() ? "true" : "false";
        break;
      case V::kIntValue:
        key("intValue");
        append_quoted_number(out_, v.int_value());
        break;
      case V::kDoubleValue:
        key("doubleValue");
        append_double(out_, v.double_value());
        break;
      case V::kBytesValue:
        key("bytesValue");
        append_base64(out_, v.bytes_value());
        break;
      case V::kArrayValue: {
        key("arrayValue");
        open('{');
        key("values");
        open('[');
        bool first = true;
        for (const auto& e : v.array_value().values()) {
          if (!first) comma();
          first = false;
          any_value(e);
        }
        close(']');
        close('}');
        break;
      }
      case V::kKvlistValue:
        key("kvlistValue");
        open('{');
        key("values");
        key_values(v.kvlist_value().values());
        close('}');
        break;
      case V::VALUE_NOT_SET:
        break;
    }
    close('}');
  }

  template <typename List>
  void key_values(const List& list) {
    open('[');
    bool first = true;
    for (const auto& kv : list) {
      if (!first) comma();
      first = false;
      open('{');
      key("key");
      append_json_string(out_, kv.key());
      comma();
      key("value");
      any_value(kv.value());
      close('}');
    }
    close(']');
  }

  // `"name":[...]` for a non-empty attribute list, with its dropped count when there is one.
  template <typename List>
  void attributes(const List& list, uint32_t dropped) {
    if (!list.empty()) {
      comma();
      key("attributes");
      key_values(list);
    }
    if (dropped) {
      comma();
      key("droppedAttributesCount");
      append_number(out_, dropped);
    }
  }

  void string_field(std::string_view name, const std::string& value) {
    if (value.empty()) return;
    comma();
    key(name);
    append_json_string(out_, value);
  }

  void time_field(std::string_view name, uint64_t nanos) {
    if (!nanos) return;
    comma();
    key(name);
    append_quoted_number(out_, nanos);
  }

  void count_field(std::string_view name, uint64_t n) {
    if (!n) return;
    comma();
    key(name);
    append_number(out_, n);
  }

  void id_field(std::string_view name, std::string_view bytes) {
    if (bytes.empty()) return;
    comma();
    key(name);
    out_ += '"';
    out_ += hex(bytes);
    out_ += '"';
  }

  void span(const pb::trace::v1::Span& s) {
    open('{');
    key("traceId");
    out_ += '"' + hex(s.trace_id()) + '"';
    id_field("spanId", s.span_id());
    string_field("traceState", s.trace_state());
    id_field("parentSpanId", s.parent_span_id());
    count_field("flags", s.flags());
    comma();
    key("name");
    append_json_string(out_, s.name());
    comma();
    key("kind");
    append_number(out_, static_cast<int>(s.kind()));
    time_field("startTimeUnixNano", s.start_time_unix_nano());
    time_field("endTimeUnixNano", s.end_time_unix_nano());
    attributes(s.attributes(), s.dropped_attributes_count());
    if (!s.events().empty()) {
      comma();
      key("events");
      open('[');
      bool first = true;
      for (const auto& e : s.events()) {
        if (!first) comma();
        first = false;
        open('{');
        key("name");
        append_json_string(out_, e.name());
        time_field("timeUnixNano", e.time_unix_nano());
        attributes(e.attributes(), e.dropped_attributes_count());
        close('}');
      }
      close(']');
    }
    count_field("droppedEventsCount", s.dropped_events_count());
    if (!s.links().empty()) {
      comma();
      key("links");
      open('[');
      bool first = true;
      for (const auto& l : s.links()) {
        if (!first) comma();
        first = false;
        open('{');
        key("traceId");
        out_ += '"' + hex(l.trace_id()) + '"';
        id_field("spanId", l.span_id());
        string_field("traceState", l.trace_state());
        attributes(l.attributes(), l.dropped_attributes_count());
        count_field("flags", l.flags());
        close('}');
      }
      close(']');
    }
    count_field("droppedLinksCount", s.dropped_links_count());
    if (s.has_status()) {
      comma();
      key("status");
      open('{');
      out_ += "\"code\":";
      append_number(out_, static_cast<int>(s.status().code()));
      string_field("message", s.status().message());
      close('}');
    }
    close('}');
  }

 private:
  std::string& out_;
  size_t depth_ = 0;
  size_t max_depth_ = 0;
};

void reject(SpanBatch& batch, std::string why) {
  if (!batch.rejected++) batch.rejection = std::move(why);
}

std::string service_of(const pb::resource::v1::Resource& r) {
  for (const auto& kv : r.attributes()) {
    if (kv.key() == "service.name" && kv.value().has_string_value())
      return kv.value().string_value();
  }
  return {};
}

}  // namespace

Result<SpanBatch> spans_from_protobuf(std::string_view body) {
  google::protobuf::Arena arena;
  auto* request =
      google::protobuf::Arena::CreateMessage<pb::collector::trace::v1::ExportTraceServiceRequest>(
          &arena);
  if (body.size() > static_cast<size_t>(INT32_MAX) ||
      !request->ParseFromArray(body.data(), static_cast<int>(body.size()))) {
    return Error::message("the body is not a valid protobuf ExportTraceServiceRequest");
  }
  SpanBatch batch;
  std::string prefix, scope_prefix;
  for (const auto& rs : request->resource_spans()) {
    prefix = "{";
    std::string service;
    size_t prefix_depth = 1;
    if (rs.has_resource()) {
      const auto& r = rs.resource();
      service = service_of(r);
      // Members are written with a leading comma; the first one's is dropped.
      std::string inner;
      LineWriter w(inner);
      w.attributes(r.attributes(), r.dropped_attributes_count());
      prefix += "\"resource\":{" + (inner.empty() ? inner : inner.substr(1)) + "},";
      prefix_depth = 2 + w.max_depth();
    }
    prefix += "\"scopeSpans\":[{";
    for (const auto& ss : rs.scope_spans()) {
      scope_prefix = prefix;
      size_t scope_depth = 3;
      if (ss.has_scope()) {
        const auto& sc = ss.scope();
        std::string inner;
        LineWriter wi(inner);
        wi.string_field("name", sc.name());
        wi.string_field("version", sc.version());
        wi.attributes(sc.attributes(), sc.dropped_attributes_count());
        scope_prefix += "\"scope\":{" + (inner.empty() ? inner : inner.substr(1)) + "},";
        scope_depth = 4 + wi.max_depth();
      }
      scope_prefix += "\"spans\":[";
      for (const auto& span : ss.spans()) {
        if (span.trace_id().size() != 16 || all_zero(span.trace_id(), '\0')) {
          reject(batch, "a span has no valid trace id (16 bytes, not all zero)");
          continue;
        }
        if (span.span_id().size() != 8 || all_zero(span.span_id(), '\0')) {
          reject(batch, "a span has no valid span id (8 bytes, not all zero)");
          continue;
        }
        SpanRow row;
        row.line.reserve(scope_prefix.size() + 512);
        row.line = scope_prefix;
        LineWriter w(row.line);
        w.span(span);
        row.line += "]}]}";
        // The span object sits at level 5 of the line: {scopeSpans:[{spans:[{...
        if (std::max({prefix_depth, scope_depth, 4 + w.max_depth()}) > kMaxJsonDepth) {
          reject(batch, "a span's values are nested deeper than " + std::to_string(kMaxJsonDepth) +
                            " levels");
          continue;
        }
        row.trace_id = hex(span.trace_id());
        row.span_id = hex(span.span_id());
        row.root = span.parent_span_id().empty() || all_zero(span.parent_span_id(), '\0');
        row.service = service;
        batch.spans.push_back(std::move(row));
      }
    }
  }
  return batch;
}

namespace {

// The member `camel` of an object, or its proto field name `snake`.
const Json* member(const Json& object, std::string_view camel, std::string_view snake) {
  if (!object.is_object()) return nullptr;
  if (auto it = object.find(camel); it != object.end()) return &*it;
  if (auto it = object.find(snake); it != object.end()) return &*it;
  return nullptr;
}

// Rewrites the id under `camel` or `snake` as lower-case hex; the id, or empty when absent.
std::string normalize_id(Json& object, std::string_view camel, std::string_view snake) {
  std::string id;
  for (std::string_view k : {camel, snake}) {
    auto it = object.find(k);
    if (it == object.end() || !it->is_string()) continue;
    std::string normalized = normalize_trace_id(it->get_ref<const std::string&>());
    if (id.empty()) id = normalized;
    *it = std::move(normalized);
  }
  return id;
}

bool hex_id(std::string_view id, size_t digits) {
  return id.size() == digits && !all_zero(id, '0') && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

Error shape(const std::string& where, std::string_view what) {
  return Error::message(where + " " + std::string(what));
}

}  // namespace

Result<SpanBatch> spans_from_json(std::string_view body) {
  auto doc = parse_json(body);
  if (!doc) return Error::message("the body is not valid JSON: " + doc.error().display());
  if (!doc->is_object()) return Error::message("the body is not a JSON object");
  const Json* list = member(*doc, "resourceSpans", "resource_spans");
  SpanBatch batch;
  if (!list || list->is_null()) return batch;
  if (!list->is_array()) return Error::message("resourceSpans is not an array");
  for (size_t r = 0; r < list->size(); ++r) {
    const Json& rs = (*list)[r];
    const std::string rwhere = "resourceSpans[" + std::to_string(r) + "]";
    if (!rs.is_object()) return shape(rwhere, "is not an object");
    std::string prefix = "{", service;
    if (auto res = rs.find("resource"); res != rs.end() && !res->is_null()) {
      if (!res->is_object()) return shape(rwhere + ".resource", "is not an object");
      prefix += "\"resource\":" + res->dump() + ",";
      if (const Json* attrs = member(*res, "attributes", "attributes");
          attrs && attrs->is_array()) {
        for (const auto& kv : *attrs) {
          if (!kv.is_object() || kv.value("key", Json()) != "service.name") continue;
          if (const Json* v = kv.contains("value") ? &kv["value"] : nullptr) {
            const Json* s = member(*v, "stringValue", "string_value");
            if (s && s->is_string()) service = s->get<std::string>();
          }
        }
      }
    }
    prefix += "\"scopeSpans\":[{";
    for (std::string_view key : {"scopeSpans", "scope_spans", "instrumentationLibrarySpans",
                                 "instrumentation_library_spans"}) {
      auto scopes = rs.find(key);
      if (scopes == rs.end() || scopes->is_null()) continue;
      if (!scopes->is_array()) return shape(rwhere + "." + std::string(key), "is not an array");
      for (size_t s = 0; s < scopes->size(); ++s) {
        const Json& ss = (*scopes)[s];
        const std::string swhere = rwhere + "." + std::string(key) + "[" + std::to_string(s) + "]";
        if (!ss.is_object()) return shape(swhere, "is not an object");
        std::string scope_prefix = prefix;
        const Json* scope = member(ss, "scope", "scope");
        if (!scope) scope = member(ss, "instrumentationLibrary", "instrumentation_library");
        if (scope && !scope->is_null()) {
          if (!scope->is_object()) return shape(swhere + ".scope", "is not an object");
          scope_prefix += "\"scope\":" + scope->dump() + ",";
        }
        scope_prefix += "\"spans\":[";
        auto spans = ss.find("spans");
        if (spans == ss.end() || spans->is_null()) continue;
        if (!spans->is_array()) return shape(swhere + ".spans", "is not an array");
        for (size_t i = 0; i < spans->size(); ++i) {
          Json span = (*spans)[i];
          if (!span.is_object())
            return shape(swhere + ".spans[" + std::to_string(i) + "]", "is not an object");
          std::string trace_id = normalize_id(span, "traceId", "trace_id");
          std::string span_id = normalize_id(span, "spanId", "span_id");
          std::string parent = normalize_id(span, "parentSpanId", "parent_span_id");
          if (auto links = span.find("links"); links != span.end() && links->is_array()) {
            for (auto& link : *links) {
              if (!link.is_object()) continue;
              normalize_id(link, "traceId", "trace_id");
              normalize_id(link, "spanId", "span_id");
            }
          }
          if (!hex_id(trace_id, 32)) {
            reject(batch, "a span has no valid trace id (32 hex digits, not all zero)");
            continue;
          }
          if (!hex_id(span_id, 16)) {
            reject(batch, "a span has no valid span id (16 hex digits, not all zero)");
            continue;
          }
          SpanRow row;
          row.trace_id = std::move(trace_id);
          row.span_id = span_id;
          row.root = parent.empty() || all_zero(parent, '0');
          row.service = service;
          row.line = scope_prefix + span.dump() + "]}]}";
          batch.spans.push_back(std::move(row));
        }
      }
    }
  }
  return batch;
}

Result<std::string> gunzip(std::string_view body, size_t limit, bool& too_large) {
  too_large = false;
  std::string out;
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return Error::message("gzip: cannot start");
  size_t fed = 0;
  char buffer[64 * 1024];
  int ret = Z_OK;
  bool ended = false;
  for (;;) {
    if (z.avail_in == 0 && fed < body.size()) {
      size_t chunk = std::min<size_t>(body.size() - fed, size_t{1} << 30);
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data() + fed));
      z.avail_in = static_cast<uInt>(chunk);
      fed += chunk;
    }
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    ret = inflate(&z, Z_NO_FLUSH);
    size_t produced = sizeof buffer - z.avail_out;
    if (out.size() + produced > limit) {
      too_large = true;
      inflateEnd(&z);
      return Error::message("the decompressed body is over the size limit");
    }
    out.append(buffer, produced);
    const bool input_done = z.avail_in == 0 && fed == body.size();
    if (ret == Z_STREAM_END) {
      if (input_done) {
        ended = true;
        break;
      }
      // Another member follows: concatenated gzip streams are one gzip file.
      if (inflateReset(&z) != Z_OK) break;
      continue;
    }
    if (ret == Z_OK || (ret == Z_BUF_ERROR && !input_done)) continue;
    break;
  }
  inflateEnd(&z);
  if (!ended) {
    return Error::message(ret == Z_OK || ret == Z_BUF_ERROR ? "the gzip body is cut short"
                                                            : "the gzip body is corrupt");
  }
  return out;
}

std::string export_response(bool protobuf, uint64_t rejected, std::string_view message) {
  if (protobuf) {
    pb::collector::trace::v1::ExportTraceServiceResponse response;
    if (rejected) {
      auto* partial = response.mutable_partial_success();
      partial->set_rejected_spans(static_cast<int64_t>(rejected));
      partial->set_error_message(std::string(message));
    }
    return response.SerializeAsString();
  }
  if (!rejected) return "{}";
  std::string out = "{\"partialSuccess\":{\"rejectedSpans\":";
  append_quoted_number(out, rejected);
  out += ",\"errorMessage\":";
  append_json_string(out, message);
  return out + "}}";
}

std::string export_error(bool protobuf, int grpc_code, std::string_view message) {
  if (protobuf) {
    google::rpc::Status status;
    status.set_code(grpc_code);
    status.set_message(std::string(message));
    return status.SerializeAsString();
  }
  std::string out = "{\"code\":" + std::to_string(grpc_code) + ",\"message\":";
  append_json_string(out, message);
  return out + "}";
}

}  // namespace tracedx
