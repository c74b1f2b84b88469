#include "serve/server.h"

#include <httplib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include "report/report_json.h"
#include "serve/diagnose_spans.h"
#include "serve/ingest.h"
#include "serve/otlp_spans.h"
#include "serve/pages.h"
#include "serve/store.h"
#include "text/json_writer.h"

namespace tracedx {
namespace {

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
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

std::optional<int64_t> parse_int(std::string_view s) {
  if (s.empty() || s.size() > 19) return std::nullopt;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

std::string json_error(std::string_view message) {
  std::string out = "{\"error\":";
  append_json_string(out, message);
  return out + "}";
}

// The metrics /metrics reports.
struct Metrics {
  static constexpr double kBuckets[] = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1,
                                        0.25,  0.5,   1,    2.5,   5,    10};
  std::atomic<uint64_t> spans_received{0}, spans_rejected{0};
  std::atomic<uint64_t> logs_received{0}, logs_rejected{0};
  std::atomic<uint64_t> buckets[std::size(kBuckets)] = {};
  std::atomic<uint64_t> duration_count{0}, duration_sum_ns{0};
  std::mutex mutex;
  std::map<std::string, uint64_t> diagnosed;  // by primary label, "(none)" without one
  std::map<int, uint64_t> requests;           // by status code

  void observe(std::chrono::nanoseconds d) {
    double seconds = std::chrono::duration<double>(d).count();
    for (size_t i = 0; i < std::size(kBuckets); ++i) {
      if (seconds <= kBuckets[i]) buckets[i]++;
    }
    duration_count++;
    duration_sum_ns += static_cast<uint64_t>(d.count());
  }
};

std::string prometheus_label(std::string_view v) {
  std::string out;
  for (char c : v) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

// Read connections for the request threads, opened on first use and reused.
class ReadPool {
 public:
  explicit ReadPool(std::string path) : path_(std::move(path)) {}

  struct Lease {
    ReadPool* pool;
    std::unique_ptr<Store> store;
    Lease(ReadPool* p, std::unique_ptr<Store> s) : pool(p), store(std::move(s)) {}
    Lease(Lease&&) = default;
    ~Lease() {
      if (store) pool->give_back(std::move(store));
    }
    Store* operator->() { return store.get(); }
  };

  Result<Lease> take() {
    {
      std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        auto s = std::move(free_.back());
        free_.pop_back();
        return Lease(this, std::move(s));
      }
    }
    auto s = Store::open(path_);
    if (!s) return std::move(s).error();
    return Lease(this, std::move(*s));
  }

 private:
  void give_back(std::unique_ptr<Store> s) {
    std::lock_guard lock(mutex_);
    free_.push_back(std::move(s));
  }

  std::string path_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Store>> free_;
};

// One unit of work for the writer, owned by the thread that waits for it.
struct Job {
  enum class Kind { kSpans, kLogs, kDiagnosis, kPage, kRetention };
  Kind kind = Kind::kSpans;
  const SpanBatch* batch = nullptr;  // kSpans
  const LogBatch* logs = nullptr;    // kLogs
  std::string trace_id;              // kDiagnosis, kPage
  int64_t span_count = 0, log_count = 0;
  DiagnosisRecord record;
  int64_t version = 0;  // kPage: the diagnosis the page shows, in record.page
  uint64_t generation = 0;
  int64_t before = 0;  // kRetention
  // Set for a job nobody waits for: called once it is committed (or failed), then the
  // writer deletes the job.
  std::function<void(Job&)> then;

  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  bool ok = false;
  bool applied = false;  // kDiagnosis: stored (no spans arrived since they were read)
  std::vector<std::string> deleted;

  // The rows it writes, as the write queue counts them.
  size_t spans() const { return batch ? batch->spans.size() : logs ? logs->logs.size() : 0; }
  void finish(bool success) {
    std::lock_guard lock(mutex);
    ok = success;
    done = true;
    cv.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return done; });
  }
};

constexpr size_t kGroupSpans = 32768;     // most spans committed in one transaction
constexpr int64_t kRetryMs = 1000;        // a diagnosis that could not be stored is tried again
constexpr int64_t kRetentionBatch = 500;  // traces deleted per transaction
constexpr int64_t kCheckpointMs = 250;    // between checkpoints of the write-ahead log

}  // namespace

struct TraceServer::Impl {
  ServeOptions options;
  httplib::Server http;
  int port = 0;
  std::unique_ptr<Store> writer_store;
  ReadPool readers;
  Metrics metrics;

  // The write queue.
  std::mutex queue_mutex;
  std::condition_variable queue_cv;
  std::deque<Job*> queue;
  size_t queued_spans = 0;
  std::atomic<size_t> queue_depth{0};
  bool hold = false, writer_stop = false;
  std::thread writer;

  // Traces waiting for their diagnosis: every trace with spans not yet diagnosed. A trace is
  // due `quiet_ms` after its last span once its root arrived (at once while draining).
  struct Flight {
    int64_t last_seen = 0;
    bool root = false;
    uint64_t generation = 0;  // bumped by every commit of spans of it
    bool running = false;
    bool queued = false;
    int64_t due = 0;
  };
  std::mutex flight_mutex;
  std::condition_variable flight_cv;
  std::unordered_map<std::string, Flight> flights;
  std::set<std::pair<int64_t, std::string>> due;
  bool draining = false, worker_stop = false;
  std::vector<std::thread> workers;

  std::mutex retention_mutex;
  std::condition_variable retention_cv;
  bool retention_stop = false;
  std::thread retention;

  // Checkpoints of the write-ahead log, on a connection and thread of their own.
  std::unique_ptr<Store> checkpoint_store;
  std::mutex checkpoint_mutex;
  std::condition_variable checkpoint_cv;
  bool checkpoint_stop = false;
  std::thread checkpointer;

  std::atomic<bool> stopping{false}, serving{false}, served{false};
  IngestHandlers ingest_handlers;

  explicit Impl(const ServeOptions& o) : options(o), readers(o.db_path) {}

  ~Impl() { shut_down_threads(); }

  // --- writer -------------------------------------------------------------------------

  // Queues a job; false when the queue is full (spans only: other jobs always go in).
  bool submit(Job& job, bool bounded) {
    std::lock_guard lock(queue_mutex);
    if (writer_stop) return false;
    if (bounded && queued_spans > 0 && queued_spans + job.spans() > options.max_queued_spans)
      return false;
    queue.push_back(&job);
    queued_spans += job.spans();
    queue_depth = queued_spans;
    queue_cv.notify_one();
    return true;
  }

  void writer_loop() {
    for (;;) {
      std::vector<Job*> group;
      {
        std::unique_lock lock(queue_mutex);
        queue_cv.wait(lock, [&] { return (!queue.empty() && !hold) || writer_stop; });
        if (queue.empty() && writer_stop) return;
        size_t spans = 0;
        while (!queue.empty() && (group.empty() || spans + queue.front()->spans() <= kGroupSpans)) {
          spans += queue.front()->spans();
          group.push_back(queue.front());
          queue.pop_front();
        }
        queued_spans -= spans;
        queue_depth = queued_spans;
      }
      commit_group(group);
    }
  }

  struct Touched {
    int64_t spans = 0;
    bool root = false;
    std::string_view service;
  };

  // The log records of the group's log jobs: stored, and their traces re-opened when they
  // exist (records that come before their trace's spans wait for them). Traces re-opened
  // are added to `touched` and `order` for the scheduler.
  Status commit_logs(const std::vector<Job*>& group, int64_t now,
                     std::unordered_map<std::string_view, Touched>& touched,
                     std::vector<std::string_view>& order) {
    std::unordered_map<std::string_view, int64_t> records;
    std::vector<std::string_view> traces;
    for (Job* job : group) {
      if (job->kind != Job::Kind::kLogs) continue;
      for (const LogRow& row : job->logs->logs) {
        if (auto ok = writer_store->insert_log(row.trace_id, row.span_id, now, row.data); !ok)
          return ok;
        if (records[row.trace_id]++ == 0) traces.push_back(row.trace_id);
      }
    }
    for (std::string_view id : traces) {
      auto root = writer_store->touch_trace_logs(id, now, records[id]);
      if (!root) return std::move(root).error();
      if (!*root) continue;
      auto [it, fresh] = touched.try_emplace(id);
      if (fresh) order.push_back(id);
      it->second.root = it->second.root || **root;
    }
    return Ok{};
  }

  void commit_group(const std::vector<Job*>& group) {
    const int64_t now = now_ms();
    std::unordered_map<std::string_view, Touched> touched;
    std::vector<std::string_view> order;
    auto run = [&]() -> Status {
      if (auto ok = writer_store->begin(); !ok) return ok;
      for (Job* job : group) {
        if (job->kind != Job::Kind::kSpans) continue;
        for (const SpanRow& row : job->batch->spans) {
          auto stored = writer_store->insert_span(row.trace_id, row.span_id, row.data);
          if (!stored) return std::move(stored).error();
          if (!*stored) continue;
          auto [it, fresh] = touched.try_emplace(row.trace_id);
          if (fresh) order.push_back(row.trace_id);
          it->second.spans++;
          it->second.root = it->second.root || row.root;
          if (it->second.service.empty()) it->second.service = row.service;
        }
      }
      for (std::string_view id : order) {
        Touched& t = touched[id];
        // A late span of a diagnosed trace has no root in it; the stored trace knows.
        auto root = writer_store->touch_trace(id, t.service, now, t.spans, t.root);
        if (!root) return std::move(root).error();
        t.root = *root;
      }
      if (auto ok = commit_logs(group, now, touched, order); !ok) return ok;
      for (Job* job : group) {
        if (job->kind == Job::Kind::kDiagnosis) {
          auto applied = writer_store->save_diagnosis(job->trace_id, job->span_count,
                                                      job->log_count, job->record);
          if (!applied) return std::move(applied).error();
          job->applied = *applied;
        } else if (job->kind == Job::Kind::kPage) {
          auto ok = writer_store->save_page(job->trace_id, job->version, job->record.page);
          if (!ok) return ok;
        } else if (job->kind == Job::Kind::kRetention) {
          auto deleted = writer_store->delete_older(job->before, kRetentionBatch);
          if (!deleted) return std::move(deleted).error();
          job->deleted = std::move(*deleted);
        }
      }
      return writer_store->commit();
    };
    Status status = run();
    if (!status) {
      writer_store->rollback();
      std::fprintf(stderr, "tracedx serve: %s\n", status.error().display().c_str());
    } else {
      for (Job* job : group) {
        if (job->batch) metrics.spans_received += job->spans();
        if (job->logs) metrics.logs_received += job->spans();
      }
      // The scheduler hears of the spans before any waiting diagnosis learns its fate.
      std::lock_guard lock(flight_mutex);
      for (std::string_view id : order) {
        const Touched& t = touched[id];
        touch_locked(std::string(id), now, t.root);
      }
      for (Job* job : group) {
        for (const auto& id : job->deleted) forget_locked(id);
      }
      flight_cv.notify_all();
    }
    for (Job* job : group) {
      if (job->then) {
        job->ok = status.ok();
        job->then(*job);
        delete job;
      } else {
        job->finish(status.ok());
      }
    }
  }

  // --- completion and diagnosis --------------------------------------------------------

  void queue_due_locked(const std::string& id, Flight& f) {
    if (f.queued || f.running) return;
    if (!f.root && !draining) return;
    f.due = draining ? 0 : f.last_seen + static_cast<int64_t>(options.quiet_ms);
    due.emplace(f.due, id);
    f.queued = true;
  }

  void touch_locked(const std::string& id, int64_t last_seen, bool root) {
    Flight& f = flights[id];
    if (f.queued) {
      due.erase({f.due, id});
      f.queued = false;
    }
    f.last_seen = std::max(f.last_seen, last_seen);
    f.root = f.root || root;
    f.generation++;
    queue_due_locked(id, f);
  }

  void forget_locked(const std::string& id) {
    auto it = flights.find(id);
    if (it == flights.end() || it->second.running) return;
    if (it->second.queued) due.erase({it->second.due, id});
    flights.erase(it);
  }

  enum class Outcome { kSubmitted, kStored, kStale, kGone, kError };

  // Reads the trace's spans, diagnoses them and hands the result to the writer, which
  // settles the flight once it is committed (the diagnosis thread goes on meanwhile).
  Outcome diagnose_one(Store& store, const std::string& id, uint64_t generation) {
    auto snapshot = store.read_spans(id);
    if (!snapshot) {
      std::fprintf(stderr, "tracedx serve: %s\n", snapshot.error().display().c_str());
      return Outcome::kError;
    }
    if (snapshot->span_count < 0) return Outcome::kGone;
    auto job = std::make_unique<Job>();
    job->kind = Job::Kind::kDiagnosis;
    job->trace_id = id;
    job->span_count = snapshot->span_count;
    job->log_count = snapshot->log_count;
    job->generation = generation;
    job->record = diagnose_spans(id, *snapshot, options.diagnose);
    *snapshot = SpanSnapshot{};
    job->then = [this](Job& done) {
      Outcome outcome = !done.ok       ? Outcome::kError
                        : done.applied ? Outcome::kStored
                                       : Outcome::kStale;
      if (outcome == Outcome::kStored) {
        std::lock_guard lock(metrics.mutex);
        metrics.diagnosed[done.record.label.value_or("(none)")]++;
      }
      std::lock_guard lock(flight_mutex);
      settle_locked(done.trace_id, done.generation, outcome);
      flight_cv.notify_all();
    };
    if (!submit(*job, false)) return Outcome::kError;
    job.release();  // the writer owns it now
    return Outcome::kSubmitted;
  }

  // A diagnosis is over: the flight ends when it was stored and no spans came meanwhile.
  void settle_locked(const std::string& id, uint64_t generation, Outcome outcome) {
    auto it = flights.find(id);
    if (it == flights.end()) return;
    Flight& g = it->second;
    g.running = false;
    if (outcome == Outcome::kGone || (outcome == Outcome::kError && draining) ||
        (outcome == Outcome::kStored && g.generation == generation)) {
      flights.erase(it);
    } else if (outcome == Outcome::kError) {
      g.due = now_ms() + kRetryMs;
      due.emplace(g.due, id);
      g.queued = true;
    } else {
      queue_due_locked(id, g);
    }
  }

  void worker_loop(std::unique_ptr<Store> store) {
    // Diagnosis yields the processor to the request threads and the writer: answering
    // exports quickly matters more than diagnosing a moment sooner.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
    std::unique_lock lock(flight_mutex);
    for (;;) {
      if (worker_stop) return;
      if (due.empty()) {
        flight_cv.notify_all();  // a drain waits for the flights to run out
        flight_cv.wait(lock);
        continue;
      }
      auto [when, id] = *due.begin();
      int64_t now = now_ms();
      if (when > now) {
        flight_cv.wait_for(lock, std::chrono::milliseconds(std::min<int64_t>(when - now, 1000)));
        continue;
      }
      due.erase(due.begin());
      Flight& f = flights[id];
      f.queued = false;
      f.running = true;
      const uint64_t generation = f.generation;
      lock.unlock();
      Outcome outcome = diagnose_one(*store, id, generation);
      lock.lock();
      if (outcome != Outcome::kSubmitted) settle_locked(id, generation, outcome);
    }
  }

  // Diagnoses every trace with spans not yet diagnosed, root or not, and waits for it.
  void drain() {
    std::unique_lock lock(flight_mutex);
    draining = true;
    due.clear();
    for (auto& [id, f] : flights) {
      f.queued = false;
      queue_due_locked(id, f);
    }
    flight_cv.notify_all();
    flight_cv.wait(lock, [&] { return flights.empty(); });
  }

  // --- retention -------------------------------------------------------------------------

  void retention_loop() {
    std::unique_lock lock(retention_mutex);
    for (;;) {
      lock.unlock();
      const int64_t before = now_ms() - static_cast<int64_t>(*options.keep_days) * 86400000;
      for (;;) {
        Job job;
        job.kind = Job::Kind::kRetention;
        job.before = before;
        if (!submit(job, false)) break;
        job.wait();
        if (!job.ok || job.deleted.size() < static_cast<size_t>(kRetentionBatch)) break;
      }
      lock.lock();
      if (retention_cv.wait_for(lock, std::chrono::milliseconds(options.retention_interval_ms),
                                [&] { return retention_stop; }))
        return;
    }
  }

  // --- checkpoints ---------------------------------------------------------------------

  void checkpoint_loop() {
    std::unique_lock lock(checkpoint_mutex);
    while (!checkpoint_cv.wait_for(lock, std::chrono::milliseconds(kCheckpointMs),
                                   [&] { return checkpoint_stop; })) {
      lock.unlock();
      if (auto ok = checkpoint_store->checkpoint(); !ok)
        std::fprintf(stderr, "tracedx serve: %s\n", ok.error().display().c_str());
      lock.lock();
    }
  }

  void shut_down_threads() {
    {
      std::lock_guard lock(checkpoint_mutex);
      checkpoint_stop = true;
      checkpoint_cv.notify_all();
    }
    if (checkpointer.joinable()) checkpointer.join();
    {
      std::lock_guard lock(retention_mutex);
      retention_stop = true;
      retention_cv.notify_all();
    }
    if (retention.joinable()) retention.join();
    {
      std::lock_guard lock(flight_mutex);
      worker_stop = true;
      flight_cv.notify_all();
    }
    for (auto& w : workers) w.join();
    workers.clear();
    {
      std::lock_guard lock(queue_mutex);
      writer_stop = true;
      hold = false;
      queue_cv.notify_all();
    }
    if (writer.joinable()) writer.join();
  }

  // --- HTTP ------------------------------------------------------------------------------

  bool authorized(const httplib::Request& req) const {
    if (!options.token) return true;
    std::string header = req.get_header_value("Authorization");
    constexpr std::string_view kBearer = "Bearer ";
    if (header.size() < kBearer.size() ||
        lower_trimmed(header.substr(0, kBearer.size() - 1)) != "bearer" ||
        header[kBearer.size() - 1] != ' ')
      return false;
    return same_secret(std::string_view(header).substr(kBearer.size()), *options.token);
  }

  static void unauthorized(httplib::Response& res) {
    res.status = 401;
    res.set_header("WWW-Authenticate", "Bearer");
    res.set_content(json_error("missing or wrong bearer token"), "application/json");
  }

  // Queues rows for the writer and waits for their commit.
  Stored store_rows(Job& job) {
    if (stopping) return Stored::kStopping;
    if (!submit(job, true)) return stopping ? Stored::kStopping : Stored::kQueueFull;
    job.wait();
    return job.ok ? Stored::kCommitted : Stored::kFailed;
  }

  IngestHandlers ingest_handlers_of() {
    IngestHandlers h;
    h.max_body_bytes = options.max_body_bytes;
    h.authorized = [this](const httplib::Request& req) { return authorized(req); };
    h.unauthorized = [](httplib::Response& res) { unauthorized(res); };
    h.store_spans = [this](const SpanBatch& batch) {
      Job job;
      job.batch = &batch;
      return store_rows(job);
    };
    h.store_logs = [this](const LogBatch& batch) {
      Job job;
      job.kind = Job::Kind::kLogs;
      job.logs = &batch;
      return store_rows(job);
    };
    h.count_rejected_spans = [this](uint64_t n) { metrics.spans_rejected += n; };
    h.count_rejected_logs = [this](uint64_t n) { metrics.logs_rejected += n; };
    return h;
  }

  // A TraceFilter from the query; an error message for a bad parameter.
  static Result<TraceFilter> filter_of(const httplib::Request& req) {
    TraceFilter f;
    auto text = [&](const char* name) -> std::optional<std::string> {
      if (!req.has_param(name)) return std::nullopt;
      std::string v = req.get_param_value(name);
      if (v.empty()) return std::nullopt;
      return v;
    };
    f.label = text("label");
    f.outcome = text("outcome");
    f.service = text("service");
    for (auto [name, field] : {std::pair{"since", &f.since}, std::pair{"until", &f.until}}) {
      if (auto v = text(name)) {
        auto n = parse_int(*v);
        if (!n) return Error::message(std::string(name) + " must be a Unix time in milliseconds");
        *field = *n;
      }
    }
    if (auto v = text("limit")) {
      auto n = parse_int(*v);
      if (!n || *n < 1 || *n > 1000) return Error::message("limit must be from 1 to 1000");
      f.limit = *n;
    }
    return f;
  }

  static OrderedJson trace_json(const TraceRow& t) {
    OrderedJson j = OrderedJson::object();
    j["trace_id"] = t.id;
    j["service"] = optional_json(t.service);
    j["title"] = optional_json(t.title);
    j["status"] = t.status;
    j["first_seen"] = t.first_seen;
    j["last_seen"] = t.last_seen;
    j["span_count"] = t.span_count;
    j["step_count"] = optional_json(t.step_count);
    j["duration_ms"] = optional_json(t.duration_ms);
    j["outcome"] = optional_json(t.outcome);
    j["label"] = optional_json(t.label);
    j["severity"] = optional_json(t.severity);
    j["version"] = t.version;
    return j;
  }

  static std::string dump(const OrderedJson& j) {
    return j.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
  }

  void server_error(httplib::Response& res, const Error& e) {
    std::fprintf(stderr, "tracedx serve: %s\n", e.display().c_str());
    res.status = 500;
    res.set_content(json_error(e.display()), "application/json");
  }

  void api_list(const httplib::Request& req, httplib::Response& res) {
    auto filter = filter_of(req);
    if (!filter) {
      res.status = 400;
      return res.set_content(json_error(filter.error().text()), "application/json");
    }
    auto db = readers.take();
    if (!db) return server_error(res, db.error());
    auto rows = (*db)->list_traces(*filter);
    if (!rows) return server_error(res, rows.error());
    std::string out = "{\"traces\":[";
    for (size_t i = 0; i < rows->size(); ++i) {
      if (i) out += ',';
      out += dump(trace_json((*rows)[i]));
    }
    out += "]}";
    res.set_content(out, "application/json");
  }

  // The trace named by the path, or the response saying why there is none.
  std::optional<TraceRow> find(std::string_view raw_id, httplib::Response& res, bool html) {
    auto id = path_id(raw_id);
    auto refuse = [&](int status, std::string_view message) {
      res.status = status;
      if (html) {
        res.set_content(std::string(message) + "\n", "text/plain; charset=utf-8");
      } else {
        res.set_content(json_error(message), "application/json");
      }
    };
    if (!id) {
      refuse(400, "a trace id is 1 to 64 hex digits");
      return std::nullopt;
    }
    auto db = readers.take();
    if (!db) {
      server_error(res, db.error());
      return std::nullopt;
    }
    auto row = (*db)->get_trace(*id);
    if (!row) {
      server_error(res, row.error());
      return std::nullopt;
    }
    if (!*row) refuse(404, "no trace " + *id);
    return std::move(*row);
  }

  void api_trace(std::string_view raw_id, httplib::Response& res) {
    auto row = find(raw_id, res, false);
    if (!row) return;
    std::string out = dump(trace_json(*row));
    out.pop_back();
    out += ",\"diagnosis\":" + (row->diagnosis ? *row->diagnosis : std::string("null"));
    out += ",\"error\":";
    if (row->error) {
      append_json_string(out, *row->error);
    } else {
      out += "null";
    }
    out += "}";
    res.set_content(out, "application/json");
  }

  void api_spans(std::string_view raw_id, httplib::Response& res) {
    auto row = find(raw_id, res, false);
    if (!row) return;
    auto db = readers.take();
    if (!db) return server_error(res, db.error());
    auto snapshot = (*db)->read_spans(row->id);
    if (!snapshot) return server_error(res, snapshot.error());
    auto lines = snapshot_lines(*snapshot);
    if (!lines) return server_error(res, lines.error());
    res.set_content(std::move(*lines), "application/jsonl");
  }

  // The report page stored with the trace's diagnosis. A trace not diagnosed yet is
  // rendered from its spans as they are; one diagnosed by a version that stored no page is
  // rendered once and its page stored.
  void report(std::string_view raw_id, httplib::Response& res) {
    auto id = path_id(raw_id);
    if (!id) {
      res.status = 400;
      return res.set_content("a trace id is 1 to 64 hex digits\n", "text/plain; charset=utf-8");
    }
    auto db = readers.take();
    if (!db) return server_error(res, db.error());
    auto stored = (*db)->read_page(*id);
    if (!stored) return server_error(res, stored.error());
    if (!*stored) {
      res.status = 404;
      return res.set_content("no trace " + *id + "\n", "text/plain; charset=utf-8");
    }
    StoredPage& p = **stored;
    if (p.page) return res.set_content(std::move(*p.page), "text/html; charset=utf-8");
    auto cannot = [&](const std::string& why) {
      res.set_content("the spans of trace " + *id + " could not be imported: " + why + "\n",
                      "text/plain; charset=utf-8");
    };
    if (p.status == "failed" && p.error) return cannot(*p.error);
    auto snapshot = (*db)->read_spans(*id);
    if (!snapshot) return server_error(res, snapshot.error());
    auto page = report_page(*id, *snapshot, options.diagnose);
    if (!page) return cannot(page.error().display());
    if (p.status == "diagnosed") {
      auto job = new Job;
      job->kind = Job::Kind::kPage;
      job->trace_id = *id;
      job->version = p.version;
      job->record.page = *page;
      job->then = [](Job&) {};
      if (!submit(*job, false)) delete job;
    }
    res.set_content(std::move(*page), "text/html; charset=utf-8");
  }

  void index(const httplib::Request& req, httplib::Response& res) {
    auto filter = filter_of(req);
    if (!filter) {
      res.status = 400;
      return res.set_content(filter.error().text() + "\n", "text/plain; charset=utf-8");
    }
    auto db = readers.take();
    if (!db) return server_error(res, db.error());
    IndexPage page;
    page.filter = *filter;
    page.now_ms = now_ms();
    auto rows = (*db)->list_traces(*filter);
    if (!rows) return server_error(res, rows.error());
    page.traces = std::move(*rows);
    auto counts = (*db)->label_counts(*filter);
    if (!counts) return server_error(res, counts.error());
    page.label_counts = std::move(*counts);
    res.set_content(index_html(page), "text/html; charset=utf-8");
  }

  std::string metrics_text() {
    std::string out;
    auto counter = [&](const char* name, const char* help, uint64_t v) {
      out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " counter\n" + name +
             " " + std::to_string(v) + "\n";
    };
    counter("tracedx_spans_received_total", "Spans accepted and committed to the database.",
            metrics.spans_received);
    counter("tracedx_spans_rejected_total", "Spans rejected (no valid trace id or span id).",
            metrics.spans_rejected);
    counter("tracedx_log_records_received_total",
            "Log records naming a span accepted and committed to the database.",
            metrics.logs_received);
    counter("tracedx_log_records_rejected_total",
            "Log records rejected (no valid trace id or span id).", metrics.logs_rejected);
    out +=
        "# HELP tracedx_traces_diagnosed_total Traces diagnosed, by primary label.\n"
        "# TYPE tracedx_traces_diagnosed_total counter\n";
    {
      std::lock_guard lock(metrics.mutex);
      for (const auto& [label, n] : metrics.diagnosed) {
        out += "tracedx_traces_diagnosed_total{label=\"" + prometheus_label(label) + "\"} " +
               std::to_string(n) + "\n";
      }
    }
    out +=
        "# HELP tracedx_queue_depth Spans waiting for the writer.\n"
        "# TYPE tracedx_queue_depth gauge\ntracedx_queue_depth " +
        std::to_string(queue_depth.load()) + "\n";
    out +=
        "# HELP tracedx_request_duration_seconds Time to handle a request.\n"
        "# TYPE tracedx_request_duration_seconds histogram\n";
    for (size_t i = 0; i < std::size(Metrics::kBuckets); ++i) {
      char le[32];
      std::snprintf(le, sizeof le, "%g", Metrics::kBuckets[i]);
      out += std::string("tracedx_request_duration_seconds_bucket{le=\"") + le + "\"} " +
             std::to_string(metrics.buckets[i].load()) + "\n";
    }
    const uint64_t count = metrics.duration_count;
    char sum[64];
    std::snprintf(sum, sizeof sum, "%.6f", static_cast<double>(metrics.duration_sum_ns) / 1e9);
    out += "tracedx_request_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(count) +
           "\ntracedx_request_duration_seconds_sum " + sum +
           "\ntracedx_request_duration_seconds_count " + std::to_string(count) + "\n";
    out +=
        "# HELP tracedx_requests_total Requests answered, by status code.\n"
        "# TYPE tracedx_requests_total counter\n";
    std::lock_guard lock(metrics.mutex);
    for (const auto& [code, n] : metrics.requests) {
      out += "tracedx_requests_total{code=\"" + std::to_string(code) + "\"} " + std::to_string(n) +
             "\n";
    }
    return out;
  }

  enum class Route {
    kIngest,
    kLogs,
    kHealth,
    kMetrics,
    kList,
    kTrace,
    kSpans,
    kIndex,
    kReport,
    kNone
  };

  // The route of a path, and the id it names.
  static Route route_of(std::string_view path, std::string_view& id) {
    if (path == "/v1/traces") return Route::kIngest;
    if (path == "/v1/logs") return Route::kLogs;
    if (path == "/healthz") return Route::kHealth;
    if (path == "/metrics") return Route::kMetrics;
    if (path == "/api/traces" || path == "/api/traces/") return Route::kList;
    if (path == "/") return Route::kIndex;
    constexpr std::string_view kApi = "/api/traces/", kPage = "/traces/", kSpans = "/spans";
    if (path.starts_with(kApi)) {
      id = path.substr(kApi.size());
      if (id.ends_with(kSpans)) {
        id.remove_suffix(kSpans.size());
        return id.find('/') == std::string_view::npos ? Route::kSpans : Route::kNone;
      }
      return id.find('/') == std::string_view::npos ? Route::kTrace : Route::kNone;
    }
    if (path.starts_with(kPage)) {
      id = path.substr(kPage.size());
      return id.find('/') == std::string_view::npos ? Route::kReport : Route::kNone;
    }
    return Route::kNone;
  }

  void not_found(httplib::Response& res) {
    res.status = 404;
    res.set_content(json_error("not found"), "application/json");
  }

  void wrong_method(httplib::Response& res, Route route) {
    res.status = 405;
    res.set_header("Allow",
                   route == Route::kIngest || route == Route::kLogs ? "POST" : "GET, HEAD");
    res.set_content(json_error("method not allowed"), "application/json");
  }

  void get(const httplib::Request& req, httplib::Response& res) {
    std::string_view id;
    Route route = route_of(req.path, id);
    if (route == Route::kHealth) return res.set_content("ok\n", "text/plain; charset=utf-8");
    if (route == Route::kNone) return not_found(res);
    if (route == Route::kIngest || route == Route::kLogs) return wrong_method(res, route);
    if (!authorized(req)) return unauthorized(res);
    switch (route) {
      case Route::kMetrics:
        return res.set_content(metrics_text(), "text/plain; version=0.0.4; charset=utf-8");
      case Route::kList:
        return api_list(req, res);
      case Route::kTrace:
        return api_trace(id, res);
      case Route::kSpans:
        return api_spans(id, res);
      case Route::kIndex:
        return index(req, res);
      case Route::kReport:
        return report(id, res);
      default:
        return not_found(res);
    }
  }

  // Requests with a body to another path or method: the body is read (to keep the
  // connection in step) and refused.
  void other(const httplib::Request& req, httplib::Response& res,
             const httplib::ContentReader* reader) {
    if (reader) {
      size_t seen = 0;
      (*reader)([&](const char*, size_t n) {
        seen += n;
        return seen <= options.max_body_bytes;
      });
    }
    std::string_view id;
    Route route = route_of(req.path, id);
    if (route == Route::kNone) return not_found(res);
    wrong_method(res, route);
  }

  // Handlers that count their time in the request duration histogram.
  using Req = const httplib::Request&;
  using Res = httplib::Response&;
  using Reader = const httplib::ContentReader&;

  httplib::Server::Handler timed(std::function<void(Req, Res)> f) {
    return [this, f](Req req, Res res) {
      auto start = std::chrono::steady_clock::now();
      f(req, res);
      metrics.observe(std::chrono::steady_clock::now() - start);
    };
  }

  httplib::Server::HandlerWithContentReader timed_reading(std::function<void(Req, Res, Reader)> f) {
    return [this, f](Req req, Res res, Reader reader) {
      auto start = std::chrono::steady_clock::now();
      f(req, res, reader);
      metrics.observe(std::chrono::steady_clock::now() - start);
    };
  }

  void set_up_http() {
    ingest_handlers = this->ingest_handlers_of();
    const unsigned threads = std::max(2u, options.http_threads);
    http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    http.set_keep_alive_max_count(100000);
    // An idle kept-alive connection holds its request thread until this timeout, and stopping
    // waits for every request thread: it bounds how long SIGTERM takes before the drain.
    http.set_keep_alive_timeout(2);
    http.set_read_timeout(30);
    http.set_write_timeout(30);
    http.set_tcp_nodelay(true);
    http.set_payload_max_length(options.max_body_bytes);
    http.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"},
                              {"Cache-Control", "no-store"}});
    http.set_logger([this](const httplib::Request&, const httplib::Response& res) {
      std::lock_guard lock(metrics.mutex);
      metrics.requests[res.status]++;
    });
    http.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
          std::string what = "internal error";
          try {
            if (ep) std::rethrow_exception(ep);
          } catch (const std::bad_alloc&) {
            what = "out of memory";
          } catch (const std::exception& e) {
            what = e.what();
          } catch (...) {
          }
          res.status = 500;
          res.set_content(json_error(what), "application/json");
        });
    http.Post(".*", timed_reading([this](Req req, Res res, Reader reader) {
                std::string_view id;
                const Route route = route_of(req.path, id);
                if (route == Route::kIngest || route == Route::kLogs)
                  return ingest(req, res, reader, route == Route::kLogs, ingest_handlers);
                other(req, res, &reader);
              }));
    http.Get(".*", timed([this](Req req, Res res) { get(req, res); }));
    auto refuse_with_body =
        timed_reading([this](Req req, Res res, Reader reader) { other(req, res, &reader); });
    http.Put(".*", refuse_with_body);
    http.Patch(".*", refuse_with_body);
    http.Delete(".*", refuse_with_body);
    http.Options(".*", timed([this](Req req, Res res) { other(req, res, nullptr); }));
  }
};

TraceServer::TraceServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

TraceServer::~TraceServer() = default;

Result<std::unique_ptr<TraceServer>> TraceServer::start(const ServeOptions& options) {
  auto impl = std::make_unique<Impl>(options);
  auto writer_store = Store::open(options.db_path);
  if (!writer_store) return std::move(writer_store).error();
  impl->writer_store = std::move(*writer_store);
  std::vector<std::unique_ptr<Store>> worker_stores;
  for (unsigned i = 0; i < std::max(1u, options.diagnosis_threads); ++i) {
    auto store = Store::open(options.db_path);
    if (!store) return std::move(store).error();
    worker_stores.push_back(std::move(*store));
  }
  auto checkpoint_store = Store::open(options.db_path);
  if (!checkpoint_store) return std::move(checkpoint_store).error();
  impl->checkpoint_store = std::move(*checkpoint_store);
  auto pending = impl->writer_store->pending();
  if (!pending) return std::move(pending).error();
  for (const auto& p : *pending) impl->touch_locked(p.id, p.last_seen, p.root);

  impl->set_up_http();
  if (options.port == 0) {
    impl->port = impl->http.bind_to_any_port(options.host);
    if (impl->port <= 0) impl->port = 0;
  } else if (impl->http.bind_to_port(options.host, options.port)) {
    impl->port = options.port;
  }
  if (impl->port == 0) {
    return Error::message("cannot listen on " + options.host + ":" + std::to_string(options.port) +
                          ": " + std::strerror(errno ? errno : EADDRINUSE));
  }
  Impl* p = impl.get();
  impl->writer = std::thread([p] { p->writer_loop(); });
  for (auto& store : worker_stores) {
    Store* raw = store.release();
    impl->workers.emplace_back([p, raw] { p->worker_loop(std::unique_ptr<Store>(raw)); });
  }
  if (options.keep_days) impl->retention = std::thread([p] { p->retention_loop(); });
  impl->checkpointer = std::thread([p] { p->checkpoint_loop(); });
  return std::unique_ptr<TraceServer>(new TraceServer(std::move(impl)));
}

int TraceServer::port() const {
  return impl_->port;
}

Status TraceServer::serve() {
  Impl& s = *impl_;
  s.serving = true;
  bool listened = true;
  if (!s.stopping) listened = s.http.listen_after_bind();
  // Every request has been answered: what they sent is committed or refused.
  {
    std::lock_guard lock(s.queue_mutex);
    s.hold = false;
    s.queue_cv.notify_all();
  }
  s.drain();
  s.shut_down_threads();
  s.served = true;
  if (!listened && !s.stopping) return Error::message("the listener failed");
  return Ok{};
}

void TraceServer::stop() {
  Impl& s = *impl_;
  s.stopping = true;
  // The listener may be about to start: wait until it runs (or serve() is over) to stop it.
  while (s.serving && !s.served) {
    if (s.http.is_running()) {
      s.http.stop();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TraceServer::hold_writes(bool hold) {
  std::lock_guard lock(impl_->queue_mutex);
  impl_->hold = hold;
  impl_->queue_cv.notify_all();
}

}  // namespace tracedx
