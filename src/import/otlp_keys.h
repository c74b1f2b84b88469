// The keys of the OTLP export envelope, as OTLP JSON writes them (lowerCamelCase), as the
// proto field names some exporters print, and the scope list's name before OTLP 1.0.
#pragma once

#include <string_view>

namespace tracedx::otlp {

// The keys an export's lists go by: OTLP JSON (lowerCamelCase), the proto field names, and
// the name of the scope list before OTLP 1.0.
inline constexpr std::string_view kResourceKeys[] = {"resourceSpans", "resource_spans"};
inline constexpr std::string_view kScopeKeys[] = {
    "scopeSpans", "scope_spans", "instrumentationLibrarySpans", "instrumentation_library_spans"};

// The same lists of a log export.
inline constexpr std::string_view kLogResourceKeys[] = {"resourceLogs", "resource_logs"};
// Either, for the trace-id scan: a document's traces are those of its spans and records.
inline constexpr std::string_view kAnyResourceKeys[] = {"resourceSpans", "resource_spans",
                                                        "resourceLogs", "resource_logs"};
inline constexpr std::string_view kAnyScopeKeys[] = {
    "scopeSpans", "scope_spans", "instrumentationLibrarySpans", "instrumentation_library_spans",
    "scopeLogs",  "scope_logs"};
inline constexpr std::string_view kAnyRecordKeys[] = {"spans", "logRecords", "log_records"};

inline constexpr std::string_view kTraceIdKeys[] = {"traceId", "trace_id"};

}  // namespace tracedx::otlp
