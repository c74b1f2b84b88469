// The tape reader: simdjson's parse of an OTLP document walked straight into spans, and the
// trace-id scan on the same parse. Each gives what the reference reader of otlp_envelope
// gives, or declines (false) and leaves the document to it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "import/span_model.h"

namespace tracedx::otlp {

// The spans of the document in `bytes`, appended to `out`; false (nothing appended) when
// the reference reader must decide: invalid JSON, "-0", repeated or competing keys, log
// records, shapes that give an error.
// `padded`: at least 64 readable bytes follow `bytes`, so they are parsed where they are.
bool read_tape(std::string_view bytes, std::vector<OtlpSpan>& out, bool padded = false);

// The trace ids of the document's spans and log records; false when it does not parse.
bool tape_trace_ids(std::string_view bytes, std::vector<std::string>& ids);

}  // namespace tracedx::otlp
