// Stored rows as OTLP/JSON lines: protobuf's JSON mapping of the whole message (envelope and
// span, or envelope and record), with ids in hex as OTLP/JSON writes them.
#include <google/protobuf/util/json_util.h>

#include <optional>
#include <string>

#include "import/otlp_values.h"
#include "serve/span_codec.h"
#include "text/json_writer.h"

namespace tracedx {
namespace {

// Replaces the base64 ids that protobuf's JSON mapping writes for bytes fields by hex, as
// OTLP/JSON writes them (the parent id by `parent` when given). Only member names can stand
// before `":"` unescaped, so the pattern finds the id members and nothing inside a string.
std::string with_hex_ids(const std::string& json, const std::optional<std::string>& parent) {
  std::string out;
  out.reserve(json.size());
  size_t at = 0;
  for (;;) {
    size_t best = std::string::npos, key_len = 0;
    bool is_parent = false;
    for (std::string_view key : {"\"traceId\":\"", "\"spanId\":\"", "\"parentSpanId\":\""}) {
      size_t found = json.find(key, at);
      if (found < best) {
        best = found;
        key_len = key.size();
        is_parent = key[1] == 'p';
      }
    }
    if (best == std::string::npos) break;
    size_t start = best + key_len, end = json.find('"', start);
    if (end == std::string::npos) break;
    if (is_parent && parent) {
      out.append(json, at, start - 1 - at);
      append_json_string(out, *parent);
      at = end + 1;
      continue;
    }
    out.append(json, at, start - at);
    auto bytes = otlp::base64_bytes(std::string_view(json).substr(start, end - start));
    out += bytes ? otlp::hex_of_bytes(*bytes) : json.substr(start, end - start);
    at = end;
  }
  out.append(json, at, std::string::npos);
  return out;
}

template <typename Message>
Result<std::string> to_json(const Message& m, const std::optional<std::string>& parent = {}) {
  std::string text;
  auto status = google::protobuf::util::MessageToJsonString(m, &text);
  if (!status.ok()) return Error::message("a stored row cannot be written as JSON");
  return with_hex_ids(text, parent);
}

// The whole message of a row stored as an envelope and its span: the envelope with the span
// added to its one scope.
bool whole_span(std::string_view envelope, std::string_view span, otlp_pb::ResourceSpans& out) {
  return parse_stored(envelope, out) && out.scope_spans_size() == 1 &&
         out.scope_spans(0).spans_size() == 0 &&
         parse_stored(span, *out.mutable_scope_spans(0)->add_spans());
}

bool whole_log(std::string_view envelope, std::string_view record, otlp_pb::ResourceLogs& out) {
  return parse_stored(envelope, out) && out.scope_logs_size() == 1 &&
         out.scope_logs(0).log_records_size() == 0 &&
         parse_stored(record, *out.mutable_scope_logs(0)->add_log_records());
}

Result<std::string> span_json(const otlp_pb::ResourceSpans& stored) {
  std::optional<std::string> parent;
  if (stored.scope_spans_size() == 1 && stored.scope_spans(0).spans_size() == 1)
    parent = parent_text(stored.scope_spans(0).spans(0));
  return to_json(stored, parent);
}

Result<std::string> log_json(const otlp_pb::ResourceLogs& stored) {
  auto line = to_json(stored);
  if (!line) return line;
  return "{\"resourceLogs\":[" + *line + "]}";
}

}  // namespace

Result<std::string> stored_span_json(std::string_view envelope, std::string_view span) {
  otlp_pb::ResourceSpans stored;
  if (!whole_span(envelope, span, stored)) return Error::message("a stored span cannot be read");
  return span_json(stored);
}

Result<std::string> stored_span_json(std::string_view bytes) {
  otlp_pb::ResourceSpans stored;
  if (!parse_stored(bytes, stored)) return Error::message("a stored span cannot be read");
  return span_json(stored);
}

Result<std::string> stored_log_json(std::string_view envelope, std::string_view record) {
  otlp_pb::ResourceLogs stored;
  if (!whole_log(envelope, record, stored))
    return Error::message("a stored log record cannot be read");
  return log_json(stored);
}

Result<std::string> stored_log_json(std::string_view bytes) {
  otlp_pb::ResourceLogs stored;
  if (!parse_stored(bytes, stored)) return Error::message("a stored log record cannot be read");
  return log_json(stored);
}

}  // namespace tracedx
