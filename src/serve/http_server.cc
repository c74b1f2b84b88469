#include "serve/http_server.h"

#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "text/number.h"
#include "text/text.h"

namespace tracedx {
namespace {

using Clock = std::chrono::steady_clock;

// A connection, as the deadline sweeper sees it.
struct Connection {
  int fd = -1;
  Clock::time_point since;  // the current request's first byte could come from here on
  bool receiving = true;    // false while its request is being handled
  bool cut = false;
};

// A request from its headers to its response.
struct Exchange {
  enum class Phase { kBody, kDiscard, kHandling, kReady };
  HttpRequest request;
  Phase phase = Phase::kBody;
  size_t body_limit = 0;
  BudgetLease body;
  HttpResponse response;  // kDiscard: the refusal; kReady: the handler's
  Clock::time_point start;
  Connection* connection = nullptr;
};

// Worker threads running handlers of complete requests.
class WorkerPool {
 public:
  void start(unsigned n) {
    for (unsigned i = 0; i < n; ++i) threads_.emplace_back([this] { run(); });
  }
  // False once the pool stops taking work.
  bool post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    tasks_.push_back(std::move(task));
    cv_.notify_one();
    return true;
  }
  // Runs what was posted, then ends the threads.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      cv_.notify_all();
    }
    for (auto& t : threads_) t.join();
    threads_.clear();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      cv_.wait(lock, [&] { return !tasks_.empty() || stopping_; });
      if (tasks_.empty()) return;
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

Result<int> listen_socket(const std::string& host, uint16_t port, int& family) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0)
    return Error::message("cannot listen on " + host + ":" + service + ": " + gai_strerror(rc));
  int err = 0;
  for (addrinfo* a = found; a; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 1024) == 0) {
      family = a->ai_family;
      freeaddrinfo(found);
      return fd;
    }
    err = errno;
    close(fd);
  }
  freeaddrinfo(found);
  return Error::message("cannot listen on " + host + ":" + service + ": " +
                        std::strerror(err ? err : EADDRNOTAVAIL));
}

int bound_port(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

// A strict Content-Length: digits only (blanks around), within 64 bits.
std::optional<uint64_t> content_length(std::string_view s) {
  return parse_unsigned(trim_ascii(s));
}

}  // namespace

std::optional<std::string_view> HttpRequest::header(std::string_view lower_name) const {
  for (const auto& [k, v] : headers) {
    if (k == lower_name) return std::string_view(v);
  }
  return std::nullopt;
}

std::optional<std::string_view> HttpRequest::param(std::string_view name) const {
  for (const auto& [k, v] : params) {
    if (k == name) return std::string_view(v);
  }
  return std::nullopt;
}

struct HttpServer::Impl {
  HttpLimits limits;
  HttpHandlers handlers;
  MemoryBudget& budget;
  MHD_Daemon* daemon = nullptr;
  int quiesced_fd = -1;  // the listening socket, once stop_accepting took it from the daemon
  int port = 0;
  WorkerPool workers;
  std::atomic<bool> stopping{false};

  mutable std::mutex mutex;  // guards connections and in_flight
  std::condition_variable idle_cv;
  std::unordered_set<Connection*> connections;
  size_t in_flight = 0;

  std::mutex sweep_mutex;
  std::condition_variable sweep_cv;
  bool sweep_stop = false;
  std::thread sweeper;

  Impl(const HttpLimits& l, HttpHandlers h, MemoryBudget& b)
      : limits(l), handlers(std::move(h)), budget(b) {}

  // Closes the connections whose request has not arrived whole within the deadline: the
  // socket is shut down and the library, reading its end, lets the connection go.
  void sweep_loop() {
    std::unique_lock lock(sweep_mutex);
    while (!sweep_cv.wait_for(lock, std::chrono::milliseconds(200), [&] { return sweep_stop; })) {
      const auto now = Clock::now();
      const auto deadline = std::chrono::milliseconds(limits.request_deadline_ms);
      std::lock_guard guard(mutex);
      for (Connection* c : connections) {
        if (c->receiving && !c->cut && now - c->since > deadline) {
          shutdown(c->fd, SHUT_RDWR);
          c->cut = true;
        }
      }
    }
  }

  static void on_connection(void* cls, MHD_Connection* connection, void** socket_context,
                            MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<Impl*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      auto* c = new Connection;
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      c->fd = info ? info->connect_fd : -1;
      c->since = Clock::now();
      *socket_context = c;
      std::lock_guard lock(self->mutex);
      self->connections.insert(c);
    } else if (auto* c = static_cast<Connection*>(*socket_context)) {
      {
        std::lock_guard lock(self->mutex);
        self->connections.erase(c);
      }
      delete c;
      *socket_context = nullptr;
    }
  }

  static void on_completed(void* cls, MHD_Connection*, void** con_cls, MHD_RequestTerminationCode) {
    auto* self = static_cast<Impl*>(cls);
    auto* ex = static_cast<Exchange*>(*con_cls);
    if (!ex) return;
    *con_cls = nullptr;
    std::lock_guard lock(self->mutex);
    if (ex->connection) {
      ex->connection->since = Clock::now();
      ex->connection->receiving = true;
    }
    delete ex;
    if (--self->in_flight == 0) self->idle_cv.notify_all();
  }

  MHD_Result queue(MHD_Connection* connection, Exchange& ex, HttpResponse&& r) {
    auto* body = new std::string(std::move(r.body));
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        body->size(), body->data(), [](void* p) { delete static_cast<std::string*>(p); }, body);
    if (!response) {
      delete body;
      return MHD_NO;
    }
    if (!r.content_type.empty())
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.content_type.c_str());
    for (const auto& [k, v] : limits.default_headers)
      MHD_add_response_header(response, k.c_str(), v.c_str());
    for (const auto& [k, v] : r.headers) MHD_add_response_header(response, k.c_str(), v.c_str());
    MHD_Result ok = MHD_queue_response(connection, static_cast<unsigned>(r.status), response);
    MHD_destroy_response(response);
    if (handlers.answered) handlers.answered(r.status, Clock::now() - ex.start);
    return ok;
  }

  static MHD_Result collect(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* list = static_cast<HeaderList*>(cls);
    list->emplace_back(key ? key : "", value ? value : "");
    return MHD_YES;
  }

  // The request line and headers are in: the request is admitted, refused or answered.
  MHD_Result begin(MHD_Connection* connection, const char* url, const char* method,
                   void** con_cls) {
    auto* ex = new Exchange;
    ex->start = Clock::now();
    *con_cls = ex;
    {
      std::lock_guard lock(mutex);
      ++in_flight;
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
      if (info) ex->connection = static_cast<Connection*>(info->socket_context);
    }
    HttpRequest& req = ex->request;
    req.method = method ? method : "";
    req.path = url ? url : "";
    MHD_get_connection_values(connection, MHD_HEADER_KIND, collect, &req.headers);
    for (auto& [k, v] : req.headers) k = lower_ascii(k);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collect, &req.params);
    Admission admission = handlers.admit(req);
    if (admission.answer) return queue(connection, *ex, std::move(*admission.answer));
    ex->body_limit = admission.body_limit;
    if (auto length = req.header("content-length")) {
      auto n = content_length(*length);
      if (!n) return queue(connection, *ex, handlers.refuse(req, Refusal::kMalformed, ""));
      if (*n > ex->body_limit) return too_large(connection, *ex);
      ex->body = BudgetLease(&budget);
      if (!ex->body.grow(*n)) return over_budget(connection, *ex);
      ex->request.body.reserve(*n);
    } else {
      ex->body = BudgetLease(&budget);
    }
    return MHD_YES;
  }

  MHD_Result too_large(MHD_Connection* connection, Exchange& ex) {
    return queue(connection, ex, handlers.refuse(ex.request, Refusal::kTooLarge, ""));
  }

  MHD_Result over_budget(MHD_Connection* connection, Exchange& ex) {
    return queue(connection, ex, handlers.refuse(ex.request, Refusal::kMemory, ""));
  }

  // A piece of the body: kept, or (past the limit or the budget) dropped, the refusal
  // answered once the body is over.
  void take_body(Exchange& ex, const char* data, size_t n) {
    if (ex.phase == Exchange::Phase::kDiscard) return;
    std::string& body = ex.request.body;
    auto discard = [&](Refusal why) {
      ex.phase = Exchange::Phase::kDiscard;
      ex.response = handlers.refuse(ex.request, why, "");
      std::string().swap(body);
      ex.body.release();
    };
    if (n > ex.body_limit - body.size()) {
      return discard(Refusal::kTooLarge);
    }
    const size_t needed = body.size() + n;
    if (needed > ex.body.held()) {
      // A body of unknown length takes its memory in steps that double, up to the limit.
      size_t want = std::min(ex.body_limit, std::max(needed, 2 * ex.body.held()));
      if (!ex.body.hold(want) && !ex.body.hold(needed)) return discard(Refusal::kMemory);
    }
    body.append(data, n);
  }

  MHD_Result on_request(MHD_Connection* connection, const char* url, const char* method,
                        const char* upload_data, size_t* upload_data_size, void** con_cls) {
    auto* ex = static_cast<Exchange*>(*con_cls);
    if (!ex) return begin(connection, url, method, con_cls);
    if (*upload_data_size > 0) {
      take_body(*ex, upload_data, *upload_data_size);
      *upload_data_size = 0;
      return MHD_YES;
    }
    switch (ex->phase) {
      case Exchange::Phase::kDiscard:
        return queue(connection, *ex, std::move(ex->response));
      case Exchange::Phase::kReady:
        return queue(connection, *ex, std::move(ex->response));
      case Exchange::Phase::kHandling:
        return MHD_YES;
      case Exchange::Phase::kBody:
        break;
    }
    if (stopping) {
      return queue(connection, *ex, handlers.refuse(ex->request, Refusal::kStopping, ""));
    }
    ex->phase = Exchange::Phase::kHandling;
    {
      std::lock_guard lock(mutex);
      if (ex->connection) ex->connection->receiving = false;
    }
    MHD_suspend_connection(connection);
    bool posted = workers.post([this, ex, connection] {
      try {
        ex->response = handlers.handle(ex->request);
      } catch (const std::bad_alloc&) {
        ex->response = handlers.refuse(ex->request, Refusal::kFailed, "out of memory");
      } catch (const std::exception& e) {
        ex->response = handlers.refuse(ex->request, Refusal::kFailed, e.what());
      }
      std::string().swap(ex->request.body);
      ex->body.release();
      ex->phase = Exchange::Phase::kReady;
      MHD_resume_connection(connection);
    });
    if (!posted) {
      ex->response = handlers.refuse(ex->request, Refusal::kStopping, "");
      ex->phase = Exchange::Phase::kReady;
      MHD_resume_connection(connection);
    }
    return MHD_YES;
  }
};

HttpServer::HttpServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HttpServer::~HttpServer() {
  stop();
}

Result<std::unique_ptr<HttpServer>> HttpServer::start(const std::string& host, uint16_t port,
                                                      const HttpLimits& limits,
                                                      HttpHandlers handlers, MemoryBudget& budget) {
  auto impl = std::make_unique<Impl>(limits, std::move(handlers), budget);
  int family = AF_INET;
  auto fd = listen_socket(host, port, family);
  if (!fd) return std::move(fd).error();
  impl->port = bound_port(*fd);
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  if (family == AF_INET6) flags |= MHD_USE_IPv6;
  Impl* p = impl.get();
  auto access = [](void* cls, MHD_Connection* connection, const char* url, const char* method,
                   const char*, const char* upload_data, size_t* upload_data_size,
                   void** con_cls) -> MHD_Result {
    return static_cast<Impl*>(cls)->on_request(connection, url, method, upload_data,
                                               upload_data_size, con_cls);
  };
  auto quiet = [](void*, const char*, va_list) {};
  impl->workers.start(std::max(1u, limits.workers));
  impl->daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, access, p, MHD_OPTION_LISTEN_SOCKET, *fd,
      MHD_OPTION_THREAD_POOL_SIZE, std::max(1u, limits.event_threads),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.max_header_bytes, MHD_OPTION_CONNECTION_TIMEOUT,
      limits.idle_timeout_s, MHD_OPTION_CONNECTION_LIMIT, limits.max_connections,
      MHD_OPTION_NOTIFY_COMPLETED, &Impl::on_completed, p, MHD_OPTION_NOTIFY_CONNECTION,
      &Impl::on_connection, p, MHD_OPTION_EXTERNAL_LOGGER,
      static_cast<void (*)(void*, const char*, va_list)>(quiet), nullptr, MHD_OPTION_END);
  if (!impl->daemon) {
    close(*fd);
    impl->workers.stop();
    return Error::message("cannot serve HTTP on " + host + ":" + std::to_string(port));
  }
  impl->sweeper = std::thread([p] { p->sweep_loop(); });
  return std::unique_ptr<HttpServer>(new HttpServer(std::move(impl)));
}

int HttpServer::port() const {
  return impl_->port;
}

void HttpServer::stop_accepting() {
  if (!impl_->daemon) return;
  // The event threads take the listening socket out of their epoll sets after this returns:
  // it is closed only once the daemon has stopped (closing it now could fail their removal,
  // which the library treats as fatal). Connections that come meanwhile wait in the backlog
  // and are reset when it closes.
  if (impl_->quiesced_fd < 0) impl_->quiesced_fd = MHD_quiesce_daemon(impl_->daemon);
}

bool HttpServer::wait_idle(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(impl_->mutex);
  return impl_->idle_cv.wait_until(lock, deadline, [&] { return impl_->in_flight == 0; });
}

size_t HttpServer::in_flight() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->in_flight;
}

void HttpServer::stop() {
  Impl& s = *impl_;
  if (!s.daemon) return;
  s.stopping = true;
  s.workers.stop();
  {
    std::lock_guard lock(s.sweep_mutex);
    s.sweep_stop = true;
    s.sweep_cv.notify_all();
  }
  if (s.sweeper.joinable()) s.sweeper.join();
  MHD_stop_daemon(s.daemon);
  s.daemon = nullptr;
  if (s.quiesced_fd >= 0) close(s.quiesced_fd);
  s.quiesced_fd = -1;
}

}  // namespace tracedx
