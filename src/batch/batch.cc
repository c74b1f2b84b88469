#include "batch/batch.h"

#include <algorithm>
#include <cerrno>
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

// Thrown out of the reading loops once the output has failed: nothing read after that
// could be written.
struct OutputFailed {};

// One trace on its way through the batch.
struct Slot {
  BatchTrace trace;
  std::string line;  // the result line, without its line feed
  std::optional<std::string> label;
  size_t size = 0;  // bytes read, counted against the read-ahead budget
  bool loaded = false;
  bool done = false;
};

class Pipeline {
 public:
  Pipeline(const BatchOptions& options, std::FILE* out, std::FILE* progress)
      : options_(options),
        out_(out),
        progress_(progress),
        start_(std::chrono::steady_clock::now()) {
    unsigned jobs = std::max(1u, options.jobs);
    window_limit_ = jobs * 8;
    // One job runs on the reading thread: no hand-off between threads is cheaper than any.
    if (jobs > 1) {
      for (unsigned i = 0; i < jobs; ++i) workers_.emplace_back([this] { work(); });
    }
  }

  void add(std::string id, Result<std::string> bytes) {
    auto slot = std::make_shared<Slot>();
    slot->trace.id = std::move(id);
    if (bytes)
      slot->trace.bytes = std::move(*bytes);
    else
      slot->trace.read_error = std::move(bytes).error();
    enqueue(std::move(slot));
  }

  void add_document(std::string id, Json document) {
    auto slot = std::make_shared<Slot>();
    slot->trace.id = std::move(id);
    slot->trace.document = std::move(document);
    enqueue(std::move(slot));
  }

  const BatchOptions& options() const { return options_; }

  bool output_failed() {
    std::lock_guard lock(mu_);
    return summary_.write_error != 0;
  }

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
    const size_t size = slot->trace.bytes.size();
    if (output_failed()) throw OutputFailed{};
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
      return summary_.write_error != 0 ||
             (window_.size() < window_limit_ &&
              (window_.empty() || pending_bytes_ + size <= kPendingBytesLimit));
    });
    if (summary_.write_error) throw OutputFailed{};
    pending_bytes_ += size;
    slot->size = size;
    window_.push_back(slot);
    queue_.push_back(slot);
    work_.notify_one();
  }

  void work() {
    for (;;) {
      std::shared_ptr<Slot> slot;
      bool skip = false;
      {
        std::unique_lock lock(mu_);
        work_.wait(lock, [&] { return closed_ || !queue_.empty(); });
        if (queue_.empty()) return;
        slot = std::move(queue_.front());
        queue_.pop_front();
        skip = summary_.write_error != 0;  // its record could not be written
      }
      if (!skip) process(*slot);
      std::lock_guard lock(mu_);
      slot->done = true;
      ready_.notify_all();
    }
  }

  void process(Slot& slot) {
    OrderedJson line = batch_record(slot.trace, options_.source, options_.diagnose, &slot.label,
                                    options_.run_status);
    slot.loaded = line.contains("diagnosis");
    slot.line = dump_report(line, /*compact=*/true);
  }

  // Writes the finished slots at the front of the window, in order. After a failed write
  // the rest are dropped: the batch is stopping.
  void flush_locked(std::unique_lock<std::mutex>&) {
    bool wrote = false;
    while (!window_.empty() && window_.front()->done) {
      Slot& s = *window_.front();
      if (summary_.write_error) {
        pending_bytes_ -= s.size;
        window_.pop_front();
        continue;
      }
      errno = 0;
      if (std::fwrite(s.line.data(), 1, s.line.size(), out_) != s.line.size() ||
          std::fputc('\n', out_) == EOF || std::ferror(out_)) {
        summary_.write_error = errno ? errno : EIO;
        work_.notify_all();
        ready_.notify_all();
        continue;
      }
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
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    uint64_t n = summary_.done + summary_.failed;
    std::fprintf(progress_, "\r%llu traces, %llu failed, %.0f traces/s",
                 static_cast<unsigned long long>(n),
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
    if (is_blank_line(line)) continue;
    pipeline.add(name + ":" + std::to_string(number), std::move(line));
    line = std::string();
  }
}

// Every trace of an OTLP document or JSON Lines text held in memory (standard input).
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

void add_input(Pipeline& pipeline, const BatchInput& input) {
  switch (input.kind) {
    case BatchInput::Kind::kError:
      return pipeline.add(input.path, *input.error);
    case BatchInput::Kind::kStdin:
      if (pipeline.options().source == Source::kOtlp) {
        return add_otlp(pipeline, "-", std::string(std::istreambuf_iterator<char>(std::cin), {}));
      }
      std::ios::sync_with_stdio(false);
      return add_lines(pipeline, std::cin, "-");
    case BatchInput::Kind::kOtlp:
      return add_otlp_file(pipeline, input.path);
    case BatchInput::Kind::kLines: {
      std::ifstream in(input.path, std::ios::binary);
      if (!in) return pipeline.add(input.path, read_file(input.path));  // gives the reason
      return add_lines(pipeline, in, input.path);
    }
    case BatchInput::Kind::kDocument:
      return pipeline.add(input.path, read_file(input.path));
  }
}

}  // namespace

bool is_blank_line(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

std::vector<BatchInput> list_batch_inputs(const std::vector<std::string>& paths, Source source) {
  const bool otlp = source == Source::kOtlp;
  std::vector<BatchInput> inputs;
  auto file_input = [&](std::string path) {
    auto kind = otlp                                     ? BatchInput::Kind::kOtlp
                : fs::path(path).extension() == ".jsonl" ? BatchInput::Kind::kLines
                                                         : BatchInput::Kind::kDocument;
    inputs.push_back({kind, std::move(path), std::nullopt});
  };
  for (const auto& path : paths) {
    if (path == "-") {
      inputs.push_back({BatchInput::Kind::kStdin, path, std::nullopt});
      continue;
    }
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
      file_input(path);
      continue;
    }
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
      auto ext = it->path().extension();
      if ((ext == ".json" || (otlp && ext == ".jsonl")) && !it->is_directory(ec))
        files.push_back(it->path());
    }
    if (ec) inputs.push_back({BatchInput::Kind::kError, path, Error::os(ec.value(), path)});
    std::sort(files.begin(), files.end());
    for (auto& f : files) {
      // Inside a directory only OTLP input reads .jsonl files; fixture input takes *.json.
      inputs.push_back(
          {otlp ? BatchInput::Kind::kOtlp : BatchInput::Kind::kDocument, f.string(), std::nullopt});
    }
  }
  return inputs;
}

OrderedJson batch_record(BatchTrace& trace, Source source, const DiagnoseOptions& options,
                         std::optional<std::string>* label, std::optional<RunStatus> run_status) {
  OrderedJson record = OrderedJson::object();
  record["id"] = trace.id;
  std::optional<Error> error = std::move(trace.read_error);
  if (!error) {
    std::optional<Result<Trace>> built;
    if (!trace.document && source != Source::kChat && !run_status) {
      // Fixture bytes go straight to a Trace; only parse errors name the trace.
      built = load_trace_owned(trace.id, std::move(trace.bytes));
      if (!*built && built->error().kind() == Error::Kind::kJson) {
        error = std::move(*built).error().with_path(trace.id);
      }
    } else {
      Result<Json> document =
          trace.document ? Result<Json>(std::move(*trace.document)) : parse_json(trace.bytes);
      std::string().swap(trace.bytes);
      if (document && source == Source::kChat) document = import_chat(*document, trace.id);
      if (document && run_status) state_run_status(*document, *run_status);
      if (!document)
        error = std::move(document).error().with_path(trace.id);
      else
        built = build_trace(trace.id, std::move(*document));
    }
    if (!error && !*built) {
      error = std::move(*built).error();
    } else if (!error) {
      Diagnosis d = diagnose_run(**built, options);
      if (label && d.root_cause) *label = d.root_cause->label;
      record["diagnosis"] = to_json(d);
    }
  }
  if (error) record["error"] = error->display();
  return record;
}

BatchSummary run_batch(const std::vector<std::string>& paths, const BatchOptions& options,
                       std::FILE* out, std::FILE* progress) {
  Pipeline pipeline(options, out, progress);
  try {
    for (const auto& input : list_batch_inputs(paths, options.source)) add_input(pipeline, input);
  } catch (const OutputFailed&) {
    // The reading stopped; finish() drops what is still in flight.
  }
  return pipeline.finish();
}

std::string batch_summary_text(const BatchSummary& summary) {
  std::string out = "traces: " + std::to_string(summary.done + summary.failed) +
                    ", diagnosed: " + std::to_string(summary.done) +
                    ", failed: " + std::to_string(summary.failed) + "\n";
  std::vector<std::pair<std::string, uint64_t>> rows(summary.labels.begin(), summary.labels.end());
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  for (const auto& [label, count] : rows) out += "  " + std::to_string(count) + "  " + label + "\n";
  return out;
}

}  // namespace tracedx
