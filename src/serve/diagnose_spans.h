// A stored trace read back the way `tracedx diagnose --from otlp FILE --trace-id ID` reads a
// file holding its span lines: the same import, the same engine, the same compact report.
#pragma once

#include <string>
#include <string_view>

#include "diagnosis/diagnosis.h"
#include "serve/store.h"
#include "trace/error.h"

namespace tracedx {

// The diagnosis of the trace `trace_id` whose spans are `lines` (JSON Lines), or the
// command's error message when the spans cannot be imported.
DiagnosisRecord diagnose_spans(const std::string& trace_id, std::string_view lines,
                               const DiagnoseOptions& options);

// The HTML report of the same trace (diagnosis_html), with a link back to the index.
Result<std::string> report_page(const std::string& trace_id, std::string_view lines,
                                const DiagnoseOptions& options);

}  // namespace tracedx
