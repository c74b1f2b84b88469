#include "serve/metrics.h"

#include <cstdio>

namespace tracedx {
namespace {

// The name of each reason, as the `reason` label says it.
constexpr const char* kDroppedNames[] = {"invalid", "duplicate", "trace_limit"};
static_assert(std::size(kDroppedNames) == static_cast<size_t>(Dropped::kCount));
constexpr const char* kRefusedNames[] = {"malformed",  "too_large", "memory",
                                         "queue_full", "stopping",  "storage"};
static_assert(std::size(kRefusedNames) == static_cast<size_t>(Refused::kCount));

// gRPC's status codes by number, as the `code` label says them.
constexpr const char* kGrpcCodeNames[] = {
    "OK",        "CANCELLED",      "UNKNOWN",           "INVALID_ARGUMENT",   "DEADLINE_EXCEEDED",
    "NOT_FOUND", "ALREADY_EXISTS", "PERMISSION_DENIED", "RESOURCE_EXHAUSTED", "FAILED_PRECONDITION",
    "ABORTED",   "OUT_OF_RANGE",   "UNIMPLEMENTED",     "INTERNAL",           "UNAVAILABLE",
    "DATA_LOSS", "UNAUTHENTICATED"};

std::string prometheus_label(std::string_view v) {
  std::string out;
  for (char c : v) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

void header(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string& out, const char* name, std::string_view labels, uint64_t v) {
  out += name;
  if (!labels.empty()) out.append("{").append(labels).append("}");
  out += " " + std::to_string(v) + "\n";
}

// A counter without labels.
void counter(std::string& out, const char* name, const char* help, uint64_t v) {
  header(out, name, "counter", help);
  sample(out, name, "", v);
}

template <size_t N>
void by_reason(std::string& out, const char* name, const char* help,
               const std::atomic<uint64_t> (&counts)[N], const char* const (&names)[N]) {
  header(out, name, "counter", help);
  for (size_t i = 0; i < N; ++i)
    sample(out, name, std::string("reason=\"") + names[i] + "\"", counts[i]);
}

}  // namespace

void Metrics::answered(int status, std::chrono::nanoseconds d) {
  timed(d);
  std::lock_guard lock(mutex);
  requests[status]++;
}

void Metrics::answered_grpc(int code, std::chrono::nanoseconds d) {
  timed(d);
  std::lock_guard lock(mutex);
  grpc_calls[code]++;
}

void Metrics::timed(std::chrono::nanoseconds d) {
  double seconds = std::chrono::duration<double>(d).count();
  for (size_t i = 0; i < std::size(kBuckets); ++i) {
    if (seconds <= kBuckets[i]) buckets[i]++;
  }
  duration_count++;
  duration_sum_ns += static_cast<uint64_t>(d.count());
}

void Metrics::diagnosed_one(const std::string& label) {
  std::lock_guard lock(mutex);
  diagnosed[label]++;
}

std::string metrics_text(Metrics& m, const Gauges& g) {
  std::string out;
  counter(out, "tracedx_spans_received_total",
          "Spans stored: committed to the database, duplicates and dropped spans apart.",
          m.spans_stored);
  counter(out, "tracedx_spans_rejected_total",
          "Spans rejected (no valid trace id or span id, or nested too deep).", m.spans_dropped[0]);
  by_reason(out, "tracedx_spans_dropped_total", "Spans received and not stored, by reason.",
            m.spans_dropped, kDroppedNames);
  counter(out, "tracedx_log_records_received_total",
          "Log records naming a span stored: committed to the database.", m.logs_stored);
  counter(out, "tracedx_log_records_rejected_total",
          "Log records rejected (no valid trace id or span id).", m.logs_dropped[0]);
  by_reason(out, "tracedx_log_records_dropped_total",
            "Log records received and not stored, by reason.", m.logs_dropped, kDroppedNames);
  by_reason(out, "tracedx_exports_refused_total",
            "Exports refused whole, by reason (the exporter may send them again).",
            m.exports_refused, kRefusedNames);
  counter(out, "tracedx_values_repaired_total",
          "Texts in exports whose invalid UTF-8 or lone surrogates were replaced by U+FFFD.",
          m.values_repaired);
  header(out, "tracedx_traces_diagnosed_total", "counter", "Traces diagnosed, by primary label.");
  {
    std::lock_guard lock(m.mutex);
    for (const auto& [label, n] : m.diagnosed)
      sample(out, "tracedx_traces_diagnosed_total", "label=\"" + prometheus_label(label) + "\"", n);
  }
  header(out, "tracedx_queue_depth", "gauge", "Spans and log records waiting for the writer.");
  sample(out, "tracedx_queue_depth", "", g.queued_rows);
  header(out, "tracedx_traces_pending", "gauge", "Traces waiting for their diagnosis.");
  sample(out, "tracedx_traces_pending", "", g.pending_traces);
  header(out, "tracedx_memory_budget_bytes", "gauge",
         "Bytes of the memory budget in use (state=\"used\") and its size (state=\"limit\").");
  sample(out, "tracedx_memory_budget_bytes", "state=\"used\"", g.memory_used);
  sample(out, "tracedx_memory_budget_bytes", "state=\"limit\"", g.memory_limit);
  header(out, "tracedx_request_duration_seconds", "histogram",
         "Time to handle a request (OTLP/HTTP and the rest of the API) or an OTLP/gRPC call.");
  for (size_t i = 0; i < std::size(Metrics::kBuckets); ++i) {
    char le[32];
    std::snprintf(le, sizeof le, "le=\"%g\"", Metrics::kBuckets[i]);
    sample(out, "tracedx_request_duration_seconds_bucket", le, m.buckets[i]);
  }
  const uint64_t count = m.duration_count;
  char sum[64];
  std::snprintf(sum, sizeof sum, "%.6f", static_cast<double>(m.duration_sum_ns) / 1e9);
  sample(out, "tracedx_request_duration_seconds_bucket", "le=\"+Inf\"", count);
  out += std::string("tracedx_request_duration_seconds_sum ") + sum + "\n";
  sample(out, "tracedx_request_duration_seconds_count", "", count);
  header(out, "tracedx_requests_total", "counter", "Requests answered, by status code.");
  std::lock_guard lock(m.mutex);
  for (const auto& [code, n] : m.requests)
    sample(out, "tracedx_requests_total", "code=\"" + std::to_string(code) + "\"", n);
  header(out, "tracedx_grpc_calls_total", "counter", "OTLP/gRPC calls answered, by gRPC status.");
  for (const auto& [code, n] : m.grpc_calls) {
    const bool named = code >= 0 && static_cast<size_t>(code) < std::size(kGrpcCodeNames);
    sample(out, "tracedx_grpc_calls_total",
           std::string("code=\"") + (named ? kGrpcCodeNames[code] : std::to_string(code)) + "\"",
           n);
  }
  return out;
}

}  // namespace tracedx
