// The counters /metrics reports, in Prometheus' text format: what was stored and, apart,
// what was dropped and why, diagnoses by label, requests by status and their durations (HTTP
// requests by HTTP status, OTLP/gRPC calls by gRPC status; the durations of both together).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace tracedx {

// Why spans or log records that arrived were not stored.
enum class Dropped {
  kInvalid,     // no valid trace id or span id, or nested too deep (the export's partial
                // success says so)
  kDuplicate,   // the trace already held it (an export sent again)
  kTraceLimit,  // past its trace's limit of spans (of log records)
  kCount
};

// Why a whole export was refused (the exporter may send it again).
enum class Refused {
  kMalformed,  // not a readable export, or a malformed length
  kTooLarge,   // over the body limit
  kMemory,     // the memory budget was spent
  kQueueFull,  // the write queue was full
  kStopping,   // the server was stopping
  kStorage,    // the commit failed
  kCount
};

struct Metrics {
  static constexpr double kBuckets[] = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1,
                                        0.25,  0.5,   1,    2.5,   5,    10};
  std::atomic<uint64_t> spans_stored{0}, logs_stored{0}, values_repaired{0};
  std::atomic<uint64_t> spans_dropped[static_cast<size_t>(Dropped::kCount)] = {};
  std::atomic<uint64_t> logs_dropped[static_cast<size_t>(Dropped::kCount)] = {};
  std::atomic<uint64_t> exports_refused[static_cast<size_t>(Refused::kCount)] = {};
  std::atomic<uint64_t> buckets[std::size(kBuckets)] = {};
  std::atomic<uint64_t> duration_count{0}, duration_sum_ns{0};
  std::mutex mutex;
  std::map<std::string, uint64_t> diagnosed;  // by primary label, "(none)" without one
  std::map<int, uint64_t> requests;           // by status code
  std::map<int, uint64_t> grpc_calls;         // by gRPC status code

  void drop_spans(Dropped why, uint64_t n) { spans_dropped[static_cast<size_t>(why)] += n; }
  void drop_logs(Dropped why, uint64_t n) { logs_dropped[static_cast<size_t>(why)] += n; }
  void refuse(Refused why) { exports_refused[static_cast<size_t>(why)]++; }
  void answered(int status, std::chrono::nanoseconds d);
  void answered_grpc(int code, std::chrono::nanoseconds d);
  void diagnosed_one(const std::string& label);

 private:
  void timed(std::chrono::nanoseconds d);  // into the duration histogram
};

// Gauges read when /metrics is asked.
struct Gauges {
  size_t queued_rows = 0;
  size_t memory_used = 0, memory_limit = 0;
  size_t pending_traces = 0;
};

std::string metrics_text(Metrics& metrics, const Gauges& gauges);

}  // namespace tracedx
