#include "serve/serve_command.h"

#include <google/protobuf/stubs/logging.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "base/exit_status.h"
#include "serve/routes.h"
#include "text/number.h"

namespace tracedx {
namespace {

// Protobuf's parser writes a line to standard error for each string field of invalid UTF-8
// it meets. The receiver repairs those strings and counts them in its metrics, so the lines
// say nothing new, and any client could fill the log with them: only fatal errors are kept.
void fatal_protobuf_errors_only(google::protobuf::LogLevel level, const char* file, int line,
                                const std::string& message) {
  if (level == google::protobuf::LOGLEVEL_FATAL)
    std::fprintf(stderr, "[libprotobuf FATAL %s:%d] %s\n", file, line, message.c_str());
}

std::string url_host(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

bool is_loopback_host(std::string_view host) {
  if (host == "localhost" || host == "::1") return true;
  // 127.0.0.0/8 written as a dotted quad.
  if (!host.starts_with("127.")) return false;
  int parts = 0;
  size_t i = 0;
  while (i <= host.size()) {
    size_t end = host.find('.', i);
    if (end == std::string_view::npos) end = host.size();
    auto n = parse_unsigned(host.substr(i, end - i));
    if (!n || *n > 255 || end - i > 3) return false;
    ++parts;
    i = end + 1;
  }
  return parts == 4;
}

int run_serve(const ServeOptions& options, bool (*announce)(std::string_view line)) {
  // The signals are taken by one thread (sigwait), so every other thread started below
  // inherits them blocked. A write to a closed connection is an error, not a signal.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  google::protobuf::SetLogHandler(fatal_protobuf_errors_only);

  auto server = TraceServer::start(options);
  if (!server) {
    std::fprintf(stderr, "Error: %s\n", server.error().display().c_str());
    return kExitError;
  }
  // Whoever started it may be waiting for this line (the port, when it was 0): a server
  // that cannot say where it listens is not left running unseen.
  if (!announce("tracedx serve: listening on http://" + url_host(options.host) + ":" +
                std::to_string((*server)->port()) + "\n"))
    return kExitError;
  if ((*server)->grpc_port() &&
      !announce("tracedx serve: OTLP/gRPC on " + url_host(options.grpc_host) + ":" +
                std::to_string((*server)->grpc_port()) + "\n"))
    return kExitError;
  TraceServer* s = server->get();
  std::atomic<bool> over{false};
  std::thread waiter([s, signals, &over] {
    for (bool first = true;; first = false) {
      int sig = 0;
      sigwait(&signals, &sig);
      if (over) return;
      if (!first) {
        // Acknowledged spans are committed to the database's log already; traces left
        // undiagnosed are picked up again by the next start.
        std::fputs(
            "tracedx serve: stopping at once: the pending traces are diagnosed at the next "
            "start\n",
            stderr);
        std::_Exit(kExitError);
      }
      std::fputs(
          "tracedx serve: stopping: diagnosing the pending traces (signal again to stop "
          "at once)\n",
          stderr);
      s->stop();
    }
  });
  Status served = s->serve();
  // Wakes the waiter when serve() ended on its own (a failed listener) or after the drain.
  over = true;
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  if (!served) {
    std::fprintf(stderr, "Error: %s\n", served.error().display().c_str());
    return kExitError;
  }
  return kExitOk;
}

}  // namespace tracedx
