#include "serve/receiver.h"

namespace tracedx {
namespace {

// The memory a decoded batch takes, per byte of the body it came from, at most: the parsed
// message, the rows made from it and their stored bytes, measured on exports of minimal
// spans each under its own resource (the worst case: fixed costs per span dwarf their
// bytes; a 4 MiB body of them peaks at about 60 MB).
constexpr size_t kDecodedPerBodyByte = 16;
constexpr size_t kDecodedFixed = 64 * 1024;

ExportResult failure(int http_status, int grpc_code, std::string message, bool retry) {
  ExportResult r;
  r.http_status = http_status;
  r.grpc_code = grpc_code;
  r.message = std::move(message);
  r.retry = retry;
  return r;
}

ExportResult outcome_of(Stored stored, std::string_view what, const ReceiverHooks& hooks) {
  switch (stored) {
    case Stored::kCommitted:
      return {};
    case Stored::kQueueFull:
      hooks.refused(Refused::kQueueFull);
      return failure(429, 14, "the write queue is full; retry later", true);
    case Stored::kStopping:
      hooks.refused(Refused::kStopping);
      return failure(503, 14, std::string(kStopping), true);
    case Stored::kFailed:
      break;
  }
  hooks.refused(Refused::kStorage);
  return failure(503, 14, std::string(what) + " could not be stored; retry later", true);
}

template <typename Batch>
ExportResult store(Result<Batch>& batch, size_t rows, Signal signal,
                   const std::function<Stored(const Batch&)>& store_rows,
                   const ReceiverHooks& hooks, std::string_view what) {
  if (!batch) {
    hooks.refused(Refused::kMalformed);
    return failure(400, 3, batch.error().text(), false);
  }
  hooks.count(signal, batch->rejected, batch->repaired);
  ExportResult r = rows == 0 ? ExportResult{} : outcome_of(store_rows(*batch), what, hooks);
  if (r.ok()) {
    r.rejected = batch->rejected;
    r.rejection = std::move(batch->rejection);
    r.repaired = batch->repaired;
  }
  return r;
}

}  // namespace

ExportResult over_budget() {
  return failure(503, 14, std::string(kOverBudget), true);
}

ExportResult Receiver::receive(std::string_view body, bool protobuf, Signal signal) {
  BudgetLease decoded(&budget_);
  if (!decoded.grow(body.size() * kDecodedPerBodyByte + kDecodedFixed)) {
    hooks_.refused(Refused::kMemory);
    return over_budget();
  }
  if (signal == Signal::kLogs) {
    auto batch = protobuf ? logs_from_protobuf(body) : logs_from_json(body);
    return store(batch, batch ? batch->logs.size() : 0, signal, hooks_.store_logs, hooks_,
                 "the log records");
  }
  auto batch = protobuf ? spans_from_protobuf(body) : spans_from_json(body);
  return store(batch, batch ? batch->spans.size() : 0, signal, hooks_.store_spans, hooks_,
               "the spans");
}

std::string export_answer(const ExportResult& result, bool protobuf, Signal signal) {
  return export_response(protobuf, {result.rejected, result.rejection, result.repaired},
                         signal == Signal::kLogs);
}

}  // namespace tracedx
