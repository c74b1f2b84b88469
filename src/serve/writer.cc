#include "serve/writer.h"

#include <chrono>
#include <cstdio>
#include <unordered_map>

namespace tracedx {
namespace {

constexpr size_t kGroupRows = 32768;    // most spans committed in one transaction
constexpr int64_t kCheckpointMs = 250;  // between checkpoints of the write-ahead log

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// What one commit did to one trace.
struct Touched {
  int64_t spans = 0;
  bool root = false;
  std::string_view service;
};

}  // namespace

void Job::finish(bool success) {
  std::lock_guard lock(mutex);
  ok = success;
  done = true;
  cv.notify_all();
}

void Job::wait() {
  std::unique_lock lock(mutex);
  cv.wait(lock, [&] { return done; });
}

Writer::Writer(std::unique_ptr<Store> store, std::unique_ptr<Store> checkpoint_store,
               size_t max_queued_rows, TraceLimits limits, Metrics& metrics, Committed committed)
    : store_(std::move(store)),
      checkpoint_store_(std::move(checkpoint_store)),
      max_queued_rows_(max_queued_rows),
      limits_(limits),
      metrics_(metrics),
      committed_(std::move(committed)) {
  thread_ = std::thread([this] { loop(); });
  checkpointer_ = std::thread([this] { checkpoint_loop(); });
}

Writer::~Writer() {
  stop();
}

bool Writer::submit(Job& job, bool bounded) {
  std::lock_guard lock(mutex_);
  if (stop_) return false;
  if (bounded && queued_rows_ > 0 && queued_rows_ + job.rows() > max_queued_rows_) return false;
  queue_.push_back(&job);
  queued_rows_ += job.rows();
  cv_.notify_one();
  return true;
}

Stored Writer::store(Job& job) {
  if (!submit(job, true)) {
    std::lock_guard lock(mutex_);
    return stop_ ? Stored::kStopping : Stored::kQueueFull;
  }
  job.wait();
  return job.ok ? Stored::kCommitted : Stored::kFailed;
}

void Writer::hold(bool on) {
  std::lock_guard lock(mutex_);
  hold_ = on;
  cv_.notify_all();
}

void Writer::stop() {
  {
    std::lock_guard lock(checkpoint_mutex_);
    checkpoint_stop_ = true;
    checkpoint_cv_.notify_all();
  }
  if (checkpointer_.joinable()) checkpointer_.join();
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    hold_ = false;
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

size_t Writer::queued_rows() const {
  std::lock_guard lock(mutex_);
  return queued_rows_;
}

std::string Writer::failure() const {
  std::lock_guard lock(failure_mutex_);
  return failure_;
}

void Writer::loop() {
  for (;;) {
    std::vector<Job*> group;
    {
      std::unique_lock lock(mutex_);
      cv_.wait(lock, [&] { return (!queue_.empty() && !hold_) || (stop_ && queue_.empty()); });
      if (queue_.empty()) return;
      size_t rows = 0;
      while (!queue_.empty() && (group.empty() || rows + queue_.front()->rows() <= kGroupRows)) {
        rows += queue_.front()->rows();
        group.push_back(queue_.front());
        queue_.pop_front();
      }
      queued_rows_ -= rows;
    }
    commit_group(group);
  }
}

Status Writer::write_group(const std::vector<Job*>& group, int64_t now,
                           std::vector<TouchedTrace>& order) {
  std::unordered_map<std::string_view, Touched> touched;
  uint64_t stored = 0, duplicates = 0, over_limit = 0, logs = 0, logs_over_limit = 0;
  auto touch = [&](std::string_view id) -> Touched& {
    auto [it, fresh] = touched.try_emplace(id);
    if (fresh) order.push_back({id, false});
    return it->second;
  };
  if (auto ok = store_->begin(); !ok) return ok;
  for (Job* job : group) {
    if (job->kind != Job::Kind::kSpans) continue;
    for (const SpanRow& row : job->batch->spans) {
      auto inserted =
          store_->insert_span(row.trace_id, row.span_id, row.data, row.root, limits_.spans);
      if (!inserted) return std::move(inserted).error();
      if (*inserted == SpanInsert::kDuplicate) {
        ++duplicates;
        continue;
      }
      if (*inserted == SpanInsert::kOverLimit) {
        ++over_limit;
        continue;
      }
      ++stored;
      Touched& t = touch(row.trace_id);
      t.spans++;
      t.root = t.root || row.root;
      if (t.service.empty()) t.service = row.service;
    }
  }
  for (TouchedTrace& trace : order) {
    Touched& t = touched[trace.id];
    // A late span of a diagnosed trace has no root in it; the stored trace knows.
    auto root = store_->touch_trace(trace.id, t.service, now, t.spans, t.root);
    if (!root) return std::move(root).error();
    t.root = *root;
  }
  // Log records: stored, and their traces re-opened when they exist (records that come
  // before their trace's spans wait for them).
  std::unordered_map<std::string_view, int64_t> records;
  std::vector<std::string_view> traces;
  for (Job* job : group) {
    if (job->kind != Job::Kind::kLogs) continue;
    for (const LogRow& row : job->logs->logs) {
      auto inserted =
          store_->insert_log(row.trace_id, row.span_id, now, row.data, limits_.log_records);
      if (!inserted) return std::move(inserted).error();
      if (!*inserted) {
        ++logs_over_limit;
        continue;
      }
      ++logs;
      if (records[row.trace_id]++ == 0) traces.push_back(row.trace_id);
    }
  }
  for (std::string_view id : traces) {
    auto root = store_->touch_trace_logs(id, now, records[id]);
    if (!root) return std::move(root).error();
    if (!*root) continue;
    Touched& t = touch(id);
    t.root = t.root || **root;
  }
  for (TouchedTrace& trace : order) trace.root = touched[trace.id].root;
  for (Job* job : group) {
    if (job->kind == Job::Kind::kDiagnosis) {
      auto applied =
          store_->save_diagnosis(job->trace_id, job->span_count, job->log_count, job->record);
      if (!applied) return std::move(applied).error();
      job->applied = *applied;
    } else if (job->kind == Job::Kind::kPage) {
      if (auto ok = store_->save_page(job->trace_id, job->version, job->record.page); !ok)
        return ok;
    } else if (job->kind == Job::Kind::kRetention) {
      auto deleted = store_->delete_older(job->before, kRetentionBatch);
      if (!deleted) return std::move(deleted).error();
      job->deleted = std::move(*deleted);
    }
  }
  if (auto ok = store_->commit(); !ok) return ok;
  metrics_.spans_stored += stored;
  metrics_.drop_spans(Dropped::kDuplicate, duplicates);
  metrics_.drop_spans(Dropped::kTraceLimit, over_limit);
  metrics_.logs_stored += logs;
  metrics_.drop_logs(Dropped::kTraceLimit, logs_over_limit);
  return Ok{};
}

void Writer::commit_group(const std::vector<Job*>& group) {
  const int64_t now = now_ms();
  std::vector<TouchedTrace> touched;
  Status status = write_group(group, now, touched);
  if (!status) {
    store_->rollback();
    std::fprintf(stderr, "tracedx serve: %s\n", status.error().display().c_str());
    std::lock_guard lock(failure_mutex_);
    failure_ = status.error().display();
  } else {
    {
      std::lock_guard lock(failure_mutex_);
      failure_.clear();
    }
    committed_(now, touched, group);
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

void Writer::checkpoint_loop() {
  std::unique_lock lock(checkpoint_mutex_);
  std::string last;
  while (!checkpoint_cv_.wait_for(lock, std::chrono::milliseconds(kCheckpointMs),
                                  [&] { return checkpoint_stop_; })) {
    lock.unlock();
    // A failing checkpoint is said once, not every time it is tried.
    auto ok = checkpoint_store_->checkpoint();
    std::string now = ok ? std::string() : ok.error().display();
    if (!now.empty() && now != last) std::fprintf(stderr, "tracedx serve: %s\n", now.c_str());
    last = std::move(now);
    lock.lock();
  }
}

}  // namespace tracedx
