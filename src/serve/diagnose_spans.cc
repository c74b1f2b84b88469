#include "serve/diagnose_spans.h"

#include <new>
#include <stdexcept>
#include <unordered_map>

#include "analysis/recorded_analysis.h"
#include "import/importers.h"
#include "import/otlp_envelope.h"
#include "import/otlp_steps.h"
#include "report/report_html.h"
#include "report/report_json.h"
#include "serve/span_codec.h"
#include "trace/fixture_loader.h"

namespace tracedx {
namespace {

struct Loaded {
  Trace trace;
  std::optional<std::string> service;
};

// The import and load of the command: the trace id names the input in messages. The spans
// become the Trace directly, its values flattened as the command's document would be.
Result<Loaded> load(const std::string& trace_id, const SpanSnapshot& snapshot) {
  auto spans = spans_of_snapshot(trace_id, snapshot);
  if (!spans) return std::move(spans).error();
  Trace trace = otlp::trace_of_spans(*spans);
  flatten_deep_values(trace);
  trace.id = trace_id;
  std::optional<std::string> service = trace.service_name;
  return Loaded{std::move(trace), std::move(service)};
}

std::string page_of(const Trace& trace, const Diagnosis& diagnosis) {
  std::string page = diagnosis_html(trace, diagnosis);
  // The index is one level up from /traces/{id}.
  constexpr std::string_view kBody = "<body>\n";
  if (auto at = page.find(kBody); at != std::string::npos) {
    page.insert(at + kBody.size(), "<p class=\"meta\"><a href=\"../\">&larr; all runs</a></p>\n");
  }
  return page;
}

DiagnosisRecord failed(std::string error) {
  DiagnosisRecord record;
  record.failed = true;
  record.error = std::move(error);
  return record;
}

}  // namespace

// The spans of a snapshot, with their log records attached.
Result<std::vector<OtlpSpan>> spans_of_snapshot(const std::string& trace_id,
                                                const SpanSnapshot& snapshot) {
  std::vector<OtlpSpan> spans;
  spans.reserve(snapshot.spans.size());
  // Each envelope is decoded once: its spans share the resource's attributes, as the
  // importer's spans of one resource do.
  std::unordered_map<const std::string*, SpanEnvelope> envelopes;
  for (size_t i = 0; i < snapshot.spans.size(); ++i) {
    const StoredRow& row = snapshot.spans[i];
    if (row.text) {
      const std::string where = trace_id + ":" + std::to_string(i + 1);
      if (auto ok = otlp::read_spans(row.data, where, spans); !ok) return std::move(ok).error();
      continue;
    }
    if (!row.envelope) {
      auto span = decode_stored_span(row.data);
      if (!span) return std::move(span).error();
      spans.push_back(std::move(*span));
      continue;
    }
    auto it = envelopes.find(row.envelope.get());
    if (it == envelopes.end()) {
      auto envelope = decode_span_envelope(*row.envelope);
      if (!envelope) return std::move(envelope).error();
      it = envelopes.emplace(row.envelope.get(), std::move(*envelope)).first;
    }
    auto span = decode_stored_span(it->second, row.data);
    if (!span) return std::move(span).error();
    spans.push_back(std::move(*span));
  }
  if (spans.empty()) return Error::message(trace_id + ": no spans found");
  std::vector<OtlpLog> logs;
  logs.reserve(snapshot.logs.size());
  for (const StoredRow& row : snapshot.logs) {
    auto log = row.envelope ? decode_stored_log_record(row.data) : decode_stored_log(row.data);
    if (!log) return std::move(log).error();
    logs.push_back(std::move(*log));
  }
  otlp::attach_logs(spans, logs);
  return spans;
}

Result<Json> fixture_of_snapshot(const std::string& trace_id, const SpanSnapshot& snapshot) {
  auto spans = spans_of_snapshot(trace_id, snapshot);
  if (!spans) return std::move(spans).error();
  Json fixture = otlp::fixture_of_spans(*spans);
  flatten_deep_values(fixture);
  return fixture;
}

DiagnosisRecord diagnose_spans(const std::string& trace_id, const SpanSnapshot& snapshot,
                               const DiagnoseOptions& options) {
  DiagnosisRecord record;
  try {
    auto loaded = load(trace_id, snapshot);
    if (!loaded) return failed(loaded.error().display());
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
    return failed("out of memory");
  } catch (const std::length_error&) {
    return failed("out of memory");
  }
  return record;
}

Result<std::string> report_page(const std::string& trace_id, const SpanSnapshot& snapshot,
                                const DiagnoseOptions& options) {
  auto loaded = load(trace_id, snapshot);
  if (!loaded) return std::move(loaded).error();
  return page_of(loaded->trace, diagnose_trace(loaded->trace, options));
}

Result<std::string> snapshot_lines(const SpanSnapshot& snapshot) {
  std::string out;
  for (const StoredRow& row : snapshot.spans) {
    if (row.text) {
      out += row.data;
    } else {
      auto line =
          row.envelope ? stored_span_json(*row.envelope, row.data) : stored_span_json(row.data);
      if (!line) return line;
      out += *line;
    }
    out += '\n';
  }
  for (const StoredRow& row : snapshot.logs) {
    auto line = row.envelope ? stored_log_json(*row.envelope, row.data) : stored_log_json(row.data);
    if (!line) return line;
    out += *line;
    out += '\n';
  }
  return out;
}

}  // namespace tracedx
