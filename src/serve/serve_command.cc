#include "serve/serve_command.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <new>
#include <thread>

#include "base/exit_status.h"
#include "input/input.h"

namespace tracedx {
namespace {

std::optional<uint64_t> parse_unsigned(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, uint64_t(c - '0'), &v))
      return std::nullopt;
  }
  return v;
}

struct Option {
  std::string_view name;
  std::string_view help;
  Status (*apply)(ServeOptions& o, std::string_view value);
};

Status number(std::string_view name, std::string_view value, uint64_t min, uint64_t max,
              uint64_t& out) {
  auto n = parse_unsigned(value);
  if (!n || *n < min || *n > max) {
    return Error::message(std::string(name) + " needs a number from " + std::to_string(min) +
                          " to " + std::to_string(max) + ", got \"" + std::string(value) + "\"");
  }
  out = *n;
  return Ok{};
}

Status set_listen(ServeOptions& o, std::string_view value) {
  auto bad = [&] {
    return Error::message("--listen needs HOST:PORT (an IPv6 host in brackets), got \"" +
                          std::string(value) + "\"");
  };
  auto colon = value.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return bad();
  std::string_view host = value.substr(0, colon);
  if (host.starts_with('[')) {
    if (!host.ends_with(']') || host.size() < 3) return bad();
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    return bad();
  }
  auto port = parse_unsigned(value.substr(colon + 1));
  if (!port || *port > 65535) return bad();
  o.host = host;
  o.port = static_cast<uint16_t>(*port);
  return Ok{};
}

// clang-format off
const Option kOptions[] = {
    {"--listen", "HOST:PORT  address to listen on (default 127.0.0.1:4318; port 0: any free port)",
     set_listen},
    {"--db", "FILE  the SQLite database (default tracedx.db, created when missing)",
     [](ServeOptions& o, std::string_view v) -> Status {
       if (v.empty()) return Error::message("--db needs a file name");
       o.db_path = v;
       return Ok{};
     }},
    {"--quiet-ms", "N  a trace with its root span is diagnosed N ms after its last span (default 5000)",
     [](ServeOptions& o, std::string_view v) -> Status {
       return number("--quiet-ms", v, 0, uint64_t{1} << 40, o.quiet_ms);
     }},
    {"--token-file", "FILE  require Authorization: Bearer TOKEN (the file's content, trimmed)",
     [](ServeOptions& o, std::string_view v) -> Status {
       auto bytes = read_input(std::string(v));
       if (!bytes) return Error::message("--token-file: " + bytes.error().display());
       std::string_view t = *bytes;
       auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
       while (!t.empty() && space(t.front())) t.remove_prefix(1);
       while (!t.empty() && space(t.back())) t.remove_suffix(1);
       if (t.empty()) return Error::message("--token-file: " + std::string(v) + " holds no token");
       o.token = std::string(t);
       return Ok{};
     }},
    {"--max-body-bytes", "N  largest request body, as sent and decompressed (default 16777216)",
     [](ServeOptions& o, std::string_view v) -> Status {
       uint64_t n = 0;
       if (auto ok = number("--max-body-bytes", v, 1, uint64_t{1} << 32, n); !ok) return ok;
       o.max_body_bytes = n;
       return Ok{};
     }},
    {"--keep-days", "N  delete traces last seen more than N days ago (default: keep all)",
     [](ServeOptions& o, std::string_view v) -> Status {
       uint64_t n = 0;
       if (auto ok = number("--keep-days", v, 1, 100000, n); !ok) return ok;
       o.keep_days = n;
       return Ok{};
     }},
    {"--slow-threshold-ms", "N  slow threshold for retrieval-like steps (default 2500)",
     [](ServeOptions& o, std::string_view v) -> Status {
       uint64_t n = 0;
       if (auto ok = number("--slow-threshold-ms", v, 0, UINT64_MAX, n); !ok) return ok;
       o.diagnose.slow_threshold_ms = n;
       return Ok{};
     }},
};
// clang-format on

int usage(const std::string& message) {
  std::fprintf(stderr, "tracedx: %s\n\n%s", message.c_str(), serve_help().c_str());
  return kExitUsage;
}

std::string url_host(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

std::string serve_help() {
  std::string out =
      "usage: tracedx serve [options]\n\n"
      "Receives OpenTelemetry traces over OTLP/HTTP (POST /v1/traces, protobuf or JSON, gzip),\n"
      "stores every span in SQLite and diagnoses each trace once its root span has arrived and\n"
      "no span of it came for --quiet-ms. The same port serves the runs: an HTML index at /,\n"
      "reports at /traces/ID, JSON at /api/traces and /api/traces/ID, /healthz and /metrics.\n"
      "SIGTERM or SIGINT: stop accepting, diagnose what is pending, exit 0. A --listen address\n"
      "other than loopback needs --token-file.\n\noptions:\n";
  for (const auto& o : kOptions)
    out += "  " + std::string(o.name) + " " + std::string(o.help) + "\n";
  out += "  --help   show this help\n";
  return out;
}

Result<ServeOptions> parse_serve_args(int argc, char** argv, int first, bool& help) {
  ServeOptions options;
  help = false;
  for (int i = first; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--help" || a == "-h") {
      help = true;
      return options;
    }
    std::string_view name = a, value;
    bool inline_value = false;
    if (auto eq = a.find('='); a.starts_with("--") && eq != std::string_view::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      inline_value = true;
    }
    const Option* option = nullptr;
    for (const auto& o : kOptions) {
      if (o.name == name) option = &o;
    }
    if (!option) {
      return Error::message(a.starts_with("-")
                                ? "unknown option " + std::string(name)
                                : "serve takes no arguments, got \"" + std::string(a) + "\"");
    }
    if (!inline_value) {
      if (i + 1 >= argc) return Error::message(std::string(name) + " needs a value");
      value = argv[++i];
    }
    if (auto ok = option->apply(options, value); !ok) return std::move(ok).error();
  }
  return options;
}

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

int serve_command(int argc, char** argv, int first) {
  bool help = false;
  auto options = parse_serve_args(argc, argv, first, help);
  if (!options) return usage(options.error().text());
  if (help) {
    std::fputs(serve_help().c_str(), stdout);
    return std::fflush(stdout) == 0 ? kExitOk : kExitError;
  }
  if (!is_loopback_host(options->host) && !options->token) {
    std::fprintf(stderr,
                 "Error: listening on %s (not a loopback address) needs --token-file: every "
                 "request must then carry its bearer token\n",
                 options->host.c_str());
    return kExitUsage;
  }
  // The signals are taken by one thread (sigwait), so every other thread started below
  // inherits them blocked. A write to a closed connection is an error, not a signal.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  auto server = TraceServer::start(*options);
  if (!server) {
    std::fprintf(stderr, "Error: %s\n", server.error().display().c_str());
    return kExitError;
  }
  std::printf("tracedx serve: listening on http://%s:%d\n", url_host(options->host).c_str(),
              (*server)->port());
  std::fflush(stdout);
  TraceServer* s = server->get();
  std::atomic<bool> over{false};
  std::thread waiter([s, signals, &over] {
    int sig = 0;
    sigwait(&signals, &sig);
    if (over) return;
    std::fprintf(stderr, "tracedx serve: stopping: diagnosing the pending traces\n");
    s->stop();
  });
  Status served = s->serve();
  // Wakes the waiter when serve() ended on its own (a failed listener).
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
