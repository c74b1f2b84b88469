#include <algorithm>
#include <cstdio>

#include "fleet/fleet_format.h"
#include "fleet/gate_writers.h"
#include "report/report_html.h"

namespace tracedx {
namespace {

constexpr std::string_view kGateStyle = R"css(
.verdict { font-size: 18px; font-weight: 700; }
.verdict.pass { color: var(--low); } .verdict.fail { color: var(--high); }
svg.chart { width: 100%; display: block; }
svg.chart text { fill: currentColor; font-size: 12px; }
.rate { fill: var(--Retrieve); } .whisker { stroke: currentColor; stroke-width: 2; }
tr.regressed td:first-child { color: var(--high); font-weight: 700; }
tr.fixed td:first-child { color: var(--low); font-weight: 700; }
td.num { text-align: right; white-space: nowrap; }
)css";

// Both failure rates as bars on a 0-100% axis with their intervals as whiskers.
std::string rate_chart(const GateResult& g) {
  const int width = 1000, left = 120, span = 820;
  std::string out = "<svg class=\"chart\" role=\"img\" viewBox=\"0 0 1000 74\">";
  const std::pair<const char*, const RateResult*> rows[] = {{"baseline", &g.baseline},
                                                            {"candidate", &g.candidate}};
  for (int i = 0; i < 2; ++i) {
    const RateResult& r = *rows[i].second;
    const int y = 6 + i * 34;
    auto x = [&](double v) { return std::to_string(left + static_cast<int>(v * span)); };
    out += "<text x=\"0\" y=\"" + std::to_string(y + 15) + "\">" + rows[i].first + "</text>";
    out += "<rect class=\"rate\" x=\"" + std::to_string(left) + "\" y=\"" + std::to_string(y + 2) +
           "\" width=\"" + std::to_string(std::max(1, static_cast<int>(r.rate * span))) +
           "\" height=\"18\" rx=\"2\"></rect>";
    out += "<line class=\"whisker\" x1=\"" + x(r.interval.low) + "\" x2=\"" + x(r.interval.high) +
           "\" y1=\"" + std::to_string(y + 11) + "\" y2=\"" + std::to_string(y + 11) + "\"></line>";
    out += "<text x=\"" + x(std::min(1.0, r.interval.high)) + "\" dx=\"8\" y=\"" +
           std::to_string(y + 15) + "\">" + format_rate(r.rate) + "</text>";
  }
  (void)width;
  return out + "</svg>";
}

}  // namespace

std::string gate_html(const GateResult& g) {
  std::string body = "<style>" + std::string(kGateStyle) + "</style><h1>Regression gate</h1>";
  body +=
      g.passed ? "<p class=\"verdict pass\">Passed</p>" : "<p class=\"verdict fail\">Failed</p>";
  if (!g.reasons.empty()) {
    body += "<ul>";
    for (const auto& r : g.reasons) body += "<li>" + html_escape(r) + "</li>";
    body += "</ul>";
  }
  body += "<h2>Failure rates (95% Wilson intervals)</h2>" + rate_chart(g);
  body += "<p class=\"meta\">" +
          std::string(g.rate_changed ? "The change is beyond the noise"
                                     : "The change is within the noise") +
          " (Fisher's exact test, p " + p_text(g.p_value) + ", alpha " +
          std::to_string(g.options.alpha).substr(0, 5) + "). Baseline " +
          std::to_string(g.baseline.failed) + "/" + std::to_string(g.baseline.runs) +
          ", candidate " + std::to_string(g.candidate.failed) + "/" +
          std::to_string(g.candidate.runs) + " runs failed.</p>";
  body += "<div class=\"card\"><p>";
  for (size_t i = 0; i < 7; ++i)
    body += "<span class=\"meta\">" + std::string(task_change_name(static_cast<TaskChange>(i))) +
            ": <b>" + std::to_string(g.counts[i]) + "</b></span> &nbsp; ";
  body += "</p></div>";
  body +=
      "<h2>Tasks</h2><table><tr><th>change</th><th>task</th><th>baseline</th><th>candidate</th>"
      "<th>baseline finding</th><th>candidate finding</th></tr>";
  for (const auto& t : g.tasks) {
    std::string change(task_change_name(t.change));
    std::string css = t.change == TaskChange::kRegressed ? "regressed"
                      : t.change == TaskChange::kFixed   ? "fixed"
                                                         : "";
    body += "<tr class=\"" + css + "\"><td>" + change + "</td><td>" + html_escape(t.key) +
            "</td><td class=\"num\">" + side_text(t.baseline) + "</td><td class=\"num\">" +
            side_text(t.candidate) + "</td><td>" + html_escape(t.baseline.label.value_or("-")) +
            "</td><td>" + html_escape(t.candidate.label.value_or("-")) + "</td></tr>";
  }
  body += "</table>";
  return html_page("tracedx gate", body);
}

}  // namespace tracedx
