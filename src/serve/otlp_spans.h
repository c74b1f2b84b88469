// The ingest side of the receiver: an OTLP/HTTP request body (protobuf or OTLP/JSON) becomes
// one stored line per span, an OTLP/JSON ResourceSpans object holding that span with its
// resource and scope, ids as lower-case hex. The lines of a trace, in arrival order, are a
// JSON Lines file the OTLP importer reads like any export of the same spans. Spans without a
// valid trace id or span id are rejected and counted (the export's partial success).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "trace/error.h"

namespace tracedx {

struct SpanRow {
  std::string trace_id;  // 32 lower-case hex digits
  std::string span_id;   // 16 lower-case hex digits
  std::string service;   // the resource's service.name, empty when it has none
  bool root = false;     // the span has no parent span id
  std::string line;      // one OTLP/JSON ResourceSpans object with this one span
};

struct SpanBatch {
  std::vector<SpanRow> spans;
  uint64_t rejected = 0;
  std::string rejection;  // why the first rejected span was rejected
};

// A protobuf ExportTraceServiceRequest. Fails (a malformed body) when the bytes do not parse.
Result<SpanBatch> spans_from_protobuf(std::string_view body);

// An OTLP/JSON ExportTraceServiceRequest ({"resourceSpans": [...]}, keys in lowerCamelCase
// or as proto field names). Fails when the text is not JSON or not shaped like an export.
Result<SpanBatch> spans_from_json(std::string_view body);

// Decompresses a gzip body (one or more members). Fails on a corrupt or truncated stream,
// and with `too_large` set when the output would exceed `limit` bytes.
Result<std::string> gunzip(std::string_view body, size_t limit, bool& too_large);

// The answer to an export: an ExportTraceServiceResponse, with partial_success when spans
// were rejected, as protobuf bytes or as OTLP/JSON.
std::string export_response(bool protobuf, uint64_t rejected, std::string_view message);

// The body of a failed export (a google.rpc.Status with the gRPC code and a message).
std::string export_error(bool protobuf, int grpc_code, std::string_view message);

}  // namespace tracedx
