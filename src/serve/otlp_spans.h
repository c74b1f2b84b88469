// The ingest side of the receiver: an OTLP/HTTP request body (protobuf or OTLP/JSON) becomes
// one stored row per span (and per log record that names a span): its own Span (LogRecord)
// message and its envelope, a ResourceSpans (ResourceLogs) holding its resource and scope
// (see span_codec.h). An envelope is made once per resource and scope of the export and
// shared by the rows under it: a large resource is held once, not once per span.
// Spans and records without a valid trace id or span id are rejected and counted (the
// export's partial success), and so are those nested deeper than the importer reads. Text
// that is not valid UTF-8, or a lone surrogate escaped in JSON (a string an exporter cut in
// the middle of an emoji), is repaired with U+FFFD rather than failing the whole export;
// the response says how many strings were.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace tracedx {

// A span or log record as stored: its envelope, shared with the others of the same resource
// and scope, and its own message.
struct StoredMessage {
  // A ResourceSpans (ResourceLogs) holding the resource, the schema urls and one scope, and
  // no span (record).
  std::shared_ptr<const std::string> envelope;
  std::string message;  // the Span (LogRecord)
};

struct SpanRow {
  std::string trace_id;  // 32 lower-case hex digits
  std::string span_id;   // 16 lower-case hex digits
  std::string service;   // the resource's service.name, empty when it has none
  bool root = false;     // the span has no parent span id
  StoredMessage data;
};

struct SpanBatch {
  std::vector<SpanRow> spans;
  // The distinct envelopes of the rows, each once.
  std::vector<std::shared_ptr<const std::string>> envelopes;
  uint64_t rejected = 0;
  std::string rejection;  // why the first rejected span was rejected
  uint64_t repaired = 0;  // strings of the body whose bad text was replaced by U+FFFD
};

// A log record that names a span, as stored.
struct LogRow {
  std::string trace_id, span_id;  // lower-case hex
  StoredMessage data;
};

struct LogBatch {
  std::vector<LogRow> logs;
  std::vector<std::shared_ptr<const std::string>> envelopes;  // as in SpanBatch
  uint64_t rejected = 0;
  std::string rejection;
  uint64_t repaired = 0;
};

// The bytes a batch's rows hold: each envelope once, and every message.
size_t stored_bytes(const SpanBatch& batch);
size_t stored_bytes(const LogBatch& batch);

// A protobuf ExportTraceServiceRequest. Fails (a malformed body) when the bytes do not parse,
// even with the invalid UTF-8 of their string fields repaired.
Result<SpanBatch> spans_from_protobuf(std::string_view body);

// An OTLP/JSON ExportTraceServiceRequest ({"resourceSpans": [...]}, keys in lowerCamelCase
// or as proto field names), read by the importer once its invalid UTF-8 and lone surrogate
// escapes are repaired. Fails when the text is not JSON or not shaped like an export.
Result<SpanBatch> spans_from_json(std::string_view body);

// The same for log exports (ExportLogsServiceRequest, {"resourceLogs": [...]}).
Result<LogBatch> logs_from_protobuf(std::string_view body);
Result<LogBatch> logs_from_json(std::string_view body);

// Decompresses a gzip body (one or more members). Fails on a corrupt or truncated stream,
// and with `too_large` set when the output would exceed `limit` bytes.
Result<std::string> gunzip(std::string_view body, size_t limit, bool& too_large);

// What became of an export's spans (log records), as its response tells.
struct ExportOutcome {
  uint64_t rejected = 0;       // spans (records) rejected
  std::string_view rejection;  // why the first was rejected
  uint64_t repaired = 0;       // strings repaired (see SpanBatch)
};

// The partial_success error message: the rejection, then a sentence on the strings repaired
// ("2 strings held invalid UTF-8 or a lone surrogate and were repaired (U+FFFD)"), joined by
// "; "; empty when nothing was rejected or repaired.
std::string partial_success_message(const ExportOutcome& outcome);

// The answer to an export: an ExportTraceServiceResponse (ExportLogsServiceResponse when
// `logs`), as protobuf bytes or as OTLP/JSON. It has partial_success when spans (records)
// were rejected or strings repaired: the number rejected (0 for a repair alone) and
// partial_success_message.
std::string export_response(bool protobuf, const ExportOutcome& outcome, bool logs = false);

// The body of a failed export (a google.rpc.Status with the gRPC code and a message).
std::string export_error(bool protobuf, int grpc_code, std::string_view message);

}  // namespace tracedx
