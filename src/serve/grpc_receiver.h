// OTLP/gRPC: the trace and log export services (TraceService/Export, LogsService/Export) on
// their own port, over the same Receiver as OTLP/HTTP. A request's bytes go to the receiver as
// they arrived (inflated by grpc when sent with gzip), never parsed as a message first, and
// the answer is the receiver's response bytes. Calls are handed from grpc's threads to a pool
// of our own, since an export waits for its commit; what the pool cannot take at once is
// refused with UNAVAILABLE, the code OTLP exporters retry.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/error.h"
#include "serve/memory_budget.h"
#include "serve/receiver.h"

namespace tracedx {

struct GrpcLimits {
  size_t max_message_bytes = size_t{16} << 20;  // a request, as decompressed
  unsigned threads = 16;                        // exports decoded and stored at once
  size_t max_waiting_calls = 64;                // calls waiting for a thread beyond those
  unsigned max_streams_per_connection = 100;
  std::chrono::milliseconds idle_timeout{std::chrono::seconds(30)};  // a connection with no call
  // Memory grpc may hold in its own buffers (connections, messages being received).
  size_t transport_memory_bytes = size_t{512} << 20;
};

class GrpcReceiver {
 public:
  // Listens on host:port (port 0: an ephemeral one) and serves until stop(). Each request's
  // bytes are taken from `budget` while it waits and is received. `authorized` is given the
  // call's `authorization` metadata (empty when absent) and says whether it may export.
  // `answered`, when given, is told of each call answered: its status code and how long it
  // took from its arrival (its whole message received) to its answer.
  using Answered = std::function<void(int code, std::chrono::nanoseconds took)>;
  static Result<std::unique_ptr<GrpcReceiver>> start(
      const std::string& host, uint16_t port, const GrpcLimits& limits, Receiver& receiver,
      MemoryBudget& budget, std::function<bool(std::string_view authorization)> authorized,
      Answered answered = {});
  // Stops with no wait for calls in progress, when stop() was not called.
  ~GrpcReceiver();

  // The bound port.
  int port() const;

  // Stops accepting calls, lets those in progress finish for at most `deadline`, cancels the
  // rest and returns once none is left (an export already handed to the store still waits
  // for its commit). Calls after the first do nothing.
  void stop(std::chrono::milliseconds deadline);

  struct Impl;

 private:
  explicit GrpcReceiver(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tracedx
