// The OTLP export envelope: the spans of an export document (resource, scope and span
// lists), and the trace ids it touches. Two readers give the same spans: one walks the
// document as parsed by the project's JSON parser (the reference, and the reader of the
// documents the other does not take), the other walks simdjson's tape without building a
// JSON document.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "import/span_model.h"
#include "trace/trace.h"

namespace tracedx::otlp {

// The spans of one parsed OTLP document: an export ({"resourceSpans": [...]}) or a bare
// ResourceSpans object (as some exporters log one per line), appended to `out`. A document
// with neither is no error (it holds no spans) unless it looks like another span format.
// Log exports ({"resourceLogs": [...]}) are OTLP too: their records that name a span go to
// `logs` when given (records without a trace id and span id have no span to join).
Status collect_spans(const Json& doc, std::string_view where, std::vector<OtlpSpan>& out,
                     std::vector<OtlpLog>* logs = nullptr);

// The spans of the OTLP document in `bytes` (parse_json's rules: one document, a leading
// BOM skipped, no nesting deeper than kMaxJsonDepth), appended to `out` (nothing is
// appended on failure). A JSON error is parse_json's (Error::Kind::kJson, without a path);
// an envelope error names `where`. Reads simdjson's tape straight into spans; the rare
// documents it leaves (invalid ones, "-0", numbers beyond 64 bits, repeated or competing
// keys, shapes that give an error) go through parse_json and collect_spans. A document that
// parse_json refuses only for its text (invalid UTF-8, a lone surrogate escaped) is read with
// that text repaired (U+FFFD, see text/utf8_repair.h).
Status read_spans(std::string_view bytes, std::string_view where, std::vector<OtlpSpan>& out,
                  std::vector<OtlpLog>* logs = nullptr);
// The same over a string whose spare capacity may let simdjson parse it in place.
Status read_spans_in_place(const std::string& bytes, std::string_view where,
                           std::vector<OtlpSpan>& out, std::vector<OtlpLog>* logs);

// The same through parse_json and collect_spans only: the reference reader.
Status read_spans_reference(std::string_view bytes, std::string_view where,
                            std::vector<OtlpSpan>& out, std::vector<OtlpLog>* logs = nullptr);

// Adds each log record to the span it names, as its last event; returns how many found
// their span.
size_t attach_logs(std::vector<OtlpSpan>& spans, std::vector<OtlpLog>& logs);

// The trace ids of the spans and log records of one document (repeats included), found without
// building spans (bad text repaired as read_spans repairs it); false when it is not valid JSON, and
// then `cut` tells whether it was cut short and `ids` holds those read before the fault (the traces
// the document would have touched).
bool scan_trace_ids(std::string_view text, std::vector<std::string>& ids, bool* cut = nullptr);

}  // namespace tracedx::otlp
