// Step building: what one span makes of a step of the fixture document (its type, name,
// input and output, status, error and metadata), by the conventions' tables.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "import/otlp_conventions.h"
#include "import/span_model.h"
#include "trace/trace.h"

namespace tracedx::otlp {

// Everything a span says about its own failure.
struct Failure {
  bool failed = false;
  std::string message;  // status message, else "type: message" of the last exception, else
                        // the error type
  std::string exception_type;
};

struct Kind {
  std::string step_type;  // empty: unknown, typed later by the span's name
  Role role = Role::kUnknown;
};

struct StepDraft {
  TraceStep step;
  std::string operation;  // step type and name: a later success of the same one is a retry
  bool model = false;
  bool failed = false;
  bool calls_tools = false;
  bool has_output = false;
  bool tool = false;  // a tool call or a retrieval
  std::optional<double> cost;
};

// A span's kind by the conventions (kKinds, then the GenAI memory operations).
Kind kind_of(const OtlpSpan& span);

Failure failure_of(const OtlpSpan& span);

// The step a span makes at `index`; takes what it uses out of the span's attributes.
StepDraft make_step(OtlpSpan& span, size_t index, std::string type, Role role, bool is_root);

// The trace of one trace's spans: the run (its id is the trace id; title, status, service,
// cost) and its steps in reading order, built directly. Takes the spans' attributes as it
// goes.
Trace trace_of_spans(std::vector<OtlpSpan>& spans);

// The fixture document of an imported trace, as `import` writes it: loaded again, it gives
// the same Trace (named by its run id).
Json fixture_of_trace(const Trace& trace);

// fixture_of_trace(trace_of_spans(spans)).
Json fixture_of_spans(std::vector<OtlpSpan>& spans);

}  // namespace tracedx::otlp
