// The stored form of a span and of a log record: its own Span (LogRecord) message, and an
// envelope shared by the spans (records) of one resource and scope: a ResourceSpans
// (ResourceLogs) holding them and no span. The two together make the ResourceSpans
// (ResourceLogs) holding that one span (record), the form older versions stored whole and
// which still decodes. Protobuf exports are copied into it as they came; OTLP/JSON exports
// are read by the importer's envelope reader and each span written back to the same
// messages. Reading a stored row gives the importer's span model straight from the
// messages, with the values the importer would read from the same span exported as OTLP/JSON.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "import/span_model.h"
#include "opentelemetry/proto/logs/v1/logs.pb.h"
#include "opentelemetry/proto/trace/v1/trace.pb.h"
#include "trace/trace.h"

namespace tracedx {

namespace otlp_pb {
using AnyValue = opentelemetry::proto::common::v1::AnyValue;
using Resource = opentelemetry::proto::resource::v1::Resource;
using Scope = opentelemetry::proto::common::v1::InstrumentationScope;
using Span = opentelemetry::proto::trace::v1::Span;
using ResourceSpans = opentelemetry::proto::trace::v1::ResourceSpans;
using LogRecord = opentelemetry::proto::logs::v1::LogRecord;
using ResourceLogs = opentelemetry::proto::logs::v1::ResourceLogs;
}  // namespace otlp_pb

// An AnyValue as the JSON value the importer reads from its OTLP/JSON form: integers as
// signed integers, bytes as their base64 text, NaN and the infinities as the texts the
// JSON mapping writes, an empty value as null.
Json json_of_any_value(const otlp_pb::AnyValue& value);

// The other way: a JSON value as an AnyValue (objects as key-value lists, null as an empty
// value).
void any_value_of_json(const Json& value, otlp_pb::AnyValue& out);

// Rewrites every integral double below 2^63 in magnitude (-0 aside) as an integer value, in
// the attributes and bodies of a span or log record, as the OTLP/JSON writers print such a
// double (without a fraction, so a JSON reader takes it for an integer).
void integral_doubles_as_integers(otlp_pb::Span& span);
void integral_doubles_as_integers(otlp_pb::LogRecord& record);

// How deep the OTLP/JSON line of a stored span (record) nests, the line's own object at 1;
// for a span (record) alone, how deep it reaches in that line.
size_t json_depth(const otlp_pb::ResourceSpans& stored);
size_t json_depth(const otlp_pb::ResourceLogs& stored);
size_t json_depth(const otlp_pb::Span& span);
size_t json_depth(const otlp_pb::LogRecord& record);

// A span of a protobuf export in the importer's model; `resource` holds the resource's
// attributes (shared by the spans of one resource).
OtlpSpan span_from_protobuf(const std::shared_ptr<const Json>& resource,
                            const otlp_pb::Scope& scope, const otlp_pb::Span& span);

// A log record of a protobuf export as the event it becomes (see otlp::collect_spans).
OtlpLog log_from_protobuf(const otlp_pb::LogRecord& record);

// A span of the model (read from OTLP/JSON) as the stored message: `span_from_protobuf` of
// it gives the same fixture. Non-negative integers above INT64_MAX have no AnyValue of
// their own and are stored as doubles. The envelope holds the span's resource and scope,
// the Span the rest; the ResourceSpans form holds both.
void span_to_protobuf(const OtlpSpan& span, otlp_pb::ResourceSpans& out);
void envelope_to_protobuf(const OtlpSpan& span, otlp_pb::ResourceSpans& out);
void span_to_protobuf(const OtlpSpan& span, otlp_pb::Span& out);
// The model's log records have no resource or scope: their envelope is an empty one.
void log_to_protobuf(const OtlpLog& log, otlp_pb::ResourceLogs& out);
void log_to_protobuf(const OtlpLog& log, otlp_pb::LogRecord& out);

// The resource and scope of an envelope, read once for all the spans stored under it.
struct SpanEnvelope {
  std::shared_ptr<const Json> resource;  // the resource's attributes
  otlp_pb::Scope scope;
};

// A stored message parsed, with the nesting stored rows may have (deeper than a protobuf
// export's parser allows: a JSON export's values may nest more messages).
bool parse_stored(std::string_view bytes, google::protobuf::MessageLite& out);

// The parent id text kept with a stored span (an id that was not hex), if any.
std::optional<std::string> parent_text(const otlp_pb::Span& span);

// A stored row read back; fails when the bytes are not the stored messages. The forms
// without an envelope read a row of an older version (a ResourceSpans with one span).
Result<SpanEnvelope> decode_span_envelope(std::string_view envelope);
Result<OtlpSpan> decode_stored_span(const SpanEnvelope& envelope, std::string_view span);
Result<OtlpSpan> decode_stored_span(std::string_view bytes);
Result<OtlpLog> decode_stored_log_record(std::string_view record);
Result<OtlpLog> decode_stored_log(std::string_view bytes);

// A stored row as one line of OTLP/JSON (protobuf's JSON mapping, ids as lower-case hex):
// a span as a bare ResourceSpans object, a log record as a log export.
Result<std::string> stored_span_json(std::string_view envelope, std::string_view span);
Result<std::string> stored_span_json(std::string_view bytes);
Result<std::string> stored_log_json(std::string_view envelope, std::string_view record);
Result<std::string> stored_log_json(std::string_view bytes);

}  // namespace tracedx
