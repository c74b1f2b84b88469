// Batch diagnosis of many traces: fixture files, directories of them (every *.json below,
// in sorted path order) and JSON Lines files (one fixture per line, id "FILE:LINE").
// Traces are diagnosed on worker threads while the reader stays a bounded number of traces
// ahead, and results are written in input order, one JSON line per trace. A trace that
// cannot be loaded gives an error line; the batch goes on. With OTLP input every traceId
// of a file is one trace (id "FILE:TRACEID"); a chat transcript is one trace per file or line.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "diagnosis/diagnosis.h"
#include "import/importers.h"

namespace tracedx {

struct BatchOptions {
  unsigned jobs = 1;
  DiagnoseOptions diagnose;
  bool progress = false;  // redraw a progress line on the progress stream
  Source source = Source::kFixture;  // OTLP files give one trace per traceId
};

struct BatchSummary {
  uint64_t done = 0;    // traces diagnosed
  uint64_t failed = 0;  // traces that could not be loaded
  std::map<std::string, uint64_t> labels;  // primary label -> count ("(none)" without one)
};

// Diagnoses every trace named by `paths` ("-" reads JSON Lines from standard input),
// writing result lines to `out` and the progress line to `progress`.
BatchSummary run_batch(const std::vector<std::string>& paths, const BatchOptions& options,
                       std::FILE* out, std::FILE* progress);

// The summary lines: counts, then labels most frequent first (ties by label).
std::string batch_summary_text(const BatchSummary& summary);

}  // namespace tracedx
