#include "serve/span_codec.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/unknown_field_set.h>

#include <algorithm>
#include <cmath>

#include "import/otlp_values.h"
#include "text/json_writer.h"
#include "text/number.h"
#include "text/text.h"

namespace tracedx {
namespace {

using otlp_pb::AnyValue;
using KeyValue = opentelemetry::proto::common::v1::KeyValue;
using KeyValues = google::protobuf::RepeatedPtrField<KeyValue>;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes of an id written as lower-case hex; nullopt for any other text.
std::optional<std::string> id_bytes(std::string_view id) {
  if (id.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(id.size() / 2);
  for (size_t i = 0; i < id.size(); i += 2) {
    int hi = hex_digit(id[i]), lo = hex_digit(id[i + 1]);
    // Upper-case digits are not how the importer writes an id: kept as text.
    if (hi < 0 || lo < 0 || (id[i] >= 'A' && id[i] <= 'F') ||
        (id[i + 1] >= 'A' && id[i + 1] <= 'F'))
      return std::nullopt;
    out += static_cast<char>(hi << 4 | lo);
  }
  return out;
}

// The importer keeps a parent id it cannot read as hex as it was written (the spans' ids
// are checked, a parent's is not); such a text is kept in this field of the stored span,
// which no OTLP message uses, and its bytes stand in the parent id field.
constexpr int kParentTextField = 1000;

std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  auto at = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    for (int shift : {18, 12, 6, 0}) out += kAlphabet[(v >> shift) & 63];
  }
  if (size_t rest = bytes.size() - i) {
    uint32_t v = at(i) << 16 | (rest == 2 ? at(i + 1) << 8 : 0);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// A list of KeyValue messages as one object, a later key replacing an earlier one.
Json json_of_attributes(const KeyValues& list) {
  Json out = Json::object();
  auto& map = out.get_ref<Json::object_t&>();
  for (const auto& kv : list) map.insert_or_assign(kv.key(), json_of_any_value(kv.value()));
  return out;
}

void attributes_of_json(const Json& attrs, KeyValues& out) {
  if (!attrs.is_object()) return;
  for (const auto& [key, value] : attrs.items()) {
    KeyValue* kv = out.Add();
    kv->set_key(key);
    any_value_of_json(value, *kv->mutable_value());
  }
}

void integral_doubles(AnyValue& v) {
  switch (v.value_case()) {
    case AnyValue::kDoubleValue: {
      const double d = v.double_value();
      // 2^63 itself is out of range; -0 reads back as a double.
      if (std::trunc(d) == d && std::fabs(d) < 9223372036854775808.0 &&
          !(d == 0 && std::signbit(d)))
        v.set_int_value(static_cast<int64_t>(d));
      break;
    }
    case AnyValue::kArrayValue:
      for (auto& e : *v.mutable_array_value()->mutable_values()) integral_doubles(e);
      break;
    case AnyValue::kKvlistValue:
      for (auto& kv : *v.mutable_kvlist_value()->mutable_values())
        integral_doubles(*kv.mutable_value());
      break;
    default:
      break;
  }
}

void integral_doubles(KeyValues& list) {
  for (auto& kv : list) integral_doubles(*kv.mutable_value());
}

size_t list_depth(const KeyValues& list);

// The depth of an AnyValue's JSON object, itself at 1.
size_t any_depth(const AnyValue& v) {
  size_t inner = 0;
  switch (v.value_case()) {
    case AnyValue::kArrayValue:
      for (const auto& e : v.array_value().values()) inner = std::max(inner, any_depth(e));
      return 3 + inner;  // {"arrayValue":{"values":[...
    case AnyValue::kKvlistValue:
      return 2 + list_depth(v.kvlist_value().values());  // {"kvlistValue":{"values":[...
    default:
      return 1;
  }
}

// The depth of a KeyValue list's JSON array, itself at 1: [{"key":..,"value":{...
size_t list_depth(const KeyValues& list) {
  size_t inner = 0;
  for (const auto& kv : list) inner = std::max(inner, any_depth(kv.value()));
  return list.empty() ? 1 : 2 + inner;
}

}  // namespace

// The parent id text kept with a stored span, if any.
std::optional<std::string> parent_text(const otlp_pb::Span& s) {
  const auto& unknown = s.GetReflection()->GetUnknownFields(s);
  for (int i = 0; i < unknown.field_count(); ++i) {
    const auto& f = unknown.field(i);
    if (f.number() == kParentTextField &&
        f.type() == google::protobuf::UnknownField::TYPE_LENGTH_DELIMITED)
      return f.length_delimited();
  }
  return std::nullopt;
}

// Parses a stored message. Stored messages passed the depth check, so their nesting is
// bounded; the limit is above the default because a JSON export's values may nest more
// messages than a protobuf export's parser allows.
bool parse_stored(std::string_view bytes, google::protobuf::MessageLite& out) {
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) return false;
  google::protobuf::io::CodedInputStream in(reinterpret_cast<const uint8_t*>(bytes.data()),
                                            static_cast<int>(bytes.size()));
  in.SetRecursionLimit(512);
  return out.ParseFromCodedStream(&in) && in.ConsumedEntireMessage();
}

Json json_of_any_value(const AnyValue& v) {
  switch (v.value_case()) {
    case AnyValue::kStringValue:
      return v.string_value();
    case AnyValue::kBoolValue:
      return v.bool_value();
    case AnyValue::kIntValue:
      return static_cast<int64_t>(v.int_value());
    case AnyValue::kDoubleValue: {
      const double d = v.double_value();
      if (std::isnan(d)) return "NaN";
      if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
      return d;
    }
    case AnyValue::kBytesValue:
      return base64(v.bytes_value());
    case AnyValue::kArrayValue: {
      Json out = Json::array();
      for (const auto& e : v.array_value().values()) out.push_back(json_of_any_value(e));
      return out;
    }
    case AnyValue::kKvlistValue:
      return json_of_attributes(v.kvlist_value().values());
    case AnyValue::VALUE_NOT_SET:
      break;
  }
  return nullptr;
}

void any_value_of_json(const Json& value, AnyValue& out) {
  switch (value.type()) {
    case Json::value_t::string:
      out.set_string_value(value.get_ref<const std::string&>());
      break;
    case Json::value_t::boolean:
      out.set_bool_value(value.get<bool>());
      break;
    case Json::value_t::number_integer:
      out.set_int_value(value.get<int64_t>());
      break;
    case Json::value_t::number_unsigned: {
      // AnyValue's integers are signed: one above INT64_MAX is kept as the nearest double.
      const uint64_t u = value.get<uint64_t>();
      if (u <= static_cast<uint64_t>(INT64_MAX)) {
        out.set_int_value(static_cast<int64_t>(u));
      } else {
        out.set_double_value(static_cast<double>(u));
      }
      break;
    }
    case Json::value_t::number_float:
      out.set_double_value(value.get<double>());
      break;
    case Json::value_t::array: {
      auto* values = out.mutable_array_value()->mutable_values();
      for (const auto& e : value) any_value_of_json(e, *values->Add());
      break;
    }
    case Json::value_t::object:
      attributes_of_json(value, *out.mutable_kvlist_value()->mutable_values());
      break;
    default:  // null (and binary, which parsed JSON never holds): an empty value
      out.Clear();
      break;
  }
}

void integral_doubles_as_integers(otlp_pb::Span& span) {
  integral_doubles(*span.mutable_attributes());
  for (auto& e : *span.mutable_events()) integral_doubles(*e.mutable_attributes());
  for (auto& l : *span.mutable_links()) integral_doubles(*l.mutable_attributes());
}

void integral_doubles_as_integers(otlp_pb::LogRecord& record) {
  integral_doubles(*record.mutable_attributes());
  if (record.has_body()) integral_doubles(*record.mutable_body());
}

size_t json_depth(const otlp_pb::Span& s) {
  size_t depth = std::max(size_t{6}, 5 + list_depth(s.attributes()));
  for (const auto& e : s.events()) depth = std::max(depth, 7 + list_depth(e.attributes()));
  for (const auto& l : s.links()) depth = std::max(depth, 7 + list_depth(l.attributes()));
  return depth;
}

size_t json_depth(const otlp_pb::LogRecord& r) {
  size_t depth = 7 + list_depth(r.attributes());
  if (r.has_body()) depth = std::max(depth, 7 + any_depth(r.body()));
  return depth;
}

size_t json_depth(const otlp_pb::ResourceSpans& stored) {
  size_t depth = 1;
  if (stored.has_resource())
    depth = std::max(depth, 2 + list_depth(stored.resource().attributes()));
  for (const auto& ss : stored.scope_spans()) {
    depth = std::max<size_t>(depth, 3);
    if (ss.has_scope()) depth = std::max(depth, 4 + list_depth(ss.scope().attributes()));
    for (const auto& s : ss.spans()) depth = std::max(depth, json_depth(s));
  }
  return depth;
}

size_t json_depth(const otlp_pb::ResourceLogs& stored) {
  size_t depth = 3;
  if (stored.has_resource())
    depth = std::max(depth, 4 + list_depth(stored.resource().attributes()));
  for (const auto& sl : stored.scope_logs()) {
    depth = std::max<size_t>(depth, 5);
    if (sl.has_scope()) depth = std::max(depth, 6 + list_depth(sl.scope().attributes()));
    for (const auto& r : sl.log_records()) depth = std::max(depth, json_depth(r));
  }
  return depth;
}

OtlpSpan span_from_protobuf(const std::shared_ptr<const Json>& resource,
                            const otlp_pb::Scope& scope, const otlp_pb::Span& s) {
  OtlpSpan span;
  span.trace_id = otlp::hex_of_bytes(s.trace_id());
  span.span_id = otlp::hex_of_bytes(s.span_id());
  auto parent = parent_text(s);
  span.parent_id = parent ? *parent : otlp::hex_of_bytes(s.parent_span_id());
  span.name = s.name();
  span.kind = otlp::kind_name(static_cast<int>(s.kind()));
  // OTLP/JSON leaves a zero time out: the span has none.
  if (s.start_time_unix_nano()) span.start = s.start_time_unix_nano();
  if (s.end_time_unix_nano()) span.end = s.end_time_unix_nano();
  span.attrs = json_of_attributes(s.attributes());
  for (const auto& e : s.events())
    span.events.push_back({{"name", e.name()}, {"attributes", json_of_attributes(e.attributes())}});
  if (s.has_status()) {
    span.status_code = static_cast<int>(s.status().code());
    span.status_message = s.status().message();
  }
  span.resource = resource;
  span.scope_name = scope.name();
  return span;
}

OtlpLog log_from_protobuf(const otlp_pb::LogRecord& record) {
  OtlpLog log;
  log.trace_id = otlp::hex_of_bytes(record.trace_id());
  log.span_id = otlp::hex_of_bytes(record.span_id());
  Json attrs = json_of_attributes(record.attributes());
  std::string name = record.event_name();
  if (name.empty()) {
    if (auto n = attrs.find("event.name"); n != attrs.end() && n->is_string()) name = *n;
  }
  if (name.empty()) name = "log";
  log.event = {{"name", std::move(name)}, {"attributes", std::move(attrs)}};
  if (record.has_body()) {
    Json body = json_of_any_value(record.body());
    if (!body.is_null()) log.event["body"] = std::move(body);
  }
  return log;
}

void envelope_to_protobuf(const OtlpSpan& span, otlp_pb::ResourceSpans& out) {
  if (span.resource)
    attributes_of_json(*span.resource, *out.mutable_resource()->mutable_attributes());
  auto* ss = out.add_scope_spans();
  if (!span.scope_name.empty()) ss->mutable_scope()->set_name(span.scope_name);
}

void span_to_protobuf(const OtlpSpan& span, otlp_pb::ResourceSpans& out) {
  envelope_to_protobuf(span, out);
  span_to_protobuf(span, *out.mutable_scope_spans(0)->add_spans());
}

void span_to_protobuf(const OtlpSpan& span, otlp_pb::Span& s) {
  // The span's own ids are checked hex before they come here.
  s.set_trace_id(id_bytes(span.trace_id).value_or(span.trace_id));
  s.set_span_id(id_bytes(span.span_id).value_or(span.span_id));
  if (auto parent = id_bytes(span.parent_id)) {
    s.set_parent_span_id(*parent);
  } else {
    s.set_parent_span_id(span.parent_id);
    s.GetReflection()->MutableUnknownFields(&s)->AddLengthDelimited(kParentTextField,
                                                                    span.parent_id);
  }
  s.set_name(span.name);
  // The kind's name, or the number kind_name wrote for a kind without one.
  int kind = 0;
  auto names = std::find(std::begin(otlp::kKindNames), std::end(otlp::kKindNames), span.kind);
  if (names != std::end(otlp::kKindNames)) {
    kind = static_cast<int>(names - std::begin(otlp::kKindNames));
  } else if (auto n = parse_signed(span.kind); n && *n >= INT32_MIN && *n <= INT32_MAX) {
    kind = static_cast<int>(*n);
  }
  s.set_kind(static_cast<otlp_pb::Span::SpanKind>(kind));
  if (span.start) s.set_start_time_unix_nano(*span.start);
  if (span.end) s.set_end_time_unix_nano(*span.end);
  attributes_of_json(span.attrs, *s.mutable_attributes());
  for (const Json& e : span.events) {
    auto* event = s.add_events();
    if (auto n = e.find("name"); n != e.end() && n->is_string()) event->set_name(*n);
    if (auto a = e.find("attributes"); a != e.end())
      attributes_of_json(*a, *event->mutable_attributes());
  }
  if (span.status_code || !span.status_message.empty()) {
    s.mutable_status()->set_code(
        static_cast<opentelemetry::proto::trace::v1::Status::StatusCode>(span.status_code));
    s.mutable_status()->set_message(span.status_message);
  }
}

void log_to_protobuf(const OtlpLog& log, otlp_pb::ResourceLogs& out) {
  log_to_protobuf(log, *out.add_scope_logs()->add_log_records());
}

void log_to_protobuf(const OtlpLog& log, otlp_pb::LogRecord& r) {
  r.set_trace_id(id_bytes(log.trace_id).value_or(log.trace_id));
  r.set_span_id(id_bytes(log.span_id).value_or(log.span_id));
  if (auto n = log.event.find("name"); n != log.event.end() && n->is_string()) r.set_event_name(*n);
  if (auto a = log.event.find("attributes"); a != log.event.end())
    attributes_of_json(*a, *r.mutable_attributes());
  if (auto b = log.event.find("body"); b != log.event.end() && !b->is_null())
    any_value_of_json(*b, *r.mutable_body());
}

Result<SpanEnvelope> decode_span_envelope(std::string_view bytes) {
  otlp_pb::ResourceSpans envelope;
  if (!parse_stored(bytes, envelope) || envelope.scope_spans_size() != 1 ||
      envelope.scope_spans(0).spans_size() != 0)
    return Error::message("a stored envelope is not a ResourceSpans message with one scope");
  SpanEnvelope out;
  out.resource = std::make_shared<Json>(json_of_attributes(envelope.resource().attributes()));
  out.scope = std::move(*envelope.mutable_scope_spans(0)->mutable_scope());
  return out;
}

Result<OtlpSpan> decode_stored_span(const SpanEnvelope& envelope, std::string_view bytes) {
  thread_local otlp_pb::Span span;
  span.Clear();
  if (!parse_stored(bytes, span)) return Error::message("a stored span is not a Span message");
  return span_from_protobuf(envelope.resource, envelope.scope, span);
}

Result<OtlpSpan> decode_stored_span(std::string_view bytes) {
  thread_local otlp_pb::ResourceSpans stored;
  stored.Clear();
  if (!parse_stored(bytes, stored) || stored.scope_spans_size() != 1 ||
      stored.scope_spans(0).spans_size() != 1)
    return Error::message("a stored span is not a ResourceSpans message with one span");
  auto resource = std::make_shared<Json>(json_of_attributes(stored.resource().attributes()));
  const auto& ss = stored.scope_spans(0);
  return span_from_protobuf(resource, ss.scope(), ss.spans(0));
}

Result<OtlpLog> decode_stored_log_record(std::string_view bytes) {
  thread_local otlp_pb::LogRecord record;
  record.Clear();
  if (!parse_stored(bytes, record))
    return Error::message("a stored log record is not a LogRecord message");
  return log_from_protobuf(record);
}

Result<OtlpLog> decode_stored_log(std::string_view bytes) {
  thread_local otlp_pb::ResourceLogs stored;
  stored.Clear();
  if (!parse_stored(bytes, stored) || stored.scope_logs_size() != 1 ||
      stored.scope_logs(0).log_records_size() != 1)
    return Error::message("a stored log record is not a ResourceLogs message with one record");
  return log_from_protobuf(stored.scope_logs(0).log_records(0));
}

}  // namespace tracedx
