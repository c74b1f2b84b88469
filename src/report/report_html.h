// Self-contained HTML reports for people: inline CSS and SVG, no script and nothing from
// the network, light and dark schemes, printable. Every text from the trace is escaped, so
// markup inside a tool output shows as text and never runs. Rows expand with <details>.
#pragma once

#include <string>

#include "diagnosis/compare/comparison.h"
#include "diagnosis/diagnosis.h"
#include "trace/trace.h"

namespace tracedx {

// Escapes & < > " ' for use in element content and attribute values.
std::string html_escape(std::string_view text);

// A severity ("high", "medium", "low") as a coloured badge.
std::string severity_badge(std::string_view severity);

// A whole page around `body`: the reports' style sheet (light and dark schemes, print), a
// Content-Security-Policy that allows no script and nothing from elsewhere.
std::string html_page(std::string_view title, const std::string& body);

std::string diagnosis_html(const Trace& trace, const Diagnosis& diagnosis);
std::string comparison_html(const Trace& primary, const Trace& compared,
                            const Comparison& comparison);

}  // namespace tracedx
