#include "serve/http_api.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <variant>

#include "report/record_writers.h"
#include "serve/diagnose_spans.h"
#include "serve/pages.h"
#include "serve/store.h"
#include "text/json_writer.h"
#include "text/text.h"

namespace tracedx {
namespace {

constexpr std::string_view kJson = "application/json";
constexpr std::string_view kProtobuf = "application/x-protobuf";
constexpr std::string_view kText = "text/plain; charset=utf-8";
constexpr std::string_view kHtml = "text/html; charset=utf-8";

// The memory a report page takes while it is made, per span of its trace: the spans read
// back, the imported trace, its diagnosis and the page.
constexpr size_t kPageBytesPerSpan = 6 * 1024;

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
    {"/healthz", Endpoint::kHealth, false, true, false, "\"ok\", or 503 with the reason when the database cannot be written"},
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
  std::string out(trim_ascii(s));
  for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}

// A trace id in a path: 1 to 64 hex digits, returned lower-cased.
std::optional<std::string> path_id(std::string_view s) {
  if (s.empty() || s.size() > 64) return std::nullopt;
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
  }
  return out;
}

// A Unix time in milliseconds, or a count: digits only, within a signed 64-bit integer.
std::optional<int64_t> parse_count(std::string_view s) {
  if (s.empty() || s.size() > 19) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  return static_cast<int64_t>(v);
}

struct ErrorBody {
  std::string error;
};

template <typename V>
void error_fields(V& v, const ErrorBody& e) {
  v.member("error", e.error);
}

HttpResponse respond(int status, std::string_view type, std::string body) {
  HttpResponse r;
  r.status = status;
  r.content_type = type;
  r.body = std::move(body);
  return r;
}

HttpResponse json_error(int status, std::string message) {
  std::string out;
  CompactWriter(out).write(ErrorBody{std::move(message)}, error_fields<CompactWriter>);
  return respond(status, kJson, std::move(out));
}

HttpResponse text(int status, std::string message) {
  return respond(status, kText, std::move(message) + "\n");
}

// The media type of a Content-Type header, parameters after ';' left out.
std::string media_type(const HttpRequest& req) {
  std::string_view v = req.header("content-type").value_or("");
  return lowered(v.substr(0, v.find(';')));
}

template <typename V>
void trace_fields(V& v, const TraceRow& t) {
  v.member("trace_id", t.id);
  v.member("service", t.service);
  v.member("title", t.title);
  v.member("status", t.status);
  v.member("first_seen", t.first_seen);
  v.member("last_seen", t.last_seen);
  v.member("span_count", t.span_count);
  v.member("step_count", t.step_count);
  v.member("duration_ms", t.duration_ms);
  v.member("outcome", t.outcome);
  v.member("label", t.label);
  v.member("severity", t.severity);
  v.member("version", t.version);
}

// A trace with its stored diagnosis, embedded as it was stored.
void trace_with_diagnosis(CompactWriter& v, const TraceRow& t) {
  trace_fields(v, t);
  v.json_member("diagnosis", t.diagnosis);
  v.member("error", t.error);
}

struct TraceList {
  std::vector<TraceRow> traces;
};

void list_fields(CompactWriter& v, const TraceList& list) {
  v.records("traces", list.traces, trace_fields<CompactWriter>);
}

// Read connections for the request threads, opened on first use and reused.
class ReadPool {
 public:
  explicit ReadPool(std::string path) : path_(std::move(path)) {}

  Result<std::shared_ptr<Store>> take() {
    {
      std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        auto s = std::move(free_.back());
        free_.pop_back();
        return lease(std::move(s));
      }
    }
    auto s = Store::open(path_);
    if (!s) return std::move(s).error();
    return lease(std::move(*s));
  }

 private:
  std::shared_ptr<Store> lease(std::unique_ptr<Store> s) {
    return std::shared_ptr<Store>(s.release(), [this](Store* back) {
      std::lock_guard lock(mutex_);
      free_.emplace_back(back);
    });
  }

  std::string path_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Store>> free_;
};

class Api {
 public:
  explicit Api(ApiContext c) : c_(c), readers_(c.options.db_path) {}

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
    if (route->endpoint == Endpoint::kHealth) return answer(a, health());
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
          return {503, "the server is at its memory limit; retry later", Refused::kMemory};
        case Refusal::kStopping:
          return {503, "the server is shutting down", Refused::kStopping};
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
        return list(req);
      case Endpoint::kTrace:
        return trace(id);
      case Endpoint::kSpans:
        return spans(id);
      case Endpoint::kIndex:
        return index(req);
      case Endpoint::kReport:
        return report(id);
    }
    return json_error(404, "not found");
  }

 private:
  static Admission& answer(Admission& a, HttpResponse r) {
    a.answer = std::move(r);
    return a;
  }

  HttpResponse health() {
    std::string failure = c_.writer.failure();
    if (failure.empty()) return text(200, "ok");
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

  // A TraceFilter from the query; an error message for a bad parameter.
  static Result<TraceFilter> filter_of(const HttpRequest& req) {
    TraceFilter f;
    auto param = [&](const char* name) -> std::optional<std::string> {
      auto v = req.param(name);
      if (!v || v->empty()) return std::nullopt;
      return std::string(*v);
    };
    f.label = param("label");
    f.outcome = param("outcome");
    f.service = param("service");
    for (auto [name, field] : {std::pair{"since", &f.since}, std::pair{"until", &f.until}}) {
      if (auto v = param(name)) {
        auto n = parse_count(*v);
        if (!n) {
          return Error::message(std::string(name) +
                                " must be a Unix time in milliseconds (0 to 9223372036854775807)");
        }
        *field = *n;
      }
    }
    if (auto v = param("limit")) {
      auto n = parse_count(*v);
      if (!n || *n < 1 || *n > 1000) return Error::message("limit must be from 1 to 1000");
      f.limit = *n;
    }
    return f;
  }

  HttpResponse server_error(const Error& e, bool html) {
    std::fprintf(stderr, "tracedx serve: %s\n", e.display().c_str());
    return html ? text(500, e.display()) : json_error(500, e.display());
  }

  HttpResponse list(const HttpRequest& req) {
    auto filter = filter_of(req);
    if (!filter) return json_error(400, filter.error().text());
    auto db = readers_.take();
    if (!db) return server_error(db.error(), false);
    auto rows = (*db)->list_traces(*filter);
    if (!rows) return server_error(rows.error(), false);
    std::string out;
    CompactWriter(out).write(TraceList{std::move(*rows)}, list_fields);
    return respond(200, kJson, std::move(out));
  }

  // The trace named by the path, or the response saying why there is none.
  std::variant<TraceRow, HttpResponse> find(std::string_view raw_id, bool html) {
    auto id = path_id(raw_id);
    auto refuse = [&](int status, std::string message) {
      return html ? text(status, std::move(message)) : json_error(status, std::move(message));
    };
    if (!id) return refuse(400, "a trace id is 1 to 64 hex digits");
    auto db = readers_.take();
    if (!db) return server_error(db.error(), html);
    auto row = (*db)->get_trace(*id);
    if (!row) return server_error(row.error(), html);
    if (!*row) return refuse(404, "no trace " + *id);
    return std::move(**row);
  }

  HttpResponse trace(std::string_view raw_id) {
    auto found = find(raw_id, false);
    if (auto* r = std::get_if<HttpResponse>(&found)) return std::move(*r);
    std::string out;
    CompactWriter(out).write(std::get<TraceRow>(found), trace_with_diagnosis);
    return respond(200, kJson, std::move(out));
  }

  HttpResponse spans(std::string_view raw_id) {
    auto found = find(raw_id, false);
    if (auto* r = std::get_if<HttpResponse>(&found)) return std::move(*r);
    const TraceRow& row = std::get<TraceRow>(found);
    BudgetLease held(&c_.budget);
    if (!held.grow(static_cast<size_t>(row.span_count) * kPageBytesPerSpan / 4))
      return refuse_busy(false);
    auto db = readers_.take();
    if (!db) return server_error(db.error(), false);
    auto snapshot = (*db)->read_spans(row.id);
    if (!snapshot) return server_error(snapshot.error(), false);
    auto lines = snapshot_lines(*snapshot);
    if (!lines) return server_error(lines.error(), false);
    return respond(200, "application/jsonl", std::move(*lines));
  }

  HttpResponse refuse_busy(bool html) {
    std::string why = "the server is at its memory limit; retry later";
    HttpResponse r = html ? text(503, why) : json_error(503, why);
    r.headers.emplace_back("Retry-After", "1");
    return r;
  }

  // The report page stored with the trace's diagnosis. A trace not diagnosed yet is
  // rendered from its spans as they are; one diagnosed whose page was never viewed is
  // rendered once and its page stored. A trace whose spans could not be imported is a
  // 422 saying why.
  HttpResponse report(std::string_view raw_id) {
    auto id = path_id(raw_id);
    if (!id) return text(400, "a trace id is 1 to 64 hex digits");
    auto db = readers_.take();
    if (!db) return server_error(db.error(), true);
    auto stored = (*db)->read_page(*id);
    if (!stored) return server_error(stored.error(), true);
    if (!*stored) return text(404, "no trace " + *id);
    StoredPage& p = **stored;
    if (p.page) return respond(200, kHtml, std::move(*p.page));
    auto cannot = [&](const std::string& why) {
      return text(422, "the spans of trace " + *id + " could not be imported: " + why);
    };
    if (p.status == "failed" && p.error) return cannot(*p.error);
    auto row = (*db)->get_trace(*id);
    if (!row) return server_error(row.error(), true);
    BudgetLease held(&c_.budget);
    if (*row && !held.grow(static_cast<size_t>((**row).span_count) * kPageBytesPerSpan))
      return refuse_busy(true);
    auto snapshot = (*db)->read_spans(*id);
    if (!snapshot) return server_error(snapshot.error(), true);
    auto page = report_page(*id, *snapshot, c_.options.diagnose);
    if (!page) return cannot(page.error().display());
    if (p.status == "diagnosed") {
      auto job = new Job;
      job->kind = Job::Kind::kPage;
      job->trace_id = *id;
      job->version = p.version;
      job->record.page = *page;
      job->then = [](Job&) {};
      if (!c_.writer.submit(*job, false)) delete job;
    }
    return respond(200, kHtml, std::move(*page));
  }

  HttpResponse index(const HttpRequest& req) {
    auto filter = filter_of(req);
    if (!filter) return text(400, filter.error().text());
    auto db = readers_.take();
    if (!db) return server_error(db.error(), true);
    IndexPage page;
    page.filter = *filter;
    page.now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    auto rows = (*db)->list_traces(*filter);
    if (!rows) return server_error(rows.error(), true);
    page.traces = std::move(*rows);
    auto counts = (*db)->label_counts(*filter);
    if (!counts) return server_error(counts.error(), true);
    page.label_counts = std::move(*counts);
    return respond(200, kHtml, index_html(page));
  }

  ApiContext c_;
  ReadPool readers_;
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

std::string routes_help() {
  std::string out;
  for (const Route& r : kRoutes) {
    out += "  ";
    out += r.post ? "POST " : "GET  ";
    out += r.pattern;
    out += std::string(r.pattern.size() < 24 ? 24 - r.pattern.size() : 1, ' ');
    out += r.help;
    out += r.open ? " (no token needed)\n" : "\n";
  }
  return out;
}

}  // namespace tracedx
