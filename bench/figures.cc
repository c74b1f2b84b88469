// Prints the performance figures as one table: engine cost against parsing, scaling with
// trace size, comparison cost, batch throughput and scaling, start-up time, memory, and
// OTLP input against the floor of reading it.
// Figures are ratios or medians measured in one run, so a noisy machine still gives a
// stable answer.
//
//   figures DATA_DIR TRACEDX_BINARY
#include <simdjson.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "diagnosis/compare/comparison.h"
#include "diagnosis/diagnosis.h"
#include "diagnosis/keywords.h"
#include "input/input.h"
#include "report/report_json.h"
#include "trace/fixture_loader.h"

namespace {

namespace fs = std::filesystem;
using tracedx::Trace;

double seconds_of(const std::function<void()>& f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median_of(int runs, const std::function<void()>& f) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) t.push_back(seconds_of(f));
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

Trace load(const fs::path& p) {
  auto t = tracedx::load_fixture(p.parent_path(), p.filename().string());
  if (!t) {
    std::fprintf(stderr, "cannot load %s: %s\n", p.c_str(), t.error().display().c_str());
    std::exit(1);
  }
  return std::move(*t);
}

struct ChildRun {
  double seconds;
  long max_rss_kb;
  int status;
  double cpu_seconds;  // user + system: on a busy machine a fairer measure of work than wall time
};

// Runs a process to its end; when `quiet`, its standard output goes to `out` and its
// standard error is discarded.
ChildRun run_child(const std::vector<std::string>& argv, bool quiet = true,
                   const char* out = "/dev/null") {
  std::fflush(stdout);  // else the child's freopen writes the rows printed so far again
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    if (quiet) {
      if (!std::freopen(out, "w", stdout)) ::_exit(126);
      std::freopen("/dev/null", "w", stderr);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  return {s, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
          secs(usage.ru_utime) + secs(usage.ru_stime)};
}

void row(const char* figure, const std::string& value, const char* target) {
  std::printf("| %-62s | %-22s | %-14s |\n", figure, value.c_str(), target);
}

std::string fmt(const char* f, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, f, v);
  return buf;
}

// The floor for diagnosing a file: what the machine needs for the same work at least,
// measured in this process: reading the file, a simdjson parse of it, one pass of the
// keyword automaton over all its bytes, and writing a report of the same size.
struct Floor {
  double read = 0, parse = 0, scan = 0, write = 0;
  double total() const { return read + parse + scan + write; }
};

Floor floor_of(const fs::path& p, const std::string& report) {
  Floor f;
  std::string bytes;
  f.read = median_of(3, [&] { bytes = *tracedx::read_file(p); });
  simdjson::dom::parser parser;
  f.parse = median_of(3, [&] {
    simdjson::dom::element root;
    if (parser.parse(bytes).get(root)) std::exit(1);
  });
  f.scan = median_of(3, [&] {
    tracedx::KeywordScan scan(tracedx::keyword_matcher());
    scan.feed(bytes);
  });
  f.write = median_of(3, [&] {
    std::FILE* out = std::fopen("/dev/null", "w");
    std::fwrite(report.data(), 1, report.size(), out);
    std::fclose(out);
  });
  return f;
}

// The floor of a JSON Lines batch: per line, a parse, a keyword pass and a record write.
double batch_floor_of(const fs::path& p) {
  return median_of(3, [&] {
    std::string bytes = *tracedx::read_file(p);
    simdjson::dom::parser parser;
    std::FILE* out = std::fopen("/dev/null", "w");
    std::string_view rest = bytes;
    while (!rest.empty()) {
      size_t nl = rest.find('\n');
      std::string_view line = rest.substr(0, nl);
      rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
      simdjson::dom::element root;
      if (parser.parse(line.data(), line.size()).get(root)) std::exit(1);
      tracedx::KeywordScan scan(tracedx::keyword_matcher());
      scan.feed(line);
      std::fwrite(line.data(), 1, 2000, out);  // about the size of a record
    }
    std::fclose(out);
  });
}

// Ends the figures when a measured process failed: a run that stopped part-way would
// look fast.
void require_success(const ChildRun& r, const std::vector<std::string>& argv) {
  if (r.status == 0) return;
  std::fprintf(stderr, "%s %s ... exited with %d\n", argv[0].c_str(), argv[1].c_str(), r.status);
  std::exit(1);
}

// The median wall time of three runs of a process that must succeed.
double child_median(const std::vector<std::string>& argv) {
  std::vector<double> t;
  for (int i = 0; i < 3; ++i) {
    ChildRun r = run_child(argv);
    require_success(r, argv);
    t.push_back(r.seconds);
  }
  std::sort(t.begin(), t.end());
  return t[1];
}

// The size of what a successful process writes to standard output.
size_t output_size_of(const std::vector<std::string>& argv) {
  const fs::path out = fs::temp_directory_path() / ("figures_out_" + std::to_string(::getpid()));
  ChildRun r = run_child(argv, true, out.c_str());
  std::error_code error;
  size_t size = fs::file_size(out, error);
  fs::remove(out, error);
  require_success(r, argv);
  return size;
}

// A floor over a file simdjson could not read or walk would be no floor.
[[noreturn]] void simdjson_failed(simdjson::error_code error) {
  std::fprintf(stderr, "simdjson: %s\n", simdjson::error_message(error));
  std::exit(1);
}

// Reads one On-Demand value to its end: every key unescaped, every number, boolean and
// null read, every string value fed to `scan`. OTLP nests a dozen levels at most, so the
// recursion stays shallow.
void walk(simdjson::ondemand::value value, tracedx::KeywordScan& scan) {
  using simdjson::ondemand::json_type;
  json_type type;
  if (auto e = value.type().get(type)) simdjson_failed(e);
  simdjson::error_code e = simdjson::SUCCESS;
  switch (type) {
    case json_type::object: {
      simdjson::ondemand::object object;
      if ((e = value.get_object().get(object))) break;
      for (auto field : object) {
        std::string_view key;
        simdjson::ondemand::value child;
        if ((e = field.unescaped_key().get(key)) || (e = field.value().get(child))) break;
        walk(child, scan);
      }
      break;
    }
    case json_type::array: {
      simdjson::ondemand::array array;
      if ((e = value.get_array().get(array))) break;
      for (auto element : array) {
        simdjson::ondemand::value child;
        if ((e = element.get(child))) break;
        walk(child, scan);
      }
      break;
    }
    case json_type::string: {
      std::string_view text;
      if (!(e = value.get_string().get(text))) scan.feed(text);
      break;
    }
    case json_type::number: {
      simdjson::ondemand::number number;
      e = value.get_number().get(number);
      break;
    }
    case json_type::boolean: {
      bool flag;
      e = value.get_bool().get(flag);
      break;
    }
    case json_type::null: {
      bool null;
      e = value.is_null().get(null);
      break;
    }
  }
  if (e) simdjson_failed(e);
}

// Walks one whole document (see walk), its strings fed to a scan of its own.
void walk_document(simdjson::ondemand::parser& parser, simdjson::padded_string_view json) {
  simdjson::ondemand::document document;
  simdjson::ondemand::value root;
  if (auto e = parser.iterate(json).get(document)) simdjson_failed(e);
  if (auto e = document.get_value().get(root)) simdjson_failed(e);
  tracedx::KeywordScan scan(tracedx::keyword_matcher());
  walk(root, scan);
}

// The floor of reading OTLP: reading the file, an On-Demand walk of each document (each
// line when `per_line`, else the whole file) and writing `record` bytes per document.
// The file is read into a padded string, so each line in it is followed by at least the
// padding On-Demand may read past a document's end. Done once, in a process of its own
// (see otlp_floor_of).
void otlp_floor_once(const fs::path& p, bool per_line, size_t record) {
  const std::string written(record, ' ');
  simdjson::padded_string bytes;
  if (auto e = simdjson::padded_string::load(p.string()).get(bytes)) simdjson_failed(e);
  const char* allocated_end = bytes.data() + bytes.size() + simdjson::SIMDJSON_PADDING;
  simdjson::ondemand::parser parser;
  std::FILE* out = std::fopen("/dev/null", "w");
  std::string_view rest(bytes.data(), bytes.size());
  while (!rest.empty()) {
    size_t nl = per_line ? rest.find('\n') : std::string_view::npos;
    std::string_view document = rest.substr(0, nl);
    rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
    walk_document(parser, simdjson::padded_string_view(
                              document, static_cast<size_t>(allocated_end - document.data())));
    std::fwrite(written.data(), 1, written.size(), out);
  }
  std::fclose(out);
}

// The OTLP floor as tracedx is measured: a whole process (this program run again with
// --otlp-floor), median of three, so both start with fresh memory and pay their page
// faults. Repeated in one process, the floor would reuse the memory its first run faulted.
double otlp_floor_of(const fs::path& p, bool per_line, size_t record) {
  return child_median({"/proc/self/exe", "--otlp-floor", p.string(), per_line ? "lines" : "whole",
                       std::to_string(record)});
}

// tracedx on OTLP input against the floor of reading it: the batch of a fleet's 10,000
// traces with one job, and the diagnosis of one 25 MB trace (writing a report of the size
// tracedx writes). Medians of three whole processes.
struct OtlpFigures {
  double batch, batch_floor, diagnose, diagnose_floor;
};

OtlpFigures otlp_figures(const fs::path& data, const std::string& tracedx) {
  const std::string corpus = (data / "otlp_10k.jsonl").string();
  const std::string big = (data / "otlp_25mb.json").string();
  OtlpFigures f;
  f.batch = child_median({tracedx, "batch", "--jobs", "1", "--from", "otlp", corpus});
  f.batch_floor = otlp_floor_of(corpus, true, 2000);  // about the size of a record
  const std::vector<std::string> diagnose = {tracedx, "diagnose", "--from", "otlp", big};
  f.diagnose = child_median(diagnose);
  f.diagnose_floor = otlp_floor_of(big, false, output_size_of(diagnose));
  return f;
}

std::string ratio_of(double value, double floor) {
  return fmt("%.2f", value / floor) + fmt(" (%.0f", value * 1e3) + fmt(" / %.0f ms)", floor * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string_view(argv[1]) == "--otlp-floor") {
    otlp_floor_once(argv[2], std::string_view(argv[3]) == "lines",
                    static_cast<size_t>(std::strtoull(argv[4], nullptr, 10)));
    return 0;
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: figures DATA_DIR TRACEDX_BINARY\n");
    return 2;
  }
  const fs::path data = argv[1];
  const std::string tracedx = argv[2];
  const double mb = 1e6;

  // Engine cost against the loader on the 25 MB trace.
  const fs::path t25 = data / "trace_25mb.json";
  double load25 = median_of(3, [&] { load(t25); });
  Trace trace25 = load(t25);
  double diag25 = median_of(3, [&] { tracedx::diagnose_run(trace25); });
  double cmp25 = median_of(3, [&] { tracedx::compare_runs(trace25, trace25); });

  // Scaling: load + diagnose per MB.
  std::vector<std::pair<std::string, double>> per_mb;
  for (const char* name : {"trace_1mb.json", "trace_25mb.json", "trace_100mb.json"}) {
    fs::path p = data / name;
    double size = static_cast<double>(fs::file_size(p)) / mb;
    double s = median_of(name[6] == '1' && name[7] == '0' ? 1 : 3,
                         [&] { tracedx::diagnose_run(load(p)); });
    per_mb.emplace_back(name, s / size);
  }
  double lo = per_mb[0].second, hi = per_mb[0].second;
  for (auto& [n, v] : per_mb) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }

  // Batch throughput on the small-trace corpus.
  const std::string corpus = (data / "corpus_10k.jsonl").string();
  double batch1 = run_child({tracedx, "batch", "--jobs", "1", corpus}).seconds;
  double batch2 = run_child({tracedx, "batch", "--jobs", "2", corpus}).seconds;

  // Start-up: a whole process on a three-step fixture.
  const std::string small = (data / "three_steps.json").string();
  std::vector<double> starts;
  for (int i = 0; i < 20; ++i) starts.push_back(run_child({tracedx, "diagnose", small}).seconds);
  std::sort(starts.begin(), starts.end());

  // Memory on the 100 MB trace.
  const fs::path t100 = data / "trace_100mb.json";
  ChildRun big = run_child({tracedx, "diagnose", t100.string()});
  double rss_ratio = big.max_rss_kb * 1024.0 / static_cast<double>(fs::file_size(t100));

  // Whole processes against their floors.
  std::string report25 =
      tracedx::dump_report(tracedx::to_json(tracedx::diagnose_run(trace25)), false);
  Floor floor25 = floor_of(t25, report25);
  std::vector<double> whole25;
  for (int i = 0; i < 3; ++i)
    whole25.push_back(run_child({tracedx, "diagnose", t25.string()}).seconds);
  std::sort(whole25.begin(), whole25.end());
  double batch_floor = batch_floor_of(corpus);
  OtlpFigures otlp = otlp_figures(data, tracedx);

  // Many short steps against few long ones, and memory on the shapes with most per byte.
  auto per_mb_of = [&](const fs::path& p) {
    double size = static_cast<double>(fs::file_size(p)) / mb;
    std::vector<double> t;
    for (int i = 0; i < 3; ++i) t.push_back(run_child({tracedx, "diagnose", p.string()}).seconds);
    std::sort(t.begin(), t.end());
    return t[1] / size;
  };
  auto rss_of = [&](const fs::path& p) {
    ChildRun r = run_child({tracedx, "diagnose", p.string()});
    return r.max_rss_kb * 1024.0 / static_cast<double>(fs::file_size(p));
  };
  const fs::path steps100k = data / "steps_100k.json", steps4k = data / "steps_4k.json";
  const fs::path empty1m = data / "empty_1m.json";
  double short_ratio = per_mb_of(steps100k) / per_mb_of(steps4k);
  // Cost per step must not grow with the step count: CPU time per empty step, 1,000,000
  // against 100,000 (median of three each).
  auto cpu_per_step = [&](const fs::path& p, double steps) {
    std::vector<double> t;
    for (int i = 0; i < 3; ++i)
      t.push_back(run_child({tracedx, "diagnose", p.string()}).cpu_seconds);
    std::sort(t.begin(), t.end());
    return t[1] / steps;
  };
  double empty_ratio = cpu_per_step(empty1m, 1e6) / cpu_per_step(data / "empty_100k.json", 1e5);

  std::printf("| %-62s | %-22s | %-14s |\n", "figure", "measured", "target");
  std::printf("|%s|%s|%s|\n", std::string(64, '-').c_str(), std::string(24, '-').c_str(),
              std::string(16, '-').c_str());
  row("diagnose_run / load (read+parse), 25 MB trace",
      fmt("%.2f", diag25 / load25) + fmt(" (%.0f ms", diag25 * 1e3) +
          fmt(" / %.0f ms)", load25 * 1e3),
      "<= 1.0");
  row("load+diagnose per MB at 1 / 25 / 100 MB (ms)",
      fmt("%.1f", per_mb[0].second * 1e3) + fmt(" / %.1f", per_mb[1].second * 1e3) +
          fmt(" / %.1f", per_mb[2].second * 1e3),
      "within 25%");
  row("  spread (max / min)", fmt("%.2f", hi / lo), "<= 1.25");
  row("compare_runs(25 MB, 25 MB) / diagnose_run(25 MB)", fmt("%.2f", cmp25 / diag25), "<= 2.2");
  row("batch 10,000 small traces: --jobs 2 / --jobs 1 throughput", fmt("%.2f", batch1 / batch2),
      ">= 1.7");
  row("batch 10,000 small traces, --jobs 1 (traces/s)", fmt("%.0f", 10000 / batch1), ">= 5,000");
  row("tracedx diagnose, 3-step fixture, median of 20 (ms)", fmt("%.1f", starts[10] * 1e3),
      "<= 15");
  row("peak RSS of tracedx diagnose on 100 MB / file size",
      fmt("%.2f", rss_ratio) + fmt(" (%.0f MB)", big.max_rss_kb / 1024.0), "<= 4");
  row("tracedx diagnose 25 MB / floor (read+parse+scan+write)",
      ratio_of(whole25[1], floor25.total()), "<= 1.5");
  row("  floor parts: read / simdjson parse / keyword pass / write (ms)",
      fmt("%.0f", floor25.read * 1e3) + fmt(" / %.0f", floor25.parse * 1e3) +
          fmt(" / %.0f", floor25.scan * 1e3) + fmt(" / %.1f", floor25.write * 1e3),
      "");
  row("batch --jobs 1 per small trace / floor per trace",
      ratio_of(batch1, batch_floor) + fmt(" %.0f us", batch1 / 10000 * 1e6) +
          fmt(" / %.0f us", batch_floor / 10000 * 1e6),
      "<= 2.5");
  row("batch --jobs 1 --from otlp, 10,000 traces / floor", ratio_of(otlp.batch, otlp.batch_floor),
      "<= 2.0");
  row("tracedx diagnose --from otlp 25 MB / floor", ratio_of(otlp.diagnose, otlp.diagnose_floor),
      "<= 1.5");
  row("100,000 short steps: cost per MB / cost per MB at 4,000", fmt("%.2f", short_ratio),
      "<= 1.5");
  row("peak RSS / file size: 100 MB; 100,000 short steps",
      fmt("%.2f", rss_ratio) + fmt("; %.2f", rss_of(steps100k)), "<= 2.0; <= 3.0");
  row("1,000,000 empty steps: CPU per step / CPU per step at 100,000", fmt("%.2f", empty_ratio),
      "<= 1.3");
  row("peak RSS / file size: 1,000,000 empty steps", fmt("%.0f", rss_of(empty1m)), "<= 8");
  return 0;
}
