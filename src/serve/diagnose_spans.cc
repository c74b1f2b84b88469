#include "serve/diagnose_spans.h"

#include <new>
#include <stdexcept>

#include "analysis/recorded_analysis.h"
#include "import/importers.h"
#include "report/report_html.h"
#include "report/report_json.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

struct Loaded {
  Trace trace;
  std::optional<std::string> service;
};

// The import and load of the command: the trace id names the input in messages.
Result<Loaded> load(const std::string& trace_id, std::string_view lines) {
  auto document = import_document(lines, Source::kOtlp, trace_id, trace_id);
  if (!document) return std::move(document).error();
  std::optional<std::string> service;
  if (auto run = document->find("run"); run != document->end() && run->is_object()) {
    if (auto s = run->find("service_name"); s != run->end() && s->is_string())
      service = s->get<std::string>();
  }
  auto trace = build_trace(trace_id, std::move(*document));
  if (!trace) return std::move(trace).error();
  return Loaded{std::move(*trace), std::move(service)};
}

}  // namespace

DiagnosisRecord diagnose_spans(const std::string& trace_id, std::string_view lines,
                               const DiagnoseOptions& options) {
  DiagnosisRecord record;
  try {
    auto loaded = load(trace_id, lines);
    if (!loaded) {
      record.failed = true;
      record.error = loaded.error().display();
      return record;
    }
    const Trace& trace = loaded->trace;
    Diagnosis d = diagnose_trace(trace, options);
    record.service = loaded->service;
    record.title = trace.title;
    record.step_count = static_cast<int64_t>(trace.steps.size());
    record.duration_ms = trace.total_duration_ms > uint64_t(INT64_MAX)
                             ? INT64_MAX
                             : static_cast<int64_t>(trace.total_duration_ms);
    record.outcome = d.outcome;
    if (d.root_cause) {
      record.label = d.root_cause->label;
      record.severity = d.root_cause->severity;
    }
    record.diagnosis = dump_report(to_json(d), true);
  } catch (const std::bad_alloc&) {
    record = DiagnosisRecord{};
    record.failed = true;
    record.error = "out of memory";
  } catch (const std::length_error&) {
    record = DiagnosisRecord{};
    record.failed = true;
    record.error = "out of memory";
  }
  return record;
}

Result<std::string> report_page(const std::string& trace_id, std::string_view lines,
                                const DiagnoseOptions& options) {
  auto loaded = load(trace_id, lines);
  if (!loaded) return std::move(loaded).error();
  std::string page = diagnosis_html(loaded->trace, diagnose_trace(loaded->trace, options));
  // The index is one level up from /traces/{id}.
  constexpr std::string_view kBody = "<body>\n";
  if (auto at = page.find(kBody); at != std::string::npos) {
    page.insert(at + kBody.size(), "<p class=\"meta\"><a href=\"../\">&larr; all runs</a></p>\n");
  }
  return page;
}

}  // namespace tracedx
