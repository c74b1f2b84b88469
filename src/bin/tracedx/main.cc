// tracedx: diagnose one trace, compare two, or diagnose many, from the command line.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "analysis/recorded_analysis.h"
#include "base/exit_status.h"
#include "batch/batch.h"
#include "batch/run_condition.h"
#include "bin/standard_output.h"
#include "bin/tracedx/options.h"
#include "diagnosis/compare/comparison.h"
#include "diagnosis/diagnosis.h"
#include "diagnosis/signals.h"
#include "fleet/fleet_format.h"
#include "fleet/gate.h"
#include "fleet/gate_writers.h"
#include "fleet/record_reader.h"
#include "fleet/run_record.h"
#include "fleet/triage.h"
#include "fleet/triage_writers.h"
#include "import/detect_source.h"
#include "import/importers.h"
#include "import/sources.h"
#include "input/input.h"
#include "report/report_html.h"
#include "report/report_json.h"
#include "report/report_text.h"
#include "serve/routes.h"
#include "serve/serve_command.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

using namespace cli;

std::string version_text() {
  return "tracedx " TRACEDX_VERSION " (diagnosis engine " + std::string(kDiagnosisVersion) +
         ", ruleset " + std::string(kDiagnosisRuleset) + ")";
}

struct Usage {
  std::string message;
};

// The OTLP trace to take from an input that holds several (none given: empty), and the
// option the command takes for it, which the message asking for one names.
struct TracePick {
  std::string id;
  std::string_view option = "--trace-id";
  std::vector<std::string> log_files;  // OTLP log exports whose records join its spans
};

// The log records of the files given with --logs, by trace; none without the option.
Result<std::optional<OtlpLogsByTrace>> log_records_of(const TracePick& pick) {
  if (pick.log_files.empty()) return std::optional<OtlpLogsByTrace>();
  auto read = read_otlp_log_files(pick.log_files);
  if (!read) return std::move(read).error();
  return std::optional<OtlpLogsByTrace>(std::move(*read));
}

// The fixture document of one trace named on the command line, imported from `source`,
// with the run status the user stated, if any.
Result<Json> load_document(const std::string& arg, Source source, const TracePick& pick,
                           std::optional<RunStatus> run_status, size_t* flattened = nullptr,
                           bool recording_only = false) {
  // A file, standard input ("-"), a pipe, a FIFO or a device (read as a stream, bounded).
  auto input = Input::open(arg);
  if (!input) return std::move(input).error();
  if (source == Source::kDetect) {
    auto detected = detect_source(*input);
    if (!detected) return std::move(detected).error();
    source = *detected;
  }
  if (recording_only && source == Source::kFixture)
    return Error::message(arg +
                          " is a fixture document already; import reads OTLP exports and "
                          "chat transcripts");
  if (!pick.log_files.empty() && source != Source::kOtlp)
    return Error::message("--logs joins log records to OTLP spans; " + arg + " is not OTLP");
  auto logs = log_records_of(pick);
  if (!logs) return std::move(logs).error();
  auto document =
      import_document(*input, source, pick.id, flattened, pick.option, *logs ? &**logs : nullptr);
  if (document && run_status) state_run_status(*document, *run_status);
  return document;
}

// A trace named on the command line; its id is the argument as written.
Result<Trace> load_argument(const std::string& arg, Source source, const TracePick& pick,
                            std::optional<RunStatus> run_status) {
  // A file, standard input ("-"), a pipe, a FIFO or a device (read as a stream, bounded).
  auto input = Input::open(arg);
  if (!input) return std::move(input).error();
  auto logs = log_records_of(pick);
  if (!logs) return std::move(logs).error();
  return load_trace_input(*input, source,
                          {pick.id, pick.option, *logs ? &**logs : nullptr, run_status}, arg);
}

// Colour on a terminal, unless NO_COLOR is set to a non-empty value (the convention: an
// empty NO_COLOR asks for nothing).
bool colour_wanted() {
  const char* no_color = std::getenv("NO_COLOR");
  return ::isatty(1) && !(no_color && *no_color);
}

// The href of a run's own report in --reports-dir, when that file exists.
RunLink report_links(const std::string& dir) {
  if (dir.empty()) return {};
  return [dir](const std::string& id) -> std::optional<std::string> {
    std::string href = dir + (dir.back() == '/' ? "" : "/") + run_report_name(id);
    if (path_kind(href) != PathKind::kRegular) return std::nullopt;
    return href;
  };
}

// What a command reports, and so which writer of an output format it takes.
enum class Report { kDiagnosis, kComparison, kTriage, kGate };

// One output format: its name, a note for the help, and its writer for each report a
// command makes (none: the format does not write that report). Option parsing, the help
// and the commands' output all come from this table.
struct OutputFormat {
  std::string_view name;
  std::string_view note;
  std::string (*diagnosis)(const Args&, const Trace&, const Diagnosis&);
  std::string (*comparison)(const Args&, const Trace&, const Trace&, const Comparison&);
  std::string (*triage)(const Args&, const TriageReport&);
  std::string (*gate)(const Args&, const GateResult&);

  constexpr bool writes(Report r) const {
    switch (r) {
      case Report::kDiagnosis:
        return diagnosis != nullptr;
      case Report::kComparison:
        return comparison != nullptr;
      case Report::kTriage:
        return triage != nullptr;
      case Report::kGate:
        return gate != nullptr;
    }
    return false;
  }
};

// clang-format off
constexpr OutputFormat kOutputFormats[] = {
    {"json", "",
     [](const Args& a, const Trace& trace, const Diagnosis& d) {
       std::optional<TraceSignals> signals;
       if (a.signals) signals = extract_signals(trace, a.options.slow_threshold_ms.value_or(2500));
       return dump_report(to_json(d, signals ? &*signals : nullptr), a.compact) + "\n";
     },
     [](const Args& a, const Trace&, const Trace&, const Comparison& c) { return dump_report(to_json(c), a.compact) + "\n"; },
     [](const Args& a, const TriageReport& r) { return dump_report(triage_json(r), a.compact) + "\n"; },
     [](const Args& a, const GateResult& g) { return dump_report(gate_json(g), a.compact) + "\n"; }},
    {"text", "",
     [](const Args&, const Trace&, const Diagnosis& d) { return diagnosis_text(d, colour_wanted()); },
     [](const Args&, const Trace&, const Trace&, const Comparison& c) { return comparison_text(c, colour_wanted()); },
     [](const Args&, const TriageReport& r) { return triage_text(r); },
     [](const Args&, const GateResult& g) { return gate_text(g); }},
    {"html", "",
     [](const Args&, const Trace& trace, const Diagnosis& d) { return diagnosis_html(trace, d); },
     [](const Args&, const Trace& p, const Trace& c, const Comparison& cmp) { return comparison_html(p, c, cmp); },
     [](const Args& a, const TriageReport& r) { return triage_html(r, report_links(a.reports_dir)); },
     [](const Args&, const GateResult& g) { return gate_html(g); }},
    {"junit", "JUnit XML", nullptr, nullptr, nullptr,
     [](const Args&, const GateResult& g) { return gate_junit(g); }},
};
// clang-format on

const OutputFormat* output_format(std::string_view name) {
  for (const auto& f : kOutputFormats) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

// The formats a command writes, in the order its messages name them; the first is its
// default unless the command says otherwise.
constexpr std::string_view kRunFormats[] = {"json", "text", "html"};  // diagnose, compare
constexpr std::string_view kTriageFormats[] = {"json", "text", "html"};
constexpr std::string_view kGateFormats[] = {"text", "json", "html", "junit"};

// "a, b or c" of the words.
std::string listed(const std::vector<std::string>& words) {
  std::string out;
  for (size_t i = 0; i < words.size(); ++i)
    out += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
  return out;
}

// The formats of a command as its error message names them ("json, text or html"), or as
// its help does: the default first and marked, with the notes ("text (default), json,
// html or junit (JUnit XML)").
std::string format_words(std::span<const std::string_view> formats, std::string_view fallback,
                         bool for_help) {
  std::vector<std::string> words;
  for (std::string_view name : formats) {
    std::string word(name);
    const OutputFormat* f = output_format(name);
    if (for_help && name == fallback) word += " (default)";
    if (for_help && f && !f->note.empty()) word += " (" + std::string(f->note) + ")";
    if (for_help && name == fallback)
      words.insert(words.begin(), std::move(word));
    else
      words.push_back(std::move(word));
  }
  return listed(words);
}

struct Command {
  std::string_view name;
  std::string_view synopsis;
  std::string_view about;
  std::span<const CommandOption> options;
  size_t min_positional, max_positional;
  int (*run)(const Args&);
  Report report;
  std::span<const std::string_view> formats;  // see kRunFormats
  std::string_view default_format;
  Status (*check)(const Args&) = nullptr;  // what no single option can check, after parsing
  std::string (*more_about)() = nullptr;   // a paragraph of the help after `about`
};

std::string help_text(const Command& c) {
  std::string out = "usage: tracedx " + std::string(c.name) + " " + std::string(c.synopsis) +
                    "\n\n" + std::string(c.about) + "\n\n";
  if (c.more_about) out += c.more_about() + "\n\n";
  out += "options:\n";
  for (const auto& o : c.options) {
    std::string help(o.help);
    // The formats come from their table, so the help lists every one.
    if (size_t at = help.find("{sources}"); at != std::string::npos)
      help.replace(at, 9, source_words());
    if (size_t at = help.find("{formats}"); at != std::string::npos)
      help.replace(at, 9, format_words(c.formats, c.default_format, true));
    out += "  " + std::string(o.name) + " " + help + "\n";
  }
  out += "  --help   show this help\n";
  return out;
}

Result<Args> parse_args(const Command& c, int argc, char** argv) {
  Args args;
  for (int i = 2; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--help" || a == "-h") {
      args.help = true;
      return args;
    }
    if (a.size() > 2 && a.starts_with("--")) {
      std::string_view name = a, value;
      bool inline_value = false;
      if (auto eq = a.find('='); eq != std::string_view::npos) {
        name = a.substr(0, eq);
        value = a.substr(eq + 1);
        inline_value = true;
      }
      const CommandOption* option = nullptr;
      for (const auto& o : c.options) {
        if (o.name == name) option = &o;
      }
      if (!option) return Error::message("unknown option " + std::string(name));
      if (option->takes_value && !inline_value) {
        if (i + 1 >= argc) return Error::message(std::string(name) + " needs a value");
        value = argv[++i];
      } else if (!option->takes_value && inline_value) {
        return Error::message(std::string(name) + " takes no value");
      }
      if (auto applied = option->apply(args, value); !applied) return std::move(applied).error();
      continue;
    }
    if (c.max_positional == 0) {
      return Error::message(a.size() > 1 && a.starts_with('-')
                                ? "unknown option " + std::string(a)
                                : std::string(c.name) + " takes no arguments, got \"" +
                                      std::string(a) + "\"");
    }
    args.positional.emplace_back(a);
  }
  if (args.positional.size() < c.min_positional || args.positional.size() > c.max_positional) {
    return Error::message("wrong number of arguments");
  }
  if (!args.format_given) {
    args.format = c.default_format;
  } else if (std::find(c.formats.begin(), c.formats.end(), args.format) == c.formats.end()) {
    return Error::message("--format needs " + format_words(c.formats, c.default_format, false) +
                          ", got \"" + args.format + "\"");
  }
  if (c.check) {
    if (auto checked = c.check(args); !checked) return std::move(checked).error();
  }
  return args;
}

int fail(const Error& e) {
  std::fprintf(stderr, "Error: %s\n", e.display().c_str());
  return kExitError;
}

// Writes a whole report to standard output; one that did not reach its reader fails the
// command (finish_standard_output says why).
int print(std::string_view text) {
  return write_standard_output(text) ? kExitOk : kExitError;
}

// A loaded trace kept to the end of the process: its memory goes back with the process,
// not freed block by block on the way out (a tenth of a run on large traces).
const Trace& keep(Trace trace) {
  static std::vector<std::unique_ptr<Trace>>* kept = new std::vector<std::unique_ptr<Trace>>;
  kept->push_back(std::make_unique<Trace>(std::move(trace)));
  return *kept->back();
}

int run_diagnose(const Args& args) {
  auto loaded = load_argument(args.positional[0], args.source,
                              {args.trace_id, "--trace-id", args.log_files}, args.run_status);
  if (!loaded) return fail(loaded.error());
  const Trace* trace = &keep(std::move(*loaded));
  Diagnosis d = diagnose_trace(*trace, args.options);
  const int status = print(output_format(args.format)->diagnosis(args, *trace, d));
  if (status == kExitOk && args.fail_on) {
    const auto& rc = d.root_cause;
    if (run_matches(*args.fail_on, d.outcome, rc ? std::optional(rc->label) : std::nullopt,
                    rc ? std::optional(rc->severity) : std::nullopt))
      return kExitConditionMet;
  }
  return status;
}

int run_compare(const Args& args) {
  // Each side asks for its own option: the two inputs may be one file, picked twice.
  const TracePick left{
      args.left_trace_id.empty() ? args.trace_id : args.left_trace_id, "--left-trace-id", {}};
  const TracePick right{
      args.right_trace_id.empty() ? args.trace_id : args.right_trace_id, "--right-trace-id", {}};
  auto primary_loaded = load_argument(args.positional[0], args.source, left, args.run_status);
  if (!primary_loaded) return fail(primary_loaded.error());
  const Trace* primary = &keep(std::move(*primary_loaded));
  auto compared_loaded =
      load_argument(args.positional[1], args.source, right, args.compared_run_status);
  if (!compared_loaded) return fail(compared_loaded.error());
  const Trace* compared = &keep(std::move(*compared_loaded));
  Comparison c = compare_runs(*primary, *compared);
  return print(output_format(args.format)->comparison(args, *primary, *compared, c));
}

int run_import(const Args& args) {
  if (args.source == Source::kFixture)
    return fail(Error::message("import reads OTLP exports and chat transcripts, not fixtures"));
  size_t flattened = 0;
  auto document =
      load_document(args.positional[0], args.source, {args.trace_id, "--trace-id", args.log_files},
                    args.run_status, &flattened, true);
  if (!document) return fail(document.error());
  if (int status = print(document->dump(2, ' ', false, Json::error_handler_t::replace) + "\n"))
    return status;
  if (flattened) {
    std::fprintf(stderr,
                 "note: %zu values nested deeper than %zu levels were written as JSON text\n",
                 flattened, kMaxJsonDepth);
  }
  return kExitOk;
}

// The batch settings the options give, for batch and for report --run.
BatchOptions batch_options_of(const Args& args) {
  BatchOptions options;
  options.jobs = args.jobs ? args.jobs : std::max(1u, std::thread::hardware_concurrency());
  options.diagnose = args.options;
  options.source = args.source;
  options.run_status = args.run_status;
  options.progress = ::isatty(2);
  return options;
}

int run_batch_command(const Args& args) {
  BatchOptions options = batch_options_of(args);
  options.only = args.only;
  options.fail_on = args.fail_on;
  BatchSummary summary = run_batch(args.positional, options, stdout, stderr);
  // Records that never reached the reader: the summary would count them as done.
  if (summary.write_error) standard_output_failed(summary.write_error);
  if (summary.write_error || !write_standard_output({})) return kExitError;
  std::fputs(batch_summary_text(summary).c_str(), stderr);
  if (summary.failed) return kExitError;
  return summary.fail_on_matched ? kExitConditionMet : kExitOk;
}

int run_report(const Args& args) {
  if (!args.run_inputs && (args.source != Source::kDetect || args.run_status || args.jobs ||
                           args.options.slow_threshold_ms)) {
    std::fprintf(
        stderr, "tracedx: --from, --run-status, --jobs and --slow-threshold-ms apply with --run\n");
    return kExitUsage;
  }
  TriageBuilder builder;
  std::vector<std::string> paths = args.positional;
  if (paths.empty()) paths.push_back("-");
  if (args.run_inputs) {
    // The batch writes its records to an unlinked temporary file, read back as it is read
    // from a batch output: memory stays flat whatever the number of runs.
    std::FILE* records = std::tmpfile();
    if (!records) return fail(Error::os(errno, "temporary file"));
    BatchOptions options = batch_options_of(args);
    BatchSummary summary = run_batch(paths, options, records, stderr);
    if (!summary.write_error && std::fflush(records) != 0)
      summary.write_error = errno ? errno : EIO;
    if (summary.write_error)
      return fail(Error::message("cannot write the batch records to a temporary file: " +
                                 Error::os(summary.write_error).text()));
    std::fputs(batch_summary_text(summary).c_str(), stderr);
    paths = {"/dev/fd/" + std::to_string(::fileno(records))};
  }
  for (const auto& path : paths) {
    if (auto read = for_each_record(path, [&](const RunRecord& r) { builder.add(r); }); !read)
      return fail(read.error());
  }
  TriageReport report = builder.finish();
  return print(output_format(args.format)->triage(args, report));
}

int run_gate(const Args& args) {
  if (args.positional[0] == "-" && args.positional[1] == "-")
    return fail(Error::message("gate reads at most one of its batches from standard input"));
  GateBuilder builder(args.gate);
  if (auto read =
          for_each_record(args.positional[0], [&](const RunRecord& r) { builder.add_baseline(r); });
      !read)
    return fail(read.error());
  if (auto read = for_each_record(args.positional[1],
                                  [&](const RunRecord& r) { builder.add_candidate(r); });
      !read)
    return fail(read.error());
  GateResult gate = builder.finish();
  if (int status = print(output_format(args.format)->gate(args, gate))) return status;
  return gate.passed ? kExitOk : kExitConditionMet;
}

// serve's options taken together: --grpc-listen and --no-grpc contradict each other, and an
// address other than loopback takes requests from other machines, which must then carry
// the bearer token.
Status check_serve(const Args& args) {
  const ServeOptions& o = args.serve;
  if (args.grpc_listen_given && !o.grpc)
    return Error::message("--grpc-listen and --no-grpc cannot be given together");
  for (const std::string* host : {&o.host, o.grpc ? &o.grpc_host : nullptr}) {
    if (host && !is_loopback_host(*host) && !o.token) {
      return Error::message("listening on " + *host +
                            " (not a loopback address) needs --token-file: every request must "
                            "then carry its bearer token");
    }
  }
  return Ok{};
}

int run_serve_command(const Args& args) {
  ServeOptions options = args.serve;
  options.diagnose = args.options;
  return run_serve(options, write_standard_output);
}

constexpr Command kCommands[] = {
    {"diagnose", "TRACE [options]",
     "Diagnoses one recorded run (\"-\" reads it from standard input).", kDiagnoseOptions, 1, 1,
     run_diagnose, Report::kDiagnosis, kRunFormats, "json"},
    {"compare", "PRIMARY COMPARED [options]",
     "Compares two recorded runs of the same task: where they diverge and what to do about it.",
     kCompareOptions, 2, 2, run_compare, Report::kComparison, kRunFormats, "json"},
    {"import",
     "FILE [options]",
     "Converts an OTLP JSON export (or JSON Lines of exports) or a chat transcript into the "
     "fixture\n"
     "document the other commands read, printed to standard output.",
     kImportOptions,
     1,
     1,
     run_import,
     Report::kDiagnosis,
     {},
     "json"},
    {"batch",
     "[options] PATH...",
     "Diagnoses many runs: trace files, directories (every *.json below, sorted) and .jsonl "
     "files\n"
     "(one trace per line). Prints one JSON line per trace in input order and a summary on\n"
     "standard error. Exits 1 when some trace could not be loaded, else 3 when a run meets\n"
     "--fail-on.",
     kBatchOptions,
     1,
     SIZE_MAX,
     run_batch_command,
     Report::kDiagnosis,
     {},
     "json"},
    {"report", "[options] [BATCH.jsonl...]",
     "Triage over many runs: outcomes, findings, failures grouped by service or agent, tool and\n"
     "normalised error (with the time and cost they wasted), the slowest and costliest runs and\n"
     "duration percentiles. Reads the records of tracedx batch (\"-\" or nothing: standard\n"
     "input); with --run the paths are traces, diagnosed first as tracedx batch does.",
     kReportOptions, 0, SIZE_MAX, run_report, Report::kTriage, kTriageFormats, "text"},
    {"gate", "BASELINE CANDIDATE [options]",
     "Regression gate between two batches (records of tracedx batch) of the same tasks: per task\n"
     "fixed, regressed, still failing, still passing or label changed; overall failure rates\n"
     "with 95% Wilson intervals and Fisher's exact test. Exits 0 when it passes, 3 when more\n"
     "tasks regressed than --max-regressions or the failure rate rose beyond the noise by more\n"
     "than --max-rate-increase.",
     kGateOptions, 2, 2, run_gate, Report::kGate, kGateFormats, "text"},
    {"serve",
     "[options]",
     "Receives OpenTelemetry traces over OTLP/HTTP and OTLP/gRPC, stores every span in SQLite\n"
     "and diagnoses each trace once its root span has arrived and no span of it came for\n"
     "--quiet-ms (a trace whose root span never comes: --rootless-wait-ms after its last span,\n"
     "on the spans that came). SIGTERM or SIGINT: stop accepting, let the requests in progress\n"
     "finish (--drain-timeout-ms), diagnose what is pending, exit 0; a second signal exits at\n"
     "once with status 1, keeping what was acknowledged. A --listen or --grpc-listen address\n"
     "other than loopback needs --token-file.",
     kServeOptions,
     0,
     0,
     run_serve_command,
     Report::kDiagnosis,
     {},
     "",
     check_serve,
     serve_endpoints_help},
};

// Every format a command names has a writer for what the command reports.
constexpr bool formats_have_writers() {
  for (const auto& c : kCommands) {
    for (std::string_view name : c.formats) {
      bool written = false;
      for (const auto& f : kOutputFormats)
        written = written || (f.name == name && f.writes(c.report));
      if (!written) return false;
    }
  }
  return true;
}
static_assert(formats_have_writers());

std::string main_help() {
  std::string out =
      "usage: tracedx COMMAND [options]\n\nDiagnoses recorded AI-agent runs.\n\ncommands:\n";
  for (const auto& c : kCommands)
    out += "  " + std::string(c.name) + " " + std::string(c.synopsis) + "\n";
  out += "\n  tracedx COMMAND --help   options of a command\n  tracedx --version\n";
  out +=
      "\nexit status: 0 success, 1 error, 2 usage error, 3 a run met --fail-on or the gate "
      "failed\n";
  return out;
}

int usage(const std::string& message, const std::string& help) {
  std::fprintf(stderr, "tracedx: %s\n\n%s", message.c_str(), help.c_str());
  return kExitUsage;
}

int run_tracedx(int argc, char** argv) {
  if (argc < 2) return usage("missing command", main_help());
  std::string_view name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    return print(main_help());
  }
  if (name == "--version") {
    return print(version_text() + "\n");
  }
  for (const auto& command : kCommands) {
    if (command.name != name) continue;
    auto args = parse_args(command, argc, argv);
    if (!args) return usage(args.error().text(), help_text(command));
    if (args->help) {
      return print(help_text(command));
    }
    // Memory runs out on inputs too large for the machine: one error line, not an abort.
    try {
      return command.run(*args);
    } catch (const std::bad_alloc&) {
      return fail(Error::message("out of memory"));
    } catch (const std::length_error&) {
      return fail(Error::message("out of memory"));
    } catch (const std::exception& e) {
      return fail(Error::message(e.what()));
    }
  }
  return usage("unknown command \"" + std::string(name) + "\"", main_help());
}

}  // namespace
}  // namespace tracedx

int main(int argc, char** argv) {
  tracedx::hold_standard_descriptors();
  return tracedx::finish_standard_output(tracedx::run_tracedx(argc, argv));
}
