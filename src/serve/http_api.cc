#include "serve/http_api.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <variant>

#include "serve/read_side.h"
#include "serve/responses.h"
#include "serve/routes.h"
#include "text/json_writer.h"
#include "text/text.h"

namespace tracedx {
namespace {

enum class Endpoint { kTraces, kLogs, kHealth, kMetrics, kList, kTrace, kSpans, kIndex, kReport };

struct Route {
  std::string_view pattern;  // "{id}" stands for a trace id
  Endpoint endpoint;
  bool post;  // POST only; otherwise GET and HEAD
  bool open;  // answered without the bearer token
  bool html;  // refusals as text for a browser, not JSON
  std::string_view help;
};

// clang-format off
constexpr Route kRoutes[] = {
    {"/v1/traces", Endpoint::kTraces, true, false, false, "OTLP/HTTP trace exports (protobuf or JSON, gzip)"},
    {"/v1/logs", Endpoint::kLogs, true, false, false, "OTLP/HTTP log exports (records that name a span join it)"},
    {"/healthz", Endpoint::kHealth, false, true, false, "\"ok\", or 503 and why the database fails"},
    {"/metrics", Endpoint::kMetrics, false, false, false, "Prometheus metrics"},
    {"/api/traces", Endpoint::kList, false, false, false, "recent traces as JSON (?label= outcome= service= since= until= limit=)"},
    {"/api/traces/{id}", Endpoint::kTrace, false, false, false, "a trace and its diagnosis as JSON"},
    {"/api/traces/{id}/spans", Endpoint::kSpans, false, false, false, "a trace's stored spans as OTLP/JSON Lines"},
    {"/", Endpoint::kIndex, false, false, true, "the HTML index of recent runs, with the same filters"},
    {"/traces/{id}", Endpoint::kReport, false, false, true, "a trace's HTML report"},
};
// clang-format on

// The route a path matches, and the id it names.
const Route* route_of(std::string_view path, std::string_view& id) {
  if (path == "/api/traces/") path.remove_suffix(1);
  for (const Route& r : kRoutes) {
    std::string_view p = r.pattern;
    auto hole = p.find("{id}");
    if (hole == std::string_view::npos) {
      if (p == path) return &r;
      continue;
    }
    std::string_view head = p.substr(0, hole), tail = p.substr(hole + 4);
    if (!path.starts_with(head) || !path.ends_with(tail) ||
        path.size() <= head.size() + tail.size())
      continue;
    std::string_view middle = path.substr(head.size(), path.size() - head.size() - tail.size());
    if (middle.find('/') != std::string_view::npos) continue;
    id = middle;
    return &r;
  }
  return nullptr;
}

// Equal texts, in time that depends on their lengths only.
bool same_secret(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  size_t n = std::max(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff |= static_cast<unsigned char>(x ^ y);
  }
  return diff == 0;
}

std::string lowered(std::string_view s) {
  return lower_ascii(trim_ascii(s));
}

// The media type of a Content-Type header, parameters after ';' left out.
std::string media_type(const HttpRequest& req) {
  std::string_view v = req.header("content-type").value_or("");
  return lowered(v.substr(0, v.find(';')));
}

class Api {
 public:
  explicit Api(ApiContext c) : c_(c), reads_(c.options, c.writer, c.budget) {}

  Admission admit(const HttpRequest& req) {
    std::string_view id;
    const Route* route = route_of(req.path, id);
    Admission a;
    if (!route) return answer(a, json_error(404, "not found"));
    const bool head_or_get = req.method == "GET" || req.method == "HEAD";
    if (route->post ? req.method != "POST" : !head_or_get) {
      HttpResponse r = json_error(405, "method not allowed");
      r.headers.emplace_back("Allow", route->post ? "POST" : "GET, HEAD");
      return answer(a, std::move(r));
    }
    if (!route->open && c_.options.token &&
        !bearer_matches(req.header("authorization").value_or(""), *c_.options.token)) {
      HttpResponse r = json_error(401, "missing or wrong bearer token");
      r.headers.emplace_back("WWW-Authenticate", "Bearer");
      return answer(a, std::move(r));
    }
    if (route->post) {
      const std::string type = media_type(req);
      if (type != kProtobuf && type != kJson)
        return answer(a, json_error(415,
                                    "Content-Type must be application/x-protobuf or "
                                    "application/json"));
      const std::string encoding = lowered(req.header("content-encoding").value_or(""));
      if (!encoding.empty() && encoding != "identity" && encoding != "gzip")
        return answer(a, reply(req, 415, "Content-Encoding must be gzip or identity"));
      a.body_limit = c_.options.max_body_bytes;
    }
    return a;
  }

  // The server's own refusal of a request, counted when it refuses an export.
  HttpResponse refuse(const HttpRequest& req, Refusal why, std::string_view detail) {
    struct Said {
      int status;
      std::string message;
      std::optional<Refused> reason;
    };
    auto said = [&]() -> Said {
      switch (why) {
        case Refusal::kMalformed:
          return {400, "malformed Content-Length", Refused::kMalformed};
        case Refusal::kTooLarge:
          return {413,
                  "the body is over the limit of " + std::to_string(c_.options.max_body_bytes) +
                      " bytes",
                  Refused::kTooLarge};
        case Refusal::kMemory:
          return {503, std::string(kOverBudget), Refused::kMemory};
        case Refusal::kStopping:
          return {503, std::string(kStopping), Refused::kStopping};
        case Refusal::kFailed:
          break;
      }
      return {500, detail.empty() ? "internal error" : std::string(detail), std::nullopt};
    }();
    std::string_view id;
    const Route* route = route_of(req.path, id);
    if (route && route->post && said.reason) c_.metrics.refuse(*said.reason);
    return reply(req, said.status, said.message);
  }

  // A failure in the form the endpoint answers in: an OTLP status for an export, text for
  // a page, JSON otherwise; with Retry-After when trying again later may succeed.
  HttpResponse reply(const HttpRequest& req, int status, std::string_view message) {
    std::string_view id;
    const Route* route = route_of(req.path, id);
    HttpResponse r;
    if (route && route->post) {
      const bool protobuf = media_type(req) == kProtobuf;
      const int code = status == 413 ? 8 : status == 503 || status == 429 ? 14 : 3;
      r = respond(status, protobuf ? kProtobuf : kJson, export_error(protobuf, code, message));
    } else if (route && route->html) {
      r = text(status, std::string(message));
    } else {
      r = json_error(status, std::string(message));
    }
    if (status == 429 || status == 503) r.headers.emplace_back("Retry-After", "1");
    return r;
  }

  HttpResponse handle(HttpRequest& req) {
    std::string_view id;
    const Route* route = route_of(req.path, id);
    switch (route->endpoint) {
      case Endpoint::kTraces:
        return ingest(req, Signal::kTraces);
      case Endpoint::kLogs:
        return ingest(req, Signal::kLogs);
      case Endpoint::kHealth:
        return health();
      case Endpoint::kMetrics:
        return respond(200, "text/plain; version=0.0.4; charset=utf-8", metrics());
      case Endpoint::kList:
        return reads_.list(req);
      case Endpoint::kTrace:
        return reads_.trace(id);
      case Endpoint::kSpans:
        return reads_.spans(id);
      case Endpoint::kIndex:
        return reads_.index(req);
      case Endpoint::kReport:
        return reads_.report(id);
    }
    return json_error(404, "not found");
  }

 private:
  static Admission& answer(Admission& a, HttpResponse r) {
    a.answer = std::move(r);
    return a;
  }

  // Healthy while the last commit succeeded and the database can be read and written to.
  HttpResponse health() {
    std::string failure = c_.writer.failure();
    if (failure.empty()) {
      Status probe = reads_.probe();
      if (probe) return text(200, "ok");
      failure = probe.error().display();
    }
    return text(503, "the database cannot be written: " + failure);
  }

  std::string metrics() {
    Gauges g;
    g.queued_rows = c_.writer.queued_rows();
    g.memory_used = c_.budget.used();
    g.memory_limit = c_.budget.limit();
    g.pending_traces = c_.completion.pending_count();
    return metrics_text(c_.metrics, g);
  }

  HttpResponse ingest(HttpRequest& req, Signal signal) {
    const bool protobuf = media_type(req) == kProtobuf;
    std::string body = std::move(req.body);
    BudgetLease inflated(&c_.budget);
    if (lowered(req.header("content-encoding").value_or("")) == "gzip") {
      if (!inflated.grow(c_.options.max_body_bytes)) return refuse(req, Refusal::kMemory, "");
      bool too_large = false;
      auto out = gunzip(body, c_.options.max_body_bytes, too_large);
      if (!out) {
        c_.metrics.refuse(too_large ? Refused::kTooLarge : Refused::kMalformed);
        return reply(req, too_large ? 413 : 400, out.error().text());
      }
      std::string().swap(body);
      inflated.hold(out->size());
      body = std::move(*out);
    }
    ExportResult r = c_.receiver.receive(body, protobuf, signal);
    if (!r.ok()) return reply(req, r.http_status, r.message);
    return respond(200, protobuf ? kProtobuf : kJson, export_answer(r, protobuf, signal));
  }

  ApiContext c_;
  ReadSide reads_;
};

}  // namespace

bool bearer_matches(std::string_view header, std::string_view token) {
  constexpr std::string_view kBearer = "Bearer ";
  if (header.size() < kBearer.size() || lowered(header.substr(0, kBearer.size() - 1)) != "bearer" ||
      header[kBearer.size() - 1] != ' ')
    return false;
  return same_secret(header.substr(kBearer.size()), token);
}

HttpHandlers http_api(ApiContext context) {
  auto api = std::make_shared<Api>(context);
  HttpHandlers h;
  h.admit = [api](const HttpRequest& req) { return api->admit(req); };
  h.handle = [api](HttpRequest& req) { return api->handle(req); };
  h.refuse = [api](const HttpRequest& req, Refusal why, std::string_view detail) {
    return api->refuse(req, why, detail);
  };
  h.answered = [&metrics = context.metrics](int status, std::chrono::nanoseconds d) {
    metrics.answered(status, d);
  };
  return h;
}

std::string serve_endpoints_help() {
  std::string out = "The HTTP port (--listen) answers:\n";
  for (const Route& r : kRoutes) {
    out += "  ";
    out += r.post ? "POST " : "GET  ";
    out += r.pattern;
    out += std::string(r.pattern.size() < 24 ? 24 - r.pattern.size() : 1, ' ');
    out += r.help;
    out += r.open ? " (no token needed)\n" : "\n";
  }
  out += "OTLP/gRPC (--grpc-listen) takes TraceService/Export and LogsService/Export.";
  return out;
}

}  // namespace tracedx
