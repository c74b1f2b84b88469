// The intake of an OTLP export, whatever carried it (OTLP/HTTP or OTLP/gRPC): the body
// decoded within the memory budget into stored rows, handed to the writer, and the outcome
// each transport turns into its own answer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "serve/memory_budget.h"
#include "serve/metrics.h"
#include "serve/otlp_spans.h"

namespace tracedx {

// What became of the rows handed to the store.
enum class Stored { kCommitted, kQueueFull, kStopping, kFailed };

enum class Signal { kTraces, kLogs };

// The outcome of one export. A failure carries the HTTP status and the gRPC code it is
// answered with, and whether the client should retry (Retry-After; a retryable gRPC code).
struct ExportResult {
  int http_status = 200;
  int grpc_code = 0;  // google.rpc.Code: 0 OK, 3 INVALID_ARGUMENT, 8 RESOURCE_EXHAUSTED,
                      // 14 UNAVAILABLE
  std::string message;
  bool retry = false;
  // A success's partial success: rows rejected (and why the first was), values repaired.
  uint64_t rejected = 0;
  std::string rejection;
  uint64_t repaired = 0;

  bool ok() const { return http_status == 200; }
};

// What the receiver stores with and counts into.
struct ReceiverHooks {
  // Commit the rows; called only with at least one row, and waits for the commit.
  std::function<Stored(const SpanBatch&)> store_spans;
  std::function<Stored(const LogBatch&)> store_logs;
  // Rows refused before they reached the store (no valid ids, nested too deep) and values
  // whose text was repaired.
  std::function<void(Signal, uint64_t rejected, uint64_t repaired)> count;
  // An export refused whole.
  std::function<void(Refused)> refused;
};

class Receiver {
 public:
  Receiver(MemoryBudget& budget, ReceiverHooks hooks) : budget_(budget), hooks_(std::move(hooks)) {}

  // Decodes an export body (protobuf, or OTLP/JSON when !protobuf; inflated already) and
  // stores its rows. The decoded batch's memory is taken from the budget before decoding:
  // when it does not fit the export is refused for a retry.
  ExportResult receive(std::string_view body, bool protobuf, Signal signal);

 private:
  MemoryBudget& budget_;
  ReceiverHooks hooks_;
};

// The texts of the refusals every transport gives alike.
inline constexpr std::string_view kOverBudget = "the server is at its memory limit; retry later";
inline constexpr std::string_view kStopping = "the server is shutting down";

// An export refused because its memory does not fit in the budget: retry later.
ExportResult over_budget();

// The bytes of the answer to a successful export (an Export*ServiceResponse with its
// partial success), protobuf or OTLP/JSON.
std::string export_answer(const ExportResult& result, bool protobuf, Signal signal);

}  // namespace tracedx
