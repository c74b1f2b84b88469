#include "serve/grpc_receiver.h"

#include <grpcpp/grpcpp.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "opentelemetry/proto/collector/logs/v1/logs_service.grpc.pb.h"
#include "opentelemetry/proto/collector/trace/v1/trace_service.grpc.pb.h"

namespace tracedx {
namespace {

namespace collector = opentelemetry::proto::collector;

// Keepalive: the server pings a connection quiet for a minute and drops it when the ping goes
// unanswered; clients may ping as often as every 10 s, even between calls (SDK exporters keep
// their channel open between batches).
constexpr int kKeepaliveTimeMs = 60 * 1000;
constexpr int kKeepaliveTimeoutMs = 20 * 1000;
constexpr int kMinClientPingIntervalMs = 10 * 1000;

// "HOST:PORT", with an IPv6 host in brackets.
std::string address_of(const std::string& host, uint16_t port) {
  bool v6 = host.find(':') != std::string::npos && host.front() != '[';
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// Why host:port cannot be bound, asked of the system once grpc could not (grpc only logs it).
std::string bind_failure(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  std::string h = host.size() > 2 && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
  if (int rc = getaddrinfo(h.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0)
    return gai_strerror(rc);
  std::string why = "grpc could not listen there";
  for (addrinfo* a = found; a; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    bool bound = bind(fd, a->ai_addr, a->ai_addrlen) == 0;
    int err = errno;
    close(fd);
    if (!bound) {
      why = std::strerror(err);
      break;
    }
  }
  freeaddrinfo(found);
  return why;
}

grpc::Status status_of(const ExportResult& result) {
  if (result.ok()) return grpc::Status::OK;
  int code = result.grpc_code != 0 ? result.grpc_code : grpc::StatusCode::UNAVAILABLE;
  return grpc::Status(static_cast<grpc::StatusCode>(code), result.message);
}

// The first `authorization` metadata value; empty when there is none.
std::string_view authorization_of(const grpc::CallbackServerContext& context) {
  const auto& metadata = context.client_metadata();
  auto it = metadata.find("authorization");
  if (it == metadata.end()) return {};
  return std::string_view(it->second.data(), it->second.size());
}

// One export waiting for, or being received by, a pool thread.
struct Call {
  grpc::CallbackServerContext* context;
  const grpc::ByteBuffer* request;
  grpc::ByteBuffer* response;
  grpc::ServerUnaryReactor* reactor;
  Signal signal;
  BudgetLease bytes;  // the request's bytes
  std::chrono::steady_clock::time_point arrived;
};

}  // namespace

struct GrpcReceiver::Impl {
  // The two services, each handing its calls to `admit`. Declared before the server, which
  // must go first.
  template <typename Raw>
  struct ExportService : Raw {
    ExportService(Impl& impl, Signal signal) : impl(impl), signal(signal) {}
    grpc::ServerUnaryReactor* Export(grpc::CallbackServerContext* context,
                                     const grpc::ByteBuffer* request,
                                     grpc::ByteBuffer* response) override {
      return impl.admit(context, request, response, signal);
    }
    Impl& impl;
    Signal signal;
  };
  using TraceExport =
      ExportService<collector::trace::v1::TraceService::WithRawCallbackMethod_Export<
          collector::trace::v1::TraceService::Service>>;
  using LogsExport = ExportService<collector::logs::v1::LogsService::WithRawCallbackMethod_Export<
      collector::logs::v1::LogsService::Service>>;

  Impl(const GrpcLimits& limits, Receiver& receiver, MemoryBudget& budget,
       std::function<bool(std::string_view)> authorized, Answered answered)
      : limits(limits),
        receiver(receiver),
        budget(budget),
        authorized(std::move(authorized)),
        answered(std::move(answered)),
        traces(*this, Signal::kTraces),
        logs(*this, Signal::kLogs) {}

  const GrpcLimits limits;
  Receiver& receiver;
  MemoryBudget& budget;
  const std::function<bool(std::string_view)> authorized;
  const Answered answered;
  TraceExport traces;
  LogsExport logs;
  std::unique_ptr<grpc::Server> server;
  int port = 0;

  std::mutex mu;
  std::condition_variable wake;
  std::deque<Call> waiting;
  bool stopping = false;  // no call is admitted
  bool done = false;      // the pool threads leave once `waiting` is empty
  std::vector<std::thread> pool;
  std::once_flag stopped;

  // Answers a call, telling `answered` first.
  void finish(grpc::ServerUnaryReactor* reactor, const grpc::Status& status,
              std::chrono::steady_clock::time_point arrived) {
    if (answered) answered(status.error_code(), std::chrono::steady_clock::now() - arrived);
    reactor->Finish(status);
  }

  // On a grpc thread: refuses the call at once or queues it for the pool.
  grpc::ServerUnaryReactor* admit(grpc::CallbackServerContext* context,
                                  const grpc::ByteBuffer* request, grpc::ByteBuffer* response,
                                  Signal signal) {
    const auto arrived = std::chrono::steady_clock::now();
    grpc::ServerUnaryReactor* reactor = context->DefaultReactor();
    if (!authorized(authorization_of(*context))) {
      finish(reactor,
             grpc::Status(grpc::StatusCode::UNAUTHENTICATED, "missing or wrong bearer token"),
             arrived);
      return reactor;
    }
    BudgetLease bytes(&budget);
    if (!bytes.grow(request->Length())) {
      finish(reactor, status_of(over_budget()), arrived);
      return reactor;
    }
    std::unique_lock lock(mu);
    if (stopping || waiting.size() >= limits.max_waiting_calls) {
      const std::string why(stopping ? kStopping : "every export thread is busy; retry later");
      lock.unlock();
      bytes.release();
      finish(reactor, grpc::Status(grpc::StatusCode::UNAVAILABLE, why), arrived);
      return reactor;
    }
    waiting.push_back({context, request, response, reactor, signal, std::move(bytes), arrived});
    wake.notify_one();
    return reactor;
  }

  void pool_loop() {
    for (;;) {
      std::unique_lock lock(mu);
      wake.wait(lock, [&] { return done || !waiting.empty(); });
      if (waiting.empty()) return;
      Call call = std::move(waiting.front());
      waiting.pop_front();
      lock.unlock();
      grpc::Status status = receive(call);
      // Given back before the client can hear of the outcome (and send again).
      call.bytes.release();
      finish(call.reactor, status, call.arrived);
    }
  }

  grpc::Status receive(Call& call) {
    // Given up by the client, timed out, or cut off by stop() while it waited.
    if (call.context->IsCancelled()) return grpc::Status::CANCELLED;
    // The receiver needs the bytes in one piece: a request received in several is copied,
    // and the copy's bytes are taken from the budget too.
    grpc::Slice whole;
    if (!call.request->TrySingleSlice(&whole).ok()) {
      if (!call.bytes.grow(call.request->Length())) return status_of(over_budget());
      if (!call.request->DumpToSingleSlice(&whole).ok())
        return grpc::Status(grpc::StatusCode::INTERNAL, "the request could not be read");
    }
    std::string_view body(reinterpret_cast<const char*>(whole.begin()), whole.size());
    ExportResult result = receiver.receive(body, true, call.signal);
    if (!result.ok()) return status_of(result);
    grpc::Slice answer(export_answer(result, true, call.signal));
    *call.response = grpc::ByteBuffer(&answer, 1);
    return grpc::Status::OK;
  }

  void stop(std::chrono::milliseconds deadline) {
    std::call_once(stopped, [&] {
      {
        std::lock_guard lock(mu);
        stopping = true;
      }
      // Returns once every call has finished: those still waiting for the pool after the
      // deadline are cancelled, and the pool answers them at once.
      server->Shutdown(std::chrono::system_clock::now() + deadline);
      {
        std::lock_guard lock(mu);
        done = true;
      }
      wake.notify_all();
      for (std::thread& t : pool) t.join();
    });
  }
};

Result<std::unique_ptr<GrpcReceiver>> GrpcReceiver::start(
    const std::string& host, uint16_t port, const GrpcLimits& limits, Receiver& receiver,
    MemoryBudget& budget, std::function<bool(std::string_view authorization)> authorized,
    Answered answered) {
  auto impl =
      std::make_unique<Impl>(limits, receiver, budget, std::move(authorized), std::move(answered));
  const std::string address = address_of(host, port);

  grpc::ServerBuilder builder;
  builder.AddListeningPort(address, grpc::InsecureServerCredentials(), &impl->port);
  builder.RegisterService(&impl->traces);
  builder.RegisterService(&impl->logs);
  // Applies to a message as decompressed: a small gzip body inflating past it is refused.
  builder.SetMaxReceiveMessageSize(
      static_cast<int>(std::min<size_t>(limits.max_message_bytes, INT32_MAX)));
  grpc::ResourceQuota quota("tracedx-otlp-grpc");
  quota.Resize(limits.transport_memory_bytes);
  builder.SetResourceQuota(quota);
  // Without it grpc shares the port with any other socket of SO_REUSEPORT: a second server
  // on a port in use would start and receive part of the exports.
  builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
  builder.AddChannelArgument(GRPC_ARG_MAX_CONCURRENT_STREAMS,
                             static_cast<int>(limits.max_streams_per_connection));
  builder.AddChannelArgument(
      GRPC_ARG_MAX_CONNECTION_IDLE_MS,
      static_cast<int>(std::min<int64_t>(limits.idle_timeout.count(), INT32_MAX)));
  builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_TIME_MS, kKeepaliveTimeMs);
  builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, kKeepaliveTimeoutMs);
  builder.AddChannelArgument(GRPC_ARG_HTTP2_MIN_RECV_PING_INTERVAL_WITHOUT_DATA_MS,
                             kMinClientPingIntervalMs);
  builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
  impl->server = builder.BuildAndStart();
  if (!impl->server || impl->port == 0) {
    return Error::message("cannot listen for OTLP/gRPC on " + address + ": " +
                          bind_failure(host, port));
  }
  Impl* p = impl.get();
  for (unsigned i = 0; i < std::max(1u, limits.threads); ++i)
    impl->pool.emplace_back([p] { p->pool_loop(); });
  return std::unique_ptr<GrpcReceiver>(new GrpcReceiver(std::move(impl)));
}

GrpcReceiver::GrpcReceiver(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

GrpcReceiver::~GrpcReceiver() {
  stop(std::chrono::milliseconds(0));
}

int GrpcReceiver::port() const {
  return impl_->port;
}

void GrpcReceiver::stop(std::chrono::milliseconds deadline) {
  impl_->stop(deadline);
}

}  // namespace tracedx
