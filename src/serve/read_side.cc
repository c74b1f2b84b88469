#include "serve/read_side.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "serve/diagnose_spans.h"
#include "serve/pages.h"
#include "serve/receiver.h"
#include "serve/responses.h"
#include "serve/store.h"
#include "text/number.h"

namespace tracedx {
namespace {

// The memory a report page takes while it is made, per span of its trace: the spans read
// back, the imported trace, its diagnosis and the page (a trace of 100,000 minimal spans
// peaks at about 700 MB).
constexpr size_t kPageBytesPerSpan = 7 * 1024;
// And per byte of its rows, once they are read (the texts of real spans).
constexpr size_t kPageBytesPerRowByte = 4;

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
  auto v = parse_unsigned(s);
  if (!v || *v > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  return static_cast<int64_t>(*v);
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
  // Spans past the trace's span limit, not stored: the diagnosis is of those kept.
  v.member("spans_dropped", t.spans_dropped);
  // The same for log records past the trace's log record limit.
  v.member("log_records_dropped", t.logs_dropped);
  v.member("has_root", t.has_root);
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

}  // namespace

class ReadSide::Impl {
 public:
  Impl(const ServeOptions& options, Writer& writer, MemoryBudget& budget)
      : options_(options), writer_(writer), budget_(budget), readers_(options.db_path) {}

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
    BudgetLease held(&budget_);
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
    std::string why(kOverBudget);
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
    BudgetLease held(&budget_);
    if (*row && !held.grow(static_cast<size_t>((**row).span_count) * kPageBytesPerSpan))
      return refuse_busy(true);
    auto snapshot = (*db)->read_spans(*id);
    if (!snapshot) return server_error(snapshot.error(), true);
    if (!held.grow(kPageBytesPerRowByte * snapshot->bytes())) return refuse_busy(true);
    auto page = report_page(*id, *snapshot, options_.diagnose);
    if (!page) return cannot(page.error().display());
    if (p.status == "diagnosed") {
      auto job = new Job;
      job->kind = Job::Kind::kPage;
      job->trace_id = *id;
      job->version = p.version;
      job->record.page = *page;
      job->then = [](Job&) {};
      if (!writer_.submit(*job, false)) delete job;
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

  Status probe() {
    auto db = readers_.take();
    if (!db) return std::move(db).error();
    return (*db)->probe();
  }

 private:
  const ServeOptions& options_;
  Writer& writer_;
  MemoryBudget& budget_;
  ReadPool readers_;
};

ReadSide::ReadSide(const ServeOptions& options, Writer& writer, MemoryBudget& budget)
    : impl_(std::make_unique<Impl>(options, writer, budget)) {}
ReadSide::~ReadSide() = default;

HttpResponse ReadSide::list(const HttpRequest& req) {
  return impl_->list(req);
}
HttpResponse ReadSide::trace(std::string_view raw_id) {
  return impl_->trace(raw_id);
}
HttpResponse ReadSide::spans(std::string_view raw_id) {
  return impl_->spans(raw_id);
}
HttpResponse ReadSide::index(const HttpRequest& req) {
  return impl_->index(req);
}
Status ReadSide::probe() {
  return impl_->probe();
}
HttpResponse ReadSide::report(std::string_view raw_id) {
  return impl_->report(raw_id);
}

}  // namespace tracedx
