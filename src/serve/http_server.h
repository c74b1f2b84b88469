// An HTTP/1.1 server that stays up under a hostile network, on libmicrohttpd: connections
// are handled by a few event threads (not a thread each), the request line and headers
// together are capped (431 beyond), a request must arrive whole within a deadline and a
// connection idle for too long is closed. A request's headers are seen before its body is
// read, so it can be refused at once (a wrong token, a body over the limit or over the
// memory budget); bodies are taken from the memory budget as they arrive. A complete
// request is handled on a worker thread while its connection waits, so a slow handler
// never holds the event threads. Chunked bodies (trailers too) and pipelining come with
// the library.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "serve/memory_budget.h"

namespace tracedx {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method, path;
  HeaderList headers;  // names lower-cased
  HeaderList params;   // the query's, percent-decoded
  std::string body;

  // The first header named `lower_name`, or of the parameter `name`.
  std::optional<std::string_view> header(std::string_view lower_name) const;
  std::optional<std::string_view> param(std::string_view name) const;
};

struct HttpResponse {
  int status = 200;
  std::string content_type;
  std::string body;
  HeaderList headers;
};

// What becomes of a request once its headers are in.
struct Admission {
  std::optional<HttpResponse> answer;  // answered at once, its body (if any) not read
  size_t body_limit = 0;               // the largest body read (413 beyond)
};

// Why the server itself refuses a request.
enum class Refusal {
  kMalformed,  // a malformed Content-Length
  kTooLarge,   // a body over the route's limit
  kMemory,     // the body does not fit in the memory budget
  kStopping,   // the request completed while the server stops
  kFailed,     // the handler failed (what() in the message)
};

struct HttpHandlers {
  // On an event thread: must not block.
  std::function<Admission(const HttpRequest&)> admit;
  // The response of a complete request, on a worker thread.
  std::function<HttpResponse(HttpRequest&)> handle;
  // The response refusing a request, `detail` saying more when there is more to say (the
  // body limit, a handler's failure); on an event thread.
  std::function<HttpResponse(const HttpRequest&, Refusal, std::string_view detail)> refuse;
  // Every response, when it is queued, with the time since the request's headers came in.
  std::function<void(int status, std::chrono::nanoseconds)> answered;
};

struct HttpLimits {
  unsigned workers = 16;
  unsigned event_threads = 2;
  unsigned idle_timeout_s = 30;
  uint64_t request_deadline_ms = 60000;
  unsigned max_connections = 4096;
  size_t max_header_bytes = 32 * 1024;
  HeaderList default_headers;  // added to every response
};

class HttpServer {
 public:
  // Listens on host:port (port 0: any free port) and starts serving.
  static Result<std::unique_ptr<HttpServer>> start(const std::string& host, uint16_t port,
                                                   const HttpLimits& limits, HttpHandlers handlers,
                                                   MemoryBudget& budget);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  int port() const;

  // Stops accepting connections; those open go on.
  void stop_accepting();
  // Waits until no request is being received or handled, or until `deadline`; whether none
  // is.
  bool wait_idle(std::chrono::steady_clock::time_point deadline);
  // Lets the handlers at work finish, then closes every connection. Requests that complete
  // meanwhile are refused with 503.
  void stop();

  // Requests begun and not yet answered.
  size_t in_flight() const;

  struct Impl;

 private:
  explicit HttpServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tracedx
