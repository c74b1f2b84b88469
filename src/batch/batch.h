// Batch diagnosis of many traces: fixture files, directories of them (every *.json below,
// in sorted path order) and JSON Lines files (one fixture per line, id "FILE:LINE").
// Traces are diagnosed on worker threads while the reader stays a bounded number of traces
// ahead, and results are written in input order, one JSON line per trace. A trace that
// cannot be loaded gives an error line; the batch goes on. With OTLP input every traceId
// of a file is one trace (id "FILE:TRACEID"); a chat transcript is one trace per file or line.
#pragma once

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "batch/run_condition.h"
#include "batch/run_info.h"
#include "diagnosis/diagnosis.h"
#include "import/importers.h"
#include "input/input.h"
#include "report/report_json.h"

namespace tracedx {

struct BatchOptions {
  unsigned jobs = 1;
  DiagnoseOptions diagnose;
  bool progress = false;                // redraw a progress line on the progress stream
  Source source = Source::kFixture;     // OTLP files give one trace per traceId
  std::optional<RunStatus> run_status;  // stated by the user: replaces every run's status
  std::optional<RunCondition> only;     // write only the diagnosed runs that meet it
  std::optional<RunCondition> fail_on;  // count the diagnosed runs that meet it
};

struct BatchSummary {
  uint64_t done = 0;                         // traces diagnosed
  uint64_t failed = 0;                       // traces that could not be loaded (unreadable)
  std::map<std::string, uint64_t> labels;    // primary label -> count ("(none)" without one)
  std::map<std::string, uint64_t> outcomes;  // outcome word -> diagnosed runs
  uint64_t written = 0;                      // diagnosed runs written (all without `only`)
  uint64_t fail_on_matched = 0;              // diagnosed runs that meet `fail_on`
  bool filtered = false, fail_on_set = false;
  int write_error = 0;  // errno of the write to the output that failed and stopped the batch
};

// One trace of a batch before it is diagnosed: its bytes (a fixture or a chat transcript),
// a document already imported, or the error that kept it from being read.
struct BatchTrace {
  std::string id;
  std::string bytes;
  std::optional<Json> document;
  std::optional<Error> read_error;
  std::optional<Trace> trace;  // imported already (an OTLP trace): diagnosed as it is
};

// What became of one trace of a batch: its run fields and diagnosis, or the error message
// the command prints for it.
struct BatchResult {
  std::string id;
  std::optional<RunInfo> run;  // with the diagnosis
  std::optional<Diagnosis> diagnosis;
  std::string error;  // when there is no diagnosis
};

// Loads and diagnoses one trace. Consumes the trace's bytes or document; a `run_status`
// replaces the run's status before diagnosis. Running out of memory is the trace's error.
BatchResult diagnose_batch_trace(BatchTrace& trace, Source source, const DiagnoseOptions& options,
                                 std::optional<RunStatus> run_status = std::nullopt);

// The result record: {"id", "diagnosis", "run"}, or {"id", "error"}.
OrderedJson to_json(const BatchResult& result);
// Appends the record's compact text, the bytes of dump_report(to_json(result), true),
// written without building the JSON value.
void append_record(std::string& out, const BatchResult& result);

// The result record of one trace (diagnose_batch_trace and to_json); sets `label` to the
// primary label when there is one.
OrderedJson batch_record(BatchTrace& trace, Source source, const DiagnoseOptions& options,
                         std::optional<std::string>* label = nullptr,
                         std::optional<RunStatus> run_status = std::nullopt);

// The id of an OTLP record of the input shown as `name`: "NAME:TRACEID" for a trace,
// "NAME:LINE" for a line that could not be read, "NAME" for the whole input.
std::string otlp_record_id(const std::string& name, const OtlpItem& item);

// What a batch reads, in order: each path as a file (a fixture, .jsonl lines, or an OTLP
// file; a FIFO or device named explicitly is read as a stream), or a directory expanded to
// its regular files in sorted path order (a sub-directory that cannot be listed is a kError
// entry in its place).
struct BatchInput {
  enum class Kind { kDocument, kLines, kOtlp, kStdin, kError };
  Kind kind;
  std::string path;
  std::optional<Error> error;  // kError: a directory that could not be listed
};
std::vector<BatchInput> list_batch_inputs(const std::vector<std::string>& paths, Source source);

// Diagnoses every trace named by `paths` ("-" reads JSON Lines from standard input),
// writing result lines to `out` and the progress line to `progress`. A failed write to
// `out` stops the batch (reading and diagnosing) with `write_error` set.
BatchSummary run_batch(const std::vector<std::string>& paths, const BatchOptions& options,
                       std::FILE* out, std::FILE* progress);

// The summary lines: counts, then labels most frequent first (ties by label).
std::string batch_summary_text(const BatchSummary& summary);

}  // namespace tracedx
