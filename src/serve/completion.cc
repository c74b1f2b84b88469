#include "serve/completion.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "serve/diagnose_spans.h"

namespace tracedx {
namespace {

constexpr int64_t kRetryMs = 1000;  // a diagnosis that could not be stored is tried again
// The memory a pending trace takes beside its id: its entry in the map and in the due set.
constexpr size_t kFlightBytes = 160;
// The memory a diagnosis takes per span of its trace: the spans read back, the imported
// trace and the engine's texts (a trace of 100,000 minimal spans peaks at about 700 MB).
constexpr size_t kDiagnosisBytesPerSpan = 7 * 1024;
// And per byte of its rows: the texts of real spans (prompts, tool results) are read into
// values, then into the engine's texts.
constexpr size_t kDiagnosisBytesPerRowByte = 4;

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Completion::Completion(const CompletionOptions& options, Metrics& metrics, MemoryBudget& budget)
    : options_(options), metrics_(metrics), budget_(budget) {}

Completion::~Completion() {
  stop();
}

void Completion::start(Writer& writer, std::vector<std::unique_ptr<Store>> stores) {
  writer_ = &writer;
  for (auto& store : stores) {
    Store* raw = store.release();
    workers_.emplace_back([this, raw] { worker_loop(std::unique_ptr<Store>(raw)); });
  }
  if (options_.keep_days) retention_ = std::thread([this] { retention_loop(); });
}

void Completion::committed(int64_t now, const std::vector<TouchedTrace>& touched,
                           const std::vector<Job*>& group) {
  std::lock_guard lock(mutex_);
  for (const TouchedTrace& t : touched) touch_locked(std::string(t.id), now, t.root);
  for (Job* job : group) {
    for (const auto& id : job->deleted) forget_locked(id);
  }
  cv_.notify_all();
}

void Completion::pending(const PendingTrace& trace) {
  std::lock_guard lock(mutex_);
  touch_locked(trace.id, trace.last_seen, trace.root);
}

size_t Completion::pending_count() {
  std::lock_guard lock(mutex_);
  return flights_.size();
}

void Completion::queue_due_locked(const std::string& id, Flight& f) {
  if (f.queued || f.running) return;
  const uint64_t wait = f.root ? options_.quiet_ms : options_.rootless_wait_ms;
  f.due = draining_ ? 0 : f.last_seen + static_cast<int64_t>(wait);
  due_.emplace(f.due, id);
  f.queued = true;
}

void Completion::touch_locked(const std::string& id, int64_t last_seen, bool root) {
  auto [it, fresh] = flights_.try_emplace(id);
  if (fresh) budget_.take(kFlightBytes + 2 * id.size());
  Flight& f = it->second;
  if (f.queued) {
    due_.erase({f.due, id});
    f.queued = false;
  }
  f.last_seen = std::max(f.last_seen, last_seen);
  f.root = f.root || root;
  f.generation++;
  queue_due_locked(id, f);
}

void Completion::forget_locked(const std::string& id) {
  auto it = flights_.find(id);
  if (it == flights_.end() || it->second.running) return;
  if (it->second.queued) due_.erase({it->second.due, id});
  erase_locked(it);
}

void Completion::erase_locked(std::unordered_map<std::string, Flight>::iterator it) {
  budget_.give_back(kFlightBytes + 2 * it->first.size());
  flights_.erase(it);
}

// Reads the trace's spans, diagnoses them and hands the result to the writer, which
// settles the flight once it is committed (the diagnosis thread goes on meanwhile).
Completion::Outcome Completion::diagnose_one(Store& store, const std::string& id,
                                             uint64_t generation) {
  auto snapshot = store.read_spans(id);
  if (!snapshot) {
    std::fprintf(stderr, "tracedx serve: %s\n", snapshot.error().display().c_str());
    return Outcome::kError;
  }
  if (snapshot->span_count < 0) return Outcome::kGone;
  // A diagnosis holds memory in proportion to its trace: it is counted in the budget while
  // it runs (it is not refused; exports are, until it is over).
  BudgetLease held(&budget_);
  held.take_anyway(static_cast<size_t>(snapshot->span_count) * kDiagnosisBytesPerSpan +
                   kDiagnosisBytesPerRowByte * snapshot->bytes());
  auto job = std::make_unique<Job>();
  job->kind = Job::Kind::kDiagnosis;
  job->trace_id = id;
  job->span_count = snapshot->span_count;
  job->log_count = snapshot->log_count;
  job->generation = generation;
  job->record = diagnose_spans(id, *snapshot, options_.diagnose);
  *snapshot = SpanSnapshot{};
  job->then = [this](Job& done) {
    Outcome outcome = !done.ok       ? Outcome::kError
                      : done.applied ? Outcome::kStored
                                     : Outcome::kStale;
    if (outcome == Outcome::kStored) metrics_.diagnosed_one(done.record.label.value_or("(none)"));
    std::lock_guard lock(mutex_);
    settle_locked(done.trace_id, done.generation, outcome);
    cv_.notify_all();
  };
  if (!writer_->submit(*job, false)) return Outcome::kError;
  job.release();  // the writer owns it now
  return Outcome::kSubmitted;
}

// A diagnosis is over: the flight ends when it was stored and no spans came meanwhile.
void Completion::settle_locked(const std::string& id, uint64_t generation, Outcome outcome) {
  auto it = flights_.find(id);
  if (it == flights_.end()) return;
  Flight& g = it->second;
  g.running = false;
  if (outcome == Outcome::kGone || (outcome == Outcome::kError && draining_) ||
      (outcome == Outcome::kStored && g.generation == generation)) {
    erase_locked(it);
  } else if (outcome == Outcome::kError) {
    g.due = now_ms() + kRetryMs;
    due_.emplace(g.due, id);
    g.queued = true;
  } else {
    queue_due_locked(id, g);
  }
}

void Completion::worker_loop(std::unique_ptr<Store> store) {
  // Diagnosis yields the processor to the request threads and the writer: answering
  // exports quickly matters more than diagnosing a moment sooner.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stop_) return;
    if (due_.empty()) {
      cv_.notify_all();  // a drain waits for the flights to run out
      cv_.wait(lock);
      continue;
    }
    auto [when, id] = *due_.begin();
    int64_t now = now_ms();
    if (when > now) {
      cv_.wait_for(lock, std::chrono::milliseconds(std::min<int64_t>(when - now, 1000)));
      continue;
    }
    due_.erase(due_.begin());
    auto it = flights_.find(id);
    if (it == flights_.end()) continue;
    Flight& f = it->second;
    f.queued = false;
    f.running = true;
    const uint64_t generation = f.generation;
    lock.unlock();
    Outcome outcome = diagnose_one(*store, id, generation);
    lock.lock();
    if (outcome != Outcome::kSubmitted) settle_locked(id, generation, outcome);
  }
}

void Completion::drain() {
  std::unique_lock lock(mutex_);
  draining_ = true;
  due_.clear();
  for (auto& [id, f] : flights_) {
    f.queued = false;
    queue_due_locked(id, f);
  }
  cv_.notify_all();
  cv_.wait(lock, [&] { return flights_.empty() || workers_.empty(); });
}

void Completion::retention_loop() {
  std::unique_lock lock(retention_mutex_);
  for (;;) {
    lock.unlock();
    const int64_t before = now_ms() - static_cast<int64_t>(*options_.keep_days) * 86400000;
    for (;;) {
      Job job;
      job.kind = Job::Kind::kRetention;
      job.before = before;
      if (!writer_->submit(job, false)) break;
      job.wait();
      if (!job.ok || job.deleted.size() < static_cast<size_t>(kRetentionBatch)) break;
    }
    lock.lock();
    if (retention_cv_.wait_for(lock, std::chrono::milliseconds(options_.retention_interval_ms),
                               [&] { return retention_stop_; }))
      return;
  }
}

void Completion::stop() {
  {
    std::lock_guard lock(retention_mutex_);
    retention_stop_ = true;
    retention_cv_.notify_all();
  }
  if (retention_.joinable()) retention_.join();
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    cv_.notify_all();
  }
  for (auto& w : workers_) w.join();
  workers_.clear();
}

}  // namespace tracedx
