// The gate's result as text for a terminal, JSON, one self-contained HTML page and JUnit
// XML (one test case per task, a failure for each regression, and one for the overall
// failure rate), which CI systems show natively.
#pragma once

#include <string>

#include "fleet/gate.h"
#include "report/report_json.h"

namespace tracedx {

std::string gate_text(const GateResult& gate);
OrderedJson gate_json(const GateResult& gate);
std::string gate_html(const GateResult& gate);
std::string gate_junit(const GateResult& gate);

// A side's tally as people read it: "3/4 failed".
std::string side_text(const GateSide& side);
// Escapes a text for XML 1.0 content and attributes: & < > " ' as entities, invalid UTF-8
// as U+FFFD, and control characters XML cannot hold as "\xHH" (tab, line feed and carriage
// return kept).
std::string xml_escape(std::string_view text);

}  // namespace tracedx
