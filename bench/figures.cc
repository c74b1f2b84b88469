// Prints the performance figures as one table: engine cost against parsing, scaling with
// trace size, comparison cost, batch throughput and scaling, start-up time and memory.
// Figures are ratios or medians measured in one run, so a noisy machine still gives a
// stable answer.
//
//   figures DATA_DIR TRACEDX_BINARY
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "diagnosis/compare/comparison.h"
#include "diagnosis/diagnosis.h"
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
};

ChildRun run_child(const std::vector<std::string>& argv, bool quiet = true) {
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    if (quiet) {
      std::freopen("/dev/null", "w", stdout);
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
  return {s, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

void row(const char* figure, const std::string& value, const char* target) {
  std::printf("| %-62s | %-22s | %-14s |\n", figure, value.c_str(), target);
}

std::string fmt(const char* f, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, f, v);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
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
  return 0;
}
