// Numbers as the fleet reports show them to people: durations with a unit, costs with
// four significant decimals, shares as percentages. JSON forms keep the raw numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tracedx {

// 850 ms, 12.4 s, 3.2 min, 1.5 h.
std::string format_ms(uint64_t ms);
// 0.0123, 12.50, 1234.00.
std::string format_cost(double cost);
// 12.5% of `total` (0% when total is 0).
std::string format_share(uint64_t part, uint64_t total);
// A rate 0..1 as a percentage with one decimal: 37.5%.
std::string format_rate(double rate);
// A p-value as a comparison: "= 0.754" (three significant digits), or "< 1e-300" where a
// double no longer holds it.
std::string p_text(double p);

// The file name of a run's own report written next to the triage report: the id with
// every byte outside [A-Za-z0-9._-] percent-encoded (so distinct ids keep distinct
// names), then ".html". "runs/a b.json" gives "runs%2Fa%20b.json.html".
std::string run_report_name(std::string_view id);

}  // namespace tracedx
