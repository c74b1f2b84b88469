#include "batch/batch.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>

#include "report/report_json.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

namespace fs = std::filesystem;

// One trace on its way through the batch.
struct Slot {
  std::string id;
  std::string bytes;
  std::optional<Json> document;  // already imported (OTLP)
  std::optional<Error> read_error;
  std::string line;  // the result line, without its line feed
  std::optional<std::string> label;
  size_t size = 0;  // bytes read, counted against the read-ahead budget
  bool loaded = false;
  bool done = false;
};

class Pipeline {
 public:
  Pipeline(const BatchOptions& options, std::FILE* out, std::FILE* progress)
      : options_(options), out_(out), progress_(progress), start_(std::chrono::steady_clock::now()) {
    unsigned jobs = std::max(1u, options.jobs);
    window_limit_ = jobs * 8;
    // One job runs on the reading thread: no hand-off between threads is cheaper than any.
    if (jobs > 1) {
      for (unsigned i = 0; i < jobs; ++i) workers_.emplace_back([this] { work(); });
    }
  }

  void add(std::string id, Result<std::string> bytes) {
    auto slot = std::make_shared<Slot>();
    slot->id = std::move(id);
    if (bytes) slot->bytes = std::move(*bytes);
    else slot->read_error = std::move(bytes).error();
    enqueue(std::move(slot));
  }

  void add_document(std::string id, Json document) {
    auto slot = std::make_shared<Slot>();
    slot->id = std::move(id);
    slot->document = std::move(document);
    enqueue(std::move(slot));
  }

  const BatchOptions& options() const { return options_; }

  BatchSummary finish() {
    {
      std::unique_lock lock(mu_);
      closed_ = true;
      work_.notify_all();
      ready_.wait(lock, [&] {
        flush_locked(lock);
        return window_.empty();
      });
    }
    for (auto& t : workers_) t.join();
    if (options_.progress) std::fputc('\n', progress_);
    return summary_;
  }

 private:
  void enqueue(std::shared_ptr<Slot> slot) {
    const size_t size = slot->bytes.size();
    if (workers_.empty()) {
      process(*slot);
      slot->done = true;
      std::unique_lock lock(mu_);
      window_.push_back(std::move(slot));
      flush_locked(lock);
      return;
    }
    std::unique_lock lock(mu_);
    // Bounded read-ahead: a number of traces, and a number of bytes unless nothing waits.
    ready_.wait(lock, [&] {
      flush_locked(lock);
      return window_.size() < window_limit_ &&
             (window_.empty() || pending_bytes_ + size <= kPendingBytesLimit);
    });
    pending_bytes_ += size;
    slot->size = size;
    window_.push_back(slot);
    queue_.push_back(slot);
    work_.notify_one();
  }

  void work() {
    for (;;) {
      std::shared_ptr<Slot> slot;
      {
        std::unique_lock lock(mu_);
        work_.wait(lock, [&] { return closed_ || !queue_.empty(); });
        if (queue_.empty()) return;
        slot = std::move(queue_.front());
        queue_.pop_front();
      }
      process(*slot);
      std::lock_guard lock(mu_);
      slot->done = true;
      ready_.notify_all();
    }
  }

  void process(Slot& slot) {
    OrderedJson line = OrderedJson::object();
    line["id"] = slot.id;
    std::optional<Error> error = std::move(slot.read_error);
    if (!error) {
      Result<Json> document = slot.document ? Result<Json>(std::move(*slot.document)) : parse_json(slot.bytes);
      std::string().swap(slot.bytes);
      if (document && options_.source == Source::kChat) document = import_chat(*document, slot.id);
      if (!document) {
        error = std::move(document).error().with_path(slot.id);
      } else if (auto trace = build_trace(slot.id, std::move(*document)); !trace) {
        error = std::move(trace).error();
      } else {
        Diagnosis d = diagnose_run(*trace, options_.diagnose);
        if (d.root_cause) slot.label = d.root_cause->label;
        line["diagnosis"] = to_json(d);
        slot.loaded = true;
      }
    }
    if (error) line["error"] = error->display();
    slot.line = dump_report(line, /*compact=*/true);
  }

  // Writes the finished slots at the front of the window, in order.
  void flush_locked(std::unique_lock<std::mutex>&) {
    bool wrote = false;
    while (!window_.empty() && window_.front()->done) {
      Slot& s = *window_.front();
      std::fwrite(s.line.data(), 1, s.line.size(), out_);
      std::fputc('\n', out_);
      if (s.loaded) {
        ++summary_.done;
        ++summary_.labels[s.label.value_or("(none)")];
      } else {
        ++summary_.failed;
      }
      pending_bytes_ -= s.size;
      window_.pop_front();
      wrote = true;
    }
    if (wrote && options_.progress) draw_progress();
  }

  void draw_progress() {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    uint64_t n = summary_.done + summary_.failed;
    std::fprintf(progress_, "\r%llu traces, %llu failed, %.0f traces/s", static_cast<unsigned long long>(n),
                 static_cast<unsigned long long>(summary_.failed), seconds > 0 ? n / seconds : 0.0);
    std::fflush(progress_);
  }

  const BatchOptions& options_;
  std::FILE* out_;
  std::FILE* progress_;
  std::chrono::steady_clock::time_point start_;
  static constexpr size_t kPendingBytesLimit = size_t{256} << 20;
  size_t window_limit_ = 8;
  size_t pending_bytes_ = 0;
  std::mutex mu_;
  std::condition_variable work_, ready_;
  std::deque<std::shared_ptr<Slot>> window_, queue_;
  bool closed_ = false;
  BatchSummary summary_;
  std::vector<std::thread> workers_;
};

void add_lines(Pipeline& pipeline, std::istream& in, const std::string& name) {
  std::string line;
  for (uint64_t number = 1; std::getline(in, line); ++number) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;  // blank lines
    pipeline.add(name + ":" + std::to_string(number), std::move(line));
    line = std::string();
  }
}

// Every trace of an OTLP file (a JSON document or JSON Lines of exports).
void add_otlp(Pipeline& pipeline, const std::string& name, Result<std::string> bytes) {
  if (!bytes) return pipeline.add(name, std::move(bytes));
  auto traces = import_otlp(*bytes, name);
  if (!traces) return pipeline.add(name, std::move(traces).error());
  for (auto& t : *traces) pipeline.add_document(name + ":" + t.id, std::move(t.fixture));
}

// Every trace of an OTLP file, streamed: memory holds the traces in flight, not the file.
void add_otlp_file(Pipeline& pipeline, const std::string& path) {
  auto done = for_each_otlp_trace(path, [&](ImportedTrace t) {
    pipeline.add_document(path + ":" + t.id, std::move(t.fixture));
  });
  if (!done) pipeline.add(path, std::move(done).error());
}

void add_path(Pipeline& pipeline, const std::string& path) {
  const bool otlp = pipeline.options().source == Source::kOtlp;
  if (otlp && path == "-") return add_otlp(pipeline, "-", std::string(std::istreambuf_iterator<char>(std::cin), {}));
  if (otlp && !fs::is_directory(path)) return add_otlp_file(pipeline, path);
  if (path == "-") {
    std::ios::sync_with_stdio(false);
    add_lines(pipeline, std::cin, "-");
    return;
  }
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
      auto ext = it->path().extension();
      if ((ext == ".json" || (otlp && ext == ".jsonl")) && !it->is_directory(ec)) files.push_back(it->path());
    }
    if (ec) pipeline.add(path, Error::os(ec.value(), path));
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
      if (otlp) add_otlp_file(pipeline, f.string());
      else pipeline.add(f.string(), read_file(f));
    }
    return;
  }
  if (fs::path(path).extension() == ".jsonl") {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      pipeline.add(path, read_file(path));  // reports the reason the file cannot be read
      return;
    }
    add_lines(pipeline, in, path);
    return;
  }
  pipeline.add(path, read_file(path));
}

}  // namespace

BatchSummary run_batch(const std::vector<std::string>& paths, const BatchOptions& options,
                       std::FILE* out, std::FILE* progress) {
  Pipeline pipeline(options, out, progress);
  for (const auto& path : paths) add_path(pipeline, path);
  return pipeline.finish();
}

std::string batch_summary_text(const BatchSummary& summary) {
  std::string out = "traces: " + std::to_string(summary.done + summary.failed) + ", diagnosed: " +
                    std::to_string(summary.done) + ", failed: " + std::to_string(summary.failed) + "\n";
  std::vector<std::pair<std::string, uint64_t>> rows(summary.labels.begin(), summary.labels.end());
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  for (const auto& [label, count] : rows) out += "  " + std::to_string(count) + "  " + label + "\n";
  return out;
}

}  // namespace tracedx
