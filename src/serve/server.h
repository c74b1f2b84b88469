// tracedx serve: an OTLP receiver (OTLP/HTTP, and OTLP/gRPC on a port of its own) that
// stores every span in SQLite and diagnoses each trace once it is complete (its root span
// arrived and it stayed quiet, or its root never came within a longer wait), with a read
// side on the HTTP port (HTML index and reports, a JSON API, health and metrics).
//
// Connections are handled by event threads (an idle or slow client holds no thread);
// exports are checked on their headers before their bodies are read, decoded within a
// memory budget, and committed by one writer thread in group commits; an export is
// answered 200 only once its rows are committed. A full write queue or a spent budget is
// answered 429/503 with Retry-After. Diagnosis runs on threads of its own, reading a
// trace's spans back from the database, so memory holds the traces in flight, not the
// database.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/error.h"
#include "diagnosis/diagnosis.h"

namespace tracedx {

struct ServeOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 4318;  // 0: an ephemeral port
  std::string db_path = "tracedx.db";
  uint64_t quiet_ms = 5000;
  std::optional<std::string> token;          // required on every endpoint but /healthz when set
  size_t max_body_bytes = size_t{16} << 20;  // as sent and decompressed
  std::optional<uint64_t> keep_days;         // delete traces last seen longer ago
  DiagnoseOptions diagnose;
  // OTLP/gRPC beside OTLP/HTTP, on the same store and limits.
  bool grpc = true;
  std::string grpc_host = "127.0.0.1";
  uint16_t grpc_port = 4317;  // 0: an ephemeral port
  // Bytes of request bodies and decoded batches in flight, and of spans of traces pending
  // diagnosis held in memory, beyond which exports are refused with Retry-After.
  size_t memory_budget_bytes = size_t{512} << 20;
  // Spans kept per trace; later ones are dropped and counted, the trace marked as cut.
  // 50,000 spans make a diagnosis of about 350 MB: it fits in the default memory budget.
  uint64_t max_trace_spans = 50000;
  // Log records kept per trace, the same way (a GenAI run logs a few per model call).
  uint64_t max_trace_log_records = 50000;
  // A trace whose root span never arrives is diagnosed, on the spans that came, this long
  // after its last span (the API's has_root says it never came).
  uint64_t rootless_wait_ms = 5 * 60 * 1000;
  // At shutdown, how long requests in progress may take before they are cut off.
  uint64_t drain_timeout_ms = 10000;
  // Tuning, not on the command line.
  size_t max_queued_spans = 65536;  // spans waiting for the writer before exports get 429
  unsigned http_threads = 16;
  unsigned diagnosis_threads = 2;  // at a lower priority than the request threads
  uint64_t retention_interval_ms = 10 * 60 * 1000;
  uint64_t request_deadline_ms = 60000;  // to receive one request whole, headers and body
  unsigned idle_timeout_s = 30;          // a connection with nothing sent for this long is closed
  unsigned max_connections = 4096;
  size_t max_header_bytes = 32 * 1024;  // request line and headers together (431 beyond)
};

class TraceServer {
 public:
  // Opens the database, binds the address and starts the writer and the diagnosis thread,
  // with the traces the database holds as pending picked up again.
  static Result<std::unique_ptr<TraceServer>> start(const ServeOptions& options);
  ~TraceServer();

  // The bound port, and the OTLP/gRPC one (0 when gRPC is off).
  int port() const;
  int grpc_port() const;

  // Serves until stop(), then drains: waits for the requests in progress, commits what
  // they sent, diagnoses every pending trace. Fails when the listener fails.
  Status serve();

  // Stops accepting; serve() returns once everything pending is diagnosed. Any thread.
  void stop();

  // Holds (true) or releases the writer; while it is held nothing is committed, so the
  // queue fills. For tests of the backpressure.
  void hold_writes(bool hold);

  struct Impl;

 private:
  explicit TraceServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tracedx
