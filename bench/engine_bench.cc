// Micro-benchmarks of the hot probes and of the engine's stages.
//   bench_engine [--benchmark_filter=...]  (set TRACEDX_BENCH_TRACE to a trace file for the
//   stage benchmarks; a built-in trace of 400 steps is used otherwise)
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "diagnosis/classify.h"
#include "diagnosis/compare/comparison.h"
#include "diagnosis/diagnosis.h"
#include "diagnosis/keywords.h"
#include "diagnosis/signals.h"
#include "diagnosis/step_probes.h"
#include "text/text.h"
#include "trace/fixture_loader.h"

namespace {

using namespace tracedx;

std::string sample_text(size_t bytes, bool non_ascii) {
  std::string s;
  while (s.size() < bytes)
    s += non_ascii ? "Caf\xc3\xa9 R\xc3\xa9sum\xc3\xa9 Search Results "
                   : "The Agent Fetched A Page Of Results ";
  return "  " + s + "  ";
}

const Trace& bench_trace() {
  static const Trace trace = [] {
    if (const char* path = std::getenv("TRACEDX_BENCH_TRACE")) {
      auto t = load_fixture(".", path);
      if (t) return std::move(*t);
    }
    Json doc = {{"run", {{"status", "failed"}}}, {"steps", Json::array()}};
    for (int i = 0; i < 400; ++i) {
      doc["steps"].push_back({{"step_index", i},
                              {"step_type", i % 3 ? "web_search" : "tool_call"},
                              {"status", i == 390 ? "failed" : "completed"},
                              {"duration_ms", 100 + i},
                              {"summary", "step summary " + std::to_string(i)},
                              {"raw_output", sample_text(4000, i % 10 == 0)},
                              {"metadata", {{"model", "m"}, {"tokens", i}}}});
    }
    return *build_trace("bench", std::move(doc));
  }();
  return trace;
}

void BM_NormAscii(benchmark::State& state) {
  std::string s = sample_text(static_cast<size_t>(state.range(0)), false);
  for (auto _ : state) benchmark::DoNotOptimize(norm(std::string_view(s)));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_NormAscii)->Arg(64)->Arg(8192);

void BM_NormNonAscii(benchmark::State& state) {
  std::string s = sample_text(static_cast<size_t>(state.range(0)), true);
  for (auto _ : state) benchmark::DoNotOptimize(norm(std::string_view(s)));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_NormNonAscii)->Arg(64)->Arg(8192);

void BM_StepText(benchmark::State& state) {
  const TraceStep& step = bench_trace().steps[1];
  for (auto _ : state) benchmark::DoNotOptimize(step_text(step));
}
BENCHMARK(BM_StepText);

void BM_KeywordScan(benchmark::State& state) {
  std::string s = lower(sample_text(8192, false));
  const KeywordMatcher& m = keyword_matcher();
  for (auto _ : state) {
    KeywordScan scan(m);
    scan.feed(s);
    benchmark::DoNotOptimize(scan.hits());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_KeywordScan);

void BM_ExtractSignals(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(extract_signals(bench_trace(), 2500));
}
BENCHMARK(BM_ExtractSignals)->Unit(benchmark::kMillisecond);

void BM_ClassifyPrimary(benchmark::State& state) {
  const TraceScan scan = scan_trace(bench_trace(), 2500);
  for (auto _ : state) benchmark::DoNotOptimize(classify_primary(scan));
}
BENCHMARK(BM_ClassifyPrimary)->Unit(benchmark::kMicrosecond);

void BM_DiagnoseRun(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(diagnose_run(bench_trace()));
}
BENCHMARK(BM_DiagnoseRun)->Unit(benchmark::kMillisecond);

void BM_CompareRuns(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(compare_runs(bench_trace(), bench_trace()));
}
BENCHMARK(BM_CompareRuns)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
