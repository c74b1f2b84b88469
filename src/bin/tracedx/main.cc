// tracedx: diagnose one trace, compare two, or diagnose many, from the command line.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "batch/batch.h"
#include "diagnosis/compare/comparison.h"
#include "diagnosis/diagnosis.h"
#include "diagnosis/signals.h"
#include "import/importers.h"
#include "input/input.h"
#include "report/report_html.h"
#include "report/report_json.h"
#include "report/report_text.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

constexpr std::string_view kVersion =
    "tracedx 0.5.0 (diagnosis engine 0.4.0, ruleset phase4-compare)";

struct Usage {
  std::string message;
};

// The fixture document of one trace named on the command line, imported from `source`.
Result<Json> load_document(const std::string& arg, Source source, const std::string& trace_id) {
  // A file, standard input ("-"), a pipe, a FIFO or a device (read as a stream, bounded).
  auto bytes = read_input(arg);
  if (!bytes) return std::move(bytes).error();
  return import_document(*bytes, source, arg, trace_id);
}

// A trace named on the command line; its id is the argument as written.
Result<Trace> load_argument(const std::string& arg, Source source, const std::string& trace_id) {
  auto document = load_document(arg, source, trace_id);
  if (!document) return std::move(document).error();
  return build_trace(arg, std::move(*document));
}

bool colour_wanted() {
  return ::isatty(1) && std::getenv("NO_COLOR") == nullptr;
}

std::optional<uint64_t> parse_unsigned(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, uint64_t(c - '0'), &v)) {
      return std::nullopt;
    }
  }
  return v;
}

struct Args {
  std::vector<std::string> positional;
  DiagnoseOptions options;
  bool signals = false;
  bool compact = false;
  bool help = false;
  std::string format = "json";
  unsigned jobs = 0;
  Source source = Source::kFixture;
  std::string trace_id;
};

// The options each sub-command accepts, shared by parsing and help.
struct OptionSpec {
  std::string_view name;
  bool takes_value;
  std::string_view help;
};

constexpr OptionSpec kFrom = {"--from", true, "S  input format: fixture (default), otlp or chat"};
constexpr OptionSpec kTraceId = {"--trace-id", true,
                                 "ID the OTLP trace to take when a file holds several"};

constexpr OptionSpec kDiagnoseOptions[] = {
    kFrom,
    kTraceId,
    {"--slow-threshold-ms", true, "N  slow threshold for retrieval-like steps (default 2500)"},
    {"--no-secondary", false, "   leave secondary issues out"},
    {"--no-recommendations", false, "   leave recommendations out"},
    {"--signals", false, "   add the extracted signals to the report"},
    {"--compact", false, "   print the JSON on one line"},
    {"--format", true, "F  json (default), text or html"},
};
constexpr OptionSpec kCompareOptions[] = {
    kFrom,
    {"--compact", false, "   print the JSON on one line"},
    {"--format", true, "F  json (default), text or html"},
};
constexpr OptionSpec kImportOptions[] = {
    kFrom,
    kTraceId,
};
constexpr OptionSpec kBatchOptions[] = {
    kFrom,
    {"--jobs", true, "N  worker threads (default: hardware threads)"},
    {"--slow-threshold-ms", true, "N  slow threshold for retrieval-like steps (default 2500)"},
    {"--no-secondary", false, "   leave secondary issues out"},
    {"--no-recommendations", false, "   leave recommendations out"},
};

struct Command {
  std::string_view name;
  std::string_view synopsis;
  std::string_view about;
  std::span<const OptionSpec> options;
  size_t min_positional, max_positional;
  int (*run)(const Args&);
};

std::string help_text(const Command& c) {
  std::string out = "usage: tracedx " + std::string(c.name) + " " + std::string(c.synopsis) +
                    "\n\n" + std::string(c.about) + "\n\noptions:\n";
  for (const auto& o : c.options)
    out += "  " + std::string(o.name) + " " + std::string(o.help) + "\n";
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
      const OptionSpec* option = nullptr;
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
      if (name == "--slow-threshold-ms") {
        auto n = parse_unsigned(value);
        if (!n)
          return Error::message("--slow-threshold-ms needs an unsigned integer, got \"" +
                                std::string(value) + "\"");
        args.options.slow_threshold_ms = *n;
      } else if (name == "--jobs") {
        auto n = parse_unsigned(value);
        if (!n || *n == 0 || *n > 1024)
          return Error::message("--jobs needs a number from 1 to 1024, got \"" +
                                std::string(value) + "\"");
        args.jobs = static_cast<unsigned>(*n);
      } else if (name == "--from") {
        auto from = parse_source(value);
        if (!from) return std::move(from).error();
        args.source = *from;
      } else if (name == "--trace-id") {
        args.trace_id = value;
      } else if (name == "--format") {
        if (value != "json" && value != "text" && value != "html") {
          return Error::message("--format needs json, text or html, got \"" + std::string(value) +
                                "\"");
        }
        args.format = value;
      } else if (name == "--no-secondary") {
        args.options.include_secondary_issues = false;
      } else if (name == "--no-recommendations") {
        args.options.include_recommendations = false;
      } else if (name == "--signals") {
        args.signals = true;
      } else if (name == "--compact") {
        args.compact = true;
      }
      continue;
    }
    args.positional.emplace_back(a);
  }
  if (args.positional.size() < c.min_positional || args.positional.size() > c.max_positional) {
    return Error::message("wrong number of arguments");
  }
  return args;
}

int fail(const Error& e) {
  std::fprintf(stderr, "Error: %s\n", e.display().c_str());
  return 1;
}

void print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

int run_diagnose(const Args& args) {
  auto trace = load_argument(args.positional[0], args.source, args.trace_id);
  if (!trace) return fail(trace.error());
  Diagnosis d = diagnose_run(*trace, args.options);
  if (args.format == "text") {
    print(diagnosis_text(d, colour_wanted()));
    return 0;
  }
  if (args.format == "html") {
    print(diagnosis_html(*trace, d));
    return 0;
  }
  std::optional<TraceSignals> signals;
  if (args.signals)
    signals = extract_signals(*trace, args.options.slow_threshold_ms.value_or(2500));
  print(dump_report(to_json(d, signals ? &*signals : nullptr), args.compact) + "\n");
  return 0;
}

int run_compare(const Args& args) {
  auto primary = load_argument(args.positional[0], args.source, args.trace_id);
  if (!primary) return fail(primary.error());
  auto compared = load_argument(args.positional[1], args.source, args.trace_id);
  if (!compared) return fail(compared.error());
  Comparison c = compare_runs(*primary, *compared);
  if (args.format == "text")
    print(comparison_text(c, colour_wanted()));
  else if (args.format == "html")
    print(comparison_html(*primary, *compared, c));
  else
    print(dump_report(to_json(c), args.compact) + "\n");
  return 0;
}

int run_import(const Args& args) {
  if (args.source == Source::kFixture)
    return fail(Error::message("import needs --from otlp or --from chat"));
  auto document = load_document(args.positional[0], args.source, args.trace_id);
  if (!document) return fail(document.error());
  print(document->dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
  return 0;
}

int run_batch_command(const Args& args) {
  BatchOptions options;
  options.jobs = args.jobs ? args.jobs : std::max(1u, std::thread::hardware_concurrency());
  options.diagnose = args.options;
  options.source = args.source;
  options.progress = ::isatty(2);
  BatchSummary summary = run_batch(args.positional, options, stdout, stderr);
  std::fflush(stdout);
  std::fputs(batch_summary_text(summary).c_str(), stderr);
  return summary.failed ? 1 : 0;
}

constexpr Command kCommands[] = {
    {"diagnose", "FIXTURE [options]",
     "Diagnoses one recorded run (\"-\" reads it from standard input).", kDiagnoseOptions, 1, 1,
     run_diagnose},
    {"compare", "PRIMARY COMPARED [options]",
     "Compares two recorded runs of the same task: where they diverge and what to do about it.",
     kCompareOptions, 2, 2, run_compare},
    {"import", "--from otlp|chat FILE [options]",
     "Converts an OTLP JSON export (or JSON Lines of exports) or a chat transcript into the "
     "fixture\n"
     "document the other commands read, printed to standard output.",
     kImportOptions, 1, 1, run_import},
    {"batch", "[options] PATH...",
     "Diagnoses many runs: fixture files, directories (every *.json below, sorted) and .jsonl "
     "files\n"
     "(one fixture per line). Prints one JSON line per trace in input order and a summary on\n"
     "standard error. Exits 1 when some trace could not be loaded.",
     kBatchOptions, 1, SIZE_MAX, run_batch_command},
};

std::string main_help() {
  std::string out =
      "usage: tracedx COMMAND [options]\n\nDiagnoses recorded AI-agent runs.\n\ncommands:\n";
  for (const auto& c : kCommands)
    out += "  " + std::string(c.name) + " " + std::string(c.synopsis) + "\n";
  out += "\n  tracedx COMMAND --help   options of a command\n  tracedx --version\n";
  return out;
}

int usage(const std::string& message, const std::string& help) {
  std::fprintf(stderr, "tracedx: %s\n\n%s", message.c_str(), help.c_str());
  return 2;
}

}  // namespace
}  // namespace tracedx

int main(int argc, char** argv) {
  using namespace tracedx;
  if (argc < 2) return usage("missing command", main_help());
  std::string_view name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    std::fputs(main_help().c_str(), stdout);
    return 0;
  }
  if (name == "--version") {
    std::printf("%s\n", std::string(kVersion).c_str());
    return 0;
  }
  for (const auto& command : kCommands) {
    if (command.name != name) continue;
    auto args = parse_args(command, argc, argv);
    if (!args) return usage(args.error().text(), help_text(command));
    if (args->help) {
      std::fputs(help_text(command).c_str(), stdout);
      return 0;
    }
    return command.run(*args);
  }
  return usage("unknown command \"" + std::string(name) + "\"", main_help());
}
