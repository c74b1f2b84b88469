// The triage report as text for a terminal, as JSON and as one self-contained HTML page.
// Every text from a run (ids, labels, services, tools, errors) is shown through the text
// reports' `visible` (terminal) or HTML-escaped (page).
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "fleet/triage.h"
#include "report/report_json.h"

namespace tracedx {

// The href of a run's own report, or nothing when it has none.
using RunLink = std::function<std::optional<std::string>(const std::string& id)>;

std::string triage_text(const TriageReport& report);
OrderedJson triage_json(const TriageReport& report);
std::string triage_html(const TriageReport& report, const RunLink& link = {});

}  // namespace tracedx
