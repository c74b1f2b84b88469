#include "batch/batch.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "analysis/recorded_analysis.h"
#include "import/detect_source.h"
#include "input/input.h"
#include "report/report_json.h"
#include "text/json_writer.h"
#include "text/text.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

namespace fs = std::filesystem;

// Thrown out of the reading loops once the output has failed: nothing read after that
// could be written.
struct OutputFailed {};

// The result of a trace that did not fit in the memory left.
BatchResult out_of_memory(std::string id) {
  BatchResult result;
  result.error = id + ": out of memory";
  result.id = std::move(id);
  return result;
}

// About what a JSON value holds in memory: its nodes, strings and object members.
size_t held_bytes(const Json& value) {
  size_t total = 0;
  std::vector<const Json*> pending{&value};
  while (!pending.empty()) {
    const Json* v = pending.back();
    pending.pop_back();
    total += sizeof(Json);
    if (v->is_string()) {
      total += sizeof(std::string) + v->get_ref<const std::string&>().capacity();
    } else if (v->is_array()) {
      total += sizeof(Json::array_t);
      for (const auto& e : *v) pending.push_back(&e);
    } else if (v->is_object()) {
      total += sizeof(Json::object_t);
      for (auto it = v->begin(); it != v->end(); ++it) {
        total += 4 * sizeof(void*) + sizeof(std::string) + it.key().capacity();  // tree node
        pending.push_back(&*it);
      }
    }
  }
  return total;
}

// About the memory a document's text becomes while it is diagnosed: the text, the parser's
// copy of it, and a share for every value (each container, and each element or member after
// a comma), which is within a fifth of the peak of diagnosing a trace of many empty steps,
// of many short steps or of a few long ones. A step of two bytes ("{}") becomes about two
// hundred, so the bytes alone say nothing of the worst inputs.
size_t expanded_bytes(std::string_view text) {
  constexpr size_t kPerValue = 96;
  size_t values = 0;
  for (char c : text) values += c == '{' || c == '[' || c == ',';
  return 2 * text.size() + kPerValue * values;
}

// What a trace on its way through the batch holds at most: its bytes as they will be
// diagnosed, or its imported document and the trace built from it.
size_t held_bytes(const BatchTrace& trace) {
  return expanded_bytes(trace.bytes) + (trace.document ? 2 * held_bytes(*trace.document) : 0);
}

// One trace on its way through the batch.
struct Slot {
  BatchTrace trace;
  std::string line;  // the result line, without its line feed
  std::optional<std::string> label;
  std::string outcome;
  bool keep = true;      // written: meets the `only` condition, or not diagnosed
  bool matched = false;  // meets the `fail_on` condition
  size_t size = 0;       // memory held, counted against the read-ahead budget
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

  void add_trace(std::string id, Trace trace) {
    auto slot = std::make_shared<Slot>();
    slot->trace.id = std::move(id);
    slot->trace.trace = std::move(trace);
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
    if (output_failed()) throw OutputFailed{};
    if (workers_.empty()) {
      process(*slot);
      slot->done = true;
      std::unique_lock lock(mu_);
      window_.push_back(std::move(slot));
      flush_locked(lock);
      return;
    }
    const size_t size = held_bytes(slot->trace);
    std::unique_lock lock(mu_);
    // Bounded read-ahead: a number of traces, and the memory they hold (what they become
    // once diagnosed, not their bytes) unless nothing waits.
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
      // From now on the slot holds its result line, not its input.
      pending_bytes_ = pending_bytes_ - slot->size + slot->line.capacity();
      slot->size = slot->line.capacity();
      slot->done = true;
      ready_.notify_all();
    }
  }

  void process(Slot& slot) {
    BatchResult result =
        diagnose_batch_trace(slot.trace, options_.source, options_.diagnose, options_.run_status);
    slot.loaded = result.diagnosis.has_value();
    if (slot.loaded && result.diagnosis->root_cause)
      slot.label = result.diagnosis->root_cause->label;
    if (slot.loaded) {
      const auto& rc = result.diagnosis->root_cause;
      std::optional<std::string> severity = rc ? std::optional(rc->severity) : std::nullopt;
      slot.outcome = result.diagnosis->outcome;
      if (options_.only)
        slot.keep = run_matches(*options_.only, slot.outcome, slot.label, severity);
      if (options_.fail_on)
        slot.matched = run_matches(*options_.fail_on, slot.outcome, slot.label, severity);
      // A record left out is neither written nor held.
      if (!slot.keep) return;
    }
    try {
      append_record(slot.line, result);
    } catch (const std::bad_alloc&) {
      // The record did not fit in the memory left: the trace's error record takes its place.
      std::string().swap(slot.line);
      slot.loaded = false;
      slot.label.reset();
      append_record(slot.line, out_of_memory(std::move(result.id)));
    }
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
      if (s.keep && (std::fwrite(s.line.data(), 1, s.line.size(), out_) != s.line.size() ||
                     std::fputc('\n', out_) == EOF || std::ferror(out_))) {
        summary_.write_error = errno ? errno : EIO;
        work_.notify_all();
        ready_.notify_all();
        continue;
      }
      if (s.loaded) {
        ++summary_.done;
        ++summary_.labels[s.label.value_or("(none)")];
        ++summary_.outcomes[s.outcome];
        summary_.written += s.keep;
        summary_.fail_on_matched += s.matched;
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
    std::fprintf(progress_, "\r%llu traces, %llu unreadable, %.0f traces/s",
                 static_cast<unsigned long long>(n),
                 static_cast<unsigned long long>(summary_.failed), seconds > 0 ? n / seconds : 0.0);
    std::fflush(progress_);
  }

  const BatchOptions& options_;
  std::FILE* out_;
  std::FILE* progress_;
  std::chrono::steady_clock::time_point start_;
  static constexpr size_t kPendingBytesLimit = size_t{512} << 20;
  size_t window_limit_ = 8;
  size_t pending_bytes_ = 0;
  std::mutex mu_;
  std::condition_variable work_, ready_;
  std::deque<std::shared_ptr<Slot>> window_, queue_;
  bool closed_ = false;
  BatchSummary summary_;
  std::vector<std::thread> workers_;
};

// An input opened for reading, or the error record naming it.
std::optional<Input> open_input(Pipeline& pipeline, const std::string& path,
                                const std::string& id) {
  auto input = Input::open(path);
  if (input) return std::move(*input);
  pipeline.add(id, std::move(input).error().with_path(id));
  return std::nullopt;
}

// One trace per line ("-" is standard input), read in one pass.
void add_lines(Pipeline& pipeline, Input& input, const std::string& name) {
  LineReader reader(input);
  Line line;
  for (;;) {
    auto got = reader.next(line);
    if (!got) return pipeline.add(name, std::move(got).error().with_path(name));
    if (!*got) return;
    std::string id = name + ":" + std::to_string(line.number);
    if (line.too_long) {
      pipeline.add(id, line_too_long(id));
      // A stream may never end that line (a device): the rest of it is not read.
      if (!input.seekable()) return;
    } else if (!is_blank_line(line.text)) {
      pipeline.add(std::move(id), std::string(line.text));
    }
  }
}

// Every trace of an OTLP input (a file, a FIFO or standard input), streamed: memory holds
// the traces in flight, not the input. A line that cannot be read is an error record, and
// so is each trace that had spans on it; the other traces go on.
void add_otlp(Pipeline& pipeline, Input& input, const std::string& name) {
  auto done = for_each_otlp_trace(input, [&](OtlpItem item) {
    std::string id = otlp_record_id(name, item);
    if (item.error)
      pipeline.add(std::move(id), std::move(*item.error));
    else
      pipeline.add_trace(std::move(id), std::move(*item.trace));
  });
  if (!done) pipeline.add(name, std::move(done).error().with_path(name));
}

void add_document(Pipeline& pipeline, Input& input, const std::string& name) {
  auto bytes = input.read_all();
  if (!bytes) return pipeline.add(name, std::move(bytes).error().with_path(name));
  pipeline.add(name, std::move(*bytes));
}

void add_input(Pipeline& pipeline, const BatchInput& input) {
  // Ids and messages show the path with bytes that are not UTF-8 escaped, so two files
  // never share an id.
  const std::string name = display_path(input.path);
  try {
    if (input.kind == BatchInput::Kind::kError) return pipeline.add(name, *input.error);
    auto opened = open_input(pipeline, input.path, name);
    if (!opened) return;
    BatchInput::Kind kind = input.kind;
    const Source source = pipeline.options().source;
    if (kind == BatchInput::Kind::kStdin && source != Source::kDetect)
      kind = source == Source::kOtlp ? BatchInput::Kind::kOtlp : BatchInput::Kind::kLines;
    if (source == Source::kDetect && kind != BatchInput::Kind::kOtlp) {
      // Told from its first document: an OTLP input is read as a whole, anything else one
      // trace per line or per file as before, each trace's format told from itself.
      auto detected = detect_source(*opened);
      if (detected && *detected == Source::kOtlp)
        kind = BatchInput::Kind::kOtlp;
      else if (kind == BatchInput::Kind::kStdin)
        kind = BatchInput::Kind::kLines;
    }
    switch (kind) {
      case BatchInput::Kind::kOtlp:
        return add_otlp(pipeline, *opened, name);
      case BatchInput::Kind::kLines:
        return add_lines(pipeline, *opened, name);
      default:
        return add_document(pipeline, *opened, name);
    }
  } catch (const std::bad_alloc&) {
    pipeline.add(name, Error::message(name + ": out of memory while reading"));
  }
}

}  // namespace

std::string otlp_record_id(const std::string& name, const OtlpItem& item) {
  if (!item.trace_id.empty()) return name + ":" + item.trace_id;
  return item.line > 0 ? name + ":" + std::to_string(item.line) : name;
}

std::vector<BatchInput> list_batch_inputs(const std::vector<std::string>& paths, Source source) {
  const bool otlp = source == Source::kOtlp;
  std::vector<BatchInput> inputs;
  for (const auto& path : paths) {
    if (path == "-") {
      inputs.push_back({BatchInput::Kind::kStdin, path, std::nullopt});
      continue;
    }
    if (path_kind(path) != PathKind::kDirectory) {
      // A file, or a FIFO or device named explicitly (read as a stream, bounded).
      auto kind = otlp                                     ? BatchInput::Kind::kOtlp
                  : fs::path(path).extension() == ".jsonl" ? BatchInput::Kind::kLines
                                                           : BatchInput::Kind::kDocument;
      inputs.push_back({kind, path, std::nullopt});
      continue;
    }
    // Inside a directory only OTLP input reads .jsonl files; fixture input takes *.json.
    auto wanted = [&](std::string_view file) {
      auto ext = fs::path(file).extension();
      return ext == ".json" || (otlp && ext == ".jsonl");
    };
    for (auto& entry : list_directory(path, wanted)) {
      if (entry.error) {
        Error e = std::move(*entry.error).with_path(display_path(entry.path));
        inputs.push_back({BatchInput::Kind::kError, std::move(entry.path), std::move(e)});
      } else {
        inputs.push_back({otlp ? BatchInput::Kind::kOtlp : BatchInput::Kind::kDocument,
                          std::move(entry.path), std::nullopt});
      }
    }
  }
  return inputs;
}

namespace {

BatchResult result_of(BatchTrace& trace, Source source, const DiagnoseOptions& options,
                      std::optional<RunStatus> run_status) {
  BatchResult result;
  result.id = trace.id;
  std::optional<Error> error = std::move(trace.read_error);
  if (!error) {
    std::optional<Result<Trace>> built;
    if (trace.trace) {
      // An imported trace takes the record's id, and the outcome the user states.
      trace.trace->id = trace.id;
      if (run_status) {
        trace.trace->status = *run_status == RunStatus::kFailed ? "failed" : "completed";
        trace.trace->status_inferred = false;
      }
      built = std::move(*trace.trace);
      trace.trace.reset();
    } else if (!trace.document && source == Source::kDetect) {
      auto detected = detect_source(trace.bytes, trace.id);
      source = detected ? *detected : Source::kFixture;  // the loader names what is wrong
      if (source == Source::kOtlp) {
        auto document = import_document(trace.bytes, source, trace.id);
        std::string().swap(trace.bytes);
        if (!document) {
          result.error = document.error().display();
          return result;
        }
        trace.document = std::move(*document);
      }
    }
    if (built) {
      // imported above
    } else if (!trace.document && source != Source::kChat && !run_status) {
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
      result.diagnosis = diagnose_trace(**built, options);
      // An importer may infer the run status; only a recorded or stated one is an outcome.
      result.run = run_info_of(**built, *result.diagnosis, !(**built).status_inferred);
    }
  }
  if (error) result.error = error->display();
  return result;
}

}  // namespace

BatchResult diagnose_batch_trace(BatchTrace& trace, Source source, const DiagnoseOptions& options,
                                 std::optional<RunStatus> run_status) {
  try {
    return result_of(trace, source, options, run_status);
  } catch (const std::bad_alloc&) {
    // One trace too big for the memory left is that trace's failure, not the batch's.
    std::string().swap(trace.bytes);
    trace.document.reset();
    return out_of_memory(trace.id);
  }
}

OrderedJson to_json(const BatchResult& result) {
  OrderedJson record = OrderedJson::object();
  record["id"] = result.id;
  if (result.diagnosis)
    record["diagnosis"] = to_json(*result.diagnosis);
  else
    record["error"] = result.error;
  if (result.run) record["run"] = to_json(*result.run);
  return record;
}

void append_record(std::string& out, const BatchResult& result) {
  out += "{\"id\":";
  append_json_string(out, result.id);
  if (result.diagnosis) {
    out += ",\"diagnosis\":";
    append_compact_json(out, *result.diagnosis);
  } else {
    out += ",\"error\":";
    append_json_string(out, result.error);
  }
  if (result.run) {
    out += ",\"run\":";
    append_run_json(out, *result.run);
  }
  out += '}';
}

OrderedJson batch_record(BatchTrace& trace, Source source, const DiagnoseOptions& options,
                         std::optional<std::string>* label, std::optional<RunStatus> run_status) {
  BatchResult result = diagnose_batch_trace(trace, source, options, run_status);
  if (label) {
    label->reset();
    if (result.diagnosis && result.diagnosis->root_cause)
      *label = result.diagnosis->root_cause->label;
  }
  return to_json(result);
}

BatchSummary run_batch(const std::vector<std::string>& paths, const BatchOptions& options,
                       std::FILE* out, std::FILE* progress) {
  Pipeline pipeline(options, out, progress);
  try {
    for (const auto& input : list_batch_inputs(paths, options.source)) add_input(pipeline, input);
  } catch (const OutputFailed&) {
    // The reading stopped; finish() drops what is still in flight.
  }
  BatchSummary summary = pipeline.finish();
  summary.filtered = options.only.has_value();
  summary.fail_on_set = options.fail_on.has_value();
  return summary;
}

std::string batch_summary_text(const BatchSummary& summary) {
  std::string out = "traces: " + std::to_string(summary.done + summary.failed) +
                    ", diagnosed: " + std::to_string(summary.done) +
                    ", unreadable: " + std::to_string(summary.failed) + "\n";
  // Outcomes of the diagnosed runs, in a fixed order; other words after them.
  std::string outcomes;
  auto add_outcome = [&](const std::string& word, uint64_t n) {
    outcomes += (outcomes.empty() ? "" : ", ") + word + " " + std::to_string(n);
  };
  for (const char* word : {"success", "degraded", "failed", "unknown"}) {
    if (auto it = summary.outcomes.find(word); it != summary.outcomes.end())
      add_outcome(it->first, it->second);
  }
  for (const auto& [word, n] : summary.outcomes) {
    if (word != "success" && word != "degraded" && word != "failed" && word != "unknown")
      add_outcome(word, n);
  }
  if (!outcomes.empty()) out += "outcomes: " + outcomes + "\n";
  if (summary.filtered)
    out += "written: " + std::to_string(summary.written) + " of " + std::to_string(summary.done) +
           " diagnosed runs\n";
  if (summary.fail_on_set)
    out += "fail-on: " + std::to_string(summary.fail_on_matched) + " runs match\n";
  std::vector<std::pair<std::string, uint64_t>> rows(summary.labels.begin(), summary.labels.end());
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  for (const auto& [label, count] : rows) out += "  " + std::to_string(count) + "  " + label + "\n";
  return out;
}

}  // namespace tracedx
