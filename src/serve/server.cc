#include "serve/server.h"

#include <sys/resource.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "serve/completion.h"
#include "serve/db_lock.h"
#include "serve/grpc_receiver.h"
#include "serve/http_api.h"
#include "serve/http_server.h"
#include "serve/metrics.h"
#include "serve/receiver.h"
#include "serve/writer.h"

namespace tracedx {
namespace {

// Open connections each take a descriptor: the soft limit is raised to the hard one.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

CompletionOptions completion_options(const ServeOptions& o) {
  CompletionOptions c;
  c.quiet_ms = o.quiet_ms;
  c.rootless_wait_ms = o.rootless_wait_ms;
  c.keep_days = o.keep_days;
  c.retention_interval_ms = o.retention_interval_ms;
  c.diagnose = o.diagnose;
  return c;
}

HttpLimits http_limits(const ServeOptions& o) {
  HttpLimits l;
  l.workers = std::max(2u, o.http_threads);
  l.idle_timeout_s = o.idle_timeout_s;
  l.request_deadline_ms = o.request_deadline_ms;
  l.max_connections = o.max_connections;
  l.max_header_bytes = o.max_header_bytes;
  l.default_headers = {{"X-Content-Type-Options", "nosniff"},
                       {"Referrer-Policy", "no-referrer"},
                       {"Cache-Control", "no-store"}};
  return l;
}

}  // namespace

struct TraceServer::Impl {
  ServeOptions options;
  std::optional<DatabaseLock> lock;  // held for the server's life, released last
  MemoryBudget budget;
  Metrics metrics;
  Completion completion;
  std::unique_ptr<Writer> writer;
  std::unique_ptr<Receiver> receiver;
  std::unique_ptr<HttpServer> http;
  std::unique_ptr<GrpcReceiver> grpc;

  std::mutex mutex;
  std::condition_variable cv;
  bool stopping = false;

  explicit Impl(const ServeOptions& o)
      : options(o),
        budget(o.memory_budget_bytes),
        completion(completion_options(o), metrics, budget) {}

  ~Impl() {
    if (grpc) grpc->stop(std::chrono::milliseconds(0));
    if (http) http->stop();
    completion.stop();
    if (writer) writer->stop();
  }

  ReceiverHooks receiver_hooks() {
    ReceiverHooks h;
    h.store_spans = [this](const SpanBatch& batch) {
      Job job;
      job.batch = &batch;
      return writer->store(job);
    };
    h.store_logs = [this](const LogBatch& batch) {
      Job job;
      job.kind = Job::Kind::kLogs;
      job.logs = &batch;
      return writer->store(job);
    };
    h.count = [this](Signal signal, uint64_t rejected, uint64_t repaired) {
      if (signal == Signal::kTraces) {
        metrics.drop_spans(Dropped::kInvalid, rejected);
      } else {
        metrics.drop_logs(Dropped::kInvalid, rejected);
      }
      metrics.values_repaired += repaired;
    };
    h.refused = [this](Refused why) { metrics.refuse(why); };
    return h;
  }
};

TraceServer::TraceServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

TraceServer::~TraceServer() = default;

Result<std::unique_ptr<TraceServer>> TraceServer::start(const ServeOptions& options) {
  raise_descriptor_limit();
  auto lock = DatabaseLock::acquire(options.db_path);
  if (!lock) return std::move(lock).error();
  auto impl = std::make_unique<Impl>(options);
  impl->lock = std::move(*lock);
  auto writer_store = Store::open(options.db_path);
  if (!writer_store) return std::move(writer_store).error();
  auto checkpoint_store = Store::open(options.db_path);
  if (!checkpoint_store) return std::move(checkpoint_store).error();
  std::vector<std::unique_ptr<Store>> worker_stores;
  for (unsigned i = 0; i < std::max(1u, options.diagnosis_threads); ++i) {
    auto store = Store::open(options.db_path);
    if (!store) return std::move(store).error();
    worker_stores.push_back(std::move(*store));
  }
  auto pending = (*writer_store)->pending();
  if (!pending) return std::move(pending).error();
  for (const auto& p : *pending) impl->completion.pending(p);

  Impl* p = impl.get();
  impl->writer = std::make_unique<Writer>(
      std::move(*writer_store), std::move(*checkpoint_store), options.max_queued_spans,
      Writer::TraceLimits{options.max_trace_spans, options.max_trace_log_records}, impl->metrics,
      [p](int64_t now, const std::vector<TouchedTrace>& touched, const std::vector<Job*>& group) {
        p->completion.committed(now, touched, group);
      });
  impl->completion.start(*impl->writer, std::move(worker_stores));
  impl->receiver = std::make_unique<Receiver>(impl->budget, impl->receiver_hooks());
  auto http = HttpServer::start(options.host, options.port, http_limits(options),
                                http_api({impl->options, *impl->receiver, *impl->writer,
                                          impl->completion, impl->metrics, impl->budget}),
                                impl->budget);
  if (!http) return std::move(http).error();
  impl->http = std::move(*http);
  if (options.grpc) {
    GrpcLimits limits;
    limits.max_message_bytes = options.max_body_bytes;
    limits.threads = std::max(2u, options.http_threads);
    limits.idle_timeout = std::chrono::seconds(options.idle_timeout_s);
    std::optional<std::string> token = options.token;
    Metrics& metrics = impl->metrics;
    auto grpc = GrpcReceiver::start(
        options.grpc_host, options.grpc_port, limits, *impl->receiver, impl->budget,
        [token](std::string_view authorization) {
          return !token || bearer_matches(authorization, *token);
        },
        [&metrics](int code, std::chrono::nanoseconds took) { metrics.answered_grpc(code, took); });
    if (!grpc) return std::move(grpc).error();
    impl->grpc = std::move(*grpc);
  }
  return std::unique_ptr<TraceServer>(new TraceServer(std::move(impl)));
}

int TraceServer::port() const {
  return impl_->http->port();
}

int TraceServer::grpc_port() const {
  return impl_->grpc ? impl_->grpc->port() : 0;
}

Status TraceServer::serve() {
  Impl& s = *impl_;
  {
    std::unique_lock lock(s.mutex);
    s.cv.wait(lock, [&] { return s.stopping; });
  }
  // No new connection; the requests in progress get the drain's time to finish, then
  // every connection is closed. What was acknowledged is committed.
  const auto drain = std::chrono::milliseconds(s.options.drain_timeout_ms);
  const auto deadline = std::chrono::steady_clock::now() + drain;
  s.http->stop_accepting();
  if (s.grpc) s.grpc->stop(drain);
  s.http->wait_idle(deadline);
  s.http->stop();
  s.completion.drain();
  s.completion.stop();
  s.writer->stop();
  return Ok{};
}

void TraceServer::stop() {
  std::lock_guard lock(impl_->mutex);
  impl_->stopping = true;
  impl_->cv.notify_all();
}

void TraceServer::hold_writes(bool hold) {
  impl_->writer->hold(hold);
}

}  // namespace tracedx
