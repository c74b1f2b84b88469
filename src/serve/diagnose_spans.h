// A stored trace read back the way `tracedx diagnose --from otlp FILE --trace-id ID` reads a
// file holding its spans and log records: the same span model, the same fixture, the same
// engine, the same compact report. The stored messages are decoded straight into the
// importer's spans; rows stored as OTLP/JSON text by older versions go through its reader.
#pragma once

#include <string>
#include <string_view>

#include "base/error.h"
#include "diagnosis/diagnosis.h"
#include "import/span_model.h"
#include "serve/store.h"

namespace tracedx {

// The spans of the trace `trace_id` whose stored rows are `snapshot`, its log records
// attached to them; the command's error when the rows cannot be read.
Result<std::vector<OtlpSpan>> spans_of_snapshot(const std::string& trace_id,
                                                const SpanSnapshot& snapshot);

// The fixture document of the trace `trace_id` whose stored rows are `snapshot`, as the
// importer makes it (values nested too deep flattened); the command's error when the rows
// cannot be imported.
Result<Json> fixture_of_snapshot(const std::string& trace_id, const SpanSnapshot& snapshot);

// The diagnosis of the trace, or the command's error message when the spans cannot be
// imported. The report page is not rendered here: most traces are never viewed, and
// rendering took a third of a diagnosis, so the page is made on its first view.
DiagnosisRecord diagnose_spans(const std::string& trace_id, const SpanSnapshot& snapshot,
                               const DiagnoseOptions& options);

// The HTML report of the same trace (diagnosis_html), with a link back to the index.
Result<std::string> report_page(const std::string& trace_id, const SpanSnapshot& snapshot,
                                const DiagnoseOptions& options);

// The rows as OTLP/JSON Lines: each span as a ResourceSpans object, then each log record as
// a log export, in arrival order; the file `tracedx diagnose --from otlp` reads to the same
// diagnosis.
Result<std::string> snapshot_lines(const SpanSnapshot& snapshot);

}  // namespace tracedx
