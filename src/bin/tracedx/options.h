// The options of the tracedx commands: what a command line sets (Args) and each option,
// spelled once (its name, whether it takes a value, its help line and what it sets). The
// commands list the options they accept, for parsing and for their help.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "batch/run_condition.h"
#include "diagnosis/diagnosis.h"
#include "fleet/gate.h"
#include "import/sources.h"
#include "serve/server.h"
#include "text/number.h"

namespace tracedx::cli {

struct Args {
  std::vector<std::string> positional;
  DiagnoseOptions options;
  bool signals = false;
  bool compact = false;
  bool help = false;
  std::string format;  // the command's default unless --format was given
  unsigned jobs = 0;
  Source source = Source::kDetect;
  // compare: a per-side id, when given, wins over trace_id for its side.
  std::string trace_id, left_trace_id, right_trace_id;
  std::vector<std::string> log_files;
  std::optional<RunStatus> run_status, compared_run_status;
  // CI conditions and filters, the triage report and the gate.
  std::optional<RunCondition> fail_on, only;
  bool format_given = false, run_inputs = false;
  std::string reports_dir;
  GateOptions gate;
  // serve: the server's settings; --grpc-listen given (which --no-grpc contradicts).
  ServeOptions serve;
  bool grpc_listen_given = false;
};

// One option: its name, whether it takes a value, its help line and what it sets. Each
// option is spelled once; the sub-commands list the ones they accept, for parsing and help.
struct CommandOption {
  std::string_view name;
  bool takes_value;
  std::string_view help;
  Status (*apply)(Args& args, std::string_view value);  // value is empty for a flag
};

// What the options set; each fails with the message the user sees.
Status set_slow_threshold(Args& args, std::string_view value);
Status set_jobs(Args& args, std::string_view value);
Status set_source(Args& args, std::string_view value);
Status set_format(Args& args, std::string_view value);
Status set_task_key(Args& args, std::string_view value);
Status set_run_status(Args& args, std::string_view value);
Status set_compared_run_status(Args& args, std::string_view value);
Status set_condition(std::string_view name, std::optional<RunCondition>& field,
                     std::string_view value);
Status set_fraction(std::string_view name, double& field, std::string_view value);
Status set_status(std::string_view name, std::optional<RunStatus>& field, std::string_view value);
// A number from min to max, else "NAME needs a number from MIN to MAX, got ...".
Status set_number(std::string_view name, uint64_t& field, std::string_view value, uint64_t min,
                  uint64_t max);
// HOST:PORT, an IPv6 host in brackets, a port from 0 to 65535.
Status set_address(std::string_view name, std::string& host, uint16_t& port,
                   std::string_view value);
// The bearer token: the file's one line, without the blanks and line break around it.
Status set_token_file(Args& args, std::string_view value);

// clang-format off
inline constexpr CommandOption kFrom = {"--from", true, "S  input format: {sources} (default: told from the input)", set_source};
inline constexpr CommandOption kExact = {"--exact", false, "   the fixed rule engine alone, also for a recorded run",
    [](Args& a, std::string_view) -> Status { a.options.exact_engine = true; return Ok{}; }};
inline constexpr CommandOption kTraceId = {"--trace-id", true, "ID the OTLP trace to take when a file holds several",
    [](Args& a, std::string_view v) -> Status { a.trace_id = v; return Ok{}; }};
inline constexpr CommandOption kCompareTraceId = {"--trace-id", true, "ID the OTLP trace to take from each input that holds several",
    [](Args& a, std::string_view v) -> Status { a.trace_id = v; return Ok{}; }};
inline constexpr CommandOption kLeftTraceId = {"--left-trace-id", true, "ID the OTLP trace to take from PRIMARY (wins over --trace-id)",
    [](Args& a, std::string_view v) -> Status { a.left_trace_id = v; return Ok{}; }};
inline constexpr CommandOption kRightTraceId = {"--right-trace-id", true, "ID the OTLP trace to take from COMPARED (wins over --trace-id)",
    [](Args& a, std::string_view v) -> Status { a.right_trace_id = v; return Ok{}; }};
inline constexpr CommandOption kLogs = {"--logs", true, "F  OTLP log export (JSON, one document or lines) whose records join their spans as events; repeatable",
    [](Args& a, std::string_view v) -> Status { a.log_files.emplace_back(v); return Ok{}; }};
inline constexpr CommandOption kSlowThreshold = {"--slow-threshold-ms", true, "N  slow threshold for retrieval-like steps (default 2500)",
    set_slow_threshold};
inline constexpr CommandOption kNoSecondary = {"--no-secondary", false, "   leave secondary issues out",
    [](Args& a, std::string_view) -> Status { a.options.include_secondary_issues = false; return Ok{}; }};
inline constexpr CommandOption kNoRecommendations = {"--no-recommendations", false, "   leave recommendations out",
    [](Args& a, std::string_view) -> Status { a.options.include_recommendations = false; return Ok{}; }};
inline constexpr CommandOption kSignals = {"--signals", false, "   add the extracted signals to the report",
    [](Args& a, std::string_view) -> Status { a.signals = true; return Ok{}; }};
inline constexpr CommandOption kCompact = {"--compact", false, "   print the JSON on one line",
    [](Args& a, std::string_view) -> Status { a.compact = true; return Ok{}; }};
inline constexpr CommandOption kFormat = {"--format", true, "F  {formats}", set_format};
inline constexpr CommandOption kJobs = {"--jobs", true, "N  worker threads (default: hardware threads)", set_jobs};
inline constexpr CommandOption kRunStatus = {"--run-status", true, "S  failed or completed: the run's outcome as you know it, in place of the input's",
    set_run_status};
inline constexpr CommandOption kPrimaryRunStatus = {"--run-status", true, "S  failed or completed: the primary run's outcome, in place of the input's",
    set_run_status};
inline constexpr CommandOption kComparedRunStatus = {"--compared-run-status", true, "S  failed or completed: the compared run's outcome, likewise",
    set_compared_run_status};
inline constexpr CommandOption kBatchRunStatus = {"--run-status", true, "S  failed or completed: every run's outcome, in place of the inputs'",
    set_run_status};
inline constexpr CommandOption kFailOn = {"--fail-on", true, "C  exit 3 when a run meets C: failed (or another outcome), a least severity (low, medium, high, critical) or a primary label",
    [](Args& a, std::string_view v) { return set_condition("--fail-on", a.fail_on, v); }};
inline constexpr CommandOption kOnly = {"--only", true, "C  write only the diagnosed runs that meet C (as for --fail-on); unreadable traces are always written",
    [](Args& a, std::string_view v) { return set_condition("--only", a.only, v); }};
inline constexpr CommandOption kReportRun = {"--run", false, "   the paths are traces: run the batch over them first (batch options apply)",
    [](Args& a, std::string_view) -> Status { a.run_inputs = true; return Ok{}; }};
inline constexpr CommandOption kReportsDir = {"--reports-dir", true, "D  link each run to D/NAME.html where it exists (NAME: the id percent-encoded)",
    [](Args& a, std::string_view v) -> Status { a.reports_dir = v; return Ok{}; }};
inline constexpr CommandOption kGateKey = {"--key", true, "K  task key: title (default; the file name without one), file, id, service or agent", set_task_key};
inline constexpr CommandOption kMaxRegressions = {"--max-regressions", true, "N  tasks that may regress (default 0)",
    [](Args& a, std::string_view v) -> Status {
      auto n = parse_unsigned(v);
      if (!n) return Error::message("--max-regressions needs an unsigned integer, got \"" + std::string(v) + "\"");
      a.gate.max_regressions = *n; return Ok{}; }};
inline constexpr CommandOption kMaxRateIncrease = {"--max-rate-increase", true, "X  rise of the failure rate allowed beyond the noise, 0..1 or N% (default 0)",
    [](Args& a, std::string_view v) { return set_fraction("--max-rate-increase", a.gate.max_rate_increase, v); }};
inline constexpr CommandOption kAlpha = {"--alpha", true, "P  significance level of Fisher's exact test (default 0.05)",
    [](Args& a, std::string_view v) { return set_fraction("--alpha", a.gate.alpha, v); }};

// tracedx serve. Times in ms up to 2^40 (35 years), so that they convert to nanoseconds.
inline constexpr uint64_t kMaxMs = uint64_t{1} << 40;
inline constexpr CommandOption kListen = {"--listen", true, "HOST:PORT  address to listen on (default 127.0.0.1:4318; port 0: any free port)",
    [](Args& a, std::string_view v) { return set_address("--listen", a.serve.host, a.serve.port, v); }};
inline constexpr CommandOption kGrpcListen = {"--grpc-listen", true, "HOST:PORT  address for OTLP/gRPC (default 127.0.0.1:4317; port 0: any free port)",
    [](Args& a, std::string_view v) {
      a.grpc_listen_given = true;
      return set_address("--grpc-listen", a.serve.grpc_host, a.serve.grpc_port, v); }};
inline constexpr CommandOption kNoGrpc = {"--no-grpc", false, "   no OTLP/gRPC listener: OTLP/HTTP only",
    [](Args& a, std::string_view) -> Status { a.serve.grpc = false; return Ok{}; }};
inline constexpr CommandOption kDb = {"--db", true, "FILE  the SQLite database (default tracedx.db, created when missing)",
    [](Args& a, std::string_view v) -> Status {
      if (v.empty()) return Error::message("--db needs a file name");
      a.serve.db_path = v; return Ok{}; }};
inline constexpr CommandOption kQuietMs = {"--quiet-ms", true, "N  a trace with its root span is diagnosed N ms after its last span (default 5000)",
    [](Args& a, std::string_view v) { return set_number("--quiet-ms", a.serve.quiet_ms, v, 0, kMaxMs); }};
inline constexpr CommandOption kRootlessWaitMs = {"--rootless-wait-ms", true, "N  a trace whose root span never arrives is diagnosed N ms after its last span, on the spans that came (default 300000)",
    [](Args& a, std::string_view v) { return set_number("--rootless-wait-ms", a.serve.rootless_wait_ms, v, 0, kMaxMs); }};
inline constexpr CommandOption kTokenFile = {"--token-file", true, "FILE  require Authorization: Bearer TOKEN (the file's one line, trimmed)",
    set_token_file};
inline constexpr CommandOption kMaxBodyBytes = {"--max-body-bytes", true, "N  largest request body, as sent and decompressed (default 16777216)",
    [](Args& a, std::string_view v) -> Status {
      uint64_t n = 0;
      if (auto ok = set_number("--max-body-bytes", n, v, 1, uint64_t{1} << 32); !ok) return ok;
      a.serve.max_body_bytes = n; return Ok{}; }};
inline constexpr CommandOption kMemoryBudgetMb = {"--memory-budget-mb", true, "N  MiB of request bodies, decoded batches and pending spans held before exports are refused with Retry-After (default 512)",
    [](Args& a, std::string_view v) -> Status {
      uint64_t n = 0;
      if (auto ok = set_number("--memory-budget-mb", n, v, 16, 1048576); !ok) return ok;
      a.serve.memory_budget_bytes = size_t{n} << 20; return Ok{}; }};
inline constexpr CommandOption kMaxTraceSpans = {"--max-trace-spans", true, "N  spans kept per trace; later ones are dropped and counted, the trace marked as cut (default 50000)",
    [](Args& a, std::string_view v) { return set_number("--max-trace-spans", a.serve.max_trace_spans, v, 1, 1000000000); }};
inline constexpr CommandOption kMaxTraceLogRecords = {"--max-trace-log-records", true, "N  log records kept per trace; later ones are dropped and counted on the trace (default 50000)",
    [](Args& a, std::string_view v) { return set_number("--max-trace-log-records", a.serve.max_trace_log_records, v, 1, 1000000000); }};
inline constexpr CommandOption kDrainTimeoutMs = {"--drain-timeout-ms", true, "N  at SIGTERM or SIGINT, how long requests in progress may take before they are cut off (default 10000)",
    [](Args& a, std::string_view v) { return set_number("--drain-timeout-ms", a.serve.drain_timeout_ms, v, 0, kMaxMs); }};
inline constexpr CommandOption kKeepDays = {"--keep-days", true, "N  delete traces last seen more than N days ago (default: keep all)",
    [](Args& a, std::string_view v) -> Status {
      uint64_t n = 0;
      if (auto ok = set_number("--keep-days", n, v, 1, 100000); !ok) return ok;
      a.serve.keep_days = n; return Ok{}; }};
// clang-format on

inline constexpr CommandOption kDiagnoseOptions[] = {
    kFrom,  kTraceId, kLogs,    kRunStatus, kSlowThreshold, kNoSecondary, kNoRecommendations,
    kExact, kSignals, kCompact, kFormat,    kFailOn};
inline constexpr CommandOption kCompareOptions[] = {
    kFrom,    kCompareTraceId, kLeftTraceId, kRightTraceId, kPrimaryRunStatus, kComparedRunStatus,
    kCompact, kFormat};
inline constexpr CommandOption kImportOptions[] = {kFrom, kTraceId, kLogs, kRunStatus};
inline constexpr CommandOption kBatchOptions[] = {
    kFrom,  kBatchRunStatus, kJobs, kSlowThreshold, kNoSecondary, kNoRecommendations,
    kExact, kFailOn,         kOnly};
inline constexpr CommandOption kReportOptions[] = {kFormat,    kCompact,       kReportsDir,
                                                   kReportRun, kFrom,          kBatchRunStatus,
                                                   kJobs,      kSlowThreshold, kExact};
inline constexpr CommandOption kGateOptions[] = {kFormat,         kCompact,         kGateKey,
                                                 kMaxRegressions, kMaxRateIncrease, kAlpha};
inline constexpr CommandOption kServeOptions[] = {kListen,
                                                  kGrpcListen,
                                                  kNoGrpc,
                                                  kDb,
                                                  kQuietMs,
                                                  kRootlessWaitMs,
                                                  kTokenFile,
                                                  kMaxBodyBytes,
                                                  kMemoryBudgetMb,
                                                  kMaxTraceSpans,
                                                  kMaxTraceLogRecords,
                                                  kDrainTimeoutMs,
                                                  kKeepDays,
                                                  kSlowThreshold};

}  // namespace tracedx::cli
